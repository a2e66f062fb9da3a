"""tessel: show what a program's settings come to after layering.

    tessel [FILE ...] [--entry-points GROUP] [--flat | --get KEY]
           [--where LOGIC] [--origin]

Each FILE is merged over the ones before it into one Configuration: .ini,
.cfg and .conf files as INI, .yaml and .yml files as YAML; the entry points
of GROUP come last.  Without files or a group, the example settings shipped
with the package are shown.
"""
import argparse
import ast
import configparser
import logging
import os
import sys

EXIT_MISSING = 1
EXIT_USAGE = 2

INI_SUFFIXES = (".ini", ".cfg", ".conf")
YAML_SUFFIXES = (".yaml", ".yml")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples")
EXAMPLE_FILES = [os.path.join(EXAMPLES, "settings.ini"), os.path.join(EXAMPLES, "overrides.yaml")]


class Failure(Exception):
    """A problem with the user's input: one line on stderr, and an exit code."""

    def __init__(self, message, code=EXIT_USAGE):
        super().__init__(message)
        self.code = code


class _OneLineHandler(logging.Handler):
    """Reports the loaders' log records (failing entry points) as one line each."""

    def emit(self, record):
        message = record.getMessage()
        if record.exc_info and record.exc_info[1] is not None:
            exc = record.exc_info[1]
            message += " (%s: %s)" % (type(exc).__name__, exc)
        print("tessel: warning: %s" % message, file=sys.stderr)


# ---------------------------------------------------------------- loading

def _source_kind(name):
    lower = name.lower()
    if lower.endswith(INI_SUFFIXES):
        return "ini"
    if lower.endswith(YAML_SUFFIXES):
        return "yaml"
    raise Failure("%s: unknown kind of settings file (use %s)" % (
        name, ", ".join(INI_SUFFIXES + YAML_SUFFIXES)))


def _load_file(cfg, name):
    """Merges one file into `cfg`, turning syntax errors into one-line failures."""
    import yaml
    if not os.path.exists(name):
        raise Failure("%s: no such file" % name)
    if not os.path.isfile(name):
        raise Failure("%s: not a file" % name)
    kind = _source_kind(name)
    try:
        if kind == "ini":
            cfg.load_cfgs(name)
        else:
            cfg.load_yamls(name)
    except configparser.Error as e:
        raise Failure(_ini_error(name, e))
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        where = "%s: line %d" % (name, mark.line + 1) if mark is not None else name
        raise Failure("%s: %s" % (where, getattr(e, "problem", None) or _first_line(e)))
    except (TypeError, ValueError, KeyError, OSError) as e:
        raise Failure("%s: %s" % (name, _first_line(e)))


def _ini_error(name, e):
    """One line for a configparser error: the file, the line, what is wrong."""
    line = getattr(e, "lineno", None)
    if isinstance(e, configparser.MissingSectionHeaderError):
        what = "no [section] header before %r" % e.line.strip()
    elif isinstance(e, configparser.ParsingError) and e.errors:
        line, text = e.errors[0]
        try:
            text = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            pass
        what = "not an option (name = value): %s" % str(text).strip()
    else:
        what = _first_line(e)
    return "%s: line %d: %s" % (name, line, what) if line else "%s: %s" % (name, what)


def _first_line(obj):
    text = str(obj).strip()
    return text.splitlines()[0] if text else type(obj).__name__


def _snapshot(cfg):
    """The leaves of `cfg` as {path: value}."""
    return {path: value for path, value in _leaves(cfg)}


def load(files, group):
    """Loads the sources in order; returns the Configuration and, for every
    leaf path, the source that set its final value."""
    from orvane.tessel.configuration import Configuration
    cfg = Configuration()
    origin = {}
    before = {}
    sources = [(name, _load_file) for name in files]
    if group:
        sources.append(("entry points of %s" % group, None))
    for name, loader in sources:
        if loader is None:
            loaded = cfg.load_entrypoint(group)
            label = ", ".join(str(ep.dist) for ep in loaded) or name
        else:
            loader(cfg, name)
            label = os.path.basename(name) if name in EXAMPLE_FILES else name
        after = _snapshot(cfg)
        for path, value in after.items():
            if path not in before or before[path] is not value and before[path] != value:
                origin[path] = label
        before = after
    return cfg, origin


# ---------------------------------------------------------------- leaves

def _is_level(value):
    from collections.abc import Mapping
    return isinstance(value, Mapping)


