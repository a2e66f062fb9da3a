"""Arbel: named tree nodes drawn like the tree command."""
import collections
import sys

import pytest
from hypothesis import given, settings, strategies as st

import orvane.tessel.arbel as arbel_module
from orvane.tessel.arbel import Arbel
from support import LeakChecks, assert_recursion_error, examples, outcome, raising
from twins import arbel as twin


@pytest.fixture(params=["native", "twin"])
def A(request):
    """Arbel, and the plain-Python twin the same behaviour is checked on."""
    return Arbel if request.param == "native" else twin.Arbel


def test_module_and_class_shape():
    assert arbel_module.__doc__ is None and not hasattr(arbel_module, "__all__")
    assert arbel_module.__test__ == {}
    assert Arbel.__bases__ == (object,) and type(Arbel) is type
    assert Arbel.__module__ == "orvane.tessel.arbel" and Arbel.__qualname__ == "Arbel"
    assert [k for k in vars(Arbel) if k in ("__init__", "add_child", "__str__", "__repr__", "__eq__",
                                            "__hash__")] == ["__init__", "add_child", "__str__"]
    assert "tree command" in Arbel.__doc__ and "add_child" in Arbel.__doc__
    assert "name" in Arbel.__init__.__doc__ and "children" in Arbel.__init__.__doc__
    assert Arbel.add_child.__doc__.startswith("Add children")
    assert Arbel.__str__.__doc__.startswith("String formatter")
    a, b = Arbel("x"), Arbel("x")
    assert a != b and a == a and hash(a) != hash(b)  # identity, the interpreter's defaults


def test_docstring_example_draws_as_shown():
    lines = Arbel.__doc__.split("\n")
    start = next(i for i, line in enumerate(lines) if "print(" in line) + 1
    shown = []
    for line in lines[start:]:
        if not line.strip():
            break
        shown.append(line[4:])
    ida = Arbel('Ida', [Arbel('Tom'), Arbel('Vera')])
    greta = Arbel('Greta')
    greta.add_child(ida)
    greta.add_child(Arbel('Otto', [Arbel('Lena')]))
    assert str(greta) == "\n".join(shown)


@pytest.mark.parametrize("children", [None, [], (), 0, "", {}], ids=repr)
def test_false_children_become_a_new_list(A, children):
    a, b = A("a", children), A("b", children=children)
    assert a.children == [] and type(a.children) is list
    assert a.children is not b.children and a.children is not children
    assert str(a) == "a"


def test_children_list_is_shared_and_name_unconverted(A):
    kids = [A("x")]
    node = A(name=5, children=kids)
    assert node.children is kids and node.name == 5
    kids.append("late")
    node.name = "n"
    assert str(node) == "n\n|-- x\n`-- late"
    t = (1, 2)
    assert A("t", t).children is t


def test_the_five_line_example(A):
    root = A("root", [A("a", [A("a1"), A("a2")]), A("b")])
    assert str(root) == "root\n|-- a\n|   |-- a1\n|   `-- a2\n`-- b"


@pytest.mark.parametrize("children, expected", [
    (["x"], "r\n`-- x"),
    (["x\ny"], "r\n`-- x\n    y"),
    (["x\ny", "z"], "r\n|-- x\n|   y\n`-- z"),
    ([""], "r\n`-- "),
    (["", ""], "r\n|-- \n`-- "),
    (["a\n"], "r\n`-- a\n    "),
    (["a\n", "b"], "r\n|-- a\n|   \n`-- b"),
    (["\n\n"], "r\n`-- \n    \n    "),
    (["a\r\nb"], "r\n`-- a\r\n    b"),          # only "\n" splits
    (["trailing  "], "r\n`-- trailing  "),
    ([1, None, 2.5], "r\n|-- 1\n|-- None\n`-- 2.5"),
    (["\u00e9t\u00e9\n\u4e2d", "\U0001f333"], "r\n|-- \u00e9t\u00e9\n|   \u4e2d\n`-- \U0001f333"),
], ids=repr)
def test_child_texts(A, children, expected):
    assert str(A("r", children)) == expected


