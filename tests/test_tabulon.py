"""Tabulon: nested dictionaries as (path, value) lists, flattening and back."""
import collections
import collections.abc
import copy
import gc
import types
import weakref
from collections import OrderedDict, namedtuple
from collections.abc import MutableMapping

import pytest
from hypothesis import given, settings, strategies as st

import orvane.tessel.tabulon as tabulon
from orvane.tessel.tabulon import DictItem, IndexMarker, Tabulon
from support import LeakChecks, assert_recursion_error, examples, raising, run_isolated
from twins import tabulon as twin

PAIR_MESSAGE = "Tabulon only accepts a tuple of path/obj"
Point = namedtuple("Point", "x y")


def paths(t):
    """The pairs of `t` with markers written as their representations."""
    return [(tuple(repr(e) if isinstance(e, (IndexMarker, twin.IndexMarker)) else e for e in p), v)
            for p, v in t]


def rebuilt(items, module):
    """The same pairs for `module`: its own markers, and fresh copies of the values."""
    def element(e):
        if not isinstance(e, IndexMarker):
            return e
        m = module.IndexMarker.__new__(module.IndexMarker)
        m.type_, m.index = e.type_, e.index
        return m
    return [(type(p)(element(e) for e in p), copy.deepcopy(v)) for p, v in items]


def same_shape(a, b):
    """Equal, and of the same type at every level that is a list or tuple."""
    if type(a) is not type(b) and (isinstance(a, (list, tuple)) or isinstance(b, (list, tuple))):
        return False
    if isinstance(a, dict):
        return (isinstance(b, dict) and list(a) == list(b)
                and all(same_shape(a[k], b[k]) for k in a))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_shape(x, y) for x, y in zip(a, b))
    return a == b


# ---------------------------------------------------------------- module and classes

def test_module_namespace():
    names = [n for n in vars(tabulon) if not n.startswith("__") or n == "__test__"]
    assert names == ["namedtuple", "MutableMapping", "DictItem", "IndexMarker", "Tabulon", "__test__"]
    assert tabulon.namedtuple is collections.namedtuple
    assert tabulon.MutableMapping is MutableMapping
    assert tabulon.__doc__ is None and tabulon.__test__ == {}
    assert not hasattr(tabulon, "__all__")


def test_classes():
    assert DictItem._fields == ("path", "value") and DictItem.__bases__ == (tuple,)
    assert DictItem.__name__ == "DictItem" and DictItem.__module__ == "orvane.tessel.tabulon"
    assert DictItem(1, 2) == (1, 2) and DictItem(1, 2).value == 2
    assert IndexMarker.__bases__ == (object,) and IndexMarker.__doc__ is None
    assert Tabulon.__bases__ == (list,) and type(Tabulon) is type and type(IndexMarker) is type
    for cls in (IndexMarker, Tabulon):
        assert cls.__module__ == "orvane.tessel.tabulon" and cls.__qualname__ == cls.__name__
    assert "reconstruct" in Tabulon.__doc__ and "path" in Tabulon.__doc__
    import doctest
    assert tuple(doctest.testmod(tabulon)) == (0, 1)  # the docstring's example holds
    own = [k for k in vars(Tabulon) if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                                  "__weakref__", "__firstlineno__", "__static_attributes__")]
    assert own == ["__init__", "__flatten__", "__setitem__", "append", "extend", "insert", "reconstruct"]
    assert [k for k in vars(IndexMarker) if k in ("__init__", "__repr__")] == ["__init__", "__repr__"]
    assert isinstance(vars(Tabulon)["__flatten__"], staticmethod)
    assert Tabulon.append.__qualname__ == "Tabulon.append"
    assert IndexMarker.__repr__.__qualname__ == "IndexMarker.__repr__"
    assert Tabulon.__flatten__.__defaults__ == (None,)
    for name in ("__init__", "__flatten__", "append", "extend", "insert", "reconstruct"):
        assert getattr(Tabulon, name).__doc__, name
    assert Tabulon.__setitem__.__doc__ is None and IndexMarker.__repr__.__doc__ is None
    assert "index" in IndexMarker.__init__.__doc__ and "obj" in IndexMarker.__init__.__doc__
    t = Tabulon()
    t.x = 1  # instances have a dict
    assert vars(t) == {"x": 1}


def test_pickles_its_pairs():
    import pickle
    t = Tabulon({"a": {"b": 1}})
    assert pickle.loads(pickle.dumps(t[0])) == t[0]
    assert type(pickle.loads(pickle.dumps(t[0]))) is DictItem


# ---------------------------------------------------------------- IndexMarker

@pytest.mark.parametrize("obj, index, text", [
    ([], 0, "list[0]"), ((), 3, "tuple[3]"), ([], 2, "list[2]"), ([1], "3", "list[3]"),
    (Point(1, 2), 1.7, "Point[1]"), ({}, True, "dict[1]"),
])
def test_index_marker(obj, index, text):
    m = IndexMarker(obj, index)
    assert list(vars(m)) == ["type_", "index"]
    assert m.type_ is type(obj) and type(m.index) is int and repr(m) == text


