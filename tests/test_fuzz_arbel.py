"""Differential fuzzing: Arbel and sigil against their pure-Python twins.

- Arbel: a state machine builds the same random trees with the native class
  and with the twin: nodes of the class and of two subclasses, names that are
  text (any characters, lone surrogates and line breaks included), str
  subclasses, numbers or objects with their own concatenation, children that
  are lists, tuples, logged list subclasses, sets, ranges or numbers, and
  hostile children whose str() raises, gives no text, or changes the trees
  (adds, removes, replaces children and names, re-enters the drawing) while
  they are drawn.  Between drawings it changes the trees at random: adds and
  removes children, renames, replaces children values, changes classes and
  makes cycles; puts descriptors named `children` or `name` on the classes
  and gives their class __get__ and __set__ or takes them away; replaces
  instance dicts.  Hostile children may also give str subclasses with their
  own split().  Every drawing must give the same text or the same exception
  (type and message), the hostile children must have run in the same order,
  and every tree must look the same afterwards.
- sigil: a state machine builds the same random class hierarchies with the
  native decorator and the twin, with getters that return, raise, read other
  sigils or delete attributes, and reads, assigns and deletes through
  classes and instances in random order.

The default run is short (a few seconds, for CI).  Set the environment
variable TESSEL_FUZZ_SECONDS to a number of seconds to keep each fuzzer
running for that long instead: batch after batch of fresh random programs
until the time is up; the number of programs and steps run is printed (use
``pytest -s`` to see it).  In that mode a single program that takes longer
than a minute counts as a hang: the process is stopped with the tracebacks
of its threads.
"""
import gc
import re

from hypothesis import HealthCheck, Phase, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import orvane.tessel.arbel as arbel_module
import orvane.tessel.sigil as sigil_module
import support
from support import FUZZ_SECONDS, RECURSED, depth_untold, hang_watch_off, run_machine, watch_for_hang
from twins import arbel as twin_arbel
from twins import sigil as twin_sigil

# No explain phase: it re-runs a failing program under a line tracer, which
# can take the interpreter past the point where it recovers from RecursionError.
QUICK = settings(max_examples=25, stateful_step_count=20, deadline=None,
                 suppress_health_check=list(HealthCheck),
                 phases=[p for p in Phase if p is not Phase.explain])
LONG = settings(QUICK, max_examples=100, stateful_step_count=40, database=None)

UNSLICEABLE = re.compile(r"'([\w.]+)' object is (not subscriptable|unsliceable)")
SAMPLES = {}  # long mode: the longest drawing and one example of each exception


def outcome(operation):
    # The collector stays off while a step runs: a collection near the
    # recursion limit can run Python callbacks whose RecursionError the
    # interpreter drops, and 3.8 then lets the recursion run on until it stops
    # the process ("Cannot recover from stack overflow"), in either
    # implementation.
    gc.disable()
    try:
        return support.outcome(operation, message=depth_untold(sliceable_words))
    finally:
        gc.enable()


def sliceable_words(error):
    """The one wording that differs on purpose: what cannot be sliced."""
    return UNSLICEABLE.sub(r"'\1' object cannot be sliced", str(error))


def fuzz(machine):
    """A test that runs the state machine: once, briefly, or again and again
    until TESSEL_FUZZ_SECONDS have passed."""
    def test():
        run_machine(machine, QUICK, LONG)
        if not FUZZ_SECONDS:
            return
        for key, sample in sorted(SAMPLES.items(), key=str):
            print("%s:\n%s" % (ascii(key), ascii(sample)[:400] if isinstance(sample, str) else ascii(sample)))
        SAMPLES.clear()
        print("%s: %d steps, %d drawings or reads (%d recursion errors)"
              % (machine.__name__, machine.steps, machine.checks, machine.recursions))
    test.__name__ = "test_" + machine.__name__
    return test


# ================================================================ Arbel

class Text(str):
    pass


class Label:
    """A name with its own concatenation."""

    def __init__(self, text):
        self.text = text

    def __add__(self, other):
        return self.text + other

    def __repr__(self):
        return "Label(%r)" % self.text


