"""Differential fuzzing: NestedCoffer and Configuration against their
pure-Python twins, driven through the same random sequences of operations.

Each step runs on the native object and on the twin; results, exceptions
(type and message) and the contents after the step must agree.  Copies,
deep copies and pickle round trips of the native object must keep its
contents, its classes at every level and the attribute view bound to the
entries.

Between operations the machines also change what the code reads: the
objects' classes (swapped for a subclass whose update() returns the object)
and attribute dictionaries (replaced, or holding entries that hide the
methods the code calls), and, for one operation at a time, the module
globals the methods read and MutableMapping.setdefault itself (its code,
its defaults, the globals its body reads).  Both sides must see the same
calls and give the same results.

The default run is short (a few seconds, for CI).  Set the environment
variable TESSEL_FUZZ_SECONDS to a number of seconds to keep fuzzing for that
long instead: each machine then runs batch after batch of fresh random
sequences until the time is up, and the number of examples run is printed
(use ``pytest -s`` to see it).
"""
import _collections_abc
import copy
import itertools
import pickle
from collections.abc import Mapping, MutableMapping

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import orvane.tessel.coffer as native_coffer
import orvane.tessel.configuration as native_configuration
import support
from orvane.tessel.coffer import Coffer, NestedCoffer
from orvane.tessel.configuration import Configuration
from support import FUZZ_SECONDS, examples, plain, run_machine
from twins import coffer as twin_coffer
from twins import configuration as twin_configuration

# Few names, so that operations meet the same entries often; dotted names with
# empty parts, non-ASCII text, and keys that are never split.
_names = ["a", "b", "", "é", "ключ", "update", "x y"]
_keys = st.one_of(
    st.lists(st.sampled_from(_names), min_size=1, max_size=4).map(".".join),
    st.sampled_from([1, (1, 2), b"a.b", 2.5, "\U0001f600.a"]))
_scalars = st.one_of(st.integers(-3, 3), st.none(), st.booleans(),
                     st.sampled_from(["1", " 2.5 ", "true", "None", "text", "a.b", ""]),
                     st.tuples(st.integers(0, 2)))
_documents = st.recursive(
    st.dictionaries(_keys, _scalars, max_size=3),
    lambda inner: st.dictionaries(_keys, st.one_of(_scalars, inner), max_size=3),
    max_leaves=8)
_values = st.one_of(_scalars, _documents, st.lists(_scalars, max_size=2))
# update's argument: a mapping, or a list of items some of which are no pairs
_items = st.one_of(st.tuples(_keys, _values), st.tuples(_keys), st.tuples(_keys, _values, _scalars))
_update_args = st.one_of(_documents, st.lists(_items, max_size=4))
_attribute_names = st.sampled_from(["a", "b", "é", "a.b", "update", "get", "zz"])


def outcome(operation):
    return support.outcome(operation, result=plain)


def bound_everywhere(value):
    """Whether every Coffer level is its own attribute dictionary."""
    if isinstance(value, Coffer) and value.__dict__ is not value:
        return False
    if isinstance(value, Mapping):
        return all(bound_everywhere(v) for v in value.values())
    return True


COFFERS = (Coffer, twin_coffer.Coffer)


def binding(value):
    """Each Coffer level's attribute dictionary: "self", or its contents."""
    if not isinstance(value, Mapping):
        return None
    own = None
    if isinstance(value, COFFERS):
        own = "self" if value.__dict__ is value else plain(value.__dict__)
    return (own, [binding(v) for v in value.values()])


def rebind(value):
    """Makes every Coffer level its own attribute dictionary again."""
    if isinstance(value, COFFERS):
        value.__dict__ = value
    if isinstance(value, Mapping):
        for v in value.values():
            rebind(v)


def pickled(obj):
    return pickle.loads(pickle.dumps(obj, pickle.HIGHEST_PROTOCOL))


def fluent(base):
    """A subclass of `base` whose update() returns the object."""
    class Fluent(base):
        def update(self, *args, **kwargs):
            super().update(*args, **kwargs)
            return self
    Fluent.__name__ = Fluent.__qualname__ = base.__name__ + "Fluent"
    return Fluent


# The native ones are module globals, so that pickles find them by name.
NestedCofferFluent = fluent(NestedCoffer)
ConfigurationFluent = fluent(Configuration)
FLUENT = {NestedCoffer: NestedCofferFluent, Configuration: ConfigurationFluent,
          twin_coffer.NestedCoffer: fluent(twin_coffer.NestedCoffer),
          twin_configuration.Configuration: fluent(twin_configuration.Configuration)}

# What an instance dict may be replaced with: the instance again, an empty
# dict, or one whose entry hides a method the code calls.
DICTS = {"self": None, "empty": {}, "update entry": {"update": 5}, "setdefault entry": {"setdefault": 5}}


# ---------------------------------------------------------------- what the code reads, changed for one operation