def _leaves(level, prefix=()):
    """(path, value) for every leaf below `level`, in order; a path is a tuple of keys."""
    for key, value in level.items():
        path = prefix + (key,)
        if _is_level(value) and value:
            yield from _leaves(value, path)
        else:
            yield path, value


def _dotted(path):
    return ".".join(str(part) for part in path)


def _flat_lines(cfg, keep):
    """`a.b.c = value` lines from a Tabulon of the configuration."""
    from orvane.tessel.tabulon import IndexMarker, Tabulon
    lines = []
    for path, value in Tabulon(cfg):
        keys = []
        for element in path:
            if isinstance(element, IndexMarker):
                keys[-1] = "%s[%d]" % (keys[-1], element.index) if keys else "[%d]" % element.index
            else:
                keys.append(str(element))
        if keep(path):
            lines.append(("%s = %r" % (".".join(keys), value), path))
    return lines


def _tree(level, name, keep, origin, prefix=()):
    """The settings below `level` (found at the path `prefix`) as an Arbel
    tree: a node per level, a leaf per setting."""
    from orvane.tessel.arbel import Arbel

    def build(level, label, prefix):
        node = Arbel(label)
        for key, value in level.items():
            path = prefix + (key,)
            if _is_level(value) and value:
                child = build(value, str(key), path)
                if child.children:
                    node.add_child(child)
            elif keep(path):
                text = "%s = %r" % (key, value)
                if origin is not None:
                    text += "  (%s)" % origin.get(path, "?")
                node.add_child(text)
        return node
    return build(level, name, prefix)


def _origin_key(path):
    """The origin map is keyed by mapping paths; list positions share their list's origin."""
    return tuple(p for p in path if not hasattr(p, "type_"))


# ---------------------------------------------------------------- the command

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="tessel",
        description="Show what layered settings come to: INI and YAML files merged in order, "
                    "then the entry points of a group.")
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="settings files, merged in order (.ini .cfg .conf .yaml .yml)")
    parser.add_argument("--entry-points", metavar="GROUP",
                        help="merge the configuration published under this entry-point group last")
    shown = parser.add_mutually_exclusive_group()
    shown.add_argument("--flat", action="store_true", help="one 'a.b.c = value' line per setting")
    shown.add_argument("--get", metavar="KEY", help="print one value (or level) by dotted key")
    parser.add_argument("--where", metavar="LOGIC",
                        help="keep the settings whose dotted path satisfies a logic string, "
                             "e.g. \"Or('^db\\.', 'timeout')\"")
    parser.add_argument("--origin", action="store_true",
                        help="show which source set each value")
    return parser.parse_args(argv)


def run(argv):
    args = parse_args(argv)
    logger = logging.getLogger("orvane.tessel.configuration")
    logger.addHandler(_OneLineHandler())
    logger.propagate = False

    files = args.files
    if not files and not args.entry_points:
        files = EXAMPLE_FILES
    for name in files:
        if not os.path.exists(name):
            raise Failure("%s: no such file" % name)
        _source_kind(name)

    keep = lambda path: True  # noqa: E731
    if args.where is not None:
        from orvane.tessel.logic import logic_str
        try:
            test = logic_str(args.where)
        except ValueError as e:
            reason = e.__context__
            detail = " (%s)" % (reason.msg if isinstance(reason, SyntaxError) else reason) if reason else ""
            raise Failure("--where: %s%s" % (e, detail))
        keep = lambda path: bool(test(_dotted(path)))  # noqa: E731

    cfg, origin = load(files, args.entry_points)

    if args.get is not None:
        try:
            value = cfg[args.get]
        except (KeyError, TypeError, IndexError):
            raise Failure("%s: no such setting" % args.get, EXIT_MISSING)
        prefix = tuple(args.get.split("."))
        if _is_level(value):
            print(_tree(value, args.get, keep, origin if args.origin else None, prefix))
        else:
            suffix = "  (%s)" % origin.get(prefix, "?") if args.origin else ""
            print(repr(value) + suffix)
        return 0

    if args.flat:
        for line, path in _flat_lines(cfg, lambda path: keep(_origin_key(path))):
            if args.origin:
                line += "  (%s)" % origin.get(_origin_key(path), "?")
            print(line)
        return 0

    title = " + ".join(os.path.basename(f) for f in files)
    if args.entry_points:
        title = (title + " + " if title else "") + "[%s]" % args.entry_points
    print(_tree(cfg, title or "settings", keep, origin if args.origin else None))
    return 0


def main(argv=None):
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except Failure as e:
        print("tessel: %s" % e, file=sys.stderr)
        return e.code
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        return 0


if __name__ == "__main__":
    sys.exit(main())