def test_nested_multiline_and_empty_texts(A):
    tree = A("r", [A("a\nb", ["x\ny", A("")]), A("c\n", [""])])
    assert str(tree) == ("r\n|-- a\n|   b\n|   |-- x\n|   |   y\n|   `-- \n"
                         "`-- c\n    \n    `-- ")
    assert not str(tree).endswith("\n")


def test_a_name_with_line_breaks_on_its_own():
    assert str(Arbel("x\ny\n")) == "x\ny\n"


def test_add_child(A):
    node = A("n")
    assert node.add_child(A("c")) is None
    node.add_child(7)
    assert len(node.children) == 2 and node.children[1] == 7
    assert str(node) == "n\n|-- c\n`-- 7"

    class Recorder:
        def __init__(self):
            self.seen = []

        def append(self, item):
            self.seen.append(item)
    node.children = Recorder()
    node.add_child("x")
    assert node.children.seen == ["x"]
    node.children = (1,)
    with pytest.raises(AttributeError, match="'tuple' object has no attribute 'append'"):
        node.add_child(2)


def test_add_child_calls_a_list_subclass_append(A):
    class Loud(list):
        def append(self, item):
            super().append(("seen", item))
    node = A("n", Loud([1]))
    node.add_child(2)
    assert list(node.children) == [1, ("seen", 2)]


@pytest.mark.parametrize("bad", [5, None, 2.5, b"bytes"], ids=repr)
def test_names_that_are_not_strings(A, bad):
    for tree in (A(bad), A(bad, ["x"]), A("r", [A(bad, ["x"])]), A("r", [A(bad)])):
        with pytest.raises(TypeError):
            str(tree)
    assert outcome(lambda: str(A(bad, ["x"]))) == outcome(lambda: str(twin.Arbel(bad, ["x"])))


def test_non_string_name_messages():
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \+=: 'int' and 'str'"):
        str(Arbel(5, ["x"]))
    with pytest.raises(TypeError, match=r"__str__ returned non-string \(type int\)"):
        str(Arbel(5))
    with pytest.raises(TypeError, match=r"__str__ returned non-string \(type int\)"):
        str(Arbel("r", [Arbel(5)]))


def test_a_list_name_is_extended_as_python_extends_it():
    for A in (Arbel, twin.Arbel):
        name = ["n"]
        with pytest.raises(TypeError, match=r"__str__ returned non-string \(type list\)"):
            str(A(name, ["x", "y"]))
        assert name == ["n", "\n", "|", "-", "-", " ", "x", "\n", "`", "-", "-", " ", "y"]


def test_a_name_with_its_own_concatenation():
    class Label:
        def __init__(self, text):
            self.text = text

        def __add__(self, other):
            return self.text + other
    for A in (Arbel, twin.Arbel):
        tree = A("r", [A(Label("L"), ["x\ny", "z"])])
        assert str(tree) == "r\n`-- L\n    |-- x\n    |   y\n    `-- z"


def test_str_subclass_names_and_texts(A):
    class Text(str):
        pass
    leaf = A(Text("t"))
    assert str(leaf) == "t" and type(str(leaf)) is Text  # the very name, unconverted
    assert str(A("r", [A(Text("a\nb"), [Text("c")])])) == "r\n`-- a\n    b\n    `-- c"

    class Shouting(str):
        def __add__(self, other):
            return str.__add__(self, other.upper())
    assert str(A(Shouting("r"), ["x", "y"])) == "r\n|-- X\n`-- y"  # then a plain str


@pytest.mark.parametrize("children, message", [
    ({"a", "b"}, "'set' object is unsliceable"),
    (frozenset("a"), "'frozenset' object is unsliceable"),
    (iter([1]), "'list_iterator' object is unsliceable"),
    (5, "'int' object is unsliceable"),
])
def test_unsliceable_children(children, message):
    node = Arbel("r")
    node.children = children
    for tree in (node, Arbel("top", [node]), Arbel("top", ["x", node])):
        with pytest.raises(TypeError, match="^%s$" % message):
            str(tree)


