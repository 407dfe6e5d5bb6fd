#!/usr/bin/env python3
"""Compiles each unit of a unity build's batches on its own, syntax only.

A batch compiles its units as one, so a unit that uses what only a neighbour in its batch
includes builds in batches and fails in a plain build, such as a packager's. This takes each
batch's command from compile_commands.json and runs it once for each unit under the given
source folders.

usage: units_alone.py BUILD_DIR SOURCE_FOLDER...
"""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

UNITY = re.compile(r"unity_\d+_cxx\.cxx$")
UNIT = re.compile(r'^#include "([^"]+\.cpp)"', re.M)


def unit_commands(build, folders):
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    for entry in entries:
        if not UNITY.search(entry["file"]):
            continue
        with open(entry["file"], encoding="utf-8") as f:
            units = UNIT.findall(f.read())
        args = shlex.split(entry["command"])
        kept, skip = [], False
        for arg in args:
            if skip:
                skip = False
            elif arg in ("-o", "-MT", "-MF"):
                skip = True
            elif arg not in ("-c", "-MD", entry["file"]):
                kept.append(arg)
        for unit in units:
            if any(unit.startswith(os.path.join(folder, "")) for folder in folders):
                yield unit, entry["directory"], kept + ["-fsyntax-only", unit]


def check(job):
    unit, directory, command = job
    run = subprocess.run(command, cwd=directory, capture_output=True, text=True, timeout=600)
    return unit, run.returncode, run.stderr


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    build = sys.argv[1]
    folders = [os.path.abspath(folder) for folder in sys.argv[2:]]
    jobs = list(unit_commands(build, folders))
    if not jobs:
        print("units_alone: no batched units under " + " ".join(folders), file=sys.stderr)
        return 1
    failed = 0
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for unit, code, errors in pool.map(check, jobs):
            if code != 0:
                failed += 1
                print(f"{unit}: does not compile on its own\n{errors}")
    print(f"units_alone: {len(jobs) - failed} of {len(jobs)} units compile on their own")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
