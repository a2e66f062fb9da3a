"""Differential fuzzing: Frayle against its pure-Python twin, driven through
the same random sequences of operations.

Each side lives in a world of its own: a list and a pool of objects that
only the pool holds, made alike on both sides (the same serial numbers, the
same classes).  A step runs on both worlds; results are compared as the
serial numbers of the objects they hold, exceptions by type and message,
and after every step the contents, the exceptions the interpreter reported
as ignored inside callbacks, and the calls of a subclass's `remove`.
Objects die between steps (dropped from the pool, then a collection) and in
the middle of steps: while a list is iterated, sorted, extended from a
generator or sliced.

The default run is short (a few seconds, for CI).  Set the environment
variable TESSEL_FUZZ_SECONDS to a number of seconds to keep fuzzing for that
long instead: batch after batch of fresh random sequences until the time is
up; the number of examples run is printed (use ``pytest -s`` to see it).
"""
import builtins
import collections
import gc
import sys
import weakref

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import support
from orvane.tessel.frayle import Frayle
from support import FUZZ_SECONDS, examples, run_machine, unaddressed, watch_for_hang
from twins import frayle as twin_frayle

POOL = 8


class Obj(object):
    """Weakly referable, equal only to itself."""

    def __init__(self, serial):
        self.serial = serial

    def __repr__(self):
        return "Obj(%d)" % self.serial

    def __lt__(self, other):
        return self.serial < other.serial


class Val(Obj):
    """Equal to every Val in the same class of serials (mod 3)."""

    def __eq__(self, other):
        return isinstance(other, Val) and other.serial % 3 == self.serial % 3

    __hash__ = Obj.__hash__


class Touchy(Obj):
    """Refuses to be compared with anything but itself."""

    def __eq__(self, other):
        if other is self:
            return True
        raise LookupError("touchy %d" % self.serial)

    __hash__ = Obj.__hash__


KINDS = [Obj, Obj, Val, Val, Touchy]


def make(serial):
    return KINDS[serial % len(KINDS)](serial)


def label(value):
    """A result as plain data: stored objects by serial, lists by contents."""
    if isinstance(value, Obj):
        return value.serial
    if isinstance(value, (Frayle, twin_frayle.Frayle)):
        return ("Frayle" if type(value).__name__ == "Frayle" else "sub", [label(o) for o in value])
    if isinstance(value, list):
        return [label(o) for o in value]
    if isinstance(value, str):
        return unaddressed(value)
    return value


def outcome(operation):
    return support.outcome(operation, result=label, message=unaddressed)


def _get_through(self, obj, owner):
    return self if obj is None else obj.__dict__["data"]


def _set_through(self, obj, value):
    obj.__dict__["data"] = value


def _get_copy(self, obj, owner):
    return self if obj is None else list(obj.__dict__["data"])


# What the descriptor of `data` on a World's `described` class does: nothing
# (the instance dict is read), pass the instance's `data` through (as a
# non-data or a data descriptor), or hand out a copy of it, so that writes
# through `self.data` are lost.
DESCRIPTOR_MODES = {
    "none": {},
    "get": {"__get__": _get_through},
    "get, set": {"__get__": _get_through, "__set__": _set_through},
    "copy, set": {"__get__": _get_copy, "__set__": _set_through},
}


def described_of(cls):
    class Descriptor(object):
        """`data` of Described: its methods come and go while lists are in use."""

    class Described(cls):
        """A list's class is swapped to this one and back."""
        data = Descriptor()
    Described.descriptor = Descriptor
    return Described


def _never_equal_type(obj):
    return object()


def _reversed_list(items):
    return builtins.list(builtins.reversed(builtins.list(items)))


def _always(obj, cls):
    return True


# Globals of module collections that hide the builtins which UserList's
# methods name, for the span of one operation: `type` that never matches
# (so that __init__ takes its last branch) with a `list` that reverses or a
# `UserList` that every list is, and `isinstance` or `slice` that make every
# index a slice.
PATCHES = {
    "type, list": {"type": _never_equal_type, "list": _reversed_list},
    "type, UserList": {"type": _never_equal_type, "UserList": list},
    "isinstance": {"isinstance": _always},
    "slice": {"slice": int},
}


class patched(object):
    """Module collections with the globals of PATCHES[name], restored on exit."""

    def __init__(self, name):
        self.values = PATCHES[name]

    def __enter__(self):
        self.saved = {name: vars(collections).get(name, self) for name in self.values}
        for name, value in self.values.items():
            setattr(collections, name, value)

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            if value is self:
                delattr(collections, name)
            else:
                setattr(collections, name, value)