def test_index_marker_identity_and_failures():
    a, b = IndexMarker([], 0), IndexMarker([], 0)
    assert a != b and a == a and hash(a) != hash(b)
    with pytest.raises(ValueError, match="invalid literal"):
        IndexMarker([], "x")
    with pytest.raises(TypeError, match="int\\(\\) argument must be"):
        IndexMarker([], None)
    m = IndexMarker.__new__(IndexMarker)
    with pytest.raises(TypeError):
        m.__init__([], None)
    assert vars(m) == {"type_": list}  # type_ is set before the conversion fails
    m = IndexMarker(obj=[], index=1)
    m.index = "seven"
    assert repr(m) == "list[seven]"
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 3 positional arguments \(2 given\)"):
        IndexMarker([])


# ---------------------------------------------------------------- construction and flattening

MARKED = [
    ({}, []),
    ({"a": {}}, [(("a",), {})]),
    ({"a": {"b": 1, "c": [1, {"d": 2}]}},
     [(("a", "b"), 1), (("a", "c", "list[0]"), 1), (("a", "c", "list[1]", "d"), 2)]),
    ({"a": (1, [2])}, [(("a", "tuple[0]"), 1), (("a", "tuple[1]", "list[0]"), 2)]),
    ({"p": Point(1, ())}, [(("p", "Point[0]"), 1), (("p", "Point[1]"), ())]),
    ({"a": [], "b": (), "c": "", "d": None, 5: 0}, [(("a",), []), (("b",), ()), (("c",), ""),
                                                    (("d",), None), ((5,), 0)]),
    (OrderedDict([("z", 1), ("a", {"y": 2})]), [(("z",), 1), (("a", "y"), 2)]),
    ({"d": DictItem(("k",), 1)}, [(("d", "DictItem[0]", "tuple[0]"), "k"), (("d", "DictItem[1]"), 1)]),
]


@pytest.mark.parametrize("data, expected", MARKED)
def test_flattening(data, expected):
    t = Tabulon(data)
    assert type(t) is Tabulon and paths(t) == expected
    assert all(type(item) is DictItem for item in t)
    assert paths(twin.Tabulon(data)) == expected


def test_pairs_below_one_element_share_its_marker():
    t = Tabulon({"a": [{"b": 1, "c": 2}], "t": (9,)})
    assert t[0].path[1] is t[1].path[1]
    assert t[0].path[1].type_ is list and t[2].path[1].type_ is tuple and t[2].path[1].index == 0


def test_two_flattenings_differ_by_their_markers():
    assert Tabulon({"a": [1]}) != Tabulon({"a": [1]})
    assert Tabulon({"a": {"b": 1}}) == Tabulon({"a": {"b": 1}})


def test_flattening_leaves_the_input_alone():
    data = {"a": [1, (2, {"b": 3})], "c": {}}
    copy = {"a": [1, (2, {"b": 3})], "c": {}}
    Tabulon(data)
    assert data == copy


@pytest.mark.parametrize("path, expected", [
    (None, ("a",)), ((), ("a",)), ("", ("a",)), (0, ("a",)), (("x",), ("x", "a")),
])
def test_flatten_path_prefix(path, expected):
    assert [p for p, _ in Tabulon.__flatten__({"a": 1}, path)] == [expected]
    assert [p for p, _ in Tabulon.__flatten__({"a": 1}, path=path)] == [expected]


def test_flatten_bad_paths_fail_at_the_first_item():
    g = Tabulon.__flatten__({"a": 1}, 5)  # nothing runs yet
    with pytest.raises(TypeError, match="^'int' object is unsliceable$"):
        next(g)
    g = Tabulon.__flatten__({"a": 1}, ["x"])
    with pytest.raises(TypeError, match="can only concatenate list"):
        next(g)
    assert list(Tabulon.__flatten__(7, ["x"])) == [7]  # a scalar needs no path


def test_flatten_non_containers_and_empties():
    assert list(Tabulon.__flatten__(5)) == [5]
    proxy = types.MappingProxyType({"a": 1})
    assert list(Tabulon.__flatten__(proxy)) == [proxy]
    assert list(Tabulon.__flatten__([])) == []
    assert [tuple(i) for i in Tabulon.__flatten__([1, (2,)])][1][1] == 2
    assert list(Tabulon().__flatten__({"a": 1})) == [(("a",), 1)]  # through an instance


class Entries(MutableMapping):
    """A mapping whose items() gives what it is told to."""

    def __init__(self, entries):
        self.entries = entries

    def items(self):
        return self.entries

    __getitem__ = __setitem__ = __delitem__ = __iter__ = __len__ = None


