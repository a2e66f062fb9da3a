"""Differential fuzzing: Tabulon against its pure-Python twin, driven through
the same random sequences of operations.

A state machine holds a native Tabulon and a twin Tabulon and applies each
step to both: construction from random nested documents (dicts, ordered
dicts, lists, tuples, named tuples, empty containers, non-ASCII and
surrogate keys) or from random items, the checked writes (append, insert,
extend, item and slice assignment) with good and bad items, the unchecked
list operations (+=, pop, del), __flatten__ with random path prefixes, and
reconstruct over whatever the list holds, including paths that flattening
never makes (markers out of order, gaps, leaves that later paths go below).
Results, exceptions (type and message) and the contents after every step
must agree.

Where the two deliberately differ, the comparison normalises exactly that:
- The twin rebuilds a tuple in a list of its elements, so where a marker's
  index is probed in a tuple being rebuilt, its IndexError or TypeError
  names a list; the native module names the tuple, as tuple[index] does.
- A stored element that reconstruct cannot take apart into two values: the
  native module raises ValueError "need more than 1 value to unpack" where
  the twin's `path, obj = item` gives the interpreter's "not enough values to
  unpack (expected 2, got 1)"; and one that is not iterable is taken apart
  through iter(), so its TypeError is iter()'s ("'int' object is not
  iterable"), where the twin's says "cannot unpack non-iterable int object".
- A native method called with the wrong number of arguments (IndexMarker,
  called by reconstruct to grow a marker stored as a value) reports it in
  the native functions' own words.

The default run is short (a few seconds, for CI).  Set the environment
variable TESSEL_FUZZ_SECONDS to a number of seconds to keep fuzzing for that
long instead: batch after batch of fresh random sequences until the time is
up; the number of examples run is printed (use ``pytest -s`` to see it).  In
that mode a single example that takes longer than a minute counts as a hang:
the process is stopped with the tracebacks of its threads.
"""
import contextlib
import copy
import re
from collections import OrderedDict, namedtuple

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import orvane.tessel.tabulon as native
from support import DictBacked, hang_watch_off, run_machine, watch_for_hang
from twins import tabulon as twin

Point = namedtuple("Point", "x y")


class Row(list):
    """A list subclass whose constructor takes one iterable."""


class Keeper(DictBacked):
    """A mapping stored as a value, which a later path goes below: its
    __setitem__ does something to what the walk stores in it (empties or
    grows the sequence it is given, stores something else, stores nothing),
    or its __getitem__ hands back something else than what it holds."""

    def __init__(self, action):
        super().__init__()
        self.action = action

    def __getitem__(self, key):
        value = self.data[key]
        if self.action == "reads a copy" and isinstance(value, list):
            return list(value)
        if self.action == "reads empty" and isinstance(value, list):
            return []
        return value

    def __setitem__(self, key, value):
        if isinstance(value, list):
            if self.action == "empties":
                value.clear()
            elif self.action == "grows":
                value.extend([{}, 5])
            elif self.action == "swaps":
                value[:] = [9]
        if self.action == "stores 7":
            value = 7
        if self.action != "stores nothing":
            self.data[key] = value

    def __repr__(self):
        return "Keeper(%r, %s)" % (self.action, snapshot(self.data))


class Fickle(list):
    """A sequence stored as a value whose reads and growth misbehave: a read
    empties it, or += gives something else than itself."""

    def __init__(self, items=(), action="empties on read"):
        list.__init__(self, items)
        self.action = action

    def __getitem__(self, index):
        found = list.__getitem__(self, index)
        if self.action == "empties on read":
            self.clear()
        return found

    def __iadd__(self, other):
        if self.action == "adds elsewhere":
            return list(self) + list(other)
        return list.__iadd__(self, other)

    def __repr__(self):
        return "Fickle(%r, %s)" % (self.action, snapshot(list(self)))


# ---------------------------------------------------------------- comparable results

from test_hostile_tabulon import outcome, snapshot  # noqa: E402,F401 - shared comparison


# The native functions' argument binding has its own messages.
BINDING = r"(\w+)\(\) takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"
PYTHON_BINDING = (r"(\w+)\(\) (missing \d+ required positional arguments?: .*"
                  r"|takes \d+ positional arguments? but \d+ (was|were) given)")


