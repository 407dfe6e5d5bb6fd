"""The example host against velkor-sim over UDP on 127.0.0.1: the simulator verifies every
reply; the host's own counts must agree with what the simulator sent."""

import os
import re
import selectors
import subprocess
import sys
from pathlib import Path

import pytest

HOST = Path(__file__).resolve().parents[1] / "examples" / "host.py"
SIM = os.environ.get("VELKOR_SIM")


def first_line(process: subprocess.Popen, seconds: float) -> str:
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        if not selector.select(timeout=seconds):
            return ""
    return process.stdout.readline()


def number(pattern: str, text: str) -> int:
    match = re.search(pattern, text)
    assert match, f"no {pattern!r} in:\n{text}"
    return int(match.group(1))


@pytest.mark.skipif(not SIM, reason="VELKOR_SIM names the simulator to play against")
@pytest.mark.parametrize("faults", ["", "all"])
def test_example_host_answers_the_simulator(faults):
    host = subprocess.Popen(
        [sys.executable, str(HOST), "--port", "0", "--quiet", "--seconds", "100"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = first_line(host, 20)
        port = re.match(r"host\.py: listening on 127\.0\.0\.1:(\d+)$", line.strip())
        assert port, f"the host did not start: {line!r} {host.stderr.read() if host.poll() else ''}"
        command = [SIM, "--port", port.group(1), "--quiet", "--timeout-ms", "5000"]
        command += ["--devices", "4", "--rounds", "2", "--seed", "21"]
        if faults:
            command += ["--faults", faults]
        sim = subprocess.run(command, capture_output=True, text=True, timeout=90)
        host.terminate()
        out, err = host.communicate(timeout=20)
    finally:
        if host.poll() is None:
            host.kill()
            host.communicate()
    assert sim.returncode == 0, sim.stdout + sim.stderr + err
    assert "velkor-sim: every reply verified" in sim.stdout
    assert host.returncode == 0, err
    sent = number(r"packets sent (\d+)", sim.stdout)
    assert number(r"replies verified (\d+)", sim.stdout) == sent
    assert number(r"accepted (\d+)", out) == sent
    assert number(r"replies sent (\d+)", out) == sent
    assert number(r"events decoded (\d+)", out) == number(r"events reported (\d+)", sim.stdout)
