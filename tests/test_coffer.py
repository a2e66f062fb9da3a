"""Coffer: a dict whose entries are also attributes."""
import copy
import gc
import pickle
import weakref

import pytest

from orvane.tessel.coffer import Coffer
import orvane.tessel.coffer as coffer_module
from support import LeakChecks, examples, raising


def test_module_contents():
    assert coffer_module.__doc__ and "attribute" in coffer_module.__doc__
    import itertools
    from collections.abc import Mapping, MutableMapping
    assert coffer_module.itertools is itertools
    assert coffer_module.Mapping is Mapping and coffer_module.MutableMapping is MutableMapping
    assert not hasattr(coffer_module, "__all__")
    assert Coffer.__bases__ == (dict,) and type(Coffer) is type
    assert Coffer.__module__ == "orvane.tessel.coffer" and Coffer.__qualname__ == "Coffer"
    assert "Known Limitations" in Coffer.__doc__
    assert [k for k in vars(Coffer) if not k.startswith("__") or k in ("__init__", "__repr__")] == ["__init__", "__repr__"]


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, {}),
    (({"first": "one", "last": "two"},), {}, {"first": "one", "last": "two"}),
    (([("a", 1), ("b", 2)],), {}, {"a": 1, "b": 2}),
    ((), {"a": 1}, {"a": 1}),
    (({"a": 1},), {"b": 2}, {"a": 1, "b": 2}),
])
def test_constructs_like_dict(args, kwargs, expected):
    c = Coffer(*args, **kwargs)
    assert c == expected == dict(*args, **kwargs)
    assert c.__dict__ is c


@pytest.mark.parametrize("args", [(1,), ({}, {}), ([(1, 2, 3)],)])
def test_bad_construction_fails_like_dict(args):
    with pytest.raises((TypeError, ValueError)) as ours:
        Coffer(*args)
    with pytest.raises(type(ours.value)) as theirs:
        dict(*args)
    assert str(ours.value) == str(theirs.value)


def test_attributes_and_entries_are_the_same():
    c = Coffer({"first": "one", "last": "two"})
    assert c.first == "one" and c["last"] == "two"
    assert Coffer(a=1).a == 1
    c = Coffer()
    c.b = 2
    assert c["b"] == 2 and len(c) == 1
    del c.b
    assert c == {}
    c["x-y"] = 1
    assert getattr(c, "x-y") == 1
    setattr(c, "a b", 3)
    assert c["a b"] == 3


def test_missing_keys():
    c = Coffer()
    with pytest.raises(AttributeError):
        c.missing
    with pytest.raises(KeyError):
        c["missing"]
    with pytest.raises(AttributeError):
        del c.missing


def test_attribute_assignment_bypasses_setitem():
    class Loud(Coffer):
        def __setitem__(self, key, value):
            super().__setitem__(key, ("seen", value))
    c = Loud()
    c.a = 1
    c["b"] = 2
    assert dict(c) == {"a": 1, "b": ("seen", 2)}


def test_keys_hide_methods_for_attribute_access_only():
    c = Coffer()
    c["items"] = 5
    assert c.items == 5
    assert list(Coffer.items(c)) == [("items", 5)]
    c[1] = "one"  # a non-string key is reachable by subscript only
    assert c[1] == "one"


def test_representation():
    assert repr(Coffer()) == "Coffer({})"
    assert repr(Coffer({"a": 1})) == "Coffer({'a': 1})"
    assert str(Coffer({"a": 1})) == "Coffer({'a': 1})"
    assert repr(Coffer(a=Coffer(b=1))) == "Coffer({'a': Coffer({'b': 1})})"

    class Sub(Coffer):
        pass
    assert repr(Sub(x=1)) == "Sub({'x': 1})"


def test_repr_looks_up_coffer_late():
    saved = coffer_module.Coffer
    try:
        coffer_module.Coffer = 5
        with pytest.raises(TypeError, match=r"super\(\) argument 1 must be (a )?type"):
            repr(saved())
    finally:
        coffer_module.Coffer = saved