def normalised(ours, theirs):
    """The twin's outcome as the native module gives it where the two differ
    on purpose (see the module's docstring)."""
    if ours != theirs and ours[:2] == theirs[:2] and ours[0] == "raised":
        words = theirs[2].replace("list ind", "tuple ind", 1)
        if ours[2] == words and words.startswith(("tuple index out of range", "tuple indices must")):
            return ours
        match = re.fullmatch(r"cannot unpack non-iterable (.*) object", theirs[2])
        if match and ours[2] == "'%s' object is not iterable" % match.group(1):
            return ours
        match = re.fullmatch(r"not enough values to unpack \(expected 2, got (\d)\)", theirs[2])
        if match and ours[2] == "need more than %s value%s to unpack" % (
                match.group(1), "" if match.group(1) == "1" else "s"):
            return ours
        if (ours[1] == "TypeError" and re.fullmatch(BINDING, ours[2])
                and re.fullmatch(PYTHON_BINDING, theirs[2])):
            return ours
    return theirs


# ---------------------------------------------------------------- random input
#
# Paths and items are described by plain data and made for each module
# separately, so that each side gets its own markers and its own copies of
# mutable values (a walk below a stored value changes it).

class M:
    """Stands for an IndexMarker of a list, tuple, named tuple or list subclass."""

    SAMPLES = {"list": [], "tuple": (), "Point": Point(0, 0), "Row": Row(), "Fickle": Fickle()}

    def __init__(self, kind, index):
        self.kind, self.index = kind, index

    def make(self, module):
        return module.IndexMarker(self.SAMPLES[self.kind], self.index)

    def __repr__(self):
        return "M(%r, %r)" % (self.kind, self.index)


def materialise(spec, module):
    """A fresh object for `module` from its description."""
    if isinstance(spec, M):
        return spec.make(module)
    if isinstance(spec, tuple) and spec and spec[0] == "@":
        how, parts = spec[1], spec[2:]
        if how == "path":  # a path: a tuple (or list, or str) of keys and markers
            kind, elements = parts
            made = tuple(materialise(e, module) for e in elements)
            return {"tuple": made, "list": list(made), "str": "".join(map(str, made))}[kind]
        if how == "item":
            kind, path, value = parts
            path, value = materialise(path, module), copy.deepcopy(value)
            return {"pair": lambda: (path, value), "list": lambda: [path, value],
                    "dict item": lambda: module.DictItem(path, value),
                    "iterator": lambda: iter((path, value)),
                    "generator": lambda: (x for x in (path, value))}[kind]()
        raise AssertionError(spec)
    return copy.deepcopy(spec)


_texts = st.sampled_from(["a", "b", "", "é", "ключ", "\U0001f600", "\ud800", "a.b", "ab"])
_keys = st.one_of(_texts, st.integers(-2, 2), st.sampled_from([(1, 2), None, 2.5, True]))
_leaves = st.one_of(st.none(), st.booleans(), st.integers(-3, 300), st.floats(allow_nan=False, width=16),
                    _texts, st.just({}), st.just([]), st.just(()), st.just(Point((), {})))


# Strategies are built from named functions: hypothesis would read the source
# of every lambda to describe it, which costs more than the tests.

def _point(values):
    return Point(*values)


def _proper_path(first, rest):
    return [first] + rest


def _path(kind, elements):
    return ("@", "path", kind, tuple(elements))


def _tuple_path(elements):
    return ("@", "path", "tuple", tuple(elements))


def _item(kind, path, value):
    return ("@", "item", kind, path, value)


def _bare_path(path):
    return ("@", "path", "tuple", path[3])


def _prefix(marker):
    return ("@", "path", "tuple", ("x", marker))


def _nest(children):
    return st.one_of(
        st.lists(children, max_size=3),
        st.lists(children, max_size=3).map(tuple),
        st.lists(children, max_size=3).map(Row),
        st.tuples(children, children).map(_point),
        st.dictionaries(_keys, children, max_size=3),
        st.dictionaries(_keys, children, max_size=3).map(OrderedDict),
    )


_values = st.recursive(_leaves, _nest, max_leaves=12)
_documents = st.one_of(st.dictionaries(_keys, _values, max_size=4),
                       st.dictionaries(_keys, _values, max_size=4).map(OrderedDict))

_markers = st.builds(M, st.sampled_from(["list", "list", "tuple", "tuple", "Point", "Row", "Fickle"]),
                     st.one_of(st.integers(0, 3), st.integers(-2, 6)))
# Keys from a small set, so that paths meet each other often.
_steps = st.one_of(st.sampled_from(["a", "b", "c", 0, "é"]), _markers)
_proper_paths = st.builds(_proper_path, st.sampled_from(["a", "b", "é"]),
                          st.lists(_steps, max_size=4))
_path_elements = st.one_of(
    _proper_paths, _proper_paths, _proper_paths, _proper_paths, _proper_paths,
    st.lists(_steps, max_size=3))  # empty ones and ones that start with a marker too
_paths = st.builds(_path,
                   st.sampled_from(["tuple"] * 8 + ["list", "str"]), _path_elements)
