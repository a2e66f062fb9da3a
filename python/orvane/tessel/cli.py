"""tessel: show what a program's settings come to after layering.

    tessel [FILE ...] [--example] [--entry-points GROUP] [--set KEY=VALUE ...]
           [--format tree|flat|json|yaml | --flat] [--get KEY] [--where TEST]
           [--origin] [--type ini|yaml] [--debug] [--version]

Each source is merged over the ones before it into one Configuration: the
example settings (--example), then each FILE in order (.ini, .cfg and .conf
files as INI, .yaml and .yml files as YAML, others as --type says; `-` is
standard input), then the entry points of GROUP, then each --set.
"""
import argparse
import ast
import base64
import configparser
import datetime
import errno
import json
import logging
import math
import os
import re
import shutil
import stat
import sys
import tempfile
from collections.abc import Mapping

EXIT_MISSING = 1    # a queried key is absent
EXIT_USAGE = 2      # bad usage or bad input
EXIT_INTERNAL = 3   # a fault of tessel itself
EXIT_WRITE = 74     # the output could not be written (a full device)
EXIT_PIPE = 141     # the reader of the output went away, as for a process ended by SIGPIPE

INI_SUFFIXES = (".ini", ".cfg", ".conf")
YAML_SUFFIXES = (".yaml", ".yml")
FORMATS = ("tree", "flat", "json", "yaml")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples")
EXAMPLE_FILES = [os.path.join(EXAMPLES, "settings.ini"), os.path.join(EXAMPLES, "overrides.yaml")]

EPILOG = """\
keys:
  A key is a path of names joined by dots, as --flat prints it: db.pool.size.
  A part in brackets is a YAML scalar: db.replicas[0] is a list position,
  servers[0]["a.b"] a key that holds a dot, codes[404] and flags[true] keys
  that are not strings, days[2024-01-31] a date key.  --get, --set and the
  paths that --flat prints all use this form.

formats:
  tree (default) and flat show values as JSON text; json and yaml print the
  merged settings as data.  JSON holds no dates, bytes or non-string keys:
  dates and times become ISO 8601 strings, bytes base64 strings, sets lists,
  keys their JSON or ISO text, and NaN or infinite numbers the strings "NaN",
  "Infinity" and "-Infinity".  Control characters are escaped everywhere.

exit status:
  0 success, 1 the key of --get is absent, 2 bad usage or bad input (one
  line on stderr), 3 an internal error, 74 the output could not be written,
  141 the reader of the output went away.
"""


class Failure(Exception):
    """A problem with the user's input: one line on stderr, and an exit code."""

    def __init__(self, message, code=EXIT_USAGE):
        super().__init__(message)
        self.code = code


# ---------------------------------------------------------------- text

_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escape(text):
    """`text` with every control or line-breaking character written as an escape."""
    def one(match):
        c = match.group()
        return _NAMED.get(c) or ("\\x%02x" % ord(c) if ord(c) < 0x100 else "\\u%04x" % ord(c))
    return _CONTROL.sub(one, str(text))


def _first_line(obj):
    text = str(obj).strip()
    return text.splitlines()[0] if text else type(obj).__name__


def _json_text(data, indent=None):
    """JSON text of converted data, also escaping the characters that JSON lets
    through but that break or hide lines (DEL, C1 controls, U+2028, U+2029)."""
    text = json.dumps(data, ensure_ascii=False, indent=indent, allow_nan=True)
    return re.sub("[\x7f-\x9f\u2028\u2029]", lambda m: "\\u%04x" % ord(m.group()), text)


# ---------------------------------------------------------------- values as data

def _is_level(value):
    return isinstance(value, Mapping)


def _time_text(value):
    return value.isoformat()


def _key_for_json(key):
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (bool, int)):
        return json.dumps(key)
    if isinstance(key, float):
        return _scalar(key, True) if not math.isfinite(key) else json.dumps(key)
    if isinstance(key, (datetime.date, datetime.time)):
        return _time_text(key)
    if isinstance(key, (bytes, bytearray)):
        return base64.b64encode(bytes(key)).decode("ascii")
    return str(key)