def test_copy_is_a_plain_dict():
    c = Coffer(a=1)
    d = c.copy()
    assert type(d) is dict and d == {"a": 1}


def test_dict_operations_are_the_builtin_ones():
    c = Coffer(a=1, b=2)
    assert c.get("a") == 1 and c.pop("b") == 2 and c.setdefault("z", 3) == 3
    c.update(q=4)
    assert c == {"a": 1, "z": 3, "q": 4} and c.q == 4
    c.clear()
    assert c == {} and not hasattr(c, "q")


def test_instances_are_reclaimed_by_the_cycle_collector():
    c = Coffer(a=1)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


def test_subclass_init_reaches_dict_through_super():
    class Sub(Coffer):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = True
    s = Sub(a=1)
    assert s == {"a": 1, "extra": True} and s.__dict__ is s


# ================================================================= NestedCoffer

from collections.abc import Mapping, MutableMapping

from hypothesis import given, settings, strategies as st

from orvane.tessel.coffer import NestedCoffer
from support import assert_recursion_error, outcome, plain
from twins import coffer as twin


@pytest.fixture(params=["native", "twin"])
def NC(request):
    """NestedCoffer, and the plain-Python twin the same behaviour is checked on."""
    return NestedCoffer if request.param == "native" else twin.NestedCoffer


def test_nested_class_shape():
    assert NestedCoffer.__bases__ == (Coffer, MutableMapping)
    assert [c.__name__ for c in NestedCoffer.__mro__] == [
        "NestedCoffer", "Coffer", "dict", "MutableMapping", "Mapping", "Collection", "Sized",
        "Iterable", "Container", "object"]
    import abc
    assert type(NestedCoffer) is abc.ABCMeta and not NestedCoffer.__abstractmethods__
    assert NestedCoffer.__doc__ is None
    assert NestedCoffer.__module__ == "orvane.tessel.coffer" and NestedCoffer.__qualname__ == "NestedCoffer"
    names = ["__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__",
             "get", "pop", "setdefault", "update"]
    assert [k for k in vars(NestedCoffer) if k in names] == names
    for name in ("get", "pop", "setdefault"):
        assert vars(NestedCoffer)[name] is getattr(MutableMapping, name)
    for name in names[:5] + ["update"]:
        assert getattr(NestedCoffer, name).__doc__ is None
        assert getattr(NestedCoffer, name).__qualname__ == "NestedCoffer." + name


def test_construction_builds_levels_of_the_own_class(NC):
    n = NC({"a": {"b": 1}})
    assert type(n["a"]) is NC and n["a.b"] == 1 and n.a.b == 1
    assert repr(n) == "%s({'a': %s({'b': 1})})" % (NC.__name__, NC.__name__)
    d = NC({"a.b": 1})
    assert d == {"a": {"b": 1}} and type(d["a"]) is NC
    kw = NC(x={"y": {"z": 2}}, w=3)
    assert type(kw.x.y) is NC and kw["x.y.z"] == 2 and kw.w == 3
    assert NC() == {} and NC().__dict__ == {}
    s = NC([("p", {"q": 1})])
    assert type(s.p) is NC


@pytest.mark.parametrize("key, expected", [
    ("a.b.c", 1), ("a.b", {"c": 1}), ("a", {"b": {"c": 1}, "": 4}), ("a.", 4),
    ("t.k", 5),                       # a plain dict level takes the rest as one key
    ("t.k.j", ("raised", "KeyError", "'k.j'")),
    ("l.0", outcome(lambda: [1].__getitem__("0"))),   # the containers' own errors
    ("s.x", outcome(lambda: "str".__getitem__("x"))),
    ("q.r", ("raised", "KeyError", "'q'")), ("a.x.y", ("raised", "KeyError", "'x'")),
    ("missing", ("raised", "KeyError", "'missing'")),
    (".a", ("raised", "KeyError", "''")), (1, "one"), ((1, 2), "pair"), (b"a.b", "bytes"),
])
def test_dotted_read(NC, key, expected):
    n = NC({"a": {"b": {"c": 1}, "": 4}, 1: "one", (1, 2): "pair", b"a.b": "bytes"})
    dict.__setitem__(n, "t", {"k": 5})
    dict.__setitem__(n, "l", [1])
    dict.__setitem__(n, "s", "str")
    result = outcome(lambda: n[key])
    if isinstance(expected, tuple) and expected and expected[0] == "raised":
        assert result == expected
    else:
        assert result == ("ok", expected)


