"""The tessel command: one table of input files, arguments and what comes out,
run in-process, and a few runs as a separate process for what only a real
process shows (exit paths, full devices, closed pipes, entry points)."""
import errno
import io
import json
import os
import subprocess
import sys
import textwrap

import pytest
import yaml

import orvane.tessel
from orvane.tessel import cli

FILES = {
    "base.ini": """\
        [DEFAULT]
        timeout = 30
        [db]
        host = localhost
        port = 5432
        """,
    "local.yaml": """\
        db:
          port: 6543
          replicas: [a, b]
          pool: {size: 5}
        """,
    "same.yaml": "db:\n  port: 5432\n",
    "odd.yaml": """\
        "line\\nbreak": 1
        when: 2024-01-31
        raw: !!binary aGVsbG8=
        empty: {}
        404: not found
        true: yes
        nan: .nan
        servers:
          - {a.b: 1, name: "x\\ty"}
        """,
    "five.yaml": "a: 5\n",
    "a.ini": "[a]\nx = 1\n",
    "one.ini": "[a]\nb = 2\n",
    "two.ini": "[a.b]\nc = 1\n",
    "inner.ini": "[a]\nb = 2\n[a.b]\nc = 1\n",
    "list.yaml": "- 1\n- 2\n",
    "scalar.yaml": "5\n",
    "self.yaml": "a: &a\n  me: *a\n",
    "laughs.yaml": "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n" + "".join(
        "%s: &%s [%s]\n" % (c, c, ", ".join(["*" + p] * 9)) for p, c in zip("abcdefgh", "bcdefghi")),
    "deep.yaml": "a:\n  " + "- " * 100000 + "1\n",  # block style: PyYAML reads deep flow style slowly
    "bad.ini": "[s]\na = 1\nnot an option\n",
    "bad.yaml": "a: [1, 2\nb: 3\n",
    "empty.yaml": "",
    "nosuffix": "k: v\n",
    "x.toml": "a = 1\n",
}

USAGE = "usage: tessel"
TREE = [
    "base.ini + local.yaml",
    "`-- db",
    "    |-- host = \"localhost\"",
    "    |-- port = 6543",
    "    |-- timeout = 30",
    "    |-- replicas = [\"a\", \"b\"]",
    "    `-- pool",
    "        `-- size = 5",
]
FLAT_ORIGIN = [
    'db.host = "localhost"  (base.ini)',
    "db.port = 6543  (local.yaml)",
    "db.timeout = 30  (base.ini)",
    'db.replicas[0] = "a"  (local.yaml)',
    'db.replicas[1] = "b"  (local.yaml)',
    "db.pool.size = 5  (local.yaml)",
]
ODD_FLAT = [
    '["line\\nbreak"] = 1', 'when = "2024-01-31"', 'raw = "aGVsbG8="', "empty = {}",
    '[404] = "not found"', "[true] = true", 'nan = "NaN"', 'servers[0]["a.b"] = 1',
    'servers[0].name = "x\\ty"',
]
ODD_DATA = {"line\nbreak": 1, "when": "2024-01-31", "raw": "aGVsbG8=", "empty": {}, "404": "not found",
            "true": True, "nan": "NaN", "servers": [{"a.b": 1, "name": "x\ty"}]}
B = ["base.ini", "local.yaml"]

