"""The type stubs, checked by mypy against a typed program that uses every module."""
import os
import shutil
import subprocess

import pytest

import orvane.tessel

HERE = os.path.dirname(os.path.abspath(__file__))
LIBDIR = os.path.dirname(os.path.dirname(os.path.dirname(orvane.tessel.__file__)))

mypy = shutil.which("mypy")
pytestmark = pytest.mark.skipif(mypy is None, reason="mypy is not installed (make test installs it)")


def run_mypy(name, tmp_path):
    env = dict(os.environ, MYPYPATH=LIBDIR)
    env.pop("PYTHONPATH", None)
    return subprocess.run([mypy, "--python-version", "3.8", "--no-error-summary", "--strict-optional",
                           "--cache-dir", str(tmp_path / "cache"), os.path.join(HERE, "typing", name)],
                          capture_output=True, text=True, env=env, cwd=str(tmp_path))


def test_typed_program_is_accepted(tmp_path):
    proc = run_mypy("good.py", tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_misuses_are_rejected(tmp_path):
    proc = run_mypy("bad.py", tmp_path)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    lines = sorted({int(line.split(":")[1]) for line in errors})
    assert lines == [8, 9, 10, 11, 12], proc.stdout
