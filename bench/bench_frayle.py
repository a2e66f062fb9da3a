"""Benchmarks of module frayle."""
import gc
import time

import harness
from harness import faster

from orvane.tessel.frayle import Frayle
from twins.frayle import Frayle as Twin


class Item(object):
    """A stored object: weakly referable, compared by identity."""


def _cleanup_time(cls, n, oldest_first, repeat):
    """Best time to free all of `n` stored objects, the list's own cleanup
    included (building the list is not timed)."""
    best = float("inf")
    for _ in range(repeat):
        objects = [Item() for _ in range(n)]
        lst = cls(objects)
        if oldest_first:
            objects.reverse()  # clear() frees from the end
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            objects.clear()
            elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        assert len(lst) == 0
        best = min(best, elapsed)
        del lst
        gc.collect()
    return best


def cleanup_row(label, n, oldest_first, at_least, repeat=3):
    """A row of the harness table for the automatic removal, timed by hand:
    each run frees the objects once, which timeit cannot repeat."""
    t_ours = t_twin = float("inf")
    for _ in range(repeat):  # alternate, as the harness does
        t_ours = min(t_ours, _cleanup_time(Frayle, n, oldest_first, 1))
        t_twin = min(t_twin, _cleanup_time(Twin, n, oldest_first, 1))
    ratio = t_twin / t_ours
    harness.ROWS.append(("frayle", label, "twin", t_ours, t_twin, ratio,
                         ">= %.1fx faster" % at_least, ratio >= at_least))
    return ratio


def run():
    objects = [Item() for _ in range(10000)]
    ten = objects[:10]
    ns = {"Frayle": Frayle, "Twin": Twin, "o": Item(), "objects": objects, "last": ten[-1],
          "f10": Frayle(ten), "t10": Twin(ten),
          "f1000": Frayle(objects[:1000]), "t1000": Twin(objects[:1000]),
          "f10000": Frayle(objects), "t10000": Twin(objects)}
    faster("frayle", "lst.append(o)", "f.append(o)", "t.append(o)", ns, 3.0,
           setup="f = Frayle(); t = Twin()")
    faster("frayle", "lst[5]", "f10[5]", "t10[5]", ns, 5.0)
    faster("frayle", "for x in lst (10,000 entries)", "for x in f10000: pass",
           "for x in t10000: pass", ns, 4.0)
    faster("frayle", "Frayle(objects) (10,000 objects)", "Frayle(objects)", "Twin(objects)", ns, 3.0)
    faster("frayle", "lst[100:200] (100-entry slice)", "f1000[100:200]", "t1000[100:200]", ns, 3.0)
    faster("frayle", "x in lst (10 entries, x last)", "last in f10", "last in t10", ns, 3.0)
    cleanup_row("cleanup of 20,000 freed newest first", 20000, False, 10.0)
    cleanup_row("cleanup of 20,000 freed oldest first", 20000, True, 1.5)