class Sticky(Label):
    """A name whose concatenation never gives a str: the drawing fails where
    str() of its node gets the result."""

    def __add__(self, other):
        return Sticky(self.text + other)


class Wrapping(Label):
    """A name whose concatenation gives a str subclass, so that the next
    concatenation is the subclass's."""

    def __add__(self, other):
        return Text(self.text + other)


class Noted(Label):
    """A name that reports each concatenation, with its operand."""

    def __init__(self, text, log):
        Label.__init__(self, text)
        self.log = log

    def __add__(self, other):
        self.log.append(("add", self.text, other))
        return self.text + other


class Logged(list):
    """Children that report the drawing's truth tests and subscripts."""

    def __init__(self, items, log):
        list.__init__(self, items)
        self.log = log

    def __bool__(self):
        self.log.append("bool")
        return list.__len__(self) > 0

    def __getitem__(self, index):
        self.log.append(("getitem", repr(index)))
        return list.__getitem__(self, index)


class Whole(str):
    """A text whose split() splits nothing."""

    def split(self, sep):
        return [str(self)]


class Marked(str):
    def __radd__(self, other):
        return other + "<" + str(self) + ">"


class Marking(str):
    """A text whose split() gives lines with their own concatenation."""

    def split(self, sep):
        return [Marked(line) for line in str.split(self, sep)]


def shade_get(self, obj, owner):
    return self if obj is None else vars(obj)[self.name][::-1]


def shade_set(self, obj, value):
    vars(obj)[self.name] = value


class Side:
    """One implementation's half of the machine: its nodes and its log."""

    def __init__(self, module):
        self.A = A = module.Arbel

        class Shade:
            """A class attribute `children` or `name`; the machine gives its
            class __get__ and __set__ and takes them away."""

            def __init__(self, name):
                self.name = name
        self.Shade = Shade

        class Plain(A):
            pass

        class Boxed(A):
            def __str__(self):
                return "[" + A.__str__(self) + "]"
        self.classes = {"A": A, "Plain": Plain, "Boxed": Boxed}
        self.nodes = []
        self.log = []

    def node(self, k):
        return self.nodes[k % len(self.nodes)]

    def name(self, spec):
        kind, text = spec
        return {"text": lambda: text, "sub": lambda: Text(text), "label": lambda: Label(text),
                "sticky": lambda: Sticky(text), "wrapping": lambda: Wrapping(text),
                "noted": lambda: Noted(text, self.log), "int": lambda: len(text),
                "none": lambda: None}[kind]()

    def item(self, spec):
        kind = spec[0]
        if kind == "text":
            return spec[1]
        if kind == "int":
            return spec[1]
        if kind == "sub":
            return Text(spec[1])
        if kind == "node":
            return self.node(spec[1])
        return Hostile(self, spec[1])

    def children(self, spec):
        kind, items = spec
        made = [self.item(i) for i in items]
        return {"list": lambda: made, "tuple": lambda: tuple(made), "logged": lambda: Logged(made, self.log),
                "set": lambda: {i for i in made if isinstance(i, str)} or {"s"},
                "range": lambda: range(len(made)), "none": lambda: None, "int": lambda: len(made) + 1,
                "text": lambda: "".join(i for i in made if isinstance(i, str))}[kind]()


class Hostile:
    """A child whose str() logs, then does what its action says."""

    def __init__(self, side, action):
        self.side, self.action = side, action

    def __str__(self):
        side, action = self.side, self.action
        kind = action[0]
        side.log.append(("str", action))
        if kind == "raise":
            raise LookupError("hostile %s" % (action[1],))
        if kind == "give":
            return {"int": 5, "none": None, "bytes": b"b", "sub": Text("sub\ntext"), "empty": "",
                    "whole": Whole("w\nx"), "marking": Marking("p\nq")}[action[1]]
        if kind == "append":
            side.node(action[1]).children.append(side.item(action[2]))
        elif kind == "clear":
            del side.node(action[1]).children[:]
        elif kind == "children":
            side.node(action[1]).children = side.children(action[2])
        elif kind == "rename":
            side.node(action[1]).name = side.name(action[2])
        elif kind == "draw":
            return str(side.node(action[1]))
        return "h%s" % (action[1],)


