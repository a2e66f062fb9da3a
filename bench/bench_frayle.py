"""Benchmarks of module frayle.

Making a Frayle leaves cyclic garbage behind (every Frayle with entries is a
cycle), which timeit, with the collector off, lets pile up: hundreds of
megabytes per repeat, so that both sides mostly time the kernel handing out
fresh pages, and with the collector on both mostly time full collections.
Those rows, and the automatic removal (which timeit cannot repeat, since the
objects are freed once), are timed here by hand instead: a batch of calls
with the collector off, the garbage collected between batches, the best of a
few batches.  They use process time, which leaves out the time the process
waits for a processor on a busy machine.
"""
import collections
import gc
import itertools
import time
import weakref

import harness
from harness import faster

from orvane.tessel.frayle import Frayle
from twins.frayle import Frayle as Twin


class Item(object):
    """A stored object: weakly referable, compared by identity."""


def _free_all(cls, n, oldest_first):
    """Process time to free `n` objects stored in a `cls`, its own cleanup
    included (building the list is not timed)."""
    objects = [Item() for _ in range(n)]
    lst = cls(objects)
    if oldest_first:
        objects.reverse()  # clear() frees from the end
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        objects.clear()
        elapsed = time.process_time() - start
    finally:
        gc.enable()
    assert len(lst) == 0
    return elapsed


def _pop_front(n):
    """The list operation that removing the oldest entry first cannot avoid:
    taking the first of `n` pointers out, `n` times (moving the rest up)."""
    lst = list(range(n))
    start = time.process_time()
    collections.deque(map(lst.pop, itertools.repeat(0, n)), maxlen=0)
    return time.process_time() - start


def _batch(fn, number):
    """Process time per call of `number` calls, the collector off."""
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        for _ in range(number):
            fn()
        return (time.process_time() - start) / number
    finally:
        gc.enable()
        gc.collect()


def _timed_row(label, against, ours, reference, goal, is_faster, repeat=5):
    """A row of the harness table, timed by hand; runs alternate."""
    t_ours = t_ref = float("inf")
    for _ in range(repeat):
        t_ours = min(t_ours, ours())
        t_ref = min(t_ref, reference())
    if is_faster:
        ratio = t_ref / t_ours
        row = ("frayle", label, against, t_ours, t_ref, ratio, ">= %.1fx faster" % goal, ratio >= goal)
    else:
        ratio = t_ours / t_ref
        row = ("frayle", label, against, t_ours, t_ref, ratio, "<= %.1fx the time" % goal, ratio <= goal)
    harness.ROWS.append(row)


def run():
    objects = [Item() for _ in range(10000)]
    ten = objects[:10]
    f1000, t1000 = Frayle(objects[:1000]), Twin(objects[:1000])
    ns = {"Frayle": Frayle, "Twin": Twin, "o": Item(), "last": ten[-1],
          "f10": Frayle(ten), "t10": Twin(ten), "f10000": Frayle(objects), "t10000": Twin(objects)}
    faster("frayle", "lst.append(o)", "f.append(o)", "t.append(o)", ns, 3.0,
           setup="f = Frayle(); t = Twin()")
    faster("frayle", "lst[5]", "f10[5]", "t10[5]", ns, 5.0)
    faster("frayle", "for x in lst (10,000 entries)", "for x in f10000: pass",
           "for x in t10000: pass", ns, 4.0)
    _timed_row("Frayle(objects) (10,000 objects)", "twin", lambda: _batch(lambda: Frayle(objects), 1),
               lambda: _batch(lambda: Twin(objects), 1), 3.0, True)
    # Making the references alone, with one callback for all (no bound method each).
    callback = Frayle().remove
    _timed_row("Frayle(objects) (10,000 objects)", "weakref.ref",
               lambda: _batch(lambda: Frayle(objects), 1),
               lambda: _batch(lambda: list(map(weakref.ref, objects, itertools.repeat(callback))), 1),
               1.5, False)
    _timed_row("lst[100:200] (100-entry slice)", "twin", lambda: _batch(lambda: f1000[100:200], 100),
               lambda: _batch(lambda: t1000[100:200], 100), 3.0, True)
    # The slice's references and bound methods alone, one of each per object,
    # made by map() and getattr() without the interpreter's loop.
    holder = Frayle()
    hundred = objects[100:200]

    def refs_and_methods():
        return list(map(weakref.ref, hundred, map(getattr, itertools.repeat(holder),
                                                   itertools.repeat("remove", len(hundred)))))
    _timed_row("lst[100:200] (100-entry slice)", "refs+methods", lambda: _batch(lambda: f1000[100:200], 100),
               lambda: _batch(refs_and_methods, 100), 1.5, False)
    faster("frayle", "x in lst (10 entries, x last)", "last in f10", "last in t10", ns, 3.0)
    n = 20000
    for oldest, goal in ((False, 10.0), (True, 1.5)):
        label = "cleanup of %d freed %s first" % (n, "oldest" if oldest else "newest")
        _timed_row(label, "twin", lambda: _free_all(Frayle, n, oldest),
                   lambda: _free_all(Twin, n, oldest), goal, True, repeat=3)
    # What removing the oldest entry first costs at the least, whoever does it.
    _timed_row("cleanup of %d freed oldest first" % n, "list.pop(0)",
               lambda: _free_all(Frayle, n, True), lambda: _pop_front(n), 1.5, False, repeat=3)
