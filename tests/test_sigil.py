"""sigil: read-only properties at class level."""

import pytest

import orvane.tessel.sigil as sigil_module
from orvane.tessel.sigil import SigilDescriptor, sigil
from support import LeakChecks, raising, run_isolated
from twins import sigil as twin


@pytest.fixture(params=["native", "twin"])
def S(request):
    """The decorator, and the plain-Python twin the same behaviour is checked on."""
    return sigil if request.param == "native" else twin.sigil


def test_module_and_class_shape():
    assert sigil is SigilDescriptor
    assert sigil_module.__doc__ is None and not hasattr(sigil_module, "__all__")
    assert sigil_module.__test__ == {}
    assert SigilDescriptor.__bases__ == (object,) and type(SigilDescriptor) is type
    assert SigilDescriptor.__module__ == "orvane.tessel.sigil"
    assert [k for k in vars(SigilDescriptor) if not k.startswith("__") or k in (
        "__init__", "__get__", "__set__", "__delete__")] == ["__init__", "__get__"]
    assert "decorator" in SigilDescriptor.__doc__ and "100" in SigilDescriptor.__doc__
    assert SigilDescriptor.__init__.__doc__ is None and SigilDescriptor.__get__.__doc__ is None


def test_docstring_example():
    class Shelf(object):
        @sigil
        def capacity(cls):
            return 100
    assert Shelf.capacity == 100 and Shelf().capacity == 100


def test_reads_through_class_instance_and_subclass(S):
    class C:
        @S
        def who(cls):
            return cls.__name__

    class D(C):
        pass
    assert (C.who, C().who, D.who, D().who) == ("C", "C", "D", "D")
    assert super(D, D).who == "D" and super(D, D()).who == "D"
    assert getattr(C, "who") == "C" and hasattr(D(), "who")


def test_the_getter_runs_on_every_read(S):
    calls = []

    class C:
        @S
        def count(cls):
            calls.append(cls)
            return len(calls)
    c = C()
    assert [C.count, c.count, C.count] == [1, 2, 3]
    assert calls == [C, C, C]


def test_instance_assignment_shadows(S):
    class C:
        @S
        def x(cls):
            return "computed"
    a, b = C(), C()
    a.x = "stored"
    assert (a.x, b.x, C.x) == ("stored", "computed", "computed")
    del a.x
    assert a.x == "computed"


def test_class_assignment_replaces(S):
    class C:
        @S
        def x(cls):
            return "computed"

    class D(C):
        pass
    descriptor = C.__dict__["x"]
    assert isinstance(descriptor, S) and descriptor.func(D) == "computed"
    C.x = 5
    assert (C.x, D.x, C().x, D().x) == (5, 5, 5, 5)
    D.x = descriptor
    assert (C.x, D.x) == (5, "computed")


def test_func_is_public_and_replaceable(S):
    class C:
        @S
        def x(cls):
            return 1
    C.__dict__["x"].func = lambda cls: ("new", cls)
    assert C.x == ("new", C)
    d = S(func=len)
    assert d.func is len and d.__get__(None, "abc") == 3


def test_func_is_read_as_an_attribute(monkeypatch):
    class C:
        x = sigil(lambda cls: "from the instance")
    assert C.x == "from the instance"
    getter = property(lambda self: lambda cls: "from a class property")
    monkeypatch.setattr(SigilDescriptor, "func", getter, raising=False)
    assert C.x == "from a class property"
    monkeypatch.undo()
    assert C.x == "from the instance"
    del C.__dict__["x"].func
    with pytest.raises(AttributeError, match="'SigilDescriptor' object has no attribute 'func'"):
        C.x


def test_not_callable_getter(S):
    class C:
        @S
        @classmethod
        def x(cls):
            return 1
    with pytest.raises(TypeError, match="'classmethod' object is not callable"):
        C.x
    with pytest.raises(TypeError, match="'classmethod' object is not callable"):
        C().x


def test_getter_errors_propagate(S):
    class C:
        @S
        def x(cls):
            raise KeyError("inner")
    with pytest.raises(KeyError, match="inner"):
        C.x
    with pytest.raises(KeyError, match="inner"):
        C().x
    E = type("E", (), {"y": S(lambda cls: cls.missing)})
    with pytest.raises(AttributeError, match="type object 'E' has no attribute 'missing'"):
        E.y
    assert getattr(E, "y", "default") == "default"  # as for any attribute read


