"""Benchmarks of module coffer."""
from harness import faster, within

from orvane.tessel import coffer
from twins import coffer as twin


def document():
    """A nested dict of 1,000 leaves: ten keys per level, three levels."""
    return {"k%d" % i: {"k%d" % j: {"k%d" % k: i * 100 + j * 10 + k for k in range(10)}
                        for j in range(10)}
            for i in range(10)}


def run():
    ns = {"Coffer": coffer.Coffer, "Twin": twin.Coffer,
          "c": coffer.Coffer(a=1, b=2, c=3), "d": dict(a=1, b=2, c=3)}
    within("coffer", "Coffer(a=1, b=2, c=3)", "Coffer(a=1, b=2, c=3)", "dict(a=1, b=2, c=3)", ns, 2.5)
    faster("coffer", "Coffer(a=1, b=2, c=3)", "Coffer(a=1, b=2, c=3)", "Twin(a=1, b=2, c=3)", ns, 1.6)
    within("coffer", "c.a (attribute read)", "c.a", "d['a']", ns, 1.5)
    within("coffer", "c.a = 1 (attribute write)", "c.a = 1", "d['a'] = 1", ns, 1.5)

    doc = document()
    ns = {"NestedCoffer": coffer.NestedCoffer, "Twin": twin.NestedCoffer, "doc": doc,
          "nc": coffer.NestedCoffer(a={"b": {"c": 1}}), "tw": twin.NestedCoffer(a={"b": {"c": 1}}),
          "d": {"a": {"b": {"c": 1}}},
          "big": coffer.NestedCoffer(doc), "twin_big": twin.NestedCoffer(doc)}
    faster("coffer", "nc['a.b.c']", "nc['a.b.c']", "tw['a.b.c']", ns, 4)
    within("coffer", "nc['a.b.c']", "nc['a.b.c']", "d['a']['b']['c']", ns, 7)
    faster("coffer", "nc['a.b.c'] = v (existing levels)", "nc['a.b.c'] = 2", "tw['a.b.c'] = 2", ns, 4)
    faster("coffer", "NestedCoffer(doc) (1,000 leaves)", "NestedCoffer(doc)", "Twin(doc)", ns, 4,
           repeat=5)
    faster("coffer", "nc.update(doc) (1,000 leaves)", "big.update(doc)", "twin_big.update(doc)", ns, 4,
           repeat=5)
    faster("coffer", "'a.b.c' in nc", "'a.b.c' in nc", "'a.b.c' in tw", ns, 3)
    faster("coffer", "nc.get('a.b.x', 0)", "nc.get('a.b.x', 0)", "tw.get('a.b.x', 0)", ns, 3)
