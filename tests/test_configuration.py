"""Configuration: typecast on assignment, deep copy, INI/YAML/entry-point loaders."""
import configparser
import copy
import logging
import os
import pickle
import sys
import textwrap
import types

import pkg_resources
import pytest
import yaml

import orvane.tessel.configuration as configuration
from orvane.tessel.coffer import NestedCoffer
from orvane.tessel.configuration import Configuration
from orvane.utils.strings import typecast_str
from support import LeakChecks, assert_recursion_error, raising, run_isolated
from twins import configuration as twin


@pytest.fixture(params=["native", "twin"])
def module(request):
    """The module, and the plain-Python twin the same behaviour is checked on."""
    return configuration if request.param == "native" else twin


@pytest.fixture
def C(module):
    return module.Configuration


def write(folder, name, text):
    path = folder / name
    path.write_text(textwrap.dedent(text))
    return str(path)


# ---------------------------------------------------------------- the module

def test_module_contents():
    d = vars(configuration)
    import collections.abc
    assert d["os"] is os and d["yaml"] is yaml and d["logging"] is logging
    assert d["configparser"] is configparser
    assert d["iter_entry_points"] is pkg_resources.iter_entry_points
    assert d["Mapping"] is collections.abc.Mapping
    assert d["NestedCoffer"] is NestedCoffer and d["typecast_str"] is typecast_str
    assert d["logger"] is logging.getLogger("orvane.tessel.configuration")
    assert d["__test__"] == {} and configuration.__doc__ is None and "__all__" not in d
    assert Configuration.__bases__ == (NestedCoffer,)
    assert Configuration.__mro__[1:] == NestedCoffer.__mro__
    assert type(Configuration) is type(NestedCoffer) and Configuration.__doc__ is None
    assert Configuration.__module__ == "orvane.tessel.configuration"
    names = ["copy", "__setitem__", "load_cfgs", "load_yamls", "load_entrypoint"]
    assert [k for k in vars(Configuration) if k in names + ["__init__"]] == names
    assert "nested configuration blocks" in Configuration.copy.__doc__
    assert "entry point" in Configuration.load_entrypoint.__doc__
    for name in ("__setitem__", "load_cfgs", "load_yamls"):
        assert getattr(Configuration, name).__doc__ is None


def test_import_loads_coffer_first_and_fails_without_typecast():
    proc = run_isolated("""
        import sys
        import orvane.tessel.configuration
        print('orvane.tessel.coffer' in sys.modules)
    """)
    assert proc.returncode == 0 and proc.stdout.strip() == "True", proc.stderr
    proc = run_isolated("""
        import sys
        sys.modules['orvane.utils.strings'] = None
        try:
            import orvane.tessel.configuration
        except ImportError as e:
            print('failed', type(e).__name__)
    """)
    assert proc.stdout.strip() == "failed ModuleNotFoundError", proc.stderr


@pytest.mark.parametrize("text, expected", [
    ("12", 12), ("-3", -3), ("+4", 4), (" 7 ", 7), ("1.5", 1.5), (".5", 0.5), ("2.", 2.0),
    ("1e3", 1000.0), ("TRUE", True), ("false", False), ("None", None), ("null", None),
    ("NULL", None), ("abc", "abc"), ("inf", "inf"), ("nan", "nan"), ("1_000", "1_000"),
    ("", ""), ("0x10", "0x10"), ("١٢", "١٢"),
])
def test_typecast_str_stand_in(text, expected):
    result = typecast_str(text)
    assert result == expected and type(result) is type(expected)
    if type(expected) is str:
        assert result is text


@pytest.mark.parametrize("value", [[1], {"a": 1}, 5, None, b"12", NestedCoffer()])
def test_typecast_str_returns_non_strings_themselves(value):
    assert typecast_str(value) is value


# ---------------------------------------------------------------- the object

def test_levels_are_configurations(C):
    assert C() == {}
    cfg = C(a={"b": "1"})
    assert type(cfg.a) is C and cfg.a.b == 1 and cfg["a.b"] == 1
    cfg["x.y.z"] = "true"
    assert type(cfg.x) is C and type(cfg.x.y) is C and cfg.x.y.z is True