class World(object):
    """One side: a list of class `cls` and the pool of objects it may hold."""

    def __init__(self, cls):
        self.cls = cls
        self.described = described_of(cls)
        native = issubclass(cls, Frayle)
        self.base, self.other = (Frayle, twin_frayle.Frayle) if native else (twin_frayle.Frayle, Frayle)
        self.pool = [make(i) for i in range(POOL)]
        self.born = POOL
        self.lst = cls()
        self.held = None

    def get(self, i):
        """The object in slot `i`; a dead slot stands for an object that
        cannot be weakly referenced."""
        return self.pool[i] if self.pool[i] is not None else 5

    def free(self, i):
        self.pool[i] = None

    def revive(self, i):
        if self.pool[i] is None:
            self.pool[i] = make(self.born)
            self.born += 1

    def freeing(self, slots, at):
        """A generator of the objects in `slots` that frees slot `at[1]`
        before yielding its `at[0]`-th object."""
        for k, i in enumerate(slots):
            if k == at[0]:
                self.free(at[1])
            yield self.get(i)


# UserList's methods that Frayle reaches through super().
DETOURS = ("__init__", "__contains__", "__getitem__", "remove", "append", "index", "count")


def detour(name):
    """A method that logs its call, then runs UserList's own."""
    original = getattr(collections.UserList, name)

    def method(self, *args):
        self.log.append(("detour", name))
        return original(self, *args)
    return method


def subclass_of(base):
    class Detour(collections.UserList):
        """Between the base and UserList, where super() lands: methods are
        put on it and taken off again while lists are in use."""

    class Sub(base, Detour):
        """Logs every call of remove, then removes as the base does."""

        def __init__(self, items=()):
            self.log = []
            super().__init__(items)

        def remove(self, item):
            self.log.append(("ref", item() is None) if isinstance(item, weakref.ReferenceType)
                            else ("obj", label(item)))
            super().remove(item)
    Sub.detour_class = Detour
    return Sub


# What a method is called with as self.  From 3.12 on, what super() says of
# None depends on whether the interpreter has specialised the call site yet:
# None only before.
FOREIGN_SELVES = ["None", "object", "UserList", "other side"][sys.version_info >= (3, 12):]

slots = st.integers(0, POOL - 1)
positions = st.integers(-6, 6)
slot_lists = st.lists(slots, max_size=4)
steps = st.sampled_from([None, 1, 2, -1, -2, 0])
moments = st.tuples(st.integers(0, 4), slots)