def _scalar(value, for_json):
    if isinstance(value, float) and not math.isfinite(value) and for_json:
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    if isinstance(value, (datetime.date, datetime.time)):
        return _time_text(value) if for_json else value
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(bytes(value)).decode("ascii") if for_json else bytes(value)
    return str(value)


def to_data(value, for_json, path="", active=None):
    """`value` as plain data: mappings as dicts, lists and tuples as lists, and,
    for JSON, every value and key JSON cannot hold converted by the stated rule.
    A value that contains itself is refused."""
    if active is None:
        active = set()
    if not isinstance(value, (Mapping, list, tuple, set, frozenset)):
        return _scalar(value, for_json)
    if id(value) in active:
        raise Failure("%s: contains itself" % escape(path) if path else "the settings contain themselves")
    active.add(id(value))
    try:
        if isinstance(value, Mapping):
            out = {}
            for key, item in value.items():
                inner = _join(path, key)
                name = _key_for_json(key) if for_json else _scalar(key, False)
                if name in out:
                    raise Failure("%s: two keys are the same text in JSON (use --format yaml)" % escape(inner))
                out[name] = to_data(item, for_json, inner, active)
            return out
        if isinstance(value, (set, frozenset)):
            items = list(value)
            try:
                items.sort()
            except TypeError:
                pass
            if not for_json and isinstance(value, set):
                return set(_scalar(x, False) for x in items)
            return [to_data(x, for_json, path, active) for x in items]
        return [to_data(x, for_json, "%s[%d]" % (path, i), active) for i, x in enumerate(value)]
    finally:
        active.discard(id(value))


def value_text(value):
    """A value as the tree and flat formats show it: its JSON text, on one line."""
    if _is_level(value) and not value:
        return "{}"
    return _json_text(to_data(value, True))


# ---------------------------------------------------------------- paths

_PLAIN_KEY = re.compile("[^.\\[\\]\"'\\\\=\x00-\x1f\x7f-\x9f\u2028\u2029]+\\Z")


def _is_plain(key):
    return isinstance(key, str) and bool(_PLAIN_KEY.match(key)) and key == key.strip()


def _key_literal(key):
    """A key as the YAML scalar that reads back as that key, for brackets."""
    if isinstance(key, str):
        return _json_text(key)
    if key is None or isinstance(key, bool):
        return json.dumps(key)
    if isinstance(key, int):
        return str(key)
    if isinstance(key, float):
        if math.isnan(key):
            return ".nan"
        return repr(key) if math.isfinite(key) else (".inf" if key > 0 else "-.inf")
    if isinstance(key, (datetime.date, datetime.time)):
        return _time_text(key)
    if isinstance(key, (bytes, bytearray)):
        return "!!binary " + base64.b64encode(bytes(key)).decode("ascii")
    return _json_text(str(key))


def _join(path_text, key):
    """The path text of `key` below the level at `path_text`."""
    if _is_plain(key):
        return path_text + "." + key if path_text else key
    return "%s[%s]" % (path_text, _key_literal(key))


def _index(path_text, i):
    return "%s[%d]" % (path_text, i)


def parse_path(text, what="--get"):
    """The parts of a key written as --flat prints paths: a list of
    ("name", str) and ("bracket", scalar) pairs."""
    import yaml
    parts = []
    i, n = 0, len(text)
    while i < n:
        if text[i] == "[":
            j = i + 1
            if j < n and text[j] == '"':  # a quoted key may hold "]"
                j += 1
                while j < n and text[j] != '"':
                    j += 2 if text[j] == "\\" else 1
                j += 1
            elif j < n and text[j] == "'":
                j += 1
                while j < n and (text[j] != "'" or text[j + 1:j + 2] == "'"):
                    j += 2 if text[j] == "'" else 1
                j += 1
            while j < n and text[j] != "]":
                j += 1
            if j >= n:
                raise Failure("%s: %s: unclosed bracket" % (what, escape(text)))
            literal = text[i + 1:j]
            try:
                key = yaml.safe_load(literal) if literal.strip() else None
            except yaml.YAMLError:
                raise Failure("%s: %s: [%s] is not a YAML scalar" % (what, escape(text), escape(literal)))
            if not literal.strip() or isinstance(key, (list, dict, set)):
                raise Failure("%s: %s: [%s] is not a YAML scalar" % (what, escape(text), escape(literal)))
            parts.append(("bracket", key))
            i = j + 1
            continue
        if text[i] == "." and parts:
            i += 1
        elif parts:
            raise Failure("%s: %s: expected '.' or '[' at position %d" % (what, escape(text), i + 1))
        j = i
        while j < n and text[j] not in ".[":
            j += 1
        if j == i:
            raise Failure("%s: %s: empty name at position %d (an empty key is [\"\"])" % (
                what, escape(text), i + 1))
        parts.append(("name", text[i:j]))
        i = j
    if not parts:
        raise Failure("%s: empty key" % what)
    return parts