def set_global(module, name, value):
    """Sets a module global; returns what undoes it."""
    namespace = vars(module)
    had, old = name in namespace, namespace.get(name)
    namespace[name] = value

    def undo():
        if had:
            namespace[name] = old
        else:
            del namespace[name]
    return undo


def set_attribute(target, name, value):
    old = getattr(target, name)
    setattr(target, name, value)
    return lambda: setattr(target, name, old)


def recording_mapping(log):
    class Recorder(type):
        def __instancecheck__(cls, obj):
            log.append(("isinstance", type(obj).__name__))
            return isinstance(obj, Mapping)
    return Recorder("Mapping", (), {})


class RecordingItertools:
    def __init__(self, log):
        self.log = log

    def chain(self, *iterables):
        self.log.append(("chain", len(iterables)))
        return itertools.chain(*iterables)


def recording_typecast(module, log):
    original = module.typecast_str

    def typecast_str(value):
        log.append(("typecast", type(value).__name__))
        return original(value)
    return typecast_str


def setdefault_variant(self, key, default=None):
    try:
        return self[key]
    except KeyError:
        self[key] = default
    return self.get(key, default)  # what the store kept


SETDEFAULT = MutableMapping.setdefault

# Each change is made to the modules of one side: (coffer, configuration).
CHANGES = {
    "Mapping is dict": lambda mods, log: set_global(mods[0], "Mapping", dict),
    "Mapping records": lambda mods, log: set_global(mods[0], "Mapping", recording_mapping(log)),
    "itertools records": lambda mods, log: set_global(mods[0], "itertools", RecordingItertools(log)),
    "typecast_str records": lambda mods, log: set_global(mods[1], "typecast_str",
                                                         recording_typecast(mods[1], log)),
    "setdefault code": lambda mods, log: set_attribute(SETDEFAULT, "__code__", setdefault_variant.__code__),
    "setdefault defaults": lambda mods, log: set_attribute(SETDEFAULT, "__defaults__", ("dflt",)),
    "setdefault's KeyError": lambda mods, log: set_global(_collections_abc, "KeyError", IndexError),
}
SIDES = {"native": (native_coffer, native_configuration), "twin": (twin_coffer, twin_configuration)}
OPERATIONS = {
    "update": lambda obj, key, value: obj.update(value),
    "update keywords": lambda obj, key, value: obj.update(k=value),
    "update nothing": lambda obj, key, value: obj.update(),
    "set": lambda obj, key, value: obj.__setitem__(key, value),
    "setdefault": lambda obj, key, value: obj.setdefault(key),
    "construct": lambda obj, key, value: type(obj)(value),
}