TEXT = st.text(st.sampled_from("ab \n\r\t\u00e9e\u0301\u4e2d\U0001f333\ud800\x00|`-"), max_size=4)
ANY_TEXT = st.one_of(TEXT, TEXT, st.text(st.characters(blacklist_categories=()), max_size=5))
NAMES = st.one_of(st.tuples(st.just("text"), ANY_TEXT),
                  st.tuples(st.sampled_from(["sub", "label", "label", "sticky", "wrapping", "noted",
                                             "int", "none"]), TEXT))
INDEX = st.integers(0, 50)
LEAF_ITEMS = st.one_of(st.tuples(st.just("text"), ANY_TEXT), st.tuples(st.just("int"), st.integers(-5, 5)),
                       st.tuples(st.just("sub"), TEXT), st.tuples(st.just("node"), INDEX))
CHILDREN_KINDS = st.sampled_from(["list"] * 6 + ["tuple", "logged", "logged", "set", "range", "none",
                                                 "int", "text"])
ACTIONS = st.one_of(
    st.tuples(st.just("raise"), INDEX),
    st.tuples(st.just("give"), st.sampled_from(["int", "none", "bytes", "sub", "empty", "whole", "marking"])),
    st.tuples(st.just("append"), INDEX, LEAF_ITEMS),
    st.tuples(st.just("clear"), INDEX),
    st.tuples(st.just("children"), INDEX,
              st.tuples(CHILDREN_KINDS, st.lists(LEAF_ITEMS, max_size=3))),
    st.tuples(st.just("rename"), INDEX, NAMES),
    st.tuples(st.just("draw"), INDEX),
    st.tuples(st.just("plain"), INDEX))
ITEMS = st.one_of(LEAF_ITEMS, LEAF_ITEMS, st.tuples(st.just("hostile"), ACTIONS))
CHILDREN = st.tuples(CHILDREN_KINDS, st.lists(ITEMS, max_size=4))
CLASSES = st.sampled_from(["A", "A", "A", "Plain", "Boxed"])


def describe(value):
    if type(value) in (str, int, bytes, type(None)):
        return value
    if isinstance(value, (Text, Label)):
        return (type(value).__name__, str(value) if isinstance(value, Text) else value.text)
    if isinstance(value, Hostile):
        return ("hostile", value.action)
    return "<%s>" % type(value).__name__


class Watched(RuleBasedStateMachine):
    """Counts programs; in long mode, a program running past HANG_SECONDS
    stops the process with the tracebacks of its threads."""
    examples = steps = checks = recursions = 0

    def __init__(self):
        super().__init__()
        type(self).examples += 1
        watch_for_hang()

    def teardown(self):
        hang_watch_off()