def test_other_sequences_as_children(A):
    assert str(A("r", ("a", "b"))) == "r\n|-- a\n`-- b"
    assert str(A("r", "ab")) == "r\n|-- a\n`-- b"
    assert str(A("r", range(3))) == "r\n|-- 0\n|-- 1\n`-- 2"

    class Seq:
        def __init__(self, items):
            self.items = items

        def __bool__(self):
            return bool(self.items)

        def __getitem__(self, i):
            if isinstance(i, slice):
                return Seq(self.items[i])
            return self.items[i]
    assert str(A("r", [A("n", Seq(["a", "b", "c"]))])) == "r\n`-- n\n    |-- a\n    |-- b\n    `-- c"
    node = A("r")
    node.children = {0: "zero", -1: "last", 1: "one"}  # a dict has no slice key
    with pytest.raises((TypeError, KeyError)):  # slices are hashable from 3.12 on
        str(node)


def test_errors_from_children_propagate_unchanged(A):
    class Bad:
        def __str__(self):
            raise KeyError("boom")
    for tree in (A("r", [Bad()]), A("r", [Bad(), "x"]), A("r", [A("a", ["x", Bad()])])):
        with pytest.raises(KeyError, match="boom"):
            str(tree)

    class NotStr:
        def __str__(self):
            return 5
    with pytest.raises(TypeError, match="__str__ returned non-string"):
        str(A("r", [NotStr()]))


def test_subclasses_draw_through_their_own_str(A):
    class Boxed(A):
        def __str__(self):
            return "[" + super().__str__() + "]\n"

    class Plain(A):
        pass

    class Named(A):
        @property
        def name(self):
            return "<%s>" % self.label

        @name.setter
        def name(self, value):
            self.label = value
    tree = A("r", [Boxed("b", [A("c"), Plain("p", ["q"])]), Named("n", [A("m")])])
    assert str(tree) == ("r\n|-- [b\n|   |-- c\n|   `-- p\n|       `-- q]\n|   \n"
                         "`-- <n>\n    `-- m")


def test_changes_to_the_class_are_seen(monkeypatch):
    tree = Arbel("r", [Arbel("a", ["x"]), Arbel("b")])
    monkeypatch.setattr(Arbel, "__str__", lambda self: "<%s>" % self.name, raising=True)
    assert str(tree) == "<r>"
    monkeypatch.undo()
    assert str(tree) == "r\n|-- a\n|   `-- x\n`-- b"
    monkeypatch.setattr(Arbel, "name", property(lambda self: self.__dict__["name"].upper()), raising=False)
    assert str(tree) == "R\n|-- A\n|   `-- x\n`-- B"
    monkeypatch.undo()
    assert str(tree) == "r\n|-- a\n|   `-- x\n`-- b"
    monkeypatch.setattr(Arbel, "__getattribute__",
                        lambda self, n: ["late"] if n == "children" else object.__getattribute__(self, n),
                        raising=False)
    assert str(tree) == "r\n`-- late"


def test_children_changed_while_drawing(A):
    """The children before the last are a snapshot; the last is read afterwards."""
    kids = []

    class Meddler:
        def __str__(self):
            kids.append("added")
            return "m"
    kids.extend([Meddler(), A("a"), "old last"])
    tree = A("r", kids)
    assert str(tree) == "r\n|-- m\n|-- a\n`-- added"

    class Emptier:
        def __str__(self):
            del kids[:]
            return "e"
    kids[:] = [Emptier(), "x"]
    with pytest.raises(IndexError):
        str(A("r", kids))


def test_node_and_name_replaced_while_drawing(A):
    holder = A("h")

    class Swap:
        def __str__(self):
            holder.children = ["swapped"]
            holder.name = "changed"
            return "s"
    holder.children = [Swap(), "x"]
    assert str(A("r", [holder])) == "r\n`-- h\n    |-- s\n    `-- swapped"


# ------------------------------------------------------------------ recursion

def test_own_descendant_ends_in_recursion_error():
    assert_recursion_error("""
        from orvane.tessel.arbel import Arbel
        n = Arbel("n")
        n.add_child(n)
        try:
            str(n)
        except RecursionError:
            pass
        else:
            raise SystemExit("missed")
        a, b = Arbel("a"), Arbel("b", ["x"])
        a.add_child(b); b.add_child(a)
        class Sub(Arbel):
            pass
        s = Sub("s"); s.add_child(Arbel("t", [s]))
        for tree in (a, Arbel("top", ["y", a]), s):
            try:
                str(tree)
            except RecursionError:
                pass
            else:
                raise SystemExit("missed")
        assert str(Arbel("fine", ["x"])) == "fine\\n`-- x"
        raise RecursionError("all cycles ended in RecursionError")
    """)