def test_subscript_converts_attributes_do_not(C):
    cfg = C()
    cfg.x = "12"
    cfg["y"] = "12"
    assert cfg == {"x": "12", "y": 12}
    cfg.update(z="none", w=["1"])
    assert cfg.z is None and cfg.w == ["1"]


def test_typecast_str_is_looked_up_at_each_call(module, monkeypatch):
    calls = []

    def counting(value):
        calls.append(type(value).__name__)
        return typecast_str(value)
    monkeypatch.setattr(module, "typecast_str", counting)
    cfg = module.Configuration()
    cfg["a.b"] = "5"
    # the leaf once per level, and the new level "a" once
    assert sorted(calls) == ["Configuration", "int", "str"] and cfg.a.b == 5
    del calls[:]
    cfg["a.c"] = "6"          # existing level: one throw-away level is stored nowhere
    assert calls.count("str") == 1 and calls.count("int") == 1
    del calls[:]
    cfg.copy()
    assert calls == ["Configuration", "int", "int"]


def test_failing_typecast_stores_nothing(module, monkeypatch):
    cfg = module.Configuration(a={"b": 1})

    def refuse(value):
        raise ValueError("no")
    monkeypatch.setattr(module, "typecast_str", refuse)
    for key in ("x", "a.b"):
        with pytest.raises(ValueError, match="no"):
            cfg[key] = 2
    assert cfg == {"a": {"b": 1}}


def test_super_setitem_follows_changes_of_the_hierarchy(module):
    C = module.Configuration
    seen = []

    class Mid(C.__mro__[1]):
        pass

    class Sub(C, Mid):
        pass
    s = Sub()
    s["x"] = "1"
    Mid.__setitem__ = lambda self, key, value: seen.append((key, value))
    try:
        s["y"] = "2"
        assert seen == [("y", 2)] and "y" not in s
    finally:
        del Mid.__setitem__
    s["z"] = "3"
    assert s == {"x": 1, "z": 3}


def test_foreign_levels_count_as_values(C):
    cfg = C()
    cfg["n"] = NestedCoffer(x=1)
    cfg["d"] = {"x": 1}
    for head in ("n", "d"):
        assert cfg[head + ".x"] == 1
        with pytest.raises(KeyError) as err:
            cfg[head + ".y"] = 2
        assert err.value.args == (
            'target key "%s" is a value, cannot update value against another Configuration' % head,)


def test_copy_rebuilds_every_level(C):
    shared = [1, 2]
    cfg = C(a={"b": {"c": 1}}, l=shared)
    cfg["plain"] = {"k": {"j": 1}}
    c2 = cfg.copy()
    assert c2 == cfg and type(c2) is C
    assert c2["a"] is not cfg["a"] and c2["a.b"] is not cfg["a.b"]
    assert type(c2["plain"]) is C and type(c2["plain.k"]) is C   # plain mappings become levels
    assert c2.l is shared
    c2["a.b.c"] = 2
    c2["a"]["new"] = 3
    assert cfg == {"a": {"b": {"c": 1}}, "l": [1, 2], "plain": {"k": {"j": 1}}}

    class Sub(C):
        pass
    s = Sub(a={"b": 1}).copy()
    assert type(s) is Sub and type(s.a) is Sub


def test_copy_of_a_configuration_that_contains_itself():
    assert_recursion_error("""
        from orvane.tessel.configuration import Configuration
        cfg = Configuration(a={'b': 1})
        cfg['me'] = cfg
        cfg.copy()
    """)


def test_dotted_key_through_a_configuration_that_contains_itself():
    assert_recursion_error("""
        from orvane.tessel.configuration import Configuration
        cfg = Configuration()
        cfg['a'] = cfg
        cfg['a.' * 100000 + 'b'] = 1
    """)


def test_deeply_nested_document():
    assert_recursion_error("""
        from orvane.tessel.configuration import Configuration
        deep = {}
        for _ in range(100000):
            deep = {'a': deep}
        Configuration(deep)
    """)


# ---------------------------------------------------------------- load_cfgs

INI = """\
    [DEFAULT]
    x = 1
    [s]
    y = 2
    Name = v ; kept: no inline comments
    url = http://host:80/path
    # a comment
    [a.b]
    z = yes
    """


