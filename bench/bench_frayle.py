"""Benchmarks of module frayle.

The twin is the class written the straightforward way, with the list's bound
`remove` as every entry's callback: each of its lists with entries is a cycle,
so dropping one leaves garbage for the cyclic collector, which timeit, with
the collector off, lets pile up (hundreds of megabytes per repeat, so that
the twin mostly times the kernel handing out fresh pages), and with the
collector on mostly times full collections.  The rows that make lists, and
the automatic removal (which timeit cannot repeat, since the objects are
freed once), are measured here by hand instead: a batch of calls with the
collector off, whatever the calls made kept until the measure has stopped (so
that neither side's freeing is counted), the garbage collected between
batches, the best of a few batches (harness.Region: process time, or
instructions).
"""
import collections
import gc
import itertools
import weakref

import harness
from harness import faster

from orvane.tessel.frayle import Frayle
from twins.frayle import StraightFrayle as Twin


class Item(object):
    """A stored object: weakly referable, compared by identity."""


def _free_all(cls, n, oldest_first):
    """The cost of freeing `n` objects stored in a `cls`, its own cleanup
    included (building the list is not measured)."""
    objects = [Item() for _ in range(n)]
    lst = cls(objects)
    if oldest_first:
        objects.reverse()  # clear() frees from the end
    gc.collect()
    gc.disable()
    try:
        with harness.Region() as region:
            objects.clear()
    finally:
        gc.enable()
    assert len(lst) == 0
    return region.cost


def _pop_front(n):
    """The list operation that removing the oldest entry first cannot avoid:
    taking the first of `n` pointers out, `n` times (moving the rest up)."""
    lst = list(range(n))
    with harness.Region() as region:
        collections.deque(map(lst.pop, itertools.repeat(0, n)), maxlen=0)
    return region.cost


def _batch(fn, number):
    """The cost per call of `number` calls, the collector off; what the
    calls return is freed after the measure has stopped."""
    kept = []
    gc.collect()
    gc.disable()
    try:
        with harness.Region() as region:
            for _ in range(number):
                kept.append(fn())
        return region.cost / number
    finally:
        del kept[:]
        gc.enable()
        gc.collect()


def _append_same(cls, o, n):
    """A new `cls` with `o` appended `n` times."""
    lst = cls()
    collections.deque(map(lst.append, itertools.repeat(o, n)), maxlen=0)
    return lst


def _timed_row(label, against, ours, reference, goal, is_faster, repeat=5):
    """A row of the harness table, measured by hand; runs alternate."""
    t_ours = t_ref = float("inf")
    for _ in range(harness.repeats(repeat)):
        t_ours = min(t_ours, ours())
        t_ref = min(t_ref, reference())
    harness.row("frayle", label, against, t_ours, t_ref, goal, is_faster)


def run():
    objects = [Item() for _ in range(10000)]
    ten = objects[:10]
    f1000, t1000 = Frayle(objects[:1000]), Twin(objects[:1000])
    ns = {"Frayle": Frayle, "Twin": Twin, "o": Item(), "last": ten[-1],
          "f10": Frayle(ten), "t10": Twin(ten), "f10000": Frayle(objects), "t10000": Twin(objects)}
    faster("frayle", "lst.append(o)", "f.append(o)", "t.append(o)", ns, 4.0,
           setup="f = Frayle(); t = Twin()")
    faster("frayle", "lst[5]", "f10[5]", "t10[5]", ns, 5.0)
    faster("frayle", "for x in lst (10,000 entries)", "for x in f10000: pass",
           "for x in t10000: pass", ns, 4.0)
    _timed_row("Frayle(objects) (10,000 objects)", "twin", lambda: _batch(lambda: Frayle(objects), 1),
               lambda: _batch(lambda: Twin(objects), 1), 3.0, True)
    # Making the references alone, with one callback for all.
    def callback(ref):
        pass
    _timed_row("Frayle(objects) (10,000 objects)", "weakref.ref",
               lambda: _batch(lambda: Frayle(objects), 1),
               lambda: _batch(lambda: list(map(weakref.ref, objects, itertools.repeat(callback))), 1),
               1.5, False)
    _timed_row("lst[100:200] (100-entry slice)", "twin", lambda: _batch(lambda: f1000[100:200], 100),
               lambda: _batch(lambda: t1000[100:200], 100), 3.0, True)
    # The slice's references alone, one per object with one callback for all,
    # made by map() without the interpreter's loop.
    hundred = objects[100:200]
    _timed_row("lst[100:200] (100-entry slice)", "weakref.ref", lambda: _batch(lambda: f1000[100:200], 100),
               lambda: _batch(lambda: list(map(weakref.ref, hundred, itertools.repeat(callback))), 100),
               1.5, False)
    same = Item()
    _timed_row("lst.append(o) 100,000 times, the same o", "twin",
               lambda: _batch(lambda: _append_same(Frayle, same, 100000), 1),
               lambda: _batch(lambda: _append_same(Twin, same, 100000), 1), 3.0, True)
    faster("frayle", "x in lst (10 entries, x last)", "last in f10", "last in t10", ns, 3.0)
    # (Counted, a tenth: the twin's newest-first cleanup alone runs tens of
    # billions of instructions at 20,000 under valgrind.)
    n = 20000 if harness.MEASURE == "time" else 2000
    for oldest, goal in ((False, 10.0), (True, 1.5)):
        label = "cleanup of %d freed %s first" % (n, "oldest" if oldest else "newest")
        _timed_row(label, "twin", lambda: _free_all(Frayle, n, oldest),
                   lambda: _free_all(Twin, n, oldest), goal, True, repeat=3)
    # What removing the oldest entry first costs at the least, whoever does it.
    _timed_row("cleanup of %d freed oldest first" % n, "list.pop(0)",
               lambda: _free_all(Frayle, n, True), lambda: _pop_front(n), 1.5, False, repeat=3)
