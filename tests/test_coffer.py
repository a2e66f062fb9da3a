"""Coffer: a dict whose entries are also attributes."""
import gc
import weakref

import pytest

from orvane.tessel.coffer import Coffer
import orvane.tessel.coffer as coffer_module
from support import assert_no_leak, raising


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
        with pytest.raises(TypeError, match="super\\(\\) argument 1 must be type"):
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


def test_no_leaks():
    assert_no_leak(lambda: Coffer(a=1, b=2, c=3))
    assert_no_leak(lambda: repr(Coffer({"a": [1]})))
    c = Coffer(a=1)

    def attribute_round_trip():
        c.b = c.a
        del c.b
    assert_no_leak(attribute_round_trip)
    assert_no_leak(raising(lambda: Coffer(1, 2), TypeError))
    assert_no_leak(raising(lambda: Coffer(self=1), TypeError))
    assert_no_leak(raising(lambda: c.missing, AttributeError))