class ArbelDrawings(Watched):
    def __init__(self):
        super().__init__()
        self.reset()

    def reset(self):
        self.unshade()
        self.sides = [Side(arbel_module), Side(twin_arbel)]
        for side in self.sides:
            side.nodes.append(side.A("root"))

    def teardown(self):
        self.unshade()
        super().teardown()

    def unshade(self):
        """The modules' own classes as they were."""
        for module in (arbel_module, twin_arbel):
            for name in ("children", "name"):
                if name in vars(module.Arbel):
                    delattr(module.Arbel, name)

    def each(self, step):
        type(self).steps += 1
        return [outcome(lambda: describe(step(side))) for side in self.sides]

    def same(self, step):
        mine, theirs = self.each(step)
        assert mine == theirs
        return mine

    @rule(name=NAMES, children=CHILDREN, cls=CLASSES)
    def new_node(self, name, children, cls):
        self.same(lambda side: side.nodes.append(
            side.classes[cls](side.name(name), side.children(children))))

    @rule(k=INDEX, item=ITEMS)
    def add_child(self, k, item):
        self.same(lambda side: side.node(k).add_child(side.item(item)))

    @rule(k=INDEX, j=INDEX)
    def make_cycle(self, k, j):
        self.same(lambda side: side.node(j).add_child(side.node(k)))

    @rule(k=INDEX, at=st.integers(-3, 3))
    def remove_child(self, k, at):
        self.same(lambda side: side.node(k).children.pop(at))

    @rule(k=INDEX, at=st.integers(-3, 3), item=ITEMS)
    def insert_child(self, k, at, item):
        self.same(lambda side: side.node(k).children.insert(at, side.item(item)))

    @rule(k=INDEX, children=CHILDREN)
    def replace_children(self, k, children):
        self.same(lambda side: setattr(side.node(k), "children", side.children(children)))

    @rule(k=INDEX, name=NAMES)
    def rename(self, k, name):
        self.same(lambda side: setattr(side.node(k), "name", side.name(name)))

    @rule(k=INDEX, cls=CLASSES)
    def change_class(self, k, cls):
        self.same(lambda side: setattr(side.node(k), "__class__", side.classes[cls]))

    @rule(k=INDEX, name=NAMES, children=CHILDREN)
    def reinitialise(self, k, name, children):
        self.same(lambda side: side.node(k).__init__(side.name(name), side.children(children)))

    @rule(cls=CLASSES, name=st.sampled_from(["children", "name"]), put=st.booleans())
    def shade(self, cls, name, put):
        self.same(lambda side: setattr(side.classes[cls], name, side.Shade(name)) if put
                  else side.classes[cls].__dict__.get(name) and delattr(side.classes[cls], name))

    @rule(get=st.booleans(), set_=st.booleans())
    def shade_class(self, get, set_):
        def change(side):
            for name, value, wanted in (("__get__", shade_get, get), ("__set__", shade_set, set_)):
                if wanted:
                    setattr(side.Shade, name, value)
                elif name in vars(side.Shade):
                    delattr(side.Shade, name)
        self.same(change)

    @rule(k=INDEX, name=NAMES)
    def replace_dict(self, k, name):
        def replace(side):
            node = side.node(k)
            node.__dict__ = dict(vars(node), name=side.name(name))
        self.same(replace)

    @rule(k=INDEX, every=st.booleans())
    def draw(self, k, every):
        """Draws one node, or every node from the k-th on."""
        first = k % len(self.sides[0].nodes)
        for i in range(first, len(self.sides[0].nodes) if every else first + 1):
            type(self).checks += 1
            for side in self.sides:
                del side.log[:]
            mine, theirs = self.each(lambda side: str(side.nodes[i]))
            if RECURSED in (mine, theirs):
                # How deep each got, and so what the hostile children did on
                # the way, differs: both must have recursed; start afresh.
                type(self).recursions += 1
                assert mine == theirs
                self.reset()
                return
            assert mine == theirs
            assert self.sides[0].log == self.sides[1].log
            if mine[0] == "ok" and len(mine[1]) > len(SAMPLES.get("longest", "")):
                SAMPLES["longest"] = mine[1]
            elif mine[0] == "raised":
                SAMPLES.setdefault(mine[1:], mine)

    @invariant()
    def trees_look_alike(self):
        assert self.shapes(self.sides[0]) == self.shapes(self.sides[1])

    @staticmethod
    def shapes(side):
        index = {id(n): i for i, n in enumerate(side.nodes)}

        def part(value):
            if id(value) in index:
                return ("node", index[id(value)])
            if isinstance(value, (side.A, Hostile)) or not isinstance(value, (list, tuple)):
                return describe(value)
            return (type(value).__name__, [part(v) for v in value])
        found = []
        for node in side.nodes:
            state = vars(node)
            found.append((type(node).__name__, describe(state.get("name", "<missing>")),
                          part(state.get("children", "<missing>"))))
        return found


test_arbel_drawings = fuzz(ArbelDrawings)


# ================================================================ sigil