def test_load_cfgs(C, tmp_path):
    path = write(tmp_path, "a.cfg", INI)
    cfg = C(DEFAULT={"old": 1}, keep=1)
    assert cfg.load_cfgs(str(tmp_path / "missing.cfg"), path) == [path]
    assert cfg == {"keep": 1,
                   "s": {"x": 1, "y": 2, "name": "v ; kept: no inline comments",
                         "url": "http://host:80/path"},
                   "a": {"b": {"z": "yes", "x": 1}}}
    assert type(cfg.a.b) is C
    assert cfg.load_cfgs() == [] and "DEFAULT" not in cfg


def test_load_cfgs_merges_each_time_and_later_files_win(C, tmp_path):
    first = write(tmp_path, "1.cfg", "[s]\na = 1\nb = 2\n")
    second = write(tmp_path, "2.cfg", "[s]\nb = 3\n")
    cfg = C()
    assert cfg.load_cfgs(first, second, first) == [first, second, first]
    assert cfg == {"s": {"a": 1, "b": 2}}
    cfg.load_cfgs(second)
    assert cfg.s.b == 3


def test_load_cfgs_calls_update_and_pop_through_the_instance(C, tmp_path):
    calls = []

    class Watched(C):
        def update(self, *args, **kwargs):
            calls.append(("update", type(args[0]).__name__ if args else None))
            return super().update(*args, **kwargs)

        def pop(self, *args):
            calls.append(("pop",) + args)
            return super().pop(*args)
    w = Watched()
    del calls[:]
    w.load_cfgs(write(tmp_path, "w.cfg", "[s]\na = 1\n"))
    assert calls[0] == ("update", "ConfigParser") and calls[-1] == ("pop", "DEFAULT")
    assert w == {"s": {"a": 1}}


@pytest.mark.parametrize("text, error", [
    ("[s]\na: 1\n", configparser.ParsingError),          # ":" is no delimiter
    ("[s]\n; not a comment\n", configparser.ParsingError),
    ("[s]\na = 1\na = 2\n", configparser.DuplicateOptionError),
    ("[s]\n[s]\n", configparser.DuplicateSectionError),
    ("a = 1\n", configparser.MissingSectionHeaderError),
])
def test_load_cfgs_refused_files_merge_nothing(C, tmp_path, text, error):
    cfg = C(keep=1)
    with pytest.raises(error):
        cfg.load_cfgs(write(tmp_path, "bad.cfg", text))
    assert cfg == {"keep": 1}


def test_load_cfgs_bad_interpolation_keeps_what_was_merged(C, tmp_path):
    path = write(tmp_path, "i.cfg", "[a]\nok = 1\n[b]\nbad = %(nothing)s\n")
    cfg = C()
    with pytest.raises(configparser.InterpolationMissingOptionError):
        cfg.load_cfgs(path)
    assert cfg == {"DEFAULT": {}, "a": {"ok": 1}, "b": {}}


# ---------------------------------------------------------------- load_yamls

def test_load_yamls(C, tmp_path):
    a = write(tmp_path, "a.yaml", """\
        db:
          host: one
          port: 5432
        list: [1, 2]
        """)
    b = write(tmp_path, "b.yaml", """\
        db:
          host: two
          user: me
        flag: "true"
        """)
    cfg = C()
    assert cfg.load_yamls(str(tmp_path / "missing.yaml"), str(tmp_path), a, b) == (a, b)
    assert cfg == {"db": {"host": "two", "port": 5432, "user": "me"}, "list": [1, 2], "flag": True}
    assert type(cfg.db) is C
    assert cfg.load_yamls() == ()
    assert cfg.load_yamls(a, a) == (a, a)


@pytest.mark.parametrize("text", ["", "# only a comment\n", "---\n", "~\n"])
def test_empty_yaml_file_is_an_empty_settings_file(C, tmp_path, text):
    empty = write(tmp_path, "empty.yaml", text)
    other = write(tmp_path, "other.yaml", "k: 1\n")
    cfg = C(keep=1)
    assert cfg.load_yamls(empty, other) == (empty, other)
    assert cfg == {"keep": 1, "k": 1}


