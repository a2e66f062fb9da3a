"""Benchmarks of module arbel."""
from harness import faster

from orvane.tessel.arbel import Arbel
from twins.arbel import Arbel as Twin


def wide(klass, fanout=10, depth=4, name="n"):
    """A tree with `fanout` children per node, `depth` levels below the root."""
    node = klass(name)
    if depth:
        for i in range(fanout):
            node.add_child(wide(klass, fanout, depth - 1, "%s.%d" % (name, i)))
    return node


def chain(klass, depth):
    node = klass("leaf")
    for i in range(depth):
        node = klass("level %d" % i, [node])
    return node


def run():
    ns = {"Arbel": Arbel, "Twin": Twin,
          "tree": wide(Arbel), "twin_tree": wide(Twin),
          "deep": chain(Arbel, 299), "twin_deep": chain(Twin, 299)}
    assert str(ns["tree"]) == str(ns["twin_tree"]) and str(ns["deep"]) == str(ns["twin_deep"])
    faster("arbel", "str(tree of 11,111 nodes)", "str(tree)", "str(twin_tree)", ns, 8, repeat=5)
    faster("arbel", "str(chain 300 deep)", "str(deep)", "str(twin_deep)", ns, 50, repeat=5)
    faster("arbel", "node.add_child(x)", "node.add_child(1)", "twin.add_child(1)", ns, 2,
           setup="node = Arbel('n'); twin = Twin('n')")
