"""The tessel command, run as a subprocess on real files."""
import os
import subprocess
import sys
import textwrap

import pytest


def tessel(*args, cwd=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-m", "orvane.tessel"] + list(args), cwd=cwd,
                          capture_output=True, text=True, timeout=60, env=env)


@pytest.fixture
def files(tmp_path):
    def write(name, text):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text))
        return str(path)
    return write


def test_example_settings_by_default():
    proc = tessel()
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "settings.ini + overrides.yaml"
    assert "|-- server" in lines
    assert "|   |-- port = 9000" in lines          # the YAML file overrides the INI file
    assert "|   |-- host = '0.0.0.0'" in lines     # the INI value stays
    assert proc.stderr == ""


def test_layering_order_and_tree(files):
    base = files("base.ini", """
        [DEFAULT]
        timeout = 30
        [db]
        host = localhost
        port = 5432
    """)
    local = files("local.yaml", """
        db:
          port: 6543
          pool: {size: 5}
    """)
    proc = tessel(base, local)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "base.ini + local.yaml",
        "`-- db",
        "    |-- host = 'localhost'",
        "    |-- port = 6543",
        "    |-- timeout = 30",
        "    `-- pool",
        "        `-- size = 5",
    ]
    swapped = tessel(local, base)
    assert "    |-- port = 5432" in swapped.stdout.splitlines()


def test_flat_get_where_and_origin(files):
    base = files("base.ini", """
        [db]
        host = localhost
        port = 5432
        [web]
        timeout = 10
    """)
    local = files("local.yml", """
        db:
          port: 6543
          replicas: [a, b]
    """)
    flat = tessel(base, local, "--flat")
    assert flat.stdout.splitlines() == [
        "db.host = 'localhost'", "db.port = 6543", "db.replicas[0] = 'a'", "db.replicas[1] = 'b'",
        "web.timeout = 10",
    ]
    assert tessel(base, local, "--get", "db.port").stdout == "6543\n"
    assert tessel(base, local, "--get", "db.replicas").stdout == "['a', 'b']\n"
    where = tessel(base, local, "--flat", "--where", r"Or('^db\.h', 'timeout')")
    assert where.stdout.splitlines() == ["db.host = 'localhost'", "web.timeout = 10"]
    origin = tessel(base, local, "--flat", "--origin")
    lines = origin.stdout.splitlines()
    assert "db.host = 'localhost'  (%s)" % base in lines
    assert "db.port = 6543  (%s)" % local in lines


@pytest.mark.parametrize("make_args, message, code", [
    (lambda f: [f("x.ini", "[s]\na = 1\n"), "missing.yaml"], "missing.yaml: no such file", 2),
    (lambda f: [f("x.toml", "a = 1\n")], "unknown kind of settings file", 2),
    (lambda f: [f("bad.ini", "[s]\na = 1\nnot an option\n")], "bad.ini: line 3", 2),
    (lambda f: [f("bad.yaml", "a: [1, 2\nb: 3\n")], "bad.yaml: line", 2),
    (lambda f: [f("x.ini", "[s]\na = 1\n"), "--where", "__import__('os')"],
     "--where: Not a properly formatted logic string", 2),
    (lambda f: [f("x.ini", "[s]\na = 1\n"), "--get", "s.b"], "s.b: no such setting", 1),
])
def test_bad_input_gets_one_line_and_an_exit_code(files, make_args, message, code):
    proc = tessel(*make_args(files))
    assert proc.returncode == code
    assert proc.stdout == ""
    assert message in proc.stderr
    assert len(proc.stderr.strip().splitlines()) == 1, proc.stderr
    assert "Traceback" not in proc.stderr


def test_entry_points_and_their_failures(tmp_path):
    site = tmp_path / "site"
    info = site / "demo_settings-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: demo-settings\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[tessel.demo]\ngood = demo_settings:SETTINGS\nbroken = demo_settings:MISSING\n")
    (site / "demo_settings.py").write_text("SETTINGS = {'svc': {'port': 1, 'name': 'demo'}}\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(site)] + [p for p in sys.path if p])
    proc = subprocess.run([sys.executable, "-m", "orvane.tessel", "--entry-points", "tessel.demo", "--flat",
                           "--origin"], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["svc.port = 1  (demo-settings 1.0)",
                                        "svc.name = 'demo'  (demo-settings 1.0)"]
    warnings = proc.stderr.splitlines()
    assert len(warnings) == 1 and warnings[0].startswith(
        "tessel: warning: Failed to load configuration from entrypoint: demo-settings 1.0")
    assert "Traceback" not in proc.stderr
