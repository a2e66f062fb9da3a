"""Differential fuzzing: the logic classes and logic_str against their
pure-Python twin.

- Random expression trees (And, Or and Not over patterns, simple callables
  and nested trees) are built with the native classes and with the twin and
  called on random items: the answers, the exceptions (type and message), the
  order in which callables see items, the printed forms and equality between
  trees must agree.  Trees may hold instances of a subclass whose __call__,
  __str__ and __repr__ are rebound (to another class's, to lambdas, or
  deleted) before the tree is used and again between its uses, and between
  uses the classes, the objects and the module change under the tree: the
  subclass's __call__ becomes an object whose class gains or loses __get__
  (and __set__), its metaclass gains or loses __call__, a tree's instance
  dict is replaced, and the module globals BaseLogic and re are rebound.
- Random texts (arbitrary characters, lone surrogates included, and valid
  logic strings with random edits: insertions, deletions, swapped tokens,
  stray quotes and backslashes) go to logic_str.  It must either give a logic
  object or raise ValueError "Not a properly formatted logic string: ..."
  with the original error as context; never crash or hang.  What it gives
  must equal what the twin reads from the same text, and every text that the
  twin reads and that keeps to the grammar of logic strings (no comments,
  brackets around arguments or line continuations, which Python allows but
  a logic string does not) must be read.
- Valid logic strings with random white space and line breaks put in and
  around them: logic_str must accept exactly those that the interpreter's
  eval() accepts (line breaks are free only inside brackets), as str and as
  UTF-8 bytes, with or without a byte order mark.

The default run is short (a few seconds, for CI).  Set the environment
variable TESSEL_FUZZ_SECONDS to a number of seconds to keep each fuzzer
running for that long instead: batch after batch of fresh random examples
until the time is up; the number of examples run is printed (use
``pytest -s`` to see it).  In that mode a single example that takes longer
than a minute counts as a hang: the process is stopped with the tracebacks
of its threads.
"""
import ast
import io
import re
import time
import tokenize
import warnings

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from orvane.tessel import logic
from orvane.tessel.logic import BaseLogic, logic_str
import support
from support import FUZZ_SECONDS, examples, hang_watch_off, watch_for_hang
from twins import logic as twin

QUICK = settings(max_examples=examples(150), deadline=None,
                 suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                        HealthCheck.data_too_large])
LONG = settings(QUICK, max_examples=2000, database=None)

MESSAGE = "Not a properly formatted logic string: %s"
TWIN_BASE = twin.BaseLogic  # the examples rebind the module's global


def fuzz(strategy):
    """Runs the decorated check on examples of `strategy`: one short run, or
    runs until TESSEL_FUZZ_SECONDS have passed."""
    def decorate(check):
        def test():
            count = [0]

            def body(example):
                count[0] += 1
                watch_for_hang()
                try:
                    check(example)
                finally:
                    hang_watch_off()
            if not FUZZ_SECONDS:
                given(strategy)(QUICK(body))()
                return
            run = given(strategy)(LONG(body))
            started = time.monotonic()
            while time.monotonic() - started < FUZZ_SECONDS:
                run()
            print("\n%s: %d examples in %.0f s" % (check.__name__, count[0],
                                                   time.monotonic() - started))
        test.__name__ = check.__name__
        return test
    return decorate


# ---------------------------------------------------------------- expression trees

LOG = []


def seen(item):
    """Records the item and answers whether its text holds an a."""
    LOG.append(("seen", item if isinstance(item, (str, int)) else type(item).__name__))
    return "a" in str(item)


def refuses_numbers(item):
    if isinstance(item, int):
        raise ValueError("no numbers: %d" % item)
    return True


def falsy(item):
    LOG.append(("falsy", type(item).__name__))
    return 0


class Unprintable:
    def __str__(self):
        raise LookupError("no text for this item")


class NotText:
    def __str__(self):
        return 42


class Truthless:
    """A callable whose result has no truth value."""
    def __bool__(self):
        raise RuntimeError("no truth value")

    def __repr__(self):
        return "Truthless()"


def truthless(item):
    return Truthless()


PATTERNS = ["a", "b", "", "é", "^1", "x*", "[0-9]{2}", "\\d", "ä|B", "\U0001f600", "\ud800",
            "(?i)A", "ключ"]
CALLABLES = [len, bool, seen, refuses_numbers, falsy, truthless]
ITEMS = st.one_of(
    st.text(alphabet="abAé1x\U0001f600 ", max_size=4),
    st.integers(-20, 120),
    st.sampled_from([None, [], ["a"], ("b", 1), "\ud800", "ключ", b"a"]),
    st.builds(Unprintable), st.builds(NotText))


