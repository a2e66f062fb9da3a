"""Benchmarks of module sigil."""
from harness import faster

from orvane.tessel.sigil import sigil
from twins.sigil import sigil as twin_sigil


class Ours(object):
    @sigil
    def size(cls):
        return 100


class Twin(object):
    @twin_sigil
    def size(cls):
        return 100


def run():
    ns = {"Ours": Ours, "Twin": Twin, "ours": Ours(), "twin": Twin()}
    faster("sigil", "C.size (read through the class)", "Ours.size", "Twin.size", ns, 1.5)
    faster("sigil", "c.size (read through an instance)", "ours.size", "twin.size", ns, 1.5)
