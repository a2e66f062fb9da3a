"""Benchmarks of module coffer."""
from harness import faster, within

from orvane.tessel import coffer
from twins import coffer as twin


def run():
    ns = {"Coffer": coffer.Coffer, "Twin": twin.Coffer,
          "c": coffer.Coffer(a=1, b=2, c=3), "d": dict(a=1, b=2, c=3)}
    within("coffer", "Coffer(a=1, b=2, c=3)", "Coffer(a=1, b=2, c=3)", "dict(a=1, b=2, c=3)", ns, 2.5)
    faster("coffer", "Coffer(a=1, b=2, c=3)", "Coffer(a=1, b=2, c=3)", "Twin(a=1, b=2, c=3)", ns, 1.6)
    within("coffer", "c.a (attribute read)", "c.a", "d['a']", ns, 1.5)
    within("coffer", "c.a = 1 (attribute write)", "c.a = 1", "d['a'] = 1", ns, 1.5)