class Differential(RuleBasedStateMachine):
    native_class = twin_class = None
    examples = 0

    @initialize(document=_documents)
    def build(self, document):
        type(self).examples += 1
        self.compare(lambda cls: cls(copy.deepcopy(document)), keep=True)

    def compare(self, operation, keep=False):
        """Runs `operation` on both objects (or, with `keep`, makes them)."""
        results = []
        for side in ("native", "twin"):
            if keep:
                cls = self.native_class if side == "native" else self.twin_class
                result = outcome(lambda: setattr(self, side, operation(cls)) or getattr(self, side))
            else:
                result = outcome(lambda: operation(getattr(self, side)))
            results.append(result)
        assert results[0] == results[1]
        if keep and results[0][0] != "ok":
            self.native, self.twin = self.native_class(), self.twin_class()

    @rule(key=_keys)
    def get(self, key):
        self.compare(lambda obj: obj[key])

    @rule(key=_keys, value=_values)
    def set(self, key, value):
        self.compare(lambda obj: obj.__setitem__(key, copy.deepcopy(value)))

    @rule(key=_keys)
    def contains(self, key):
        self.compare(lambda obj: key in obj)

    @rule(key=_keys)
    def delete(self, key):
        self.compare(lambda obj: obj.__delitem__(key))

    @rule(key=_keys, default=_scalars)
    def get_with_default(self, key, default):
        self.compare(lambda obj: obj.get(key, default))

    @rule(key=_keys)
    def pop(self, key):
        self.compare(lambda obj: obj.pop(key))

    @rule(key=_keys, default=_values)
    def setdefault(self, key, default):
        self.compare(lambda obj: obj.setdefault(key, copy.deepcopy(default)))

    @rule(argument=_update_args, keywords=st.dictionaries(st.sampled_from(_names), _values, max_size=2))
    def update(self, argument, keywords):
        self.compare(lambda obj: obj.update(copy.deepcopy(argument), **copy.deepcopy(keywords)))

    @rule(name=_attribute_names)
    def read_attribute(self, name):
        self.compare(lambda obj: getattr(obj, name))

    @rule(name=_attribute_names, value=_scalars)
    def write_attribute(self, name, value):
        self.compare(lambda obj: setattr(obj, name, value))

    @rule(name=_attribute_names)
    def delete_attribute(self, name):
        self.compare(lambda obj: delattr(obj, name))

    @rule(where=st.sampled_from(["top", "first level"]), to_fluent=st.booleans())
    def swap_class(self, where, to_fluent):
        for side in ("native", "twin"):
            obj = getattr(self, side)
            if where == "first level":
                obj = next((v for v in dict.values(obj) if isinstance(v, COFFERS)), None)
                if obj is None:
                    return
            base = self.native_class if side == "native" else self.twin_class
            obj.__class__ = FLUENT[base] if to_fluent else base

    @rule(kind=st.sampled_from(sorted(DICTS)))
    def replace_dict(self, kind):
        for side in ("native", "twin"):
            obj = getattr(self, side)
            obj.__dict__ = obj if DICTS[kind] is None else dict(DICTS[kind])

    @rule(change=st.sampled_from(sorted(CHANGES)), operation=st.sampled_from(sorted(OPERATIONS)),
          key=_keys, value=_values)
    def with_changed_reads(self, change, operation, key, value):
        results = []
        for side in ("native", "twin"):
            log = []
            undo = CHANGES[change](SIDES[side], log)
            try:
                result = outcome(lambda: OPERATIONS[operation](getattr(self, side), key, copy.deepcopy(value)))
            finally:
                undo()
            results.append((result, log))
        assert results[0] == results[1]

    @rule()
    def copy_method(self):
        self.compare(lambda obj: obj.copy())

    @rule(how=st.sampled_from(["copy", "deepcopy", "pickle"]))
    def round_trip(self, how):
        # The twin keeps the interpreter's default machinery (which loses the
        # attribute view); the native copy must hold the same contents.
        duplicate = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": pickled}[how](self.native)
        assert type(duplicate) is type(self.native)
        assert plain(duplicate) == plain(self.native)
        assert bound_everywhere(duplicate)
        if how != "copy":
            self.native = duplicate  # go on with the copy; the twin stands for both
            rebind(self.twin)

    @invariant()
    def same_contents(self):
        if hasattr(self, "native"):
            assert plain(self.native) == plain(self.twin)
            assert repr(self.native) == repr(self.twin)
            assert binding(self.native) == binding(self.twin)


class NestedCofferMachine(Differential):
    native_class, twin_class = NestedCoffer, twin_coffer.NestedCoffer


class ConfigurationMachine(Differential):
    native_class, twin_class = Configuration, twin_configuration.Configuration


@pytest.mark.parametrize("machine", [NestedCofferMachine, ConfigurationMachine])
def test_native_matches_the_twin(machine):
    quick = settings(max_examples=examples(40), stateful_step_count=25, deadline=None,
                     suppress_health_check=list(HealthCheck))
    run_machine(machine, quick, settings(quick, max_examples=2000, stateful_step_count=50, database=None))


# YAML documents that share containers (anchors and aliases): each node holds
# leaves and references to nodes made before it, so sharing compounds level
# by level; one document in ten also contains itself.  Small documents that
# expand around a hundredfold meet the alias expansion rule at its edge.
_children = st.lists(st.one_of(st.tuples(st.just("ref"), st.integers(0, 3)),
                               st.tuples(st.just("ref"), st.integers(0, 3)),
                               st.tuples(st.just("leaf"), st.sampled_from([1, "x", None, True, "2.5"]))),
                     min_size=2, max_size=10)
_shared = st.tuples(st.lists(st.tuples(st.booleans(), _children), min_size=3, max_size=7),
                    st.integers(0, 9))


def shared_document(nodes_spec, cycle):
    nodes = []
    for i, (is_mapping, children) in enumerate(nodes_spec):
        node = {} if is_mapping else []
        for n, (kind, x) in enumerate(children):
            child = nodes[i - 1 - x % i] if kind == "ref" and i else (x if kind == "leaf" else n)
            if is_mapping:
                node["k%d" % n] = child
            else:
                node.append(child)
        nodes.append(node)
    if cycle == 0:
        last = nodes[-1]
        last.__setitem__("self", last) if isinstance(last, dict) else last.append(last)
    return {"top": nodes[-1], "first": nodes[0]}


def test_alias_expansion_decides_like_the_twin(tmp_path):
    """load_yamls on documents with shared containers: merged alike, or
    refused alike with the same message."""
    import yaml
    from hypothesis import given
    path = str(tmp_path / "shared.yaml")

    @given(_shared)
    @settings(max_examples=2000 if FUZZ_SECONDS else examples(150), deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    def check(spec):
        with open(path, "w") as f:
            yaml.safe_dump(shared_document(*spec), f)
        native, twin = Configuration(), twin_configuration.Configuration()
        assert outcome(lambda: native.load_yamls(path)) == outcome(lambda: twin.load_yamls(path))
        assert plain(native) == plain(twin)
    check()