_MISSING = object()


def lookup(cfg, parts):
    """The value at `parts`, and the mapping path (keys down to the first list
    position) whose origin it has; _MISSING when there is none."""
    value = cfg
    keys = []
    in_list = False
    for kind, key in parts:
        if _is_level(value):
            try:
                value = dict.__getitem__(value, key) if isinstance(value, dict) else value[key]
            except (KeyError, TypeError):
                return _MISSING, ()
            if not in_list:
                keys.append(key)
        elif isinstance(value, (list, tuple)) and kind == "bracket" and type(key) is int:
            if not 0 <= key < len(value):
                return _MISSING, ()
            value = value[key]
            in_list = True
        else:
            return _MISSING, ()
    return value, tuple(keys)


# ---------------------------------------------------------------- loading

def _source_kind(name, forced):
    lower = name.lower()
    if name != "-":
        if lower.endswith(INI_SUFFIXES):
            return "ini"
        if lower.endswith(YAML_SUFFIXES):
            return "yaml"
    if forced:
        return forced
    if name == "-":
        raise Failure("-: say the kind of standard input with --type ini or --type yaml")
    if os.path.isdir(name):
        raise Failure("%s: is a directory, not a settings file" % escape(name))
    if not os.path.lexists(name):
        raise Failure("%s: no such file" % escape(name))
    raise Failure("%s: unknown kind of settings file (name it %s, or say --type ini or --type yaml)" % (
        escape(name), ", ".join(INI_SUFFIXES + YAML_SUFFIXES)))


def _ini_error(name, e):
    """One line for a configparser error: the file, the line, what is wrong."""
    line = getattr(e, "lineno", None)
    if isinstance(e, configparser.MissingSectionHeaderError):
        what = "no [section] header before %s" % escape(e.line.strip())
    elif isinstance(e, configparser.ParsingError) and e.errors:
        line, text = e.errors[0]
        try:
            text = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            pass
        what = "not an option (name = value): %s" % escape(str(text).strip())
    else:
        what = escape(_first_line(e))
    return "%s: line %d: %s" % (name, line, what) if line else "%s: %s" % (name, what)


def _yaml_error(name, e):
    mark = getattr(e, "problem_mark", None)
    where = "%s: line %d" % (name, mark.line + 1) if mark is not None else name
    return "%s: %s" % (where, escape(getattr(e, "problem", None) or _first_line(e)))


def _check_document(path, shown):
    """Refuses a YAML file whose document is not a mapping (an empty file is
    an empty mapping).  Reads nodes only: aliases stay shared."""
    import yaml
    with open(path, "r") as stream:
        node = yaml.compose(stream, Loader=yaml.SafeLoader)
    if node is not None and not isinstance(node, yaml.MappingNode):
        kind = "a list" if isinstance(node, yaml.SequenceNode) else "a single value"
        raise Failure("%s: the document is %s, not a mapping of settings" % (shown, kind))