# (arguments, standard input, exit status, the whole standard output as
# lines, or a line that standard error must hold)
CASES = [
    # the shape of the result
    (B, None, 0, TREE, None),
    (B + ["--flat", "--origin"], None, 0, FLAT_ORIGIN, None),
    (B + ["--format", "flat", "--origin"], None, 0, FLAT_ORIGIN, None),
    (["local.yaml", "base.ini", "--flat", "--where", "port"], None, 0, ["db.port = 5432"], None),
    (["base.ini", "same.yaml", "--flat", "--origin", "--where", "port"], None, 0,
     ["db.port = 5432  (same.yaml)"], None),
    (["empty.yaml"], None, 0, ["empty.yaml"], None),
    (["odd.yaml", "--flat"], None, 0, ODD_FLAT, None),
    (["odd.yaml", "--where", "line|serv"], None, 0, [
        "odd.yaml", '|-- "line\\nbreak" = 1', '`-- servers = [{"a.b": 1, "name": "x\\ty"}]'], None),
    # --get: scalars bare, every path that --flat prints, levels in the format asked for
    (B + ["--get", "db.port"], None, 0, ["6543"], None),
    (B + ["--get", "db.host", "--origin"], None, 0, ["localhost  (base.ini)"], None),
    (B + ["--get", "db.replicas[1]"], None, 0, ["b"], None),
    (B + ["--get", "db.replicas"], None, 0, ['["a", "b"]'], None),
    (B + ["--get", "db.replicas", "--flat"], None, 0, ['db.replicas[0] = "a"', 'db.replicas[1] = "b"'], None),
    (B + ["--get", "db.pool"], None, 0, ["db.pool", "`-- size = 5"], None),
    (B + ["--get", "db.pool", "--flat", "--origin"], None, 0, ["db.pool.size = 5  (local.yaml)"], None),
    (B + ["--get", "db.pool", "--format", "json"], None, 0, ["{", '  "size": 5', "}"], None),
    (B + ["--get", "db.pool", "--format", "yaml"], None, 0, ["size: 5"], None),
    (["odd.yaml", "--get", '["line\\nbreak"]'], None, 0, ["1"], None),
    (["odd.yaml", "--get", "[404]"], None, 0, ["not found"], None),
    (["odd.yaml", "--get", "[true]"], None, 0, ["true"], None),
    (["odd.yaml", "--get", 'servers[0]["a.b"]'], None, 0, ["1"], None),
    (["odd.yaml", "--get", "servers[0].name"], None, 0, ["x\\ty"], None),
    (["odd.yaml", "--get", "empty"], None, 0, ["{}"], None),
    (["odd.yaml", "--get", "when", "--format", "json"], None, 0, ['"2024-01-31"'], None),
    (B + ["--get", "db.user"], None, 1, None, "tessel: db.user: no such setting"),
    (B + ["--get", "db.replicas[2]"], None, 1, None, "tessel: db.replicas[2]: no such setting"),
    (B + ["--get", "db.port.x"], None, 1, None, "tessel: db.port.x: no such setting"),
    (B + ["--get", "db..port"], None, 2, None, "tessel: --get: db..port: empty name at position 4"),
    (B + ["--get", "db[x"], None, 2, None, "unclosed bracket"),
    # --where: a logic string, or else a regular expression
    (B + ["--flat", "--where", "^db\\.(host|pool)"], None, 0,
     ['db.host = "localhost"', "db.pool.size = 5"], None),
    (B + ["--flat", "--where", "Or('host', Not(r'^db\\.[a-s]'))"], None, 0,
     ['db.host = "localhost"', "db.timeout = 30"], None),
    (B + ["--where", "BaseLogic('x')"], None, 2, None, "tessel: --where: BaseLogic('x'): "),
    (B + ["--where", "And('a'"], None, 2, None, "--where: Not a properly formatted logic string"),
    (B + ["--where", "(unclosed"], None, 2, None, "--where: not a logic string, nor a regular expression"),
    # --set: a last layer, converted as file values are
    (B + ["--set", "db.port=7", "--set", "db.debug=true", "--flat", "--origin", "--where", "port|debug"],
     None, 0, ["db.port = 7  (--set db.port=7)", "db.debug = true  (--set db.debug=true)"], None),
    (["--set", "[1].x=a=b", "--flat"], None, 0, ['[1].x = "a=b"'], None),
    (B + ["--set", "db.host.x=1"], None, 2, None, "tessel: db.host: a value in base.ini, a section in --set"),
    (B + ["--set", "db.port"], None, 2, None, "tessel: --set: db.port: expected KEY=VALUE"),
    # data out
    (["odd.yaml", "--format", "json"], None, 0, json.dumps(ODD_DATA, indent=2).splitlines(), None),
    (B + ["--origin", "--format", "json"], None, 2, None, "tessel: --origin shows with --format tree or flat"),
    # input conventions
    (["--type", "yaml", "-"], "a: 1\n", 0, ["-", "`-- a = 1"], None),
    (["--type", "ini", "-", "--flat"], "[s]\nk = v\n", 0, ['s.k = "v"'], None),
    (["-"], "a: 1\n", 2, None, "tessel: -: say the kind of standard input with --type ini or --type yaml"),
    (["--type", "yaml", "nosuffix", "--flat"], None, 0, ['k = "v"'], None),
    (["nosuffix"], None, 2, None, "tessel: nosuffix: unknown kind of settings file"),
    (["x.toml"], None, 2, None, "tessel: x.toml: unknown kind of settings file"),
    (["base.ini", "missing.yaml"], None, 2, None, "tessel: missing.yaml: no such file"),
    (["folder.yaml"], None, 2, None, "tessel: folder.yaml: is a directory, not a settings file"),
    (["--version"], None, 0, ["tessel %s" % orvane.tessel.__version__], None),
    ([], None, 2, None, USAGE),
    (["--flat"], None, 2, None, "tessel: no settings given"),
    (["--entry-points", ""], None, 2, None, "tessel: --entry-points: empty group name"),
    (["--format", "xml", "base.ini"], None, 2, None, "tessel: argument --format: invalid choice"),
    (["base.ini", "--flat", "--format", "json"], None, 2, None, "tessel: --flat and --format json disagree"),
    # bad input: one line naming the file, and the line where it is known
    (["bad.ini"], None, 2, None, "tessel: bad.ini: line 3: not an option (name = value): not an option"),
    (["bad.yaml"], None, 2, None, "tessel: bad.yaml: line 2: expected ',' or ']'"),
    (["list.yaml"], None, 2, None, "tessel: list.yaml: the document is a list, not a mapping of settings"),
    (["scalar.yaml"], None, 2, None, "tessel: scalar.yaml: the document is a single value, not a mapping"),
    (["self.yaml"], None, 2, None, "tessel: self.yaml: the document expands too much through aliases"),
    (["laughs.yaml"], None, 2, None, "tessel: laughs.yaml: the document expands too much through aliases"),
    (["deep.yaml"], None, 2, None, "tessel: deep.yaml: nested too deeply to load"),
    # a mapping over a value names the key and both sources
    (["one.ini", "two.ini"], None, 2, None, "tessel: a.b: a value in one.ini, a section in two.ini"),
    (["five.yaml", "a.ini"], None, 2, None, "tessel: a: a value in five.yaml, a section in a.ini"),
    (["inner.ini"], None, 2, None, "tessel: inner.ini: a key is both a value and a section"),
]