@pytest.mark.parametrize("entry, message", [
    (("k", 1, 2), "too many values to unpack (expected 2)"),
    (("k",), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (iter(("k",)), "need more than 1 value to unpack"),
])
def test_bad_mapping_entries(entry, message):
    with pytest.raises(ValueError) as info:
        list(Tabulon.__flatten__(Entries([entry])))
    assert str(info.value) == message


def test_construction_propagates_errors_of_the_walk():
    with pytest.raises(TypeError, match="not iterable"):
        Tabulon(Entries(5))


# ---------------------------------------------------------------- the pair check

@pytest.mark.parametrize("items", [
    [], [("a", 1)], [("a", 1), ("b", 2), ("c", 3)], ["ab", ("p", "v")], [DictItem("p", "v")], [[1, 2]],
])
@pytest.mark.parametrize("wrap", [list, tuple, iter, lambda items: (x for x in items)])
def test_construction_from_pairs_stores_them_unchanged(items, wrap):
    t = Tabulon(wrap(items))
    assert list(t) == items and all(a is b for a, b in zip(t, items))


@pytest.mark.parametrize("make", [
    lambda: 5, lambda: "ab", lambda: [("a", 1), 5], lambda: [("a", 1, 2)], lambda: [("a",)],
    lambda: iter([("a", 1), ()]), lambda: types.MappingProxyType({"abc": 1}),
])
def test_construction_refuses_anything_but_pairs(make):
    with pytest.raises(ValueError) as info:
        Tabulon(make())
    assert str(info.value) == PAIR_MESSAGE and info.value.__context__ is not None
    t = Tabulon([("keep", 1)])
    with pytest.raises(ValueError):
        t.__init__(make())
    assert t == [("keep", 1)]  # nothing stored, nothing cleared


def test_construction_arguments():
    with pytest.raises(TypeError, match="expected at most 1 argument"):
        Tabulon([("a", 1)], [("b", 2)])
    with pytest.raises(TypeError, match="unexpected keyword argument 'a'"):
        Tabulon(a=1)
    t = Tabulon({"a": 1})
    t.__init__()
    assert t == []


# ---------------------------------------------------------------- the checked write operations

def test_append_insert_extend_setitem():
    t = Tabulon()
    t.append(("p", "v"))
    t.append("ab")
    t.insert(0, ["q", 0])
    t.extend([(("x",), 1), DictItem("y", 2)])
    assert t == [("q", 0), ("p", "v"), ("a", "b"), (("x",), 1), ("y", 2)]
    assert all(type(i) is DictItem for i in t)
    t[0] = DictItem("z", 9)
    t[1] = ["l", 1]
    assert type(t[0]) is tuple and t[0] == ("z", 9) and type(t[1]) is tuple
    pair = ("same", 1)
    t[2] = pair
    assert t[2] is pair
    t[0:2] = ("p", "v")  # a slice takes the two elements
    assert t[:2] == ["p", "v"]


@pytest.mark.parametrize("call", [
    lambda t: t.append(5), lambda t: t.append(("a",)), lambda t: t.append(("a", 1, 2)),
    lambda t: t.insert(0, "abc"), lambda t: t.__setitem__(0, 5), lambda t: t.extend(5),
    lambda t: t.extend([("a", 1), 5]), lambda t: t.extend(iter([("a", 1), ("b",)])),
])
def test_bad_items_are_refused_and_nothing_is_added(call):
    t = Tabulon([("keep", 1)])
    with pytest.raises(ValueError) as info:
        call(t)
    assert str(info.value) == PAIR_MESSAGE
    assert isinstance(info.value.__context__, (TypeError, ValueError))
    assert t == [("keep", 1)]


def test_one_shot_iterators_are_taken_whole():
    t = Tabulon()
    t.extend(iter([("a", 1), ("b", 2)]))
    t.extend(x for x in [("c", 3)])
    assert t == [("a", 1), ("b", 2), ("c", 3)] and all(type(i) is DictItem for i in t)
    t.extend(t)
    assert len(t) == 6
    t[0] = iter(("p", "v"))  # the values checked are the values stored
    assert t[0] == ("p", "v")
    t[0] = ["p", "v"]
    assert type(t[0]) is tuple and t[0] == ("p", "v")
    t.append(iter(("q", "w")))
    assert t[-1] == ("q", "w")


def test_errors_after_the_check_are_the_lists_own():
    t = Tabulon()
    with pytest.raises(IndexError, match="list assignment index out of range"):
        t[3] = ("a", 1)
    with pytest.raises(TypeError, match="list indices must be integers"):
        t["x"] = ("a", 1)
    with pytest.raises(TypeError):
        t.insert("x", ("a", 1))


def test_interrupts_pass_through_the_pair_check():
    class Interrupting:
        def __iter__(self):
            raise KeyboardInterrupt
    t = Tabulon()
    with pytest.raises(KeyboardInterrupt):
        t.append(Interrupting())
    with pytest.raises(KeyboardInterrupt):
        Tabulon([Interrupting()])


def test_writes_reach_the_base_through_super():
    class Loud(list):
        def append(self, item):
            super().append(("loud", item))

        def insert(self, index, item):
            super().insert(index, ("loud", item))

    class Both(Tabulon, Loud):
        pass
    b = Both()
    b.append(("p", 1))
    b.insert(0, ("q", 2))
    assert b == [("loud", ("q", 2)), ("loud", ("p", 1))] and type(b[1][1]) is DictItem

    # A base between Tabulon and list that gains and loses an append later.
    class Quiet(list):
        pass

    class Late(Tabulon, Quiet):
        pass
    late = Late()
    late.append(("a", 1))
    Quiet.append = lambda self, item: list.append(self, ("loud", item))
    try:
        late.append(("b", 2))
    finally:
        del Quiet.append
    late.append(("c", 3))
    assert late == [("a", 1), ("loud", ("b", 2)), ("c", 3)]


def test_unchecked_list_operations():
    t = Tabulon([("a", 1)])
    t += [5]
    assert t == [("a", 1), 5] and type(t) is Tabulon
    assert type(t[:]) is list and type(t + [1]) is list
    assert t.pop() == 5


# ---------------------------------------------------------------- generators

def test_generator_names_and_laziness():
    calls = []

    class Watched(Entries):
        def items(self):
            calls.append(1)
            return super().items()
    g = Tabulon.__flatten__(Watched([("a", 1)]))
    assert isinstance(g, collections.abc.Generator) and iter(g) is g
    assert g.__name__ == "__flatten__" and g.__qualname__ == "Tabulon.__flatten__"
    assert "Tabulon.__flatten__" in repr(g) and g.gi_running is False
    assert calls == []
    assert next(g) == (("a",), 1) and calls == [1]
    g = Tabulon.__flatten__(Entries(5))  # fails only when run
    with pytest.raises(TypeError):
        next(g)
    with pytest.raises(StopIteration):
        next(g)


def test_generator_delegates_to_the_nested_level():
    g = Tabulon.__flatten__({"a": {"b": 1, "c": 2}, "d": 3})
    assert g.gi_yieldfrom is None
    assert next(g) == (("a", "b"), 1)
    inner = g.gi_yieldfrom
    assert inner.__qualname__ == "Tabulon.__flatten__" and inner.gi_yieldfrom is None
    assert g.send("ignored") == (("a", "c"), 2)
    assert next(g) == (("d",), 3) and g.gi_yieldfrom is None
    with pytest.raises(StopIteration):
        next(g)
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        Tabulon.__flatten__({}).send(1)


def test_throw_and_close_reach_the_nested_level():
    g = Tabulon.__flatten__({"a": {"b": 1, "c": 2}, "d": 3})
    next(g)
    inner = g.gi_yieldfrom
    with pytest.raises(KeyError):
        g.throw(KeyError("k"))
    assert list(g) == [] and list(inner) == []
    g = Tabulon.__flatten__({"a": {"b": {"c": 1, "d": 2}}, "e": 3})
    next(g)
    inner = g.gi_yieldfrom.gi_yieldfrom
    assert g.close() is None
    assert list(inner) == [] and list(g) == []


def test_generator_cycles_are_collected():
    data = {"a": {"b": 1}}
    g = Tabulon.__flatten__(data)
    data["g"] = g
    next(g)
    ref = weakref.ref(g)
    del g, data
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------- late binding

@pytest.fixture
def rebind(monkeypatch):
    def set_global(name, value):
        monkeypatch.setattr(tabulon, name, value)
    return set_global


def test_dict_item_is_looked_up_at_each_use(rebind):
    made = []

    def fake(path, value):
        made.append((path, value))
        return ("fake", path, value)
    rebind("DictItem", fake)
    t = Tabulon({"a": 1})
    t.append(("p", 1))
    t.insert(0, ("q", 2))
    t.extend([("r", 3)])
    assert t == [("fake", "q", 2), ("fake", ("a",), 1), ("fake", "p", 1), ("fake", "r", 3)]
    assert len(made) == 4


def test_mutable_mapping_is_looked_up_at_each_use(rebind):
    class Nothing(type):
        def __instancecheck__(cls, obj):
            return False
    rebind("MutableMapping", Nothing("NoMapping", (), {}))
    with pytest.raises(ValueError):  # a dict is no longer flattened, and its keys are no pairs
        Tabulon({"a": 1})
    assert Tabulon({"ab": 1}) == ["ab"]
    assert list(Tabulon.__flatten__({"a": 1})) == [{"a": 1}]
    with pytest.raises(ValueError, match="dictionary update sequence"):  # ret += dict(({...},))
        Tabulon([(("a",), 1)]).reconstruct()


def test_index_marker_is_looked_up_at_each_use(rebind):
    class Marker(IndexMarker):
        pass
    original = IndexMarker([], 0)
    rebind("IndexMarker", Marker)
    t = Tabulon({"a": [1]})
    assert type(t[0].path[1]) is Marker
    # A marker of the original class is no instance of the module's IndexMarker
    # any more: it is taken for a key.
    assert Tabulon([(("a", original), 1)]).reconstruct() == {"a": {original: 1}}


def test_tabulon_is_looked_up_for_the_recursion(rebind):
    class Other(Tabulon):
        @staticmethod
        def __flatten__(indict, path=None):
            yield ("other", indict, path)
    assert Tabulon({"a": {"b": 1}}) == [(("a", "b"), 1)]
    assert Other({"a": {"b": 1}}) == [(("a", "b"), 1)]  # a subclass's own does not count
    rebind("Tabulon", Other)
    assert Tabulon({"a": {"b": 1}, "c": 2}) == [("other", {"a": {"b": 1}, "c": 2}, None)]
    assert list(vars(tabulon)["Tabulon"].__mro__[1].__flatten__({"a": {"b": 1}})) == [
        ("other", {"b": 1}, ("a",))]


def test_changed_types_are_honoured():
    # Run apart: changing the module's types (or the ABCs) stays for the process.
    proc = run_isolated("""
        from collections.abc import MutableMapping
        from orvane.tessel.tabulon import DictItem, IndexMarker, Tabulon
        assert Tabulon({'a': 5}) == [(('a',), 5)]
        original = DictItem.__new__
        # The function of the class's staticmethod, and that function's code,
        # change without the class noticing.
        vars(DictItem)['__new__'].__init__(lambda cls, path, value: tuple.__new__(cls, ('re', value)))
        assert Tabulon({'a': 5}) == [('re', 5)]
        vars(DictItem)['__new__'].__init__(original)
        code = original.__code__
        original.__code__ = (lambda _cls, path, value: _tuple_new(_cls, ('code', value))).__code__
        assert Tabulon({'a': 5}) == [('code', 5)]
        original.__code__ = code
        assert Tabulon({'a': 5}) == [(('a',), 5)]
        DictItem.__new__ = lambda cls, path, value: tuple.__new__(cls, ('new', value))
        assert Tabulon({'a': 5}) == [('new', 5)]
        DictItem.__new__ = original
        IndexMarker.__init__ = lambda self, obj, index: setattr(self, 'index', -index)
        assert Tabulon({'a': [5]})[0].path[1].index == 0 and Tabulon({'a': [5, 6]})[1].path[1].index == -1
        MutableMapping.register(int)   # every int is a mapping now: 5.items() fails
        try:
            Tabulon({'a': 5})
        except AttributeError as e:
            print('int', e)
        type(MutableMapping).__instancecheck__ = lambda cls, obj: False
        print(Tabulon({'ab': 5}))
        type(MutableMapping).__instancecheck__ = lambda cls, obj: isinstance(obj, dict)
        flatten = Tabulon.__flatten__
        Tabulon.__flatten__ = staticmethod(lambda indict, path=None: iter([('new', path)]))
        print(Tabulon({'a': {'b': 1}}), list(flatten({'a': {'b': 1}})))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["int 'int' object has no attribute 'items'", "['ab']",
                                        "[('new', None)] [('new', ('a',))]"]


# ---------------------------------------------------------------- reconstruction: stated results

def pairs(*items):
    return Tabulon([tuple(item) for item in items])


L0, L0b, L5 = IndexMarker([], 0), IndexMarker([], 0), IndexMarker([], 5)
T0, T1, T0b = IndexMarker((), 0), IndexMarker((), 1), IndexMarker((), 0)


@pytest.mark.parametrize("items, expected", [
    ([], {}),
    ([(("a", "b"), 1), (("a", "c"), 2)], {"a": {"b": 1, "c": 2}}),
    ([(("a",), 1), (("a",), 2)], {"a": 2}),
    ([(("a", "b"), 1), (("a",), 2)], {"a": 2}),
    ([(("a",), {}), (("a", "b"), 2)], {"a": {"b": 2}}),
    ([(("a", L0), 1), (("a", L0b), 2)], {"a": [2]}),
    ([(("a", L5), 1)], {"a": [1]}),
    ([("ab", 1)], {"a": {"b": 1}}),
    ([(("a", T0), 1), (("a", T1), 2)], {"a": (1, 2)}),
    ([(("a", T0), 1), (("a", T0b), 2)], {"a": (1, 2)}),  # a tuple grows by every pair
    ([(("a", T0), 1), (("a", L0), 2)], {"a": [2]}),
    ([(("a",), (1,)), (("a", T1), 2)], {"a": (1, 2)}),
    ([(["a", "b"], 1), (iter(["a", "c"]), 2)], {"a": {"b": 1, "c": 2}}),
])
def test_stated_results(items, expected):
    t = pairs(*items)
    before = list(t)
    result = t.reconstruct()
    assert same_shape(result, expected)
    assert list(t) == before


@pytest.mark.parametrize("data", [
    {"a": [1, 2]}, {"a": [[1, 2], [3]]}, {"a": [{"b": 1}, {"c": 2}]}, {"a": (1, 2)}, {"a": [(1, 2)]},
    OrderedDict([("b", 1), ("a", {"c": [1]})]),
])
def test_stated_round_trips(data):
    result = Tabulon(data).reconstruct()
    assert type(result) is dict and result == data and list(result) == list(data)


def test_each_reconstruction_is_new():
    data = {"a": {"b": 1}}
    t = Tabulon(data)
    first, second = t.reconstruct(), t.reconstruct()
    assert first == second == data and first is not second and first["a"] is not data["a"]
    assert Tabulon().reconstruct() == {} and Tabulon().reconstruct() is not Tabulon().reconstruct()


@pytest.mark.parametrize("items, exc, message", [
    ([(("a",), 1), (("a", "b"), 2)], TypeError, "int() argument must be"),
    ([("abc",)], ValueError, "need more than 1 value to unpack"),
    ([(("a",), 1, 2)], ValueError, "too many values to unpack (expected 2)"),
    ([5], TypeError, "'int' object is not iterable"),
    ([(5, 1)], TypeError, "'int' object is not iterable"),
    ([(([],), 1)], TypeError, "unhashable type: 'list'"),
    ([(("a",), 1), (("a", L0, "b"), 2)], None, None),
])
def test_failures(items, exc, message):
    t = Tabulon()
    list.extend(t, items)  # unchecked, as += would store them
    if exc is None:
        assert t.reconstruct() == {"a": [{"b": 2}]}
        return
    with pytest.raises(exc) as info:
        t.reconstruct()
    assert message in str(info.value)


# ---------------------------------------------------------------- reconstruction: mended faults

@pytest.mark.parametrize("items, position", [
    ([((), 1)], 0),
    ([(("a",), 1), ("", 2)], 1),
    ([(("a",), 1), (("b",), 1), ((L0,), 2)], 2),
    ([((T0, "a"), 1)], 0),
])
def test_paths_that_flattening_never_makes(items, position):
    t = pairs(*items)
    with pytest.raises(ValueError, match="^Tabulon item %d has " % position) as info:
        t.reconstruct()
    assert ("empty path" in str(info.value)) == (len(items[position][0]) == 0)


Pair = namedtuple("Pair", "left right")


class Row(tuple):
    pass


@pytest.mark.parametrize("data", [
    {"a": ({"b": 1}, {"c": 2})},
    {"a": ({}, 1)},
    {"a": ({}, {})},
    {"a": ((1, 2), (3,))},
    {"a": ([1, 2], (3, [4, {}]))},
    {"a": ({"b": (1, {"c": ({}, [])})},)},
    {"a": ({"b": 1},), "c": [({"d": 2}, 3)]},
    {"p": Pair(1, 2)},
    {"p": Pair({"x": 1}, [Pair((), {})])},
    {"d": DictItem(("k", "l"), {"v": 1})},
    {"r": Row((1, {"a": 2}))},
    {"a": [[[]], [()], [{}]]},
])
def test_every_flattened_shape_comes_back(data):
    result = Tabulon(data).reconstruct()
    assert same_shape(result, data), result
    assert same_shape(twin.Tabulon(data).reconstruct(), data)


def test_walks_below_stored_tuples_keep_their_values():
    # A key below a stored tuple adds a dict to it, as it does to a list.
    assert pairs((("a",), (1,)), (("a", "b"), 2)).reconstruct() == {"a": (1, {"b": 2})}
    assert pairs((("a",), [1]), (("a", "b"), 2)).reconstruct() == {"a": [1, {"b": 2}]}
    # A named tuple that cannot take what the pairs give fails when it is made.
    with pytest.raises(TypeError, match="Expected 2 arguments, got 3"):
        pairs((("p",), Pair(1, 2)), (("p", "k"), 3)).reconstruct()


def test_a_failure_leaves_no_element_list_behind():
    held = {}
    t = pairs((("a",), held), (("a", "k", T0), 1))
    list.append(t, 5)
    with pytest.raises(TypeError):
        t.reconstruct()
    assert held == {"k": (1,)} and type(held["k"]) is tuple


# ---------------------------------------------------------------- properties

keys = st.one_of(st.text(max_size=3), st.integers(-3, 3))
leaves = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=4),
                   st.floats(allow_nan=False), st.just({}), st.just([]), st.just(()))


def _nest(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.tuples(children, children).map(lambda t: Pair(*t)),
        st.tuples(children, children).map(lambda t: DictItem(*t)),
        st.lists(children, max_size=3).map(Row),
        st.dictionaries(keys, children, max_size=4),
    )


nested = st.dictionaries(keys, st.recursive(leaves, _nest, max_leaves=25), max_size=5)


@settings(max_examples=examples(300), deadline=None)
@given(nested)
def test_flatten_then_reconstruct_gives_the_data_back(data):
    t = Tabulon(data)
    result = t.reconstruct()
    assert same_shape(result, data)
    # the twin, written from the same behaviour, flattens and rebuilds alike
    other = twin.Tabulon(data)
    assert paths(t) == paths(other)
    assert same_shape(other.reconstruct(), result)


def reconstruct_as_stated(items):
    """The reconstruction steps as first written, for dicts, lists and tuples of
    leaves.  Raises Diverges where those steps lose data (handled differently
    on purpose)."""
    ret = {}
    prev_ptr = prev_k = tuple_ptr = tuple_k = k = None
    for path, obj in items:
        ptr = ret
        path = list(path)
        while path:
            k = path.pop(0)
            if isinstance(k, IndexMarker):
                if k.type_ is not type(ptr):
                    prev_ptr[prev_k] = k.type_(({},))
                else:
                    try:
                        ptr[k.index]
                    except IndexError:
                        ptr += k.type_(({},))
                    if k.type_ is tuple and path:
                        raise Diverges  # goes on inside the stored tuple
                if k.type_ is tuple:
                    tuple_ptr, tuple_k = prev_ptr, prev_k
                prev_ptr = prev_ptr[prev_k]
                prev_k = -1
                ptr = prev_ptr[-1]
            else:
                if isinstance(ptr, MutableMapping):
                    ptr[k] = ptr.get(k, {})
                else:
                    if isinstance(ptr, tuple):
                        raise Diverges  # the dict goes to a tuple that is not stored
                    ptr += type(ptr)(({k: {}},))
                    ptr = ptr[-1]
                prev_ptr = ptr
                prev_k = k
                ptr = ptr[k]
        if isinstance(k, IndexMarker) and k.type_ is tuple:
            if tuple_ptr[tuple_k] == ({},):
                tuple_ptr[tuple_k] = (obj,)
            else:
                prev_ptr = prev_ptr + (obj,)
                tuple_ptr[tuple_k] = prev_ptr
        else:
            prev_ptr[prev_k] = obj
    return ret


class Diverges(Exception):
    pass


step_keys = st.sampled_from(["a", "b", 0])
list_markers = st.integers(-2, 3).map(lambda i: IndexMarker([], i))
tuple_markers = st.integers(-2, 3).map(lambda i: IndexMarker((), i))
hand_paths = st.builds(lambda first, middle, last: (first,) + tuple(middle) + tuple(last),
                       step_keys, st.lists(st.one_of(step_keys, list_markers), max_size=3),
                       st.lists(tuple_markers, max_size=1))
hand_pairs = st.lists(st.tuples(hand_paths, st.one_of(st.integers(), st.none(), st.text(max_size=2))),
                      max_size=8)


@settings(max_examples=examples(300), deadline=None)
@given(hand_pairs)
def test_stated_results_for_dicts_lists_and_leaf_tuples_stand(items):
    """Any list of pairs over dicts, lists and tuples of leaves, in any order,
    rebuilds as the original steps rebuild it."""
    try:
        expected, failure = reconstruct_as_stated(items), None
    except Diverges:
        return
    except Exception as exc:
        expected, failure = None, exc
    t = Tabulon(items)
    if failure is not None:
        with pytest.raises(type(failure)):
            t.reconstruct()
    else:
        assert same_shape(t.reconstruct(), expected)
    try:
        other = twin.Tabulon(rebuilt(items, twin)).reconstruct()
    except Exception as exc:
        assert failure is not None and type(exc) is type(failure)
    else:
        assert failure is None and same_shape(other, expected)


any_paths = st.lists(st.one_of(step_keys, list_markers, tuple_markers,
                               st.sampled_from([IndexMarker(Pair(1, 2), 0), IndexMarker(Pair(1, 2), 1)])),
                     max_size=5)


@settings(max_examples=examples(300), deadline=None)
@given(st.lists(st.tuples(any_paths, st.one_of(st.integers(), st.just({}), st.just(()))), max_size=8))
def test_any_pairs_rebuild_as_the_twin_does(items):
    def outcome(module):
        try:  # each on its own copy: a walk below a stored dict changes it
            return module.Tabulon(rebuilt(items, module)).reconstruct(), None
        except Exception as exc:
            return None, exc
    ours, our_failure = outcome(tabulon)
    theirs, their_failure = outcome(twin)
    assert type(our_failure) is type(their_failure), (our_failure, their_failure)
    if our_failure is None:
        assert same_shape(ours, theirs)
    else:
        assert str(our_failure) == str(their_failure) or isinstance(our_failure, TypeError)


# ---------------------------------------------------------------- leaks and crashes

class TestLeaks(LeakChecks):
    module = tabulon
    # (__replace__ comes with named tuples from 3.13 on)
    exempt = dict.fromkeys(["DictItem.__repr__", "DictItem.__getnewargs__", "DictItem.path", "DictItem.value"] +
                           ["DictItem.__replace__"] * hasattr(DictItem, "__replace__"),
                           "made by collections.namedtuple: no code of this library runs")

    @staticmethod
    def cases():
        data = {"a": {"b": [1, (2, {"c": 3})], "d": Pair(4, ())}, "e": {}}

        def partial_generator():
            g = Tabulon.__flatten__(data)
            next(g)
            next(g)

        def thrown():
            g = Tabulon.__flatten__(data)
            next(g)
            try:
                g.throw(KeyError)
            except KeyError:
                pass

        def t():
            return Tabulon([("p", 1)])

        def append(w=t()):
            w.append(("q", 1))
            del w[1:]

        def insert(w=t()):
            w.insert(0, ["q", 2])
            del w[:1]

        def extend(w=t()):
            w.extend(iter([("r", 3), ("s", 4)]))
            del w[1:]
        slow = {"repeat": 300}
        yield "DictItem", lambda: DictItem("p", 1)
        yield "DictItem: a value missing", raising(lambda: DictItem("p"), TypeError)
        yield "IndexMarker", lambda: IndexMarker([], 3)
        yield "IndexMarker: index not a number", raising(lambda: IndexMarker([], "x"), ValueError)
        yield "IndexMarker: index None", raising(lambda: IndexMarker([], None), TypeError)
        nameless = IndexMarker([], 1)
        nameless.type_ = 5
        yield "IndexMarker.__repr__", lambda: repr(IndexMarker([], 3))
        yield "IndexMarker.__repr__: a type without a name", raising(lambda: repr(nameless), AttributeError)
        yield "Tabulon", lambda: Tabulon(data), slow
        yield "Tabulon: from pairs", lambda: Tabulon([("a", 1), DictItem("b", 2)])
        yield "Tabulon: not pairs", raising(lambda: Tabulon([("a", 1), 5]), ValueError), slow
        yield "Tabulon: the walk fails", raising(lambda: Tabulon(Entries(5)), TypeError)
        yield "Tabulon: two arguments", raising(lambda: Tabulon([], []), TypeError)
        yield "Tabulon.__flatten__", lambda: list(Tabulon.__flatten__(data, ("p",))), slow
        yield "Tabulon.__flatten__: left after two items", partial_generator, slow
        yield "Tabulon.__flatten__: thrown into", thrown, slow
        yield "Tabulon.__flatten__: bad entry", raising(lambda: list(Tabulon.__flatten__(Entries([("k",)]))),
                                                        ValueError), slow
        yield "Tabulon.__flatten__: unsliceable path", raising(lambda: next(Tabulon.__flatten__({"a": 1}, 5)),
                                                               TypeError)
        yield "Tabulon.__setitem__", lambda w=t(): w.__setitem__(0, ["t", 5])
        yield "Tabulon.__setitem__: not a pair", raising(lambda w=t(): w.__setitem__(0, 5), ValueError)
        yield "Tabulon.__setitem__: out of range", raising(lambda w=t(): w.__setitem__(5, ("a", 1)), IndexError)
        yield "Tabulon.append", append
        yield "Tabulon.append: not a pair", raising(lambda w=t(): w.append(5), ValueError)
        yield "Tabulon.insert", insert
        yield "Tabulon.insert: not a pair", raising(lambda w=t(): w.insert(0, "abc"), ValueError)
        yield "Tabulon.extend", extend
        yield "Tabulon.extend: one item not a pair", raising(lambda w=t(): w.extend([("a", 1), (1, 2, 3)]),
                                                             ValueError)
        yield "Tabulon.reconstruct", Tabulon(data).reconstruct, slow
        yield "Tabulon.reconstruct: a path through a value", raising(
            pairs((("a",), 1), (("a", "b"), 2)).reconstruct, TypeError), slow
        yield "Tabulon.reconstruct: empty path", raising(pairs(((), 1)).reconstruct, ValueError), slow
        yield "Tabulon.reconstruct: a path through a named tuple", raising(
            pairs((("p",), Pair(1, 2)), (("p", "k"), 3)).reconstruct, TypeError), slow


def test_deep_dict_raises_recursion_error():
    assert_recursion_error("""
        from orvane.tessel.tabulon import Tabulon
        d = {'k': 1}
        for _ in range(100000):
            d = {'k': d}
        Tabulon(d)
    """)


def test_deep_dict_on_a_short_stack_raises_recursion_error():
    # The recursion limit is not reached before a 64 KiB stack is full.
    assert_recursion_error("""
from orvane.tessel.tabulon import Tabulon
import threading
threading.stack_size(64 * 1024)
d = {'k': 1}
for _ in range(100000):
    d = {'k': d}
failure = []
def run():
    try:
        Tabulon(d)
    except RecursionError as e:
        failure.append(e)
worker = threading.Thread(target=run)
worker.start()
worker.join()
raise failure[0]
""")


def test_throw_reaches_as_deep_as_next():
    proc = run_isolated("""
        from orvane.tessel.tabulon import Tabulon
        deepest = None
        for n in range(100, 1000, 10):
            d = {'k': 1}
            for _ in range(n):
                d = {'k': d}
            g = Tabulon.__flatten__(d)
            try:
                next(g)
            except RecursionError:
                break
            deepest = g
        try:
            deepest.throw(KeyError('deep'))
        except KeyError as e:
            print('KeyError', e)
    """)
    assert proc.stdout.split() == ["KeyError", "'deep'"], proc.stderr[-2000:]


@pytest.mark.parametrize("how", ["g.throw(KeyError)", "g.close()", "del g"])
def test_deepest_chain_can_be_thrown_into_closed_and_dropped(how):
    # On a short stack, throw() and close() go down a chain of generators that
    # next() only just built.
    proc = run_isolated("""
        import threading
        from orvane.tessel.tabulon import Tabulon
        threading.stack_size(64 * 1024)
        def run():
            for n in range(20, 3000, 7):
                d = {'k': 1}
                for _ in range(n):
                    d = {'k': d}
                g = Tabulon.__flatten__(d)
                try:
                    next(g)
                except RecursionError:
                    print('deepest', n)
                    return
                try:
                    %s
                except (KeyError, RecursionError):
                    pass
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    """ % how)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.startswith("deepest"), proc.stderr[-2000:]


@pytest.mark.parametrize("build", [
    "d = []\nfor _ in range(100000): d = [d, 1]\nd = {'k': d}",
    "d = {}\nd['self'] = d",
    "d = ()\nfor _ in range(100000): d = (d, 1)\nd = {'k': d}",
])
def test_deep_and_cyclic_data_raise_recursion_error(build):
    assert_recursion_error(build + "\nfrom orvane.tessel.tabulon import Tabulon\nTabulon(d)\n")


def test_deep_paths_rebuild_without_recursion():
    proc = run_isolated("""
        from orvane.tessel.tabulon import IndexMarker, Tabulon
        path = ('k',) + tuple(IndexMarker((), 0) if i % 2 else 'k' for i in range(100000))
        r = Tabulon([(path, 1)]).reconstruct()
        depth = 0
        while isinstance(r, (dict, tuple)) and r != 1:
            r = r['k'] if isinstance(r, dict) else r[0]
            depth += 1
        print(depth)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["100001"]
