"""Installing the standard way, offline: the folder of wheels and `pip install .`
from a clean copy of the tree (the sdist, unpacked), each into a fresh venv.

Slow (one CMake build per run): marked `packaging`, so that other modes can
leave it out.  The folder's build compiles; `pip install .` then reuses that
CMake tree through the backend's build-dir setting instead of compiling again.
"""
import base64
import email.parser
import hashlib
import os
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

pytestmark = pytest.mark.packaging

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools", "backend"))
import tessel_backend  # noqa: E402

sys.path.remove(os.path.join(REPO, "tools", "backend"))
MODULES = tessel_backend.module_names(REPO)


def clean_env():
    """The environment without what points the interpreter or pip at this
    tree's build, the test tools or another package source."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "PIP_", "ASAN_", "UBSAN_", "LSAN_")) and k != "LD_PRELOAD"}
    env["PIP_NO_INDEX"] = "1"
    env["PIP_NO_CACHE_DIR"] = "1"
    return env


def run(command, **kwargs):
    proc = subprocess.run(command, capture_output=True, text=True, env=clean_env(), **kwargs)
    assert proc.returncode == 0, "%s\n%s\n%s" % (command, proc.stdout[-3000:], proc.stderr[-3000:])
    return proc.stdout


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """A clean copy of the tree: the sdist, unpacked."""
    top = tmp_path_factory.mktemp("sdist")
    name = tessel_backend.build_sdist(str(top))
    with tarfile.open(str(top / name)) as tar:
        safe = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(str(top), **safe)
    return str(top / name[:-len(".tar.gz")])


@pytest.fixture(scope="module")
def build_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("build"))


@pytest.fixture(scope="module")
def wheels(source, build_dir, tmp_path_factory):
    """The folder of wheels, made by the clean copy's own script."""
    out = str(tmp_path_factory.mktemp("wheels"))
    run([sys.executable, os.path.join(source, "tools", "build_wheel.py"), "--build-dir", build_dir, out])
    return out


def fresh_venv(path):
    run([sys.executable, "-m", "venv", str(path)])
    return str(path / "bin" / "python")


def check_installed(python, venv, cwd):
    """The native modules, orvane.utils and PyYAML come from the venv; the
    command runs on the shipped examples."""
    names = ["orvane.tessel.%s" % m for m in MODULES] + ["orvane.utils.strings", "yaml"]
    out = run([python, "-c", "import importlib, orvane.tessel as t; print(t.__version__); "
               "print(t.__file__); [print(importlib.import_module(n).__file__) for n in %r]" % names],
              cwd=cwd).splitlines()
    assert out[0] == tessel_backend.package_version(REPO)
    for path in out[1:]:
        assert path.startswith(str(venv)), path
    examples = os.path.join(os.path.dirname(out[1]), "examples")
    tessel = str(venv / "bin" / "tessel")
    flat = run([tessel, os.path.join(examples, "settings.ini"), os.path.join(examples, "overrides.yaml"),
                "--flat"], cwd=cwd).splitlines()
    assert "server.port = 9000" in flat
    assert 'server.host = "0.0.0.0"' in flat
    if "--version" in run([tessel, "--help"], cwd=cwd):
        assert out[0] in run([tessel, "--version"], cwd=cwd)


def test_install_from_the_folder_of_wheels(wheels, tmp_path):
    venv = tmp_path / "venv"
    python = fresh_venv(venv)
    run([python, "-m", "pip", "install", "--find-links", wheels, "orvane.tessel"], cwd=str(tmp_path))
    check_installed(python, venv, str(tmp_path))


def test_pip_install_dot(source, build_dir, wheels, tmp_path):
    venv = tmp_path / "venv"
    python = fresh_venv(venv)
    run([python, "-m", "pip", "install", "--find-links", wheels, "--config-settings",
         "build-dir=" + build_dir, "."], cwd=source)
    check_installed(python, venv, str(tmp_path))