def test_depth_beyond_the_recursion_limit():
    assert_recursion_error("""
        import sys
        from orvane.tessel.arbel import Arbel
        node = Arbel("leaf")
        for i in range(sys.getrecursionlimit() + 10):
            node = Arbel("n", [node])
        try:
            str(node)
        except RecursionError:
            pass
        else:
            raise SystemExit("missed")
        node = Arbel("leaf")
        for i in range(300):
            node = Arbel("n", ["x", node])
        assert str(node).count("\\n") == 600
        raise RecursionError("deep trees ended in RecursionError")
    """)


def test_deep_chains_draw_within_the_limit(A):
    node = A("leaf")
    for i in range(300):
        node = A(str(i), [node])
    text = str(node)
    lines = text.split("\n")
    assert len(lines) == 301 and lines[-1] == " " * 4 * 299 + "`-- leaf"


def test_recursion_limit_is_unchanged_afterwards():
    depth = sys.getrecursionlimit()
    n = Arbel("n")
    n.add_child(n)
    for _ in range(3):
        with pytest.raises(RecursionError):
            str(n)
    assert sys.getrecursionlimit() == depth
    assert str(Arbel("ok", [Arbel("a", ["b"])])) == "ok\n`-- a\n    `-- b"


def test_cycles_are_collected():
    import gc
    import weakref
    n = Arbel("n")
    n.add_child(Arbel("m", [n]))
    ref = weakref.ref(n)
    del n
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------------ against the twin

texts = st.text(alphabet=st.sampled_from("ab \n\r\u00e9\u4e2d\U0001f333"), max_size=5)


def trees(native):
    A = Arbel if native else twin.Arbel

    class Boxed(A):
        def __str__(self):
            return "<" + super().__str__() + ">"

    class Plain(A):
        pass

    def build(spec):
        kind, name, children = spec
        if kind == "text":
            return name
        if kind == "int":
            return len(name)
        cls = {"arbel": A, "boxed": Boxed, "plain": Plain}[kind]
        return cls(name, [build(c) for c in children])
    return build


specs = st.recursive(
    st.tuples(st.sampled_from(["text", "int", "arbel"]), texts, st.just([])),
    lambda inner: st.tuples(st.sampled_from(["arbel", "arbel", "boxed", "plain"]), texts,
                            st.lists(inner, max_size=4)),
    max_leaves=30)


@settings(max_examples=examples(300), deadline=None)
@given(specs)
def test_same_drawing_as_the_straightforward_code(spec):
    assert str(trees(True)(spec)) == str(trees(False)(spec))


# ------------------------------------------------------------------ leaks

class Untruthful(list):
    def __bool__(self):
        raise ValueError("no truth")


class TestLeaks(LeakChecks):
    module = arbel_module

    @staticmethod
    def cases():
        tree = Arbel("r", [Arbel("a", ["x\ny", Arbel("b")]), "z", Arbel("\u4e2d")])
        bad = Arbel("r", [Arbel("s")])
        bad.children[0].children = {1}
        cycle = Arbel("c")
        cycle.add_child(Arbel("d", [cycle]))
        yield "Arbel", lambda: Arbel("n")
        yield "Arbel: with children", lambda: Arbel("n", [1])
        yield "Arbel: no name", raising(lambda: Arbel(), TypeError)
        yield "Arbel: children without a truth value", raising(lambda: Arbel("n", Untruthful()), ValueError)
        yield "Arbel.add_child", lambda: Arbel("n", [1]).add_child(2)
        yield "Arbel.add_child: children not a list", lambda: Arbel("n", collections.deque([1])).add_child(2)
        yield "Arbel.add_child: children without append", raising(lambda: Arbel("n", (1,)).add_child(1),
                                                                   AttributeError)
        yield "Arbel.__str__", lambda: str(tree), {"repeat": 500}
        yield "Arbel.__str__: children a set", raising(lambda: str(bad), TypeError)
        yield "Arbel.__str__: a name not a str", raising(lambda: str(Arbel(5, ["x", Arbel("y")])), TypeError)
        yield "Arbel.__str__: a cycle", raising(lambda: str(cycle), RecursionError), {"repeat": 20}