@st.composite
def trees(draw, depth=0):
    """A tree as plain data: (class name, [pattern | callable | tree, ...])."""
    name = draw(st.sampled_from(["And", "Or", "Not", "Sub", "BaseLogic"] if depth else ["And", "Or", "Not", "Sub"]))
    kinds = ["pattern", "callable", "tree"] if depth < 3 else ["pattern", "callable"]
    parts = []
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(kinds))
        if kind == "pattern":
            parts.append(draw(st.sampled_from(PATTERNS)))
        elif kind == "callable":
            parts.append(draw(st.sampled_from(CALLABLES)))
        else:
            parts.append(draw(trees(depth + 1)))
    return name, parts


SUBCLASSES = {}


class Gate:
    """Stands in for a method; the examples give its class __get__ (and
    __set__) and take them away again."""

    def __call__(self, *args):
        return len(args) == 1


def gate_get(self, obj, owner):
    return lambda *items: len(items) != 1


def subclass(module):
    """The module's And subclass whose methods the examples rebind, with a
    metaclass and a gate of its own."""
    if module not in SUBCLASSES:
        meta = type("Meta", (type(module.And),), {})
        SUBCLASSES[module] = meta("Sub", (module.And,), {"gate": type("Gate", (Gate,), {})})
    return SUBCLASSES[module]


class Module:
    """re as the module sees it, with a compile that changes the patterns."""

    def __init__(self, real):
        self.real = real

    def compile(self, pattern):
        return self.real.compile(pattern.upper())


# What the subclass's own __call__, __str__ and __repr__ are: none of its own,
# another class's, or lambdas.
REBINDINGS = {
    "inherited": lambda m: {},
    "Or's call": lambda m: {"__call__": m.Or.__call__},
    "Not's call": lambda m: {"__call__": m.Not.__call__},
    "own call": lambda m: {"__call__": lambda self, *items: len(items) == 2},
    "own str": lambda m: {"__str__": lambda self: "S"},
    "str as repr": lambda m: {"__repr__": m.BaseLogic.__str__, "__call__": m.Not.__call__},
    "own repr": lambda m: {"__repr__": lambda self: "R%d" % len(self.expressions)},
    "gate": lambda m: {"__call__": subclass(m).gate()},
}

# Changes made under the trees between their uses, each undone by the next
# rebinding: (what to do to the module and its subclass, to a tree).
MUTATIONS = {
    "none": lambda m, cls: None,
    "gate gains __get__": lambda m, cls: setattr(cls.gate, "__get__", gate_get),
    "gate gains __set__": lambda m, cls: (setattr(cls.gate, "__get__", gate_get),
                                          setattr(cls.gate, "__set__", lambda *a: None)),
    "metaclass gains __call__": lambda m, cls: setattr(
        type(cls), "__call__", lambda c, *a: type.__call__(m.Or, *a)),
    "BaseLogic global is Or": lambda m, cls: setattr(m, "BaseLogic", m.Or),
    "re global compiles upper": lambda m, cls: setattr(m, "re", Module(re)),
}
ORIGINAL = {}


def rebind(module, how, mutation="none"):
    cls = subclass(module)
    saved = ORIGINAL.setdefault(module, {"BaseLogic": module.BaseLogic, "re": module.re})
    for name, value in saved.items():
        setattr(module, name, value)
    for owner, names in ((cls.gate, ("__get__", "__set__")), (type(cls), ("__call__",)),
                         (cls, ("__call__", "__str__", "__repr__"))):
        for name in names:
            if name in owner.__dict__:
                delattr(owner, name)
    for name, value in REBINDINGS[how](module).items():
        setattr(cls, name, value)
    MUTATIONS[mutation](module, cls)


def replace_dict(tree):
    """The tree's instance dict replaced by a new one, its expressions in
    reverse order."""
    tree.__dict__ = {"expressions": tree.__dict__["expressions"][::-1]}


def build(module, tree):
    name, parts = tree
    cls = subclass(module) if name == "Sub" else getattr(module, name)
    return cls(*[build(module, p) if isinstance(p, tuple) else p for p in parts])


def outcome(operation):
    """The outcome with the callables' log."""
    del LOG[:]
    return support.outcome(operation, message=argument_count_words), list(LOG)


def argument_count_words(error):
    message = str(error)
    if isinstance(error, TypeError) and re.match(r"(\w+\.)?__call__\(\) takes", message):
        # The frame words it as Python 2 did; Python functions name the
        # class too from 3.10 on.
        return "argument count"
    return message


@fuzz(st.tuples(trees(), trees(), st.lists(ITEMS, max_size=4),
                st.lists(st.tuples(st.sampled_from(sorted(REBINDINGS)), st.sampled_from(sorted(MUTATIONS)),
                                   st.booleans()), min_size=2, max_size=3)))