@pytest.mark.parametrize("key, expected", [
    ("a.b.c", True), ("a.b.x", False), ("a.x.y", False), ("q.r", False), ("a", True), ("x", False),
    ("s.b", True), ("s.q", False),             # a str value tests substrings
    ("l.v", True), ("t.k", True), ("t.z", False),
    ("i.x", outcome(lambda: "x" in 5)),
    (1, True), (b"a.b", False),
])
def test_dotted_contains(NC, key, expected):
    n = NC({"a": {"b": {"c": 1}}, "s": "xbx", "i": 5, 1: 2})
    dict.__setitem__(n, "l", ["v"])
    dict.__setitem__(n, "t", {"k": 1})
    result = outcome(lambda: key in n)
    assert result == (expected if isinstance(expected, tuple) else ("ok", expected))


def test_dotted_write_creates_levels_of_the_own_class(NC):
    n = NC()
    n["x.y.z"] = 5
    assert n == {"x": {"y": {"z": 5}}} and type(n.x) is NC and type(n.x.y) is NC
    n["x.y.w"] = {"k": 1}  # stored unchanged: no conversion on assignment
    assert type(n["x.y.w"]) is dict
    n["a."] = 1
    assert n["a"] == {"": 1}


@pytest.mark.parametrize("setup, key", [
    ({"a": 1}, "a.b"),
    ({"a": "text"}, "a.b.c"),
])
def test_dotted_write_onto_a_value_fails_and_changes_nothing(NC, setup, key):
    n = NC(setup)
    before = dict(n)
    with pytest.raises(KeyError) as err:
        n[key] = 2
    assert err.value.args == ('target key "a" is a value, cannot update value against another %s'
                              % NC.__name__,)
    assert dict(n) == before


def test_plain_dict_level_is_a_value_for_dotted_write(NC):
    n = NC()
    n["a"] = {"k": 1}
    assert type(n["a"]) is dict and n["a.k"] == 1
    with pytest.raises(KeyError, match='target key "a" is a value, cannot update value against another'):
        n["a.k"] = 2


def test_dotted_delete(NC):
    n = NC({"a": {"b": 1, "c": 2}})
    del n["a.b"]
    assert n == {"a": {"c": 2}}
    del n["a.c"]
    assert n == {"a": {}}   # the level stays, even empty
    for key, missing in [("q.r", "q"), ("a.zz", "zz"), ("nothing", "nothing")]:
        with pytest.raises(KeyError) as err:
            del n[key]
        assert err.value.args == (missing,)


def test_generic_get_pop_setdefault(NC):
    n = NC({"a": {"b": 1}})
    assert n.get("a.x") is None and n.get("a.x", 5) == 5 and n.get("a.b") == 1
    assert n.pop("a.b") == 1 and n == {"a": {}}
    with pytest.raises(KeyError):
        n.pop("a.b")
    assert n.pop("a.b", 7) == 7
    assert n.setdefault("p.q", 3) == 3 and type(n.p) is NC and n.p.q == 3
    assert n.setdefault("p.q", 4) == 3
    assert n.setdefault("z") is None and "z" in n


