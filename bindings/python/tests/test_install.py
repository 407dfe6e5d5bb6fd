"""pip installs the package into a fresh virtual environment, offline, and the installed copy
loads the library and binds every export."""

import os
import shutil
import subprocess
import sys
import venv
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(not os.environ.get("VELKOR_PIP_CHECK"), reason="VELKOR_PIP_CHECK not set")
def test_pip_installs_into_a_venv(tmp_path):
    # The venv sees the system's setuptools: no index is asked for a build backend.
    venv.EnvBuilder(system_site_packages=True, with_pip=True).create(tmp_path / "env")
    python = tmp_path / "env" / "bin" / "python"
    source = tmp_path / "source"  # pip builds in place: keep the tree clean
    shutil.copytree(PACKAGE, source, ignore=shutil.ignore_patterns("__pycache__", "*.egg-info", "build"))
    pip = [str(python), "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet"]
    result = subprocess.run(pip + [str(source)], capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stdout + result.stderr
    check = (
        "import velkorlink, pathlib; "
        "assert len(velkorlink.EXPORTS) == 32; "
        "assert pathlib.Path(velkorlink.__file__).is_relative_to(pathlib.Path(__import__('sys').prefix)); "
        "print(velkorlink.GetReconnectPackage(velkorlink.new_buffer()))"
    )
    env = {k: val for k, val in os.environ.items() if k != "PYTHONPATH"}
    result = subprocess.run([str(python), "-c", check], capture_output=True, text=True, env=env,
                            cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "26"