@pytest.mark.parametrize("text, error, message", [
    ("- [a, 1]\n- [b.c, 2]\n", None, None),
    ("- [a, 1]\n- [b]\n", TypeError, "cannot convert dictionary update sequence element #1 to a sequence"),
    ("5\n", TypeError, "'int' object is not iterable"),
    ("just text\n", TypeError, "cannot convert dictionary update sequence element #0 to a sequence"),
])
def test_yaml_documents_that_are_not_mappings(C, tmp_path, text, error, message):
    path = write(tmp_path, "d.yaml", text)
    cfg = C()
    if error is None:
        assert cfg.load_yamls(path) == (path,)
        assert cfg == {"a": 1, "b": {"c": 2}}
    else:
        with pytest.raises(error) as err:
            cfg.load_yamls(path)
        assert str(err.value) == message


def test_yaml_error_closes_the_file_and_stops(module, tmp_path, monkeypatch):
    opened = []

    def recording_open(*args):
        f = open(*args)
        opened.append(f)
        return f
    monkeypatch.setattr(module, "open", recording_open, raising=False)
    good = write(tmp_path, "good.yaml", "a: 1\n")
    bad = write(tmp_path, "bad.yaml", "a: [\n")
    later = write(tmp_path, "later.yaml", "b: 1\n")
    cfg = module.Configuration()
    with pytest.raises(yaml.YAMLError):
        cfg.load_yamls(good, bad, later)
    assert cfg == {"a": 1}
    assert len(opened) == 2 and all(f.closed for f in opened)
    assert [f.mode for f in opened] == ["r", "r"]


def test_yaml_file_context_can_swallow_the_error(module, tmp_path, monkeypatch):
    class Quiet:
        def __init__(self, name, mode):
            self.file = open(name, mode)

        def __enter__(self):
            return self.file

        def __exit__(self, *exc):
            self.file.close()
            self.seen = exc[0]
            return True
    made = []
    monkeypatch.setattr(module, "open", lambda *a: made.append(Quiet(*a)) or made[-1], raising=False)
    bad = write(tmp_path, "bad.yaml", "a: [\n")
    assert module.Configuration().load_yamls(bad) == (bad,)
    assert issubclass(made[0].seen, yaml.YAMLError)


# ---------------------------------------------------------------- alias expansion

# Two bombs of a few hundred bytes: nine aliases per level, as mappings (merging
# copies each occurrence) and as lists (anything that walks them visits each).
NESTED_BOMB = "a: &a {x: 1}\n" + "".join(
    "%s: &%s {%s}\n" % (c, c, ", ".join("%s: *%s" % (k, p) for k in "qrstuvwxy"))
    for p, c in zip("abcdefgh", "bcdefghi"))
LAUGHS = "a: &a [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n" + "".join(
    "%s: &%s [%s]\n" % (c, c, ", ".join(["*" + p] * 9)) for p, c in zip("abcdefgh", "bcdefghi"))


@pytest.mark.parametrize("text, expected", [
    ("base: &base {host: h, port: 1}\ndev:\n  <<: *base\n  port: 2\nprod:\n  <<: *base\n",
     {"base": {"host": "h", "port": 1}, "dev": {"host": "h", "port": 2}, "prod": {"host": "h", "port": 1}}),
    ("hosts: &hosts [a, b, c]\nweb: {hosts: *hosts}\napi: {hosts: *hosts}\njobs: {hosts: *hosts}\n",
     {"hosts": ["a", "b", "c"], "web": {"hosts": ["a", "b", "c"]}, "api": {"hosts": ["a", "b", "c"]},
      "jobs": {"hosts": ["a", "b", "c"]}}),
    # forty levels that share one 30-entry mapping: 1,300 nodes from 130
    ("shared: &s {%s}\n%s" % (", ".join("k%d: %d" % (i, i) for i in range(30)),
                               "".join("l%d: *s\n" % i for i in range(40))), None),
])
def test_ordinary_anchors_load(C, tmp_path, text, expected):
    path = write(tmp_path, "anchors.yaml", text)
    cfg = C()
    assert cfg.load_yamls(path) == (path,)
    if expected is not None:
        assert cfg == expected
    else:
        assert cfg.l39 == cfg.shared and cfg.l39 is not cfg.shared