@pytest.mark.parametrize("args, kwargs, error, message, after", [
    (({"a": 1}, {"b": 2}), {}, TypeError, "expected at most 1 arguments, got 2", {}),
    (([("a", 1), ("b",)],), {}, TypeError,
     "cannot convert dictionary update sequence element #1 to a sequence", {"a": 1}),
    (("ab",), {}, TypeError, "cannot convert dictionary update sequence element #0 to a sequence", {}),
    (([("a", 1), 5],), {}, TypeError, "object of type 'int' has no len()", {"a": 1}),
    (lambda: (iter([("a", 1), "abc"]),), {}, AttributeError, "'list_iterator' object has no attribute 'index'",
     {"a": 1}),
    ((5,), {}, TypeError, "'int' object is not iterable", {}),
])
def test_update_failures(NC, args, kwargs, error, message, after):
    args = args() if callable(args) else args
    n = NC()
    with pytest.raises(error) as err:
        n.update(*args, **kwargs)
    assert str(err.value) == message
    assert n == after


def test_update_merges_into_levels(NC):
    n = NC(a={"x": 1, "deep": {"k": 1}})
    n.update({"a": {"y": 2, "deep": {"j": 2}}}, b=[{"not": "converted"}])
    assert n == {"a": {"x": 1, "y": 2, "deep": {"k": 1, "j": 2}}, "b": [{"not": "converted"}]}
    assert type(n["b"][0]) is dict
    n.update([["c.d", {"e": 1}], ("c.f", 2)])
    assert n.c == {"d": {"e": 1}, "f": 2} and type(n.c.d) is NC
    n.update(NC(a=NC(x=9)))
    assert n.a.x == 9 and n.a.y == 2
    # an existing plain dict takes the mapping through its own (shallow) update
    n["p"] = {"q": {"r": 1}}
    n.update(p={"q": {"s": 2}})
    assert n["p"] == {"q": {"s": 2}} and type(n["p"]) is dict
    # a value without update() is in the way
    with pytest.raises(AttributeError, match="'int' object has no attribute 'update'"):
        NC(a=5).update(a={"y": 2})
    # keyword order follows the positional argument
    m = NC()
    m.update([("k", 1)], k=2)
    assert m.k == 2


def test_self_keyword_collides_with_the_parameter():
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'self'"):
        NestedCoffer(self=1)
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'self'"):
        NestedCoffer().update(self=1)


def test_entries_hide_the_methods_the_code_calls(NC):
    n = NC()
    n["setdefault"] = 1
    with pytest.raises(TypeError, match="'int' object is not callable"):
        n["a.b"] = 1
    with pytest.raises(TypeError, match="'int' object is not callable"):
        n.update(a={"b": 1})
    m = NC(a={})
    m.a["update"] = 2
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.update(a={"b": 1})


def test_construction_drops_what_update_returns(NC):
    class Fluent(NC):
        def update(self, *args, **kwargs):
            super().update(*args, **kwargs)
            return self
    f = Fluent({"a": {"b": 1}}, c=2)
    assert f == {"a": {"b": 1}, "c": 2} and type(f.a) is Fluent
    assert Fluent().update(x=1) == {"x": 1}
    f["p.q"] = 3               # levels made through type(self)() too
    assert type(f.p) is Fluent and f.copy() == f


def test_update_asks_the_global_mapping_even_without_arguments(monkeypatch):
    """isinstance(iterable, Mapping) runs for the empty tuple of update()
    without a positional argument, so a Mapping global that records, or a
    subclass hook, sees the same calls as in the twin."""
    import twins.coffer as twin_module
    logs = []
    for module, cls in ((coffer_module, NestedCoffer), (twin_module, twin.NestedCoffer)):
        log = []

        class Recording(type):
            def __instancecheck__(self, obj):
                log.append(type(obj).__name__)
                return isinstance(obj, dict)
        monkeypatch.setattr(module, "Mapping", Recording("Mapping", (), {}))
        n = cls()
        n.update()
        n.update(a={"b": 1})
        n["c.d"] = 2
        logs.append((log, plain(n)))
    assert logs[0] == logs[1] and logs[0][0][:2] == ["tuple", "tuple"]