_proper = st.builds(_tuple_path, _proper_paths)
# Values that fight back when a later path goes below them.
_hostile_values = st.one_of(
    st.builds(Keeper, st.sampled_from(["empties", "grows", "swaps", "stores 7", "stores nothing",
                                       "reads a copy", "reads empty"])),
    st.builds(Fickle, st.sampled_from([(), ({},), ({}, 1)]),
              st.sampled_from(["empties on read", "adds elsewhere"])))
_stored = st.one_of(st.integers(-3, 3), st.none(), _texts, st.just({}), st.just({"k": 1}),
                    st.just([1]), st.just((2,)), st.just(Point(1, 2)), _hostile_values)
_good_items = st.builds(_item,
                        st.sampled_from(["pair", "pair", "pair", "list", "dict item", "iterator",
                                         "generator"]),
                        _paths, _stored)
# Pairs that can be read again (a stored iterator is used up by the check).
_pairs = st.builds(_item,
                   st.sampled_from(["pair", "pair", "list", "dict item"]),
                   st.one_of(_proper, _proper, _proper, _paths), _stored)
_bad_items = st.one_of(st.sampled_from([5, None, "abc", "x", (), ("p",), ("p", 1, 2), [1, 2, 3], 2.5]),
                       st.builds(_bare_path, _paths))
_items = st.one_of(_good_items, _good_items, _good_items, st.sampled_from(["pv", "ab"]), _bad_items)
_indexes = st.integers(-4, 4)
_slices = st.builds(slice, st.one_of(st.none(), _indexes), st.one_of(st.none(), _indexes),
                    st.sampled_from([None, None, 1, 2, -1]))
_prefixes = st.one_of(st.sampled_from([None, (), "", 0, ("x",), ("x", "y")]),
                      st.builds(_prefix, _markers))


def _swapped_pair(cls, values):
    return tuple.__new__(cls, tuple(reversed(values)))


class Detour(list):
    """Where super().append, insert and extend of a Tabulon subclass land
    instead of list's own: each stores what it is given, marked."""

    def append(self, item):
        list.append(self, ("appended", item))

    def insert(self, index, item):
        list.insert(self, index, ("inserted", item))

    def extend(self, items):
        list.extend(self, [("extended", item) for item in items])


# For each side, a class that a Tabulon's __class__ is set to for one step.
DETOURED = {module: type("Detoured", (module.Tabulon, Detour), {}) for module in (native, twin)}


class replaced_global(object):
    """DictItem's __new__ reading another `_tuple_new` from its globals (one
    that stores the two values the other way round), restored on exit."""

    def __init__(self, module):
        self.globals = module.DictItem.__new__.__globals__

    def __enter__(self):
        self.saved = self.globals["_tuple_new"]
        self.globals["_tuple_new"] = _swapped_pair

    def __exit__(self, *exc):
        self.globals["_tuple_new"] = self.saved


def wrapped(kind, items):
    return {"list": list, "tuple": tuple, "iterator": iter,
            "generator": lambda i: (x for x in i)}[kind](items)


# ---------------------------------------------------------------- the machine

def short(machine):
    return len(getattr(machine, "native", ())) < 64