@pytest.mark.parametrize("text, detail", [
    (NESTED_BOMB, "(205817133 nodes from 165 as loaded)"),
    (LAUGHS, "(490329064 nodes from 100 as loaded)"),
    ("a: &a\n  me: *a\n", "(it contains itself)"),
    ("- &a [*a, 1]\n", "(it contains itself)"),
    # three levels of twenty: past a hundredfold
    ("a: &a [%s]\nb: &b [%s]\nc: [%s]\n" % (", ".join("x" * 20), ", ".join(["*a"] * 20),
                                             ", ".join(["*b"] * 20)), "(8867 nodes from 67 as loaded)"),
])
def test_documents_that_expand_too_much_merge_nothing(C, tmp_path, text, detail):
    before = write(tmp_path, "before.yaml", "keep: 1\nb: {x: 1}\n")
    bomb = write(tmp_path, "bomb.yaml", text)
    after = write(tmp_path, "after.yaml", "later: 1\n")
    cfg = C()
    with pytest.raises(ValueError) as err:
        cfg.load_yamls(before, bomb, after)
    assert str(err.value).startswith(bomb + ": the document expands too much through aliases ")
    assert str(err.value).endswith(detail)
    assert cfg == {"keep": 1, "b": {"x": 1}}


def test_bombs_fail_fast_and_small(tmp_path):
    """Each bomb is refused within a second, in a process whose address space
    leaves 64 MB for it."""
    paths = [write(tmp_path, "nested.yaml", NESTED_BOMB), write(tmp_path, "laughs.yaml", LAUGHS)]
    proc = run_isolated("""
        import os, resource, time
        from orvane.tessel.configuration import Configuration
        import yaml
        if not os.environ.get("TESSEL_SANITIZED"):  # the sanitizers reserve more address space
            used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
        for path in %r:
            start = time.perf_counter()
            try:
                Configuration().load_yamls(path)
            except ValueError as e:
                print(type(e).__name__, time.perf_counter() - start < 1.0)
    """ % paths, timeout=60)
    assert proc.stdout.split() == ["ValueError", "True"] * 2, proc.stderr[-2000:]


def test_measuring_a_deep_document_raises_recursion_error():
    assert_recursion_error("""
        import sys, tempfile, yaml
        from orvane.tessel.configuration import Configuration
        deep = []
        for _ in range(200000):
            deep = [deep]
        yaml.safe_load = lambda stream: {'a': deep}  # PyYAML would stop far sooner
        sys.setrecursionlimit(10 ** 6)
        with tempfile.NamedTemporaryFile(suffix='.yaml') as f:
            Configuration().load_yamls(f.name)
    """)


def test_unreadable_file_through_the_command():
    """Read by a process without the rights to: the INI loader skips the file
    (as configparser does), the command says so with status 2."""
    import shutil
    import tempfile
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        name = os.path.join(folder, "secret.ini")
        with open(name, "w") as f:
            f.write("[s]\na = 1\n")
        os.chmod(name, 0)
        proc = run_isolated("""
            import io, os, sys
            from orvane.tessel import cli
            from orvane.tessel.configuration import Configuration
            name = %r
            if os.getuid() == 0:  # root reads anything: become nobody
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            print(Configuration().load_cfgs(name))
            err = io.StringIO()
            print(cli.main([name], stdout=io.StringIO(), stderr=err))
            sys.stdout.write(err.getvalue())
        """ % name)
        assert proc.stdout.splitlines() == [
            "[]", "2", "tessel: %s: cannot be read (Permission denied)" % name], proc.stderr[-2000:]
    finally:
        shutil.rmtree(folder)


# ---------------------------------------------------------------- load_entrypoint