def _load_layer(path, shown, kind):
    """A new Configuration holding one file; `shown` is its name in messages."""
    import yaml
    from orvane.tessel.configuration import Configuration
    layer = Configuration()

    def message(e):
        text = escape(_first_line(e)).replace(escape(path), shown)
        return text if text.startswith(shown + ":") else "%s: %s" % (shown, text)
    try:
        if kind == "yaml":
            _check_document(path, shown)
            loaded = layer.load_yamls(path)
        else:
            loaded = layer.load_cfgs(path)
    except configparser.Error as e:
        raise Failure(_ini_error(shown, e))
    except yaml.YAMLError as e:
        raise Failure(_yaml_error(shown, e))
    except RecursionError:
        raise Failure("%s: nested too deeply to load" % shown)
    except MemoryError:
        raise Failure("%s: too large to load" % shown)
    except (KeyError, AttributeError) as e:
        detail = e.args[0] if isinstance(e, KeyError) and e.args else e
        raise Failure("%s: a key is both a value and a section (%s)" % (shown, escape(_first_line(detail))))
    except (TypeError, ValueError, OSError) as e:
        raise Failure(message(e))
    if path not in loaded:
        raise Failure("%s: cannot be read (the loader skipped it)" % shown)
    return layer


def _read_source(name, kind, stdin):
    """Loads one source; names that are no regular file (`-`, a pipe, a
    device) are copied to a file of the right kind first."""
    shown = "-" if name == "-" else escape(name)
    if name == "-":
        data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode()
    else:
        try:
            info = os.stat(name)
        except FileNotFoundError:
            raise Failure("%s: no such file" % shown)
        except OSError as e:
            raise Failure("%s: cannot be read (%s)" % (shown, e.strerror))
        if stat.S_ISDIR(info.st_mode):
            raise Failure("%s: is a directory, not a settings file" % shown)
        try:
            with open(name, "rb") as f:
                data = None if stat.S_ISREG(info.st_mode) else f.read()
        except OSError as e:
            raise Failure("%s: cannot be read (%s)" % (shown, e.strerror))
        if data is None:
            return _load_layer(name, shown, kind)
    folder = tempfile.mkdtemp(prefix="tessel-")
    try:
        path = os.path.join(folder, "input" + (".yaml" if kind == "yaml" else ".ini"))
        with open(path, "wb") as f:
            f.write(data)
        return _load_layer(path, shown, kind)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _set_layer(assignment):
    from orvane.tessel.configuration import Configuration
    depth = 0
    for i, c in enumerate(assignment):
        depth += c == "["
        depth -= c == "]"
        if c == "=" and depth <= 0:
            break
    else:
        raise Failure("--set: %s: expected KEY=VALUE" % escape(assignment))
    key, value = assignment[:i], assignment[i + 1:]
    data = value
    for _, part in reversed(parse_path(key, "--set")):
        data = {part: data}
    layer = Configuration()
    layer.update(data)
    return layer


def _leaf_paths(level, prefix=(), active=None):
    """The mapping paths of the settings below `level`: every non-mapping
    value and every empty mapping."""
    active = set() if active is None else active
    if id(level) in active:
        raise Failure("the settings contain themselves")
    active.add(id(level))
    for key, value in level.items():
        path = prefix + (key,)
        if _is_level(value) and value:
            yield from _leaf_paths(value, path, active)
        else:
            yield path
    active.discard(id(level))


def _conflict(merged, layer, prefix=()):
    """The first path at which `layer` holds a mapping and `merged` a value:
    merging would fail there."""
    for key, value in layer.items():
        if not _is_level(value):
            continue
        try:
            existing = dict.__getitem__(merged, key) if isinstance(merged, dict) else merged[key]
        except (KeyError, TypeError):
            continue
        path = prefix + (key,)
        if not _is_level(existing):
            return path
        found = _conflict(existing, value, path)
        if found:
            return found
    return None


def _path_text(keys):
    text = ""
    for key in keys:
        text = _join(text, key)
    return text


def load(sources):
    """Merges the sources in order (each a function that returns a layer and
    its label); returns the Configuration and, for every setting's mapping
    path, the label of the source whose value stands."""
    from orvane.tessel.configuration import Configuration
    cfg = Configuration()
    origin = {}
    for make in sources:
        layer, label = make()
        clash = _conflict(cfg, layer)
        if clash:
            earlier = origin.get(clash, "an earlier source")
            raise Failure("%s: a value in %s, a section in %s" % (escape(_path_text(clash)), earlier, label))
        try:
            cfg.update(layer)
        except (KeyError, AttributeError, TypeError) as e:
            raise Failure("%s: cannot be merged (%s)" % (label, escape(_first_line(e))))
        for path in _leaf_paths(layer):
            origin[path] = label
    return cfg, origin