class TabulonMachine(RuleBasedStateMachine):
    examples = 0

    def compare(self, operation, keep=False):
        """Runs `operation(module, tabulon)` on both sides; with `keep`, the
        result becomes the side's Tabulon (an empty one on failure)."""
        results = []
        for module in (native, twin):
            side = "native" if module is native else "twin"
            if keep:
                def make():
                    current = getattr(self, side, None)
                    setattr(self, side, None)
                    made = operation(module, current)
                    setattr(self, side, made)
                    return made
                result = outcome(make)
                if getattr(self, side) is None:
                    setattr(self, side, module.Tabulon())
            else:
                result = outcome(lambda: operation(module, getattr(self, side)))
            results.append(result)
        assert results[0] == normalised(*results), results

    @initialize(document=_documents)
    def build(self, document):
        type(self).examples += 1
        watch_for_hang()
        self.compare(lambda m, t: m.Tabulon(copy.deepcopy(document)), keep=True)

    @rule(document=_documents)
    def construct_from_document(self, document):
        self.compare(lambda m, t: m.Tabulon(copy.deepcopy(document)), keep=True)

    @rule(items=st.lists(_items, max_size=5), kind=st.sampled_from(["list", "tuple", "iterator",
                                                                     "generator"]))
    def construct_from_items(self, items, kind):
        self.compare(lambda m, t: m.Tabulon(wrapped(kind, [materialise(i, m) for i in items])), keep=True)

    @rule(items=st.lists(_items, max_size=3))
    def reinitialise(self, items):
        self.compare(lambda m, t: t.__init__([materialise(i, m) for i in items]))

    @rule(item=_items)
    def append(self, item):
        self.compare(lambda m, t: t.append(materialise(item, m)))

    @rule(index=_indexes, item=_items)
    def insert(self, index, item):
        self.compare(lambda m, t: t.insert(index, materialise(item, m)))

    @rule(index=st.one_of(_indexes, _slices), item=_items)
    def set_item(self, index, item):
        self.compare(lambda m, t: t.__setitem__(index, materialise(item, m)))

    @rule(items=st.lists(_items, max_size=4), kind=st.sampled_from(["list", "tuple", "iterator",
                                                                     "generator"]))
    def extend(self, items, kind):
        self.compare(lambda m, t: t.extend(wrapped(kind, [materialise(i, m) for i in items])))

    @precondition(short)  # it doubles the list
    @rule()
    def extend_by_itself(self):
        self.compare(lambda m, t: t.extend(t))

    @rule(items=st.lists(_items, max_size=3))
    def add_in_place(self, items):
        # unchecked: whatever the base list stores
        def run(m, t):
            t += [materialise(i, m) for i in items]
            return t
        self.compare(run)

    @rule(index=st.one_of(_indexes, _slices))
    def delete(self, index):
        self.compare(lambda m, t: t.__delitem__(index))

    @rule(index=_indexes)
    def pop(self, index):
        self.compare(lambda m, t: t.pop(index))

    @rule(index=st.one_of(_indexes, _slices))
    def read(self, index):
        self.compare(lambda m, t: t[index])

    @rule()
    def reconstruct(self):
        self.compare(lambda m, t: t.reconstruct())

    @rule(items=st.lists(_pairs, min_size=1, max_size=8))
    def rebuild_pairs(self, items):
        """Pairs only, in any order: what reconstruct makes of them."""
        self.compare(lambda m, t: m.Tabulon([materialise(i, m) for i in items]), keep=True)
        self.reconstruct()

    @rule(value=_hostile_values, tails=st.lists(st.lists(_steps, min_size=1, max_size=3),
                                                min_size=1, max_size=4), leaf=_stored)
    def rebuild_below_a_stored_value(self, value, tails, leaf):
        """A hostile mapping or sequence stored as a value, then paths below it."""
        items = [_item("pair", _tuple_path(["a"]), value)]
        items += [_item("pair", _tuple_path(["a"] + tail), leaf) for tail in tails]
        self.compare(lambda m, t: m.Tabulon([materialise(i, m) for i in items]), keep=True)
        self.reconstruct()

    @rule()
    def flatten_what_is_rebuilt(self):
        """The rebuilt dict flattened again, where it can be rebuilt."""
        self.compare(lambda m, t: m.Tabulon(t.reconstruct()), keep=True)

    @rule(value=st.one_of(_documents, _values), prefix=_prefixes)
    def flatten(self, value, prefix):
        self.compare(lambda m, t: m.Tabulon.__flatten__(copy.deepcopy(value), materialise(prefix, m)))

    @rule(item=_items, items=st.lists(_items, max_size=3), document=_documents,
          how=st.sampled_from(["append", "insert", "extend", "flatten"]),
          change=st.sampled_from(["class", "_tuple_new", "both"]))
    def changed_under_a_step(self, item, items, document, how, change):
        """One step while the list's __class__ is a subclass whose
        super() lands elsewhere, or while DictItem's __new__ reads another
        `_tuple_new`; both restored after it."""
        def run(m, t):
            with contextlib.ExitStack() as stack:
                if change != "class":
                    stack.enter_context(replaced_global(m))
                if change != "_tuple_new":
                    t.__class__ = DETOURED[m]
                    stack.callback(setattr, t, "__class__", m.Tabulon)
                if how == "append":
                    return t.append(materialise(item, m))
                if how == "insert":
                    return t.insert(1, materialise(item, m))
                if how == "extend":
                    return t.extend([materialise(i, m) for i in items])
                return list(m.Tabulon.__flatten__(copy.deepcopy(document)))
        self.compare(run)

    @invariant()
    def same_contents(self):
        if hasattr(self, "native"):
            assert snapshot(self.native) == snapshot(self.twin)
            assert type(self.native) is native.Tabulon and type(self.twin) is twin.Tabulon

    def teardown(self):
        hang_watch_off()


def test_native_matches_the_twin():
    quick = settings(max_examples=30, stateful_step_count=20, deadline=None,
                     suppress_health_check=list(HealthCheck))
    # batches of a few hundred examples: the time is checked between batches, and
    # hypothesis keeps what it learns about a batch until the batch ends
    run_machine(TabulonMachine, quick, settings(quick, max_examples=300, stateful_step_count=50, database=None))