def test_wheels_record_and_metadata(wheels):
    found = {re.sub(r"-.*", "", name): os.path.join(wheels, name) for name in os.listdir(wheels)}
    for name in ["orvane_tessel", "orvane_utils", "pyyaml"]:
        with zipfile.ZipFile(found[name]) as whl:
            members = whl.namelist()
            record_name = next(n for n in members if n.endswith(".dist-info/RECORD"))
            listed = {}
            for line in whl.read(record_name).decode().splitlines():
                path, digest, size = line.rsplit(",", 2)
                listed[path] = (digest, size)
            assert sorted(listed) == sorted(members)
            assert listed.pop(record_name) == ("", "")
            for path, (digest, size) in listed.items():
                data = whl.read(path)
                expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
                assert (digest, size) == ("sha256=" + expected, str(len(data))), path

    with zipfile.ZipFile(found["orvane_tessel"]) as whl:
        members = whl.namelist()
        meta = email.parser.Parser().parsestr(whl.read(next(n for n in members if n.endswith("/METADATA"))).decode())
        wheel_info = whl.read(next(n for n in members if n.endswith("/WHEEL"))).decode()
        entry_points = whl.read(next(n for n in members if n.endswith("/entry_points.txt"))).decode()
        libraries = {}
        for module in MODULES:
            library = [n for n in members if re.fullmatch(r"orvane/tessel/%s\.cpython-.*\.so" % module, n)]
            assert len(library) == 1, module
            libraries[module] = whl.read(library[0])
            assert "orvane/tessel/%s.pyi" % module in members
    for name in ["orvane/tessel/__init__.py", "orvane/tessel/cli.py", "orvane/tessel/py.typed",
                 "orvane/tessel/examples/settings.ini", "orvane/tessel/examples/overrides.yaml"]:
        assert name in members
    # orvane is a namespace package, and orvane.utils comes from its own distribution.
    assert not any(n.startswith(("orvane/__init__", "orvane/utils")) for n in members)

    with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    assert meta["Name"] == "orvane.tessel"
    assert meta["Version"] == tessel_backend.package_version(REPO)
    assert meta["Summary"] and meta["Requires-Python"] == ">=3.8"
    assert meta["Description-Content-Type"] == "text/markdown" and meta.get_payload() == readme
    assert sorted(meta.get_all("Requires-Dist")) == ["PyYAML", "orvane.utils", "setuptools"]
    assert {"Programming Language :: Python :: 3.%d" % v for v in range(8, 14)} <= set(meta.get_all("Classifier"))
    assert not {"Home-page", "Project-URL", "Download-URL"} & set(meta.keys())
    assert "Tag: %s\n" % tessel_backend.wheel_tag() in wheel_info and "Root-Is-Purelib: false" in wheel_info
    assert entry_points == "[console_scripts]\ntessel = orvane.tessel.cli:main\n"
    for module, data in libraries.items():
        assert b".symtab\0" not in data and b".debug_info\0" not in data, "%s is not stripped" % module


def test_the_list_of_modules_is_the_set_of_sources():
    """Every module of modules.txt has its source, stub and benchmark; no
    source is left off the list (it would not be built)."""
    def stems(folder, prefix, suffix):
        return sorted(name[len(prefix):-len(suffix)] for name in os.listdir(os.path.join(REPO, folder))
                      if name.startswith(prefix) and name.endswith(suffix))
    assert len(set(MODULES)) == len(MODULES)
    assert stems("tessel", "", ".cpp") == sorted(MODULES)
    assert stems(os.path.join("python", "orvane", "tessel"), "", ".pyi") == sorted(MODULES)
    assert stems("bench", "bench_", ".py") == sorted(MODULES)


@pytest.mark.parametrize("path", ["pyproject.toml", "platform/pyproject.toml"])
def test_toml_reader_of_the_backend(path):
    """Without tomllib or tomli (pip's isolated build on 3.8 to 3.10) the
    backend reads pyproject.toml itself; it must read what they read."""
    toml = pytest.importorskip("tomllib" if sys.version_info >= (3, 11) else "tomli")
    with open(os.path.join(REPO, path), encoding="utf-8") as f:
        text = f.read()
    assert tessel_backend.read_toml_subset(text) == toml.loads(text)


@pytest.mark.parametrize("text", [
    'readme = {file = "README.md"}', 'a = "x\\ty"', "[[table]]", 'a.b = 1', 'a = [1,\n', 'a = True'])
def test_toml_reader_refuses_what_it_does_not_know(text):
    with pytest.raises(ValueError):
        tessel_backend.read_toml_subset(text)