def test_get_by_hand(S):
    d = S(lambda cls: ("got", cls))
    assert d.__get__(None, int) == ("got", int)
    assert d.__get__(5, owner=int) == ("got", int)
    assert d.__get__(obj=None, owner=str) == ("got", str)
    assert type(d).__get__(d, "o", "w") == ("got", "w")


@pytest.mark.parametrize("call, message", [
    (lambda d: d.__get__(None), r"__get__\(\) takes exactly 3 positional arguments \(2 given\)"),
    (lambda d: d.__get__(), r"__get__\(\) takes exactly 3 positional arguments \(1 given\)"),
    (lambda d: d.__get__(1, 2, 3), r"__get__\(\) takes exactly 3 positional arguments \(4 given\)"),
    (lambda d: d.__get__(1, 2, inst=3), r"__get__\(\) got an unexpected keyword argument 'inst'"),
    (lambda d: sigil(), r"__init__\(\) takes exactly 2 positional arguments \(1 given\)"),
    (lambda d: sigil(1, 2), r"__init__\(\) takes exactly 2 positional arguments \(3 given\)"),
    (lambda d: sigil(f=1), r"__init__\(\) got an unexpected keyword argument 'f'"),
])
def test_argument_messages(call, message):
    with pytest.raises(TypeError, match="^%s$" % message):
        call(sigil(len))


def test_descriptor_protocol_stays_the_interpreters():
    """Subclasses, and a __get__ replaced or deleted on the class, are reached
    as usual (in a fresh interpreter: patching the class resets its slot)."""
    proc = run_isolated("""
        from orvane.tessel.sigil import SigilDescriptor, sigil

        class Doubled(SigilDescriptor):
            def __get__(self, obj, owner):
                return 2 * super().__get__(obj, owner)

        class Plain(SigilDescriptor):
            pass

        class C:
            a = Doubled(lambda cls: 21)
            b = Plain(lambda cls: cls.__name__)
            c = sigil(lambda cls: "c")
        assert (C.a, C().a, C.b, C.c) == (42, 42, "C", "c")
        original = SigilDescriptor.__get__
        SigilDescriptor.__get__ = lambda self, obj, owner: ("patched", obj)
        inst = C()
        assert (C.c, inst.c, C.b) == (("patched", None), ("patched", inst), ("patched", None))
        SigilDescriptor.__get__ = original
        assert (C.c, C.b, C.a) == ("c", "C", 42)
        del SigilDescriptor.__get__
        assert isinstance(C.c, SigilDescriptor)  # no __get__: the descriptor itself
        SigilDescriptor.__get__ = original
        assert C.c == "c" and C().c == "c"
        print("ok")
    """)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


class TestLeaks(LeakChecks):
    module = sigil_module

    @staticmethod
    def cases():
        class C:
            @sigil
            def x(cls):
                return [cls]

            @sigil
            def bad(cls):
                raise ValueError("no")
        c = C()
        funcless = sigil(len)
        del funcless.func
        yield "SigilDescriptor", lambda: sigil(len)
        yield "SigilDescriptor: no function", raising(lambda: sigil(), TypeError)
        yield "SigilDescriptor.__get__: through the class", lambda: C.x
        yield "SigilDescriptor.__get__: through an instance", lambda: c.x
        yield "SigilDescriptor.__get__: called directly", lambda: sigil(len).__get__(None, "ab")
        yield "SigilDescriptor.__get__: the function raises", raising(lambda: C.bad, ValueError)
        yield "SigilDescriptor.__get__: no owner", raising(lambda: sigil(len).__get__(None), TypeError)
        yield "SigilDescriptor.__get__: not callable", raising(lambda: sigil(1).__get__(None, C), TypeError)
        yield "SigilDescriptor.__get__: no function", raising(lambda: funcless.__get__(None, C), AttributeError)


def test_leak_coverage_names_what_is_missing():
    class Partial(LeakChecks):
        module = sigil_module
        exempt = {"SigilDescriptor: failing": "exempt, yet checked", "SigilDescriptor: failed": "no such kind"}

        @staticmethod
        def cases():
            yield "SigilDescriptor", lambda: sigil(len)
            yield "SigilDescriptor: no function", raising(lambda: sigil(), TypeError)
            yield "sigil.__get__", lambda: None
    with pytest.raises(AssertionError) as info:
        Partial().test_every_public_operation_is_checked()
    assert str(info.value).splitlines() == [
        "case 'sigil.__get__' checks no public operation",
        "SigilDescriptor is exempt from failing cases but has one",
        "SigilDescriptor.__get__ has no succeeding case",
        "SigilDescriptor.__get__ has no failing case",
        "exemption 'SigilDescriptor: failed' names no public operation and kind"]