def test_trees_agree_with_the_twin(example):
    first, second, items, rebindings = example
    mine, theirs = build(logic, first), build(twin, first)
    try:
        for how, mutation, new_dict in rebindings:
            rebind(logic, how, mutation)
            rebind(twin, how, mutation)
            if new_dict:
                replace_dict(mine)
                replace_dict(theirs)
            assert outcome(lambda: mine(*items)) == outcome(lambda: theirs(*items))
            assert outcome(lambda: str(mine)) == outcome(lambda: str(theirs))
            assert outcome(lambda: repr(mine)) == outcome(lambda: repr(theirs))
            # Trees and classes made while the module is changed.
            assert outcome(lambda: shape(build(logic, second))) == outcome(lambda: shape(build(twin, second)))
            text = outcome(lambda: str(mine))[0]
            if text[0] == "ok" and " at 0x" not in text[1]:
                assert outcome(lambda: shape(logic_str(text[1]))) == outcome(lambda: shape(twin.logic_str(text[1])))
    finally:
        rebind(logic, "inherited")
        rebind(twin, "inherited")
    assert repr(mine) == str(mine)
    mine2, theirs2 = build(logic, second), build(twin, second)
    assert outcome(lambda: mine == mine2) == outcome(lambda: theirs == theirs2)
    assert outcome(lambda: mine != mine2) == outcome(lambda: theirs != theirs2)
    assert (mine == build(logic, first)) == (theirs == build(twin, first))
    with pytest.raises(TypeError):
        hash(mine)


# ---------------------------------------------------------------- logic_str on random texts

def shape(obj):
    """A logic object as plain data, comparable between implementations."""
    if isinstance(obj, (BaseLogic, TWIN_BASE)):
        return (type(obj).__name__, [shape(e) for e in obj.expressions])
    return ("pattern", obj.pattern, obj.flags)


def twin_reads(text):
    """The shape of what the twin reads from `text`, or None if it refuses."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return shape(twin.logic_str(text))
        except ValueError:
            return None


def python_reads(text):
    """What Python itself reads from the text in brackets (so that line
    breaks may stand between any tokens, as logic strings allow), built by the
    twin without evaluating anything: the shape, or None."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            tree = ast.parse("(" + text + "\n)", mode="eval")
            if not isinstance(tree.body, ast.Call):
                return None
            return shape(twin._build(tree.body, text))
        except Exception:  # noqa: BLE001 - any refusal
            return None


def python_accepts(text):
    """Whether eval() would read the text as an expression (nothing is run)."""
    try:
        compile(text.lstrip(" \t") if isinstance(text, str) else text.lstrip(b" \t"),
                "<text>", "eval")
        return True
    except (SyntaxError, ValueError):
        return False


def in_grammar(text):
    """Whether a text that Python reads keeps to the grammar of logic strings:
    a call of a name, whose arguments are string literals, calls or a name,
    with no comments, no brackets around arguments and no line continuations."""
    if not python_accepts(text):   # the twin is lenient about outer line breaks
        return False
    source = text.strip(" \t\f\r\n")
    try:
        tokens = list(tokenize.generate_tokens(io.StringIO(source).readline))
    except (tokenize.TokenError, SyntaxError):
        return False
    lines = source.splitlines(True)
    offsets = [0]
    for line in lines:
        offsets.append(offsets[-1] + len(line))

    def offset(position):
        return offsets[position[0] - 1] + position[1]
    significant = []
    end = 0
    for token in tokens:
        if token.type == tokenize.COMMENT:
            return False
        if token.type in (tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT,
                          tokenize.ENDMARKER):
            continue
        if "\\" in source[end:offset(token.start)]:
            return False
        end = offset(token.end)
        significant.append(token)
    position = [0]

    def peek():
        return significant[position[0]] if position[0] < len(significant) else None

    def take():
        position[0] += 1
        return significant[position[0] - 1]

    def call():
        if peek() is None or take().type != tokenize.NAME:
            return False
        token = take() if peek() is not None else None
        if token is None or token.string != "(":
            return False
        while True:
            token = peek()
            if token is None:
                return False
            if token.string == ")":
                take()
                return True
            if token.type == tokenize.STRING:
                while peek() is not None and peek().type == tokenize.STRING:
                    take()
            elif token.type == tokenize.NAME:
                following = significant[position[0] + 1] if position[0] + 1 < len(significant) else None
                if following is not None and following.string == "(":
                    if not call():
                        return False
                else:
                    take()
            else:
                return False
            token = peek()
            if token is None:
                return False
            if token.string == ",":
                take()
            elif token.string != ")":
                return False
    return call() and peek() is None