def make_distribution(folder, group, name, with_interrupt=False):
    """A throw-away installed distribution `name` that publishes settings under `group`."""
    (folder / "cfgdemo_settings.py").write_text(textwrap.dedent("""\
        SETTINGS = {"db": {"host": "localhost", "port": "5432"}, "debug": "false"}
        PARTIAL = [("merged", "1"), ("broken",)]
        NUMBER = 5
        """))
    (folder / "cfgdemo_interrupt.py").write_text("raise KeyboardInterrupt\n")
    info = folder / ("%s-1.0.dist-info" % name)
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: %s\nVersion: 1.0\n" % name)
    lines = ["[%s]" % group,
             "good = cfgdemo_settings:SETTINGS",
             "missing = cfgdemo_no_such_module:SETTINGS",
             "partial = cfgdemo_settings:PARTIAL",
             "number = cfgdemo_settings:NUMBER"]
    if with_interrupt:
        lines.append("interrupt = cfgdemo_interrupt:X")
    (info / "entry_points.txt").write_text("\n".join(lines) + "\n")


@pytest.fixture
def installed(tmp_path, monkeypatch):
    """Installs a throw-away distribution into the running interpreter; returns
    its name (the working set keeps the first distribution of each name)."""
    def install(group, **kw):
        name = "cfgdemo%d" % next(_distributions)
        make_distribution(tmp_path, group, name, **kw)
        monkeypatch.syspath_prepend(str(tmp_path))
        pkg_resources.working_set.add_entry(str(tmp_path))
        return name
    return install


_distributions = iter(range(1, 1000))


def test_load_entrypoint(module, installed, tmp_path, caplog):
    group = "orvane.test.settings.%s.%s" % (module.__name__.replace(".", "_"), tmp_path.name)
    name = installed(group)
    cfg = module.Configuration()
    with caplog.at_level(logging.ERROR, logger=module.logger.name):
        loaded = cfg.load_entrypoint(group)
    assert [ep.name for ep in loaded] == ["good"]
    assert cfg == {"db": {"host": "localhost", "port": 5432}, "debug": False, "merged": 1}
    assert type(cfg.db) is module.Configuration
    records = [r for r in caplog.records if r.name == module.logger.name]
    assert [r.levelno for r in records] == [logging.ERROR] * 3
    for record, error in zip(records, [ModuleNotFoundError, TypeError, TypeError]):
        assert record.getMessage() == "Failed to load configuration from entrypoint: %s 1.0" % name
        assert record.exc_info[0] is error and record.exc_info[2] is not None
    assert cfg.load_entrypoint("orvane.test.settings.nothing.here") == []


def test_load_entrypoint_lets_interrupts_through(module, installed, tmp_path, caplog):
    group = "orvane.test.interrupt.%s.%s" % (module.__name__.replace(".", "_"), tmp_path.name)
    installed(group, with_interrupt=True)
    cfg = module.Configuration()
    with caplog.at_level(logging.CRITICAL + 1):
        with pytest.raises(KeyboardInterrupt):
            cfg.load_entrypoint(group)
    assert cfg.db.host == "localhost"


def test_load_entrypoint_from_a_fresh_interpreter(tmp_path):
    make_distribution(tmp_path, "orvane.test.fresh", "cfgdemo")
    proc = run_isolated("""
        import logging, sys
        logging.basicConfig(stream=sys.stdout, format='%(name)s|%(levelname)s|%(message)s')
        from orvane.tessel.configuration import Configuration
        cfg = Configuration()
        print([ep.name for ep in cfg.load_entrypoint(group='orvane.test.fresh')])
        print(cfg['db.port'] + 1)
    """, extra_env={"PYTHONPATH": os.pathsep.join([str(tmp_path)] + [p for p in sys.path if p])})
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[-2:] == ["['good']", "5433"]
    logged = [line for line in lines if line.startswith("orvane.tessel.configuration|ERROR|")]
    assert logged == ["orvane.tessel.configuration|ERROR|"
                      "Failed to load configuration from entrypoint: cfgdemo 1.0"] * 3


# ---------------------------------------------------------------- leaks

@pytest.fixture
def leak_files(tmp_path):
    return types.SimpleNamespace(
        ini=write(tmp_path, "a.cfg", INI),
        no_header=write(tmp_path, "bad.cfg", "a = 1\n"),
        yamls=(write(tmp_path, "a.yaml", "y: {b: 1}\n"), write(tmp_path, "e.yaml", ""),
               str(tmp_path / "none.yaml")),
        bad_yaml=write(tmp_path, "bad.yaml", "a: [\n"),
        bomb=write(tmp_path, "bomb.yaml", LAUGHS),
        itself=write(tmp_path, "itself.yaml", "a: &a {me: *a, list: [*a]}\n"))


