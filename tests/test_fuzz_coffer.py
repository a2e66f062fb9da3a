"""Differential fuzzing: NestedCoffer and Configuration against their
pure-Python twins, driven through the same random sequences of operations.

Each step runs on the native object and on the twin; results, exceptions
(type and message) and the contents after the step must agree.  Copies,
deep copies and pickle round trips of the native object must keep its
contents, its classes at every level and the attribute view bound to the
entries.

The default run is short (a few seconds, for CI).  Set the environment
variable TESSEL_FUZZ_SECONDS to a number of seconds to keep fuzzing for that
long instead: each machine then runs batch after batch of fresh random
sequences until the time is up, and the number of examples run is printed
(use ``pytest -s`` to see it).
"""
import copy
import pickle
from collections.abc import Mapping

import pytest
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

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


def pickled(obj):
    return pickle.loads(pickle.dumps(obj, pickle.HIGHEST_PROTOCOL))


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

    @invariant()
    def same_contents(self):
        if hasattr(self, "native"):
            assert plain(self.native) == plain(self.twin)
            assert repr(self.native) == repr(self.twin)
            assert bound_everywhere(self.native)


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