class Differential(RuleBasedStateMachine):
    native_class = twin_class = None
    examples = 0

    @initialize(items=slot_lists)
    def build(self, items):
        type(self).examples += 1
        watch_for_hang()
        self.ignored = []
        self.hook, sys.unraisablehook = sys.unraisablehook, self.unraisable
        self.native, self.twin = World(self.native_class), World(self.twin_class)
        self.compare(lambda w: setattr(w, "lst", w.cls([w.get(i) for i in items])))

    def teardown(self):
        if hasattr(self, "hook"):
            sys.unraisablehook = self.hook

    def unraisable(self, info):
        self.ignored.append((self.side, info.exc_type.__name__, unaddressed(info.exc_value)))

    def compare(self, operation):
        results, ignored = [], []
        for side in ("native", "twin"):
            self.side = side
            self.ignored = []
            results.append(outcome(lambda: operation(getattr(self, side))))
            ignored.append([entry[1:] for entry in self.ignored])
        assert results[0] == results[1]
        assert ignored[0] == ignored[1]

    # ---------------------------------------------------------------- writes

    @rule(i=slots)
    def append(self, i):
        self.compare(lambda w: w.lst.append(w.get(i)))

    @rule(pos=positions, i=slots)
    def insert(self, pos, i):
        self.compare(lambda w: w.lst.insert(pos, w.get(i)))

    @rule(items=slot_lists, how=st.sampled_from(["extend", "iadd", "init"]))
    def extend(self, items, how):
        def run(w):
            objects = [w.get(i) for i in items]
            if how == "iadd":
                before = w.lst
                w.lst += objects
                return w.lst is before
            return getattr(w.lst, "extend" if how == "extend" else "__init__")(objects)
        self.compare(run)

    @rule(items=slot_lists, at=moments, how=st.sampled_from(["extend", "iadd", "init", "slice"]))
    def extend_freeing(self, items, at, how):
        """The objects come from a generator that frees one on the way."""
        def run(w):
            gen = w.freeing(items, at)
            if how == "slice":
                w.lst[1:3] = gen
            elif how == "iadd":
                w.lst += gen
            else:
                getattr(w.lst, "extend" if how == "extend" else "__init__")(gen)
        self.compare(run)

    @rule(pos=positions, i=slots)
    def setitem(self, pos, i):
        self.compare(lambda w: w.lst.__setitem__(pos, w.get(i)))

    @rule(start=positions, stop=positions, step=steps, items=slot_lists)
    def setslice(self, start, stop, step, items):
        self.compare(lambda w: w.lst.__setitem__(slice(start, stop, step), [w.get(i) for i in items]))

    @rule(start=positions, stop=positions, step=steps)
    def delslice(self, start, stop, step):
        self.compare(lambda w: w.lst.__delitem__(slice(start, stop, step)))

    @rule(pos=positions)
    def delitem(self, pos):
        self.compare(lambda w: w.lst.__delitem__(pos))

    @rule(i=slots, how=st.sampled_from(["object", "live ref", "entry"]))
    def remove(self, i, how):
        def run(w):
            if how == "object":
                return w.lst.remove(w.get(i))
            if how == "live ref":
                return w.lst.remove(weakref.ref(w.get(i)))
            entries = w.lst.data
            return w.lst.remove(entries[i % len(entries)] if entries else weakref.ref(w.get(i)))
        self.compare(run)

    @rule(pos=st.one_of(st.none(), positions))
    def pop(self, pos):
        self.compare(lambda w: w.lst.pop() if pos is None else w.lst.pop(pos))

    @rule(reverse=st.booleans(), how=st.sampled_from(["none", "serial", "freeing"]), at=slots)
    def sort(self, reverse, how, at):
        def run(w):
            if how == "none":
                return w.lst.sort(reverse=reverse)

            def key(o):
                if how == "freeing":
                    w.free(at)
                return -1 if o is None else o.serial
            return w.lst.sort(key=key, reverse=reverse)
        self.compare(run)

    @rule()
    def clear(self):
        self.compare(lambda w: w.lst.clear())

    # ---------------------------------------------------------------- reads

    @rule(pos=positions)
    def getitem(self, pos):
        self.compare(lambda w: w.lst[pos])

    @rule(start=positions, stop=positions, step=steps)
    def getslice(self, start, stop, step):
        self.compare(lambda w: w.lst[start:stop:step])

    @rule(i=slots, how=st.sampled_from(["in", "count", "index"]))
    def probe(self, i, how):
        def run(w):
            o = w.get(i)
            return o in w.lst if how == "in" else getattr(w.lst, how)(o)
        self.compare(run)

    @rule(at=moments, how=st.sampled_from(["iter", "reversed", "slice"]))
    def iterate_freeing(self, at, how):
        """Reads that free an object at the `at[0]`-th object they hand out."""
        def run(w):
            seen = []
            if how == "iter":
                source = iter(w.lst)
            elif how == "reversed":
                source = iter(reversed(w.lst))
            else:
                source = iter(w.lst[::2])
            for k, o in enumerate(source):
                seen.append(label(o))
                o = None
                if k == at[0]:
                    w.free(at[1])
            return seen
        self.compare(run)

    @rule(other=slot_lists, how=st.sampled_from(["own", "other", "subclass", "list", "tuple"]))
    def concatenate(self, other, how):
        """`+` with a Frayle of the side's own module, of the other one, a
        subclass, a list or a tuple."""
        def run(w):
            objects = [w.get(i) for i in other if w.pool[i] is not None]
            own = w.cls if how == "subclass" else w.base
            make_operand = {"own": own, "subclass": own, "other": w.other, "list": list,
                            "tuple": tuple}[how]
            return w.lst + make_operand(objects)
        self.compare(run)

    @rule(other=slot_lists)
    def equality(self, other):
        self.compare(lambda w: (w.lst == [w.pool[i] for i in other], w.lst == w.lst[:],
                                w.lst != tuple(w.lst)))

    @rule()
    def text(self):
        self.compare(lambda w: (repr(w.lst), str(w.lst), len(w.lst)))

    # ---------------------------------------------------------------- lifetimes

    @rule(i=slots, collect=st.booleans())
    def free(self, i, collect):
        self.compare(lambda w: w.free(i))
        if collect:
            gc.collect()

    @rule(items=slot_lists, hold=st.booleans())
    def replace(self, items, hold):
        """A new list in place of the old one, whose entries may stay held
        (a copy of `data`), so that objects freed later call back into a
        list that is gone."""
        def run(w):
            w.held = list(w.lst.data) if hold else None
            w.lst = w.cls([w.get(i) for i in items])
        self.compare(run)

    @rule(i=slots)
    def revive(self, i):
        self.compare(lambda w: w.revive(i))

    # ---------------------------------------------------------------- classes and globals change

    @rule(mode=st.sampled_from(sorted(DESCRIPTOR_MODES)))
    def descriptor(self, mode):
        """The descriptor of `data` on the class a list may be swapped to
        gains or loses __get__ and __set__."""
        for w in (self.native, self.twin):
            descriptor = w.described.descriptor
            for name in ("__get__", "__set__"):
                if name in vars(descriptor):
                    delattr(descriptor, name)
            for name, method in DESCRIPTOR_MODES[mode].items():
                setattr(descriptor, name, method)

    @rule(described=st.booleans())
    def swap_class(self, described):
        """The list's __class__ assigned: the class with the descriptor, or back."""
        self.compare(lambda w: setattr(w.lst, "__class__", w.described if described else w.cls))

    @rule()
    def replace_instance_dict(self):
        self.compare(lambda w: setattr(w.lst, "__dict__", dict(vars(w.lst))))

    @rule(patch=st.sampled_from(sorted(PATCHES)), items=slot_lists, pos=positions,
          how=st.sampled_from(["init", "new", "getitem", "slice", "append", "in"]))
    def globals_of_collections(self, patch, items, pos, how):
        """One operation while module collections hides a builtin that
        UserList's methods name; restored after it."""
        def run(w):
            objects = [w.get(i) for i in items]
            with patched(patch):
                if how == "init":
                    return w.lst.__init__(objects)
                if how == "new":
                    return type(w.lst)(objects)
                if how == "getitem":
                    return w.lst[pos]
                if how == "slice":
                    return w.lst[pos::2]
                if how == "append":
                    return w.lst.append(w.get(pos % POOL))
                return w.get(pos % POOL) in w.lst
        self.compare(run)

    @rule(name=st.sampled_from(["__init__", "append", "insert", "extend", "__setitem__", "remove",
                                "__contains__", "__getitem__", "index", "count", "pop", "__iadd__"]),
          self_is=st.sampled_from(FOREIGN_SELVES), i=slots)
    def foreign_self(self, name, self_is, i):
        """A method of the list's class called with something else as self."""
        def run(w):
            other = {"None": None, "object": w.pool[i] or Obj(-1),
                     "UserList": collections.UserList(),
                     "other side": w.other()}[self_is]
            method = getattr(type(w.lst), name)
            args = {"__init__": (), "insert": (0, w.get(i)), "__setitem__": (0, w.get(i)),
                    "extend": ([w.get(i)],), "__iadd__": ([w.get(i)],), "pop": (0,),
                    "__getitem__": (0,)}.get(name, (w.get(i),))
            return method(other, *args)
        self.compare(run)

    @invariant()
    def same_contents(self):
        if not hasattr(self, "native"):
            return
        native, twin = self.native.lst, self.twin.lst
        assert label(list(native)) == label(list(twin))
        assert len(native) == len(twin)
        assert getattr(native, "log", None) == getattr(twin, "log", None)
        callbacks = set()
        for entry in native.data:
            # every entry is a reference that calls back into its own list
            # through the list's one callback (dead ones stay when freed
            # during a sort, which hides the entries)
            assert type(entry) is weakref.ReferenceType
            if entry() is not None:
                assert entry.__callback__() is native
                callbacks.add(id(entry.__callback__))
        assert len(callbacks) <= 1


class PlainMachine(Differential):
    native_class, twin_class = Frayle, twin_frayle.Frayle


class SubclassMachine(Differential):
    native_class, twin_class = subclass_of(Frayle), subclass_of(twin_frayle.Frayle)

    @rule(name=st.sampled_from(DETOURS), on=st.booleans())
    def reroute(self, name, on):
        """Where super() lands changes under lists already in use."""
        for cls in (self.native_class, self.twin_class):
            if on:
                setattr(cls.detour_class, name, detour(name))
            elif name in vars(cls.detour_class):
                delattr(cls.detour_class, name)

    def teardown(self):
        for cls in (self.native_class, self.twin_class):
            for name in DETOURS:
                if name in vars(cls.detour_class):
                    delattr(cls.detour_class, name)
        super().teardown()


@pytest.mark.parametrize("machine", [PlainMachine, SubclassMachine])
def test_native_matches_the_twin(machine):
    quick = settings(max_examples=examples(60), stateful_step_count=30, deadline=None,
                     suppress_health_check=list(HealthCheck))
    long = settings(quick, max_examples=1000, stateful_step_count=60, database=None)
    run_machine(machine, quick, long, seconds=FUZZ_SECONDS / 2)