@pytest.fixture
def quiet_logger():
    logger = logging.getLogger(configuration.logger.name)
    logger.disabled = True
    yield
    logger.disabled = False


@pytest.fixture
def leak_group(tmp_path, installed, quiet_logger):
    group = "orvane.test.leaks." + tmp_path.name
    installed(group)
    return group


@pytest.fixture
def leak_interrupted_group(tmp_path, installed, quiet_logger):
    group = "orvane.test.leaks.interrupted." + tmp_path.name
    installed(group, with_interrupt=True)
    return group


class Refusing(Configuration):
    def __setitem__(self, key, value):
        raise ValueError("refused")


class TestLeaks(LeakChecks):
    module = configuration

    @staticmethod
    def cases():
        doc = {"a": {"b": {"c": "1"}, "d": [1]}, "e": "x"}

        def cfg():
            return Configuration(doc)
        # Reading files: newer interpreters keep warming their own caches for a while.
        files = {"repeat": 300, "rounds": 8}
        cfgs = dict(files, warmup=4000)
        yamls = dict(files, warmup=1000)
        # Parsing the bomb takes most of its 20 ms: a few rounds of few calls.
        bombs = {"repeat": 40, "rounds": 4, "warmup": 80}
        # Entry points: free lists and import caches fill up slowly here.
        entry_points = {"repeat": 50, "rounds": 8, "warmup": 500}
        yield "Configuration", lambda: Configuration(doc), {"repeat": 300}
        yield "Configuration: not a mapping", raising(lambda: Configuration(5), TypeError)
        yield "Configuration: deep copy", lambda c=cfg(): copy.deepcopy(c), {"repeat": 1000}
        yield "Configuration: pickle", lambda c=cfg(): pickle.loads(pickle.dumps(c)), {"repeat": 1000}
        yield "Configuration: dir", lambda c=cfg(): dir(c), {"repeat": 1000}
        yield "Configuration.copy", lambda c=cfg(): c.copy(), {"repeat": 300}
        refusing = Refusing()
        dict.__setitem__(refusing, "a", 1)
        yield "Configuration.copy: refused by a subclass", raising(refusing.copy, ValueError)
        yield "Configuration.copy: an argument", raising(lambda c=cfg(): c.copy(1), TypeError)
        yield "Configuration.__setitem__", lambda c=cfg(): c.__setitem__("a.b.c", "2"), {"repeat": 500}
        yield "Configuration.__setitem__: onto a value", raising(lambda c=cfg(): c.__setitem__("e.f", 1), KeyError)
        yield "Configuration.load_cfgs", lambda leak_files, c=cfg(): c.load_cfgs(leak_files.ini), cfgs
        yield "Configuration.load_cfgs: no section header", raising(
            lambda leak_files, c=cfg(): c.load_cfgs(leak_files.no_header),
            configparser.MissingSectionHeaderError), files
        yield "Configuration.load_yamls", lambda leak_files, c=cfg(): c.load_yamls(*leak_files.yamls), yamls
        yield "Configuration.load_yamls: bad document", raising(
            lambda leak_files, c=cfg(): c.load_yamls(leak_files.bad_yaml), yaml.YAMLError), files
        yield "Configuration.load_yamls: expands too much", raising(
            lambda leak_files, c=cfg(): c.load_yamls(leak_files.bomb), ValueError), bombs
        yield "Configuration.load_yamls: contains itself", raising(
            lambda leak_files, c=cfg(): c.load_yamls(leak_files.itself), ValueError), files
        yield "Configuration.load_entrypoint", lambda leak_group, c=cfg(): c.load_entrypoint(leak_group), \
            entry_points
        yield "Configuration.load_entrypoint: interrupted", raising(
            lambda leak_interrupted_group, c=cfg(): c.load_entrypoint(leak_interrupted_group),
            KeyboardInterrupt), entry_points
        yield "Configuration.load_entrypoint: no group", raising(lambda c=cfg(): c.load_entrypoint(), TypeError)