class SigilSide:
    def __init__(self, module):
        self.sigil = module.sigil
        self.classes = []
        self.instances = []
        self.log = []

    def cls(self, k):
        return self.classes[k % len(self.classes)]

    def instance(self, k):
        return self.instances[k % len(self.instances)]

    def getter(self, spec):
        kind, arg = spec
        log = self.log

        def get(cls):
            log.append((kind, cls.__name__))
            if kind == "name":
                return cls.__name__ + arg
            if kind == "raise":
                raise LookupError(arg)
            if kind == "attribute error":
                raise AttributeError(arg)
            if kind == "read":
                return ("read", getattr(cls, arg))
            if kind == "delete":
                delattr(cls, arg)
                return "deleted"
            return cls.__dict__.get(arg, "not own")
        return get


NAMES_S = st.sampled_from(["x", "y", "z"])
GETTERS = st.tuples(st.sampled_from(["name", "raise", "attribute error", "read", "delete", "own"]),
                    NAMES_S)


class SigilReads(Watched):
    def __init__(self):
        super().__init__()
        self.sides = [SigilSide(sigil_module), SigilSide(twin_sigil)]
        for side in self.sides:
            root = type("C0", (), {})
            side.classes.append(root)
            side.instances.append(root())

    def same(self, step, check=False):
        type(self).steps += 1
        for side in self.sides:
            del side.log[:]
        mine, theirs = [outcome(lambda: self.plain(step(side))) for side in self.sides]
        if check:
            type(self).checks += 1
            type(self).recursions += mine == RECURSED
        assert mine == theirs
        if mine != RECURSED:  # how often a getter ran before the limit differs
            assert self.sides[0].log == self.sides[1].log

    @staticmethod
    def plain(value):
        if isinstance(value, type):
            return ("class", value.__name__)
        if isinstance(value, tuple):
            return tuple(SigilReads.plain(v) for v in value)
        if isinstance(value, (str, int, type(None))):
            return value
        return "<%s>" % type(value).__name__

    @rule(bases=st.lists(INDEX, max_size=2, unique=True), attrs=st.dictionaries(NAMES_S, GETTERS),
          getattr_fallback=st.booleans())
    def new_class(self, bases, attrs, getattr_fallback):
        def make(side):
            chosen = []
            for b in bases:
                c = side.cls(b)
                if c not in chosen:
                    chosen.append(c)
            ns = {name: side.sigil(side.getter(g)) for name, g in attrs.items()}
            if getattr_fallback:
                ns["__getattr__"] = lambda self, name: "fallback " + name
            cls = type("C%d" % len(side.classes), tuple(chosen) or (object,), ns)
            side.classes.append(cls)
            side.instances.append(cls())
        self.same(make)

    @rule(k=INDEX, name=NAMES_S, on_instance=st.booleans())
    def read(self, k, name, on_instance):
        self.same(lambda side: getattr(side.instance(k) if on_instance else side.cls(k), name), check=True)

    @rule(k=INDEX, name=NAMES_S, getter=GETTERS)
    def set_sigil(self, k, name, getter):
        self.same(lambda side: setattr(side.cls(k), name, side.sigil(side.getter(getter))))

    @rule(k=INDEX, name=NAMES_S, value=st.integers(0, 9))
    def set_value(self, k, name, value):
        self.same(lambda side: setattr(side.cls(k), name, value))

    @rule(k=INDEX, name=NAMES_S, on_instance=st.booleans())
    def delete(self, k, name, on_instance):
        self.same(lambda side: delattr(side.instance(k) if on_instance else side.cls(k), name))

    @rule(k=INDEX, name=NAMES_S, value=st.integers(0, 9))
    def shadow_on_instance(self, k, name, value):
        self.same(lambda side: setattr(side.instance(k), name, value))

    @rule(k=INDEX, name=NAMES_S, getter=GETTERS)
    def replace_func(self, k, name, getter):
        def replace(side):
            descriptor = side.cls(k).__dict__[name]
            descriptor.func = side.getter(getter)
        self.same(replace)

    @rule(k=INDEX, name=NAMES_S)
    def call_get_by_hand(self, k, name):
        def by_hand(side):
            descriptor = vars(side.cls(k))[name]
            return descriptor.__get__(side.instance(k), side.cls(k + 1))
        self.same(by_hand, check=True)


test_sigil_reads = fuzz(SigilReads)