@pytest.fixture
def folder(tmp_path, monkeypatch):
    for name, text in FILES.items():
        (tmp_path / name).write_text(textwrap.dedent(text))
    (tmp_path / "folder.yaml").mkdir()
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run(args, stdin_text=None):
    out, err = io.StringIO(), io.StringIO()
    status = cli.main(args, stdin=io.StringIO(stdin_text or ""), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("args, stdin_text, status, lines, message", CASES,
                         ids=[" ".join(c[0]) or "(none)" for c in CASES])
def test_command(folder, args, stdin_text, status, lines, message):
    got, out, err = run(args, stdin_text)
    assert (got, "Traceback" in err) == (status, False), err
    if lines is not None:
        assert out.splitlines() == lines
        assert err == ""
    if message is not None:
        assert out == ""
        assert message in err.splitlines()[0], err
        if message != USAGE:
            assert len(err.splitlines()) == 1 and err.startswith("tessel: "), err


def test_data_out_loads_back(folder):
    for fmt, parse in [("json", json.loads), ("yaml", yaml.safe_load)]:
        status, out, err = run(["odd.yaml", "--format", fmt])
        assert status == 0, err
        data = parse(out)
        assert data["line\nbreak"] == 1 and data["servers"] == [{"a.b": 1, "name": "x\ty"}]
    assert all("\t" not in line and line.count('"') % 2 == 0 for line in out.splitlines())
    assert yaml.safe_load(run(["odd.yaml", "--format", "yaml"])[1])[404] == "not found"


def test_every_flat_path_reaches_its_value(folder):
    status, out, _ = run(["odd.yaml", "base.ini", "local.yaml", "--flat"])
    assert status == 0
    for line in out.splitlines():
        path, shown = line.split(" = ", 1)
        status, value, err = run(["odd.yaml", "base.ini", "local.yaml", "--get", path, "--format", "json"])
        assert status == 0, (path, err)
        assert json.dumps(json.loads(value)) == json.dumps(json.loads(shown)), path


class Failing(io.StringIO):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def flush(self):
        raise self.error


@pytest.mark.parametrize("error, status, message", [
    (BrokenPipeError(errno.EPIPE, "Broken pipe"), cli.EXIT_PIPE, ""),
    (OSError(errno.ENOSPC, "No space left on device"), cli.EXIT_WRITE,
     "tessel: write error: No space left on device\n"),
])
def test_output_errors_end_quietly(folder, error, status, message):
    err = io.StringIO()
    assert cli.main(["base.ini"], stdout=Failing(error), stderr=err) == status
    assert err.getvalue() == message


def test_internal_error_is_one_line_and_a_traceback_only_under_debug(folder, monkeypatch):
    def broken(*args):
        raise ZeroDivisionError("division by zero")
    monkeypatch.setattr(cli, "tree_text", broken)
    status, out, err = run(["base.ini"])
    assert (status, out) == (cli.EXIT_INTERNAL, "")
    assert err == "tessel: internal error: ZeroDivisionError: division by zero (--debug shows where)\n"
    status, out, err = run(["base.ini", "--debug"])
    assert status == cli.EXIT_INTERNAL
    assert err.startswith("Traceback") and err.endswith("tessel: internal error: ZeroDivisionError: "
                                                        "division by zero\n")


# ---------------------------------------------------------------- as a process

def tessel(*args, env=None, **kw):
    env = dict(os.environ, **(env or {}))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [env.get("EXTRA_PATH")] + sys.path if p)
    return subprocess.run([sys.executable, "-m", "orvane.tessel"] + list(args),
                          capture_output=True, text=True, timeout=60, env=env, **kw)