# ---------------------------------------------------------------- output

def _settings(level, path_text, keys, keep, active=None):
    """(path text, mapping path, value) for every setting below `level`."""
    active = set() if active is None else active
    if id(level) in active:
        raise Failure("%s: contains itself" % path_text if path_text else "the settings contain themselves")
    active.add(id(level))
    for key, value in level.items():
        inner, inner_keys = _join(path_text, key), keys + (key,)
        if _is_level(value) and value:
            yield from _settings(value, inner, inner_keys, keep, active)
        elif keep(inner):
            yield inner, inner_keys, value
    active.discard(id(level))


def _elements(path_text, value, active=None):
    """(path text, value) for a value and, in lists, every element, as --flat shows them."""
    active = set() if active is None else active
    if isinstance(value, (list, tuple)) and value:
        if id(value) in active:
            raise Failure("%s: contains itself" % path_text)
        active.add(id(value))
        for i, item in enumerate(value):
            yield from _elements(_index(path_text, i), item, active)
        active.discard(id(value))
    elif _is_level(value) and value:
        for inner, _, item in _settings(value, path_text, (), lambda p: True):
            yield from _elements(inner, item, active)
    else:
        yield path_text, value


def _suffix(origin, keys):
    return "  (%s)" % origin.get(keys, "?") if origin is not None else ""


def flat_lines(level, path_text, keys, keep, origin):
    lines = []
    for inner, inner_keys, value in _settings(level, path_text, keys, keep):
        for text, item in _elements(inner, value):
            lines.append("%s = %s%s" % (text, value_text(item), _suffix(origin, inner_keys)))
    return lines


def tree_text(level, title, keys, keep, origin):
    """The settings below `level` as an Arbel drawing: a node per level, a leaf per setting."""
    from orvane.tessel.arbel import Arbel
    active = set()

    def build(level, label, path_text, keys):
        if id(level) in active:
            raise Failure("%s: contains itself" % path_text)
        active.add(id(level))
        node = Arbel(label)
        for key, value in level.items():
            inner, inner_keys = _join(path_text, key), keys + (key,)
            name = key if _is_plain(key) else _key_literal(key)
            if _is_level(value) and value:
                child = build(value, name, inner, inner_keys)
                if child.children:
                    node.add_child(child)
            elif keep(inner):
                node.add_child("%s = %s%s" % (name, value_text(value), _suffix(origin, inner_keys)))
        active.discard(id(level))
        return node
    return str(build(level, escape(title), "", keys))


def _prune(level, path_text, keep):
    """A plain copy of `level` holding only the settings that `keep` accepts."""
    out = {}
    for key, value in level.items():
        inner = _join(path_text, key)
        if _is_level(value) and value:
            inner_level = _prune(value, inner, keep)
            if inner_level:
                out[key] = inner_level
        elif keep(inner):
            out[key] = value
    return out


def data_text(value, fmt):
    """`value` as a JSON or YAML document."""
    import yaml
    if fmt == "json":
        return _json_text(to_data(value, True), indent=2)

    class Dumper(yaml.SafeDumper):
        def ignore_aliases(self, data):
            return True

    def text(dumper, data):
        # Line breaks and control characters as escapes in double quotes,
        # where YAML would otherwise fold them into the layout.
        style = '"' if _CONTROL.search(data) else None
        return dumper.represent_scalar("tag:yaml.org,2002:str", data, style=style)
    Dumper.add_representer(str, text)
    return yaml.dump(to_data(value, False), Dumper=Dumper, sort_keys=False, allow_unicode=True,
                     default_flow_style=False).rstrip("\n")


def bare_text(value):
    """A scalar as --get prints it: text without quotes, other values as JSON."""
    data = to_data(value, True)
    return escape(data) if isinstance(data, str) else _json_text(data)