class StrKey(str):
    """A str subclass that answers `in` and split() itself."""
    def __contains__(self, part):
        return True

    def split(self, sep=None, maxsplit=-1):
        return ["h", str(self)]


def test_str_subclass_keys_split_through_their_own_methods(NC):
    n = NC()
    n[StrKey("plain")] = 1
    assert n == {"h": {"plain": 1}}
    assert n[StrKey("plain")] == 1 and StrKey("plain") in n
    del n[StrKey("plain")]
    assert n == {"h": {}}

    class OnePart(str):
        def split(self, sep=None, maxsplit=-1):
            return ["only"]
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        n[OnePart("a.b")]


def recording(base):
    """A subclass of `base` that logs the calls the merging code makes on it."""
    log = []

    class Recorder(base):
        def __getitem__(self, key):
            log.append(("getitem", key))
            return super().__getitem__(key)

        def __setitem__(self, key, value):
            log.append(("setitem", key, type(value).__name__))
            super().__setitem__(key, value)

        def setdefault(self, key, default=None):
            log.append(("setdefault", key))
            return super().setdefault(key, default)

        def update(self, *args, **kwargs):
            log.append(("update", len(args), sorted(kwargs)))
            return super().update(*args, **kwargs)

        def __init__(self, *args, **kwargs):
            log.append(("init",))
            super().__init__(*args, **kwargs)
    return Recorder, log


@pytest.mark.parametrize("operation", [
    lambda r: r.update({"a": {"b": 1}, "c": 2}),
    lambda r: r.__setitem__("x.y.z", 1),
    lambda r: r.setdefault("p.q", 3),
    lambda r: r.get("m.n", 0),
    lambda r: r.pop("m.n", 0),
    lambda r: r.update([("a.b", {"c": 1})], k={"j": 2}),
    lambda r: type(r)(r),
])
def test_overrides_see_the_same_calls_as_in_the_twin(operation):
    logs = []
    for base in (NestedCoffer, twin.NestedCoffer):
        cls, log = recording(base)
        r = cls({"m": {"n": 5}})
        del log[:]
        result = outcome(lambda: operation(r))
        logs.append((log, plain(r), plain(result[1]) if result[0] == "ok" else result))
    assert logs[0] == logs[1]


def test_each_level_build_calls_the_class_even_when_not_needed():
    calls = []

    class Counted(NestedCoffer):
        def __init__(self, *args, **kwargs):
            calls.append(1)
            super().__init__(*args, **kwargs)
    c = Counted(a={"b": {}})
    del calls[:]
    c["a.b.c"] = 1          # two levels exist: two throw-away instances
    c.update(a={"b": {}})   # one per mapping value
    assert len(calls) == 4


def test_a_subclass_setattr_sees_every_level_made_as_in_the_twin():
    logs = []
    for base in (NestedCoffer, twin.NestedCoffer):
        log = []

        class Watched(base):
            def __setattr__(self, name, value):
                log.append((name, value is self))
                super().__setattr__(name, value)
        w = Watched({"a": {"b": 1}})
        w["a.c.d"] = 2
        w.update(x={"y": {}})
        logs.append((log, plain(w)))

        class Planting(base):
            """Gives every level an entry `update` as its __dict__ is set."""
            def __setattr__(self, name, value):
                super().__setattr__(name, value)
                dict.__setitem__(self, "update", lambda *args, **kwargs: log.append(("planted", args)))
        p = Planting()
        p["a.b"] = 1
        logs.append((log[:], plain(p)))
    assert logs[0] == logs[2] and logs[1] == logs[3]


def test_missing_hook_of_a_subclass_is_honoured(NC):
    class WithMissing(NC):
        def __missing__(self, key):
            return {"x": "default-%s" % key}
    w = WithMissing()
    assert w["nope"] == {"x": "default-nope"} and w["nope.x"] == "default-nope"
    assert w.get("q") == {"x": "default-q"}
    del w["nope.x"]   # from the level the hook made, which is not stored
    assert w == {}