def test_as_a_process():
    proc = tessel("--example", "--get", "server.host")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "0.0.0.0\n", "")
    proc = tessel()
    assert proc.returncode == 2 and proc.stdout == "" and proc.stderr.startswith(USAGE)
    with open("/dev/full", "w") as full:
        proc = subprocess.run([sys.executable, "-m", "orvane.tessel", "--example"], stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=60,
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert (proc.returncode, proc.stderr) == (cli.EXIT_WRITE, "tessel: write error: No space left on device\n")
    # The reader goes away before the output is written.
    reader = subprocess.Popen([sys.executable, "-m", "orvane.tessel", "--example", "--flat"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    reader.stdout.close()
    assert reader.wait(timeout=60) == cli.EXIT_PIPE
    assert reader.stderr.read() == b""
    reader.stderr.close()


def test_entry_points_and_their_failures(tmp_path):
    site = tmp_path / "site"
    info = site / "demo_settings-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: demo-settings\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[tessel.demo]\ngood = demo_settings:SETTINGS\nbroken = demo_settings:MISSING\n")
    (site / "demo_settings.py").write_text("SETTINGS = {'svc': {'port': 1, 'name': 'demo'}}\n")
    proc = tessel("--entry-points", "tessel.demo", "--flat", "--origin", env={"EXTRA_PATH": str(site)})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["svc.port = 1  (demo-settings 1.0)",
                                        'svc.name = "demo"  (demo-settings 1.0)']
    warnings = proc.stderr.splitlines()
    assert len(warnings) == 1 and warnings[0].startswith(
        "tessel: warning: Failed to load configuration from entrypoint: demo-settings 1.0")
    assert "Traceback" not in proc.stderr