def _where_test(text):
    """A test of path texts: the logic string `text`, or else the regular expression."""
    from orvane.tessel import logic
    names = [n for n in dir(logic) if isinstance(getattr(logic, n), type)
             and issubclass(getattr(logic, n), logic.BaseLogic)]
    if re.match(r"\s*(%s)\s*\(" % "|".join(map(re.escape, names)), text):
        try:
            test = logic.logic_str(text)
        except ValueError as e:
            reason = e.__context__
            detail = " (%s)" % (reason.msg if isinstance(reason, SyntaxError) else reason) if reason else ""
            raise Failure("--where: %s%s" % (escape(_first_line(e)), escape(detail)))
    else:
        try:
            test = re.compile(text).search
        except re.error as e:
            raise Failure("--where: not a logic string, nor a regular expression (%s)" % escape(e))

    def keep(path_text):
        try:
            return bool(test(path_text))
        except Exception as e:
            raise Failure("--where: %s: %s" % (escape(text), escape(_first_line(e) or type(e).__name__)))
    return keep


# ---------------------------------------------------------------- the command

class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Failure("%s (see tessel --help)" % escape(message))


def make_parser():
    parser = _Parser(
        prog="tessel", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Show what layered settings come to: the example settings, INI and YAML\n"
                    "files merged in order, the entry points of a group, then --set values.")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="settings files, merged in order (.ini .cfg .conf .yaml .yml; "
                             "'-' is standard input)")
    parser.add_argument("--example", action="store_true",
                        help="start from the example settings shipped with the package")
    parser.add_argument("--entry-points", metavar="GROUP",
                        help="merge the configuration published under this entry-point group after the files")
    parser.add_argument("--set", action="append", default=[], metavar="KEY=VALUE", dest="assignments",
                        help="merge one value last, converted as file values are (repeatable)")
    parser.add_argument("--type", choices=("ini", "yaml"),
                        help="the kind of standard input and of files whose suffix does not say")
    parser.add_argument("--format", choices=FORMATS, help="tree (default), flat, json or yaml")
    parser.add_argument("--flat", action="store_true", help="the same as --format flat")
    parser.add_argument("--get", metavar="KEY",
                        help="print one value: a scalar bare, a mapping in the chosen format (see keys)")
    parser.add_argument("--where", metavar="TEST",
                        help="keep the settings whose path matches a logic string, e.g. "
                             "\"Or('^db\\.', 'timeout')\", or else a regular expression, e.g. '^db\\.'")
    parser.add_argument("--origin", action="store_true",
                        help="show the source whose value stands, per setting (tree and flat)")
    parser.add_argument("--debug", action="store_true", help="show the traceback of an internal error")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    return parser


class _OneLineHandler(logging.Handler):
    """Reports the loaders' log records (failing entry points) as one line each."""

    def __init__(self, stream):
        super().__init__()
        self.stream = stream

    def emit(self, record):
        message = record.getMessage()
        if record.exc_info and record.exc_info[1] is not None:
            exc = record.exc_info[1]
            message += " (%s: %s)" % (type(exc).__name__, _first_line(exc))
        self.stream.write("tessel: warning: %s\n" % escape(message))


def _entry_point_layer(group, stderr):
    from orvane.tessel.configuration import Configuration
    logger = logging.getLogger("orvane.tessel.configuration")
    handler = _OneLineHandler(stderr)
    saved = logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        layer = Configuration()
        loaded = layer.load_entrypoint(group)
    finally:
        logger.removeHandler(handler)
        logger.propagate = saved
    return layer, escape(", ".join(str(ep.dist) for ep in loaded) or "entry points of %s" % group)