def test_class_changes_after_use_take_effect():
    class Sub(NestedCoffer):
        pass
    s = Sub({"a": {"b": 1}})
    assert s["a.b"] == 1 and "a.b" in s
    Sub.__getitem__ = lambda self, key: ("patched", key)
    Sub.__contains__ = lambda self, key: key == "yes"
    try:
        assert s["a.b"] == ("patched", "a.b")
        assert "yes" in s and "a.b" not in s
        assert NestedCoffer.__getitem__(s, "a.b") == ("patched", "b")
    finally:
        del Sub.__getitem__, Sub.__contains__
    assert s["a.b"] == 1


def test_mixin_between_the_class_and_dict_is_reached_through_super():
    log = []

    class Audit(dict):
        def __getitem__(self, key):
            log.append(key)
            return dict.__getitem__(self, key)

    class Mixed(NestedCoffer, Audit):
        pass
    m = Mixed({"a": {"b": 1}})
    del log[:]
    assert m["a.b"] == 1 and log == ["a", "b"]


def test_registering_a_mapping_later_is_seen_by_update():
    class Pairs:
        def __init__(self, data):
            self.data = data

        def __iter__(self):
            return iter(self.data.items())

        def __len__(self):
            return 2

        def __getitem__(self, key):
            return self.data[key]

        def items(self):
            return self.data.items()

        def keys(self):
            return self.data.keys()

    n = NestedCoffer()
    n.update(x=Pairs({"k": 1}))       # not a Mapping yet: stored as a value
    assert type(n["x"]) is Pairs
    Mapping.register(Pairs)
    n.update(y=Pairs({"k": 1}))       # now a Mapping: becomes a level
    assert type(n["y"]) is NestedCoffer and n["y.k"] == 1


def test_module_globals_are_read_at_each_call(monkeypatch):
    import orvane.tessel.coffer as module
    n = NestedCoffer()
    monkeypatch.setattr(module, "Mapping", dict)   # only real dicts count now
    n.update(a=NestedCoffer(b=1))                  # a dict subclass: still a level
    n.update(c=type("M", (Mapping,), {"__getitem__": None, "__iter__": lambda s: iter(()),
                                     "__len__": lambda s: 0})())
    assert type(n["c"]).__name__ == "M"
    seen = []

    class Chain:
        def chain(self, *iterables):
            seen.append(len(iterables))
            return iter([("z", 1)])
    monkeypatch.setattr(module, "itertools", Chain())
    n.update(q=1)
    assert seen == [2] and n["z"] == 1 and "q" not in n


def test_failed_store_in_setdefault_has_the_key_error_as_context(NC):
    class Refusing(NC):
        def __setitem__(self, key, value):
            raise ValueError("refused")
    r = Refusing()
    with pytest.raises(ValueError) as err:
        r.update(a={"b": 1})
    assert isinstance(err.value.__context__, KeyError)
    with pytest.raises(ValueError) as err:
        NC.__setitem__(r, "a.b", 1)
    assert isinstance(err.value.__context__, KeyError)


def test_nested_instances_are_collected():
    n = NestedCoffer({"a": {"b": {"c": 1}}})
    refs = [weakref.ref(n), weakref.ref(n.a), weakref.ref(n.a.b)]
    del n
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


# Random documents and dotted operations, native against the twin.
_keys = st.sampled_from(["a", "b", "c", "", "a.b", "b.c", "a.", ".c", "a.b.c", 1])
_leaves = st.one_of(st.integers(), st.text(max_size=3), st.none())
_docs = st.recursive(st.dictionaries(_keys, _leaves, max_size=4),
                     lambda inner: st.dictionaries(_keys, st.one_of(_leaves, inner), max_size=4),
                     max_leaves=12)
