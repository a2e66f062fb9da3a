"""The wheel: built offline, installed into a fresh virtual environment, used there."""
import os
import subprocess
import sys
import zipfile

import pytest

import orvane.tessel

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ["coffer", "configuration", "tabulon", "frayle", "logic", "arbel", "sigil"]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    libdir = os.path.dirname(os.path.dirname(os.path.dirname(orvane.tessel.__file__)))
    proc = subprocess.run([sys.executable, os.path.join(REPO, "tools", "build_wheel.py"), libdir, str(out)],
                          capture_output=True, text=True, check=True)
    return proc.stdout.strip()


def test_wheel_contents(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    for module in MODULES:
        assert any(n.startswith("orvane/tessel/%s.cpython-" % module) and n.endswith(".so") for n in names), module
        assert "orvane/tessel/%s.pyi" % module in names
    for name in ["orvane/tessel/__init__.py", "orvane/tessel/cli.py", "orvane/tessel/py.typed",
                 "orvane/tessel/examples/settings.ini", "orvane/tessel/examples/overrides.yaml"]:
        assert name in names
    assert not any(n.startswith("orvane/__init__") for n in names)  # orvane is a namespace package
    dist_info = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
    assert zipfile.ZipFile(wheel).read(dist_info[0]).decode().strip().endswith("tessel = orvane.tessel.cli:main")


def test_install_into_a_fresh_environment(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, capture_output=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
                   check=True, capture_output=True)
    # Outside modules only: PyYAML from the system, and the utility package's stand-in.
    outside = [p for p in sys.path if p and os.path.isdir(os.path.join(p, "yaml"))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(REPO, "platform")] + outside))
    env.pop("PYTHONHOME", None)
    imports = "; ".join("import orvane.tessel.%s" % m for m in MODULES)
    proc = subprocess.run([python, "-c", imports + "; import orvane.tessel.coffer as c; print(c.__file__)"],
                          capture_output=True, text=True, env=env, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(str(venv))
    proc = subprocess.run([str(venv / "bin" / "tessel"), "--example", "--flat"], capture_output=True, text=True,
                          env=env, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert "server.port = 9000" in proc.stdout.splitlines()