def run(argv, stdin, stdout, stderr):
    parser = make_parser()
    if not argv:
        stderr.write(parser.format_usage())
        return EXIT_USAGE
    args = parser.parse_args(argv)
    if args.version:
        import orvane.tessel
        stdout.write("tessel %s\n" % orvane.tessel.__version__)
        return 0
    fmt = args.format or ("flat" if args.flat else "tree")
    if args.flat and args.format not in (None, "flat"):
        raise Failure("--flat and --format %s disagree" % args.format)
    if args.origin and fmt not in ("tree", "flat"):
        raise Failure("--origin shows with --format tree or flat")
    if args.entry_points is not None and not args.entry_points.strip():
        raise Failure("--entry-points: empty group name")
    files = (EXAMPLE_FILES if args.example else []) + args.files
    if not files and args.entry_points is None and not args.assignments:
        raise Failure("no settings given: name files, --example, --entry-points or --set (see tessel --help)")

    # Everything the command line says is checked before anything is read.
    kinds = [_source_kind(name, args.type) for name in files]
    keep = _where_test(args.where) if args.where is not None else (lambda path: True)
    query = parse_path(args.get) if args.get is not None else None
    sets = [_set_layer(a) for a in args.assignments]

    sources = []
    for name, kind in zip(files, kinds):
        label = os.path.basename(name) if name in EXAMPLE_FILES else ("-" if name == "-" else escape(name))
        sources.append(lambda name=name, kind=kind, label=label: (_read_source(name, kind, stdin), label))
    titles = [os.path.basename(f) for f in files]
    if args.entry_points is not None:
        sources.append(lambda: _entry_point_layer(args.entry_points, stderr))
        titles.append("[%s]" % args.entry_points)
    for assignment, layer in zip(args.assignments, sets):
        sources.append(lambda layer=layer, label="--set %s" % escape(assignment): (layer, label))
    if sets:
        titles.append("--set")

    cfg, origin = load(sources)
    origin = origin if args.origin else None

    if query is not None:
        value, keys = lookup(cfg, query)
        if value is _MISSING:
            raise Failure("%s: no such setting" % escape(args.get), EXIT_MISSING)
        shown = args.get
        if _is_level(value) and value:
            if fmt == "tree":
                text = tree_text(value, shown, keys, keep, origin)
            elif fmt == "flat":
                text = "\n".join(flat_lines(value, shown, keys, keep, origin))
            else:
                text = data_text(_prune(value, shown, keep), fmt)
        elif fmt in ("json", "yaml"):
            text = data_text(value, fmt)
        elif fmt == "flat" and isinstance(value, (list, tuple)) and value:
            text = "\n".join("%s = %s%s" % (p, value_text(v), _suffix(origin, keys))
                             for p, v in _elements(escape(shown), value))
        elif isinstance(value, (Mapping, list, tuple, set, frozenset)):
            text = value_text(value) + _suffix(origin, keys)
        else:
            text = bare_text(value) + _suffix(origin, keys)
    elif fmt == "flat":
        text = "\n".join(flat_lines(cfg, "", (), keep, origin))
    elif fmt == "tree":
        text = tree_text(cfg, " + ".join(titles), (), keep, origin)
    else:
        text = data_text(_prune(cfg, "", keep), fmt)
    if text:
        stdout.write(text + "\n")
    stdout.flush()
    return 0


def _quiet_stdout():
    """Points the standard output at the null device, so that the interpreter's
    own flush at exit finds nothing to fail on."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv=None, stdin=None, stdout=None, stderr=None):
    """Runs the command; returns its exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    stdin = sys.stdin if stdin is None else stdin
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    debug = "--debug" in argv
    try:
        return run(argv, stdin, stdout, stderr)
    except Failure as e:
        stderr.write("tessel: %s\n" % e)
        return e.code
    except SystemExit as e:  # --help
        return e.code if isinstance(e.code, int) else 0
    except KeyboardInterrupt:
        return 130
    except RecursionError:
        stderr.write("tessel: the settings are nested too deeply, or contain themselves\n")
        return EXIT_USAGE
    except BrokenPipeError:
        if stdout is sys.stdout:
            _quiet_stdout()
        return EXIT_PIPE
    except OSError as e:
        if e.errno in (errno.ENOSPC, errno.EIO, errno.EDQUOT, errno.EFBIG):
            if stdout is sys.stdout:
                _quiet_stdout()
            stderr.write("tessel: write error: %s\n" % escape(e.strerror))
            return EXIT_WRITE
        return _internal(e, debug, stderr)
    except Exception as e:
        return _internal(e, debug, stderr)


def _internal(e, debug, stderr):
    if debug:
        import traceback
        traceback.print_exception(type(e), e, e.__traceback__, file=stderr)
    stderr.write("tessel: internal error: %s: %s%s\n" % (
        type(e).__name__, escape(_first_line(e)), "" if debug else " (--debug shows where)"))
    return EXIT_INTERNAL


if __name__ == "__main__":
    sys.exit(main())