_ops = st.lists(st.tuples(st.sampled_from(["get", "set", "del", "in", "update", "setdefault", "pop"]),
                          _keys, st.one_of(_leaves, _docs)), max_size=8)


@settings(max_examples=examples(300), deadline=None)
@given(_docs, _ops)
def test_matches_the_twin(doc, ops):
    import copy
    states = []
    given_input = (doc, ops)
    for cls in (NestedCoffer, twin.NestedCoffer):
        doc, ops = copy.deepcopy(given_input)  # values are stored as they are and may change
        results = [outcome(lambda: plain(cls(doc)))]
        obj = cls(doc) if results[0][0] == "ok" else cls()
        for op, key, value in ops:
            if op == "get":
                results.append(outcome(lambda: plain(obj[key])))
            elif op == "set":
                results.append(outcome(lambda: obj.__setitem__(key, value)))
            elif op == "del":
                results.append(outcome(lambda: obj.__delitem__(key)))
            elif op == "in":
                results.append(outcome(lambda: key in obj))
            elif op == "update":
                results.append(outcome(lambda: obj.update({key: value})))
            elif op == "setdefault":
                results.append(outcome(lambda: plain(obj.setdefault(key, value))))
            else:
                results.append(outcome(lambda: plain(obj.pop(key))))
        states.append((results, plain(obj)))
    assert states[0] == states[1]


@pytest.mark.parametrize("operation", ["read", "write", "contains", "delete", "setdefault"])
def test_dotted_key_through_a_level_that_contains_itself(operation):
    statement = {"read": "n[key]", "write": "n[key] = 1", "contains": "key in n",
                 "delete": "del n[key]", "setdefault": "n.setdefault(key, 1)"}[operation]
    assert_recursion_error("""
        from orvane.tessel.coffer import NestedCoffer
        n = NestedCoffer()
        n['a'] = n
        key = 'a.' * 100000 + 'b'
        %s
    """ % statement)


@pytest.mark.parametrize("statement", ["NestedCoffer(deep)", "NestedCoffer().update(deep)",
                                       "NestedCoffer(a=deep)"])
def test_deeply_nested_mapping(statement):
    assert_recursion_error("""
        from orvane.tessel.coffer import NestedCoffer
        deep = {}
        for _ in range(100000):
            deep = {'a': deep}
        %s
    """ % statement)


def test_self_containing_mapping_update():
    assert_recursion_error("""
        from orvane.tessel.coffer import NestedCoffer
        d = {}
        d['d'] = d
        NestedCoffer(d)
    """)


# ================================================================= leaks

class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


class KeysRefused(Coffer):
    """Its own iteration makes dict merges ask for keys(), which raises."""
    def __iter__(self):
        return iter(())

    def keys(self):
        raise ValueError("no keys")