def check_text(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            mine = logic_str(text)
        except ValueError as e:
            assert str(e) == MESSAGE % (text,)
            assert e.__context__ is not None and e.__cause__ is None
            mine = None
    expected = twin_reads(text)
    if mine is not None:
        assert isinstance(mine, BaseLogic)
        assert shape(mine) == (expected or python_reads(text)), text
    elif expected is not None:
        assert not in_grammar(text), text


CHARACTERS = st.characters(blacklist_categories=())   # surrogates included
TOKENS = ["And", "Or", "Not", "BaseLogic", "string", "Ｎｏｔ", "(", ")", ",", ", ", "'a'", '"b"',
          "'é'", "r'\\d'", "'''x'''", "u'c'", "'\\ud800'", "'\\N{BULLET}'", "'\\x4'", "'\\777'",
          "'", '"', "'''", "\\", "\\\n", " ", "\n", "\t", "#", "b", "f", "rb", "x", "=", ".", "+",
          "0", "[", "]", "*", ":", "λ", "\ud800", "\U0001f600", "\x00", "lambda", "None",
          "__import__", "()", "(('a'))"]


@st.composite
def valid_texts(draw, depth=0):
    name = draw(st.sampled_from(["And", "Or", "Not", "BaseLogic"]))
    parts = []
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["literal", "string", "call"] if depth < 3 else ["literal"]))
        if kind == "literal":
            parts.append(draw(st.sampled_from(TOKENS[10:20])))
        elif kind == "string":
            parts.append("string")
        else:
            parts.append(draw(valid_texts(depth + 1)))
    return name + "(" + ", ".join(parts) + ")"


@st.composite
def edited_texts(draw):
    """A valid logic string (written or printed) with random edits."""
    if draw(st.booleans()):
        tree = draw(trees())
        try:
            text = str(build(logic, tree))
        except Exception:  # noqa: BLE001 - an unprintable tree
            text = "And()"
    else:
        text = draw(valid_texts())
    for _ in range(draw(st.integers(0, 4))):
        edit = draw(st.sampled_from(["insert", "delete", "swap", "character"]))
        i = draw(st.integers(0, len(text)))
        if edit == "insert":
            text = text[:i] + draw(st.sampled_from(TOKENS)) + text[i:]
        elif edit == "delete":
            text = text[:i] + text[draw(st.integers(i, min(len(text), i + 4))):]
        elif edit == "character":
            text = text[:i] + draw(CHARACTERS) + text[i:]
        else:
            j = draw(st.integers(0, len(text)))
            i, j = min(i, j), max(i, j)
            k = draw(st.integers(j, len(text)))
            text = text[:i] + text[j:k] + text[i:j] + text[k:]
    return text


@pytest.mark.filterwarnings("ignore")
@fuzz(st.one_of(st.text(CHARACTERS, max_size=30),
                st.text(st.sampled_from("AndOrNt()'\",\\ string\nrbu#x"), max_size=30),
                edited_texts()))
def test_texts_are_read_as_the_twin_reads_them(text):
    check_text(text)
    warnings.simplefilter("ignore")
    encoded = text.encode("utf-8", "surrogatepass")
    try:
        mine = logic_str(encoded)
    except ValueError as e:
        assert str(e) == MESSAGE % (encoded,)
        mine = None
    if mine is not None:
        assert shape(mine) == shape(logic_str(text))


# ---------------------------------------------------------------- white space and line breaks

BLANKS = st.text(st.sampled_from(" \t\f\n\r"), max_size=4)


@st.composite
def spaced_texts(draw):
    """A valid logic string with white space and line breaks drawn before,
    after and between its tokens (inside brackets and out)."""
    # (without the name string, which stands for the argument itself)
    text = draw(valid_texts().filter(lambda t: "string" not in t))
    out = draw(BLANKS)
    quoted = None
    for ch in text:
        if quoted is None and ch in "(),":
            out += draw(BLANKS) + ch + draw(BLANKS)
        else:
            out += ch
        if ch in "'\"":
            quoted = None if quoted == ch else (quoted or ch)
    return out + draw(BLANKS)


@fuzz(st.tuples(spaced_texts(), st.sampled_from([None, b"", b" ", b"\t "])))
def test_white_space_is_accepted_where_python_accepts_it(example):
    text, bom = example
    argument = text if bom is None else bom + b"\xef\xbb\xbf" + text.encode()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            mine = logic_str(argument)
        except ValueError as e:
            assert str(e) == MESSAGE % (argument,)
            mine = None
        expected = python_accepts(argument)
    assert (mine is not None) == expected, argument
    if mine is not None:
        assert shape(mine) == shape(logic_str(text.strip(" \t\f\r\n")))