class TestLeaks(LeakChecks):
    module = coffer_module

    @staticmethod
    def cases():
        c = Coffer(a=1)
        c[1] = "not a name"

        def attribute_round_trip():
            c.b = c.a
            del c.b
        yield "Coffer", lambda: Coffer(a=1, b=2, c=3)
        yield "Coffer: mapping and keywords", lambda: Coffer({"a": [1]}, b=2)
        yield "Coffer: attribute round trip", attribute_round_trip
        yield "Coffer: two positional arguments", raising(lambda: Coffer(1, 2), TypeError)
        yield "Coffer: keyword self", raising(lambda: Coffer(self=1), TypeError)
        yield "Coffer: pair of three", raising(lambda: Coffer([(1, 2, 3)]), ValueError)
        yield "Coffer: missing attribute", raising(lambda: c.missing, AttributeError)
        yield "Coffer.__repr__", lambda: repr(Coffer({"a": [1]}))
        yield "Coffer.__repr__: a value's repr raises", raising(lambda: repr(Coffer(a=BadRepr())), ValueError)
        yield "Coffer.__reduce__", c.__reduce__
        yield "Coffer.__reduce__: copy", lambda: copy.copy(c)
        yield "Coffer.__reduce__: deep copy", lambda: copy.deepcopy(c)
        yield "Coffer.__reduce__: pickle", lambda: pickle.loads(pickle.dumps(c))
        yield "Coffer.__reduce__: an argument", raising(lambda: c.__reduce__(1), TypeError)
        refused = KeysRefused(a=1)
        yield "Coffer.__reduce__: keys() raises", raising(refused.__reduce__, ValueError)
        blank = Coffer()
        yield "Coffer.__setstate__", lambda: blank.__setstate__({"a": 1, 2: 3})
        yield "Coffer.__setstate__: not a mapping", raising(lambda: blank.__setstate__(5), TypeError)
        yield "Coffer.__dir__", lambda: dir(c)
        yield "Coffer.__dir__: an argument", raising(lambda: c.__dir__(1), TypeError)

        # Each case has its own object (bound as a default argument), so that
        # what one case leaves behind does not change what another one does.
        doc = {"a": {"b": {"c": 1}, "d": [1, 2]}, "e": "x"}

        def nc():
            return NestedCoffer(doc)

        def set_and_delete(n=nc()):
            n["x.y"] = 1
            del n["x.y"]

        def set_and_pop(n=nc()):
            n["x.y"] = 1
            n.pop("x.y")
        yield "NestedCoffer", lambda: NestedCoffer(doc), {"repeat": 500}
        yield "NestedCoffer: not a mapping", raising(lambda: NestedCoffer(5), TypeError)
        yield "NestedCoffer: keyword self", raising(lambda: NestedCoffer(self=1), TypeError)
        yield "NestedCoffer.update", lambda n=nc(): n.update(doc), {"repeat": 500}
        yield "NestedCoffer.update: pairs and keywords", lambda n=nc(): n.update([("e", "y")], p={"q": 3})
        yield "NestedCoffer.update: pair of one", raising(lambda n=nc(): n.update([("a", 1), ("b",)]), TypeError)
        yield "NestedCoffer.update: two positional", raising(lambda n=nc(): n.update({}, {}), TypeError)
        yield "NestedCoffer.update: a level onto a list", raising(lambda n=nc(): n.update(a={"d": {"x": 1}}),
                                                                  AttributeError)
        yield "NestedCoffer.__getitem__", lambda n=nc(): n["a.b.c"]
        yield "NestedCoffer.__getitem__: missing", raising(lambda n=nc(): n["a.zz"], KeyError)
        yield "NestedCoffer.__getitem__: str subclass", raising(lambda n=nc(): n[StrKey("k")], KeyError)
        yield "NestedCoffer.__getitem__: unhashable", raising(lambda n=nc(): n[[1]], TypeError)
        yield "NestedCoffer.__contains__", lambda n=nc(): "a.b.c" in n and "a.q" not in n
        yield "NestedCoffer.__contains__: unhashable", raising(lambda n=nc(): [1] in n, TypeError)
        yield "NestedCoffer.get", lambda n=nc(): n.get("a.b.x", 0)
        yield "NestedCoffer.get: unhashable", raising(lambda n=nc(): n.get([1]), TypeError)
        yield "NestedCoffer.__setitem__", lambda n=nc(): n.__setitem__("a.b.c", 2)
        yield "NestedCoffer.__setitem__: onto a value", raising(lambda n=nc(): n.__setitem__("e.f", 1), KeyError)
        yield "NestedCoffer.setdefault", lambda n=nc(): n.setdefault("p.q", 3)
        yield "NestedCoffer.setdefault: onto a value", raising(lambda n=nc(): n.setdefault("e.f", 1), TypeError)
        yield "NestedCoffer.__delitem__", set_and_delete
        yield "NestedCoffer.__delitem__: missing", raising(lambda n=nc(): n.__delitem__("q.r"), KeyError)
        yield "NestedCoffer.pop", set_and_pop
        yield "NestedCoffer.pop: missing", raising(lambda n=nc(): n.pop("q.r"), KeyError)
