"""The benchmark harness: measures statements with timeit and prints ratios.

Every row compares one statement on our classes with a reference statement
(a pure-Python twin, or the built-in operation that bounds it), measured in
the same run. Two measures:
- time: the best of several repeats of each, taken alternately. Absolute
  times on shared machines are noise; the ratios are the figures.
- instructions: callgrind's count of instructions executed per operation
  (run.py starts the process under valgrind). The count of the same loop
  run N and 2N times is subtracted, so setup and the loop's start are not
  counted, and so is the empty loop's count, so the loop itself is not.
  These figures are the same on every run; they decide the goals.
"""
import gc
import os
import tempfile
import time
import timeit

ROWS = []
# "time" or "instructions"; run.py sets it.
MEASURE = "time"
# Instructions counted per measurement, roughly: enough to average the
# allocator's and the caches' bumps out, few enough to run in seconds.
COUNT_TARGET = 3000000


class Counter:
    """Callgrind's counters around one loop; the dumps go to `folder`."""

    def __init__(self, folder):
        import _counter
        if not _counter.on_valgrind():
            raise RuntimeError("counting instructions needs the process to run under valgrind")
        self._counter = _counter
        self.folder = folder
        self.dumps = 0

    def run(self, timer, number):
        """Instructions executed by timer.timeit(number)."""
        gc.collect()
        self.start()
        timer.timeit(number)
        return self.stop()

    def start(self):
        self._counter.start()

    def stop(self):
        """Instructions executed since start()."""
        self._counter.stop()
        self.dumps += 1
        path = os.path.join(self.folder, "callgrind.out.%d" % self.dumps)
        with open(path) as f:
            for line in f:
                if line.startswith("totals:"):
                    total = int(line.split()[1])
                    break
            else:
                raise RuntimeError("%s has no totals line" % path)
        os.unlink(path)
        return total

    def per_op(self, timer, number):
        """Instructions per run of the timer's statement, loop included."""
        return (self.run(timer, 2 * number) - self.run(timer, number)) / number

    def loop(self, statement, setup, namespace):
        """Instructions per operation of `statement`, the empty loop's aside."""
        timer = timeit.Timer(statement, setup, globals=namespace)
        empty = timeit.Timer("pass", setup, globals=namespace)
        timer.timeit(2)     # what the first calls make once (memos, caches)
        guess = max(1.0, self.run(timer, 8) / 8)
        number = int(min(2000, max(4, COUNT_TARGET / guess)))
        return max(0.0, self.per_op(timer, number) - self.per_op(empty, number))


_COUNTER = None
# How the goals read in each measure.
_BETTER = {"time": "faster", "instructions": "fewer"}
_COST = {"time": "time", "instructions": "count"}


def counter():
    global _COUNTER
    if _COUNTER is None:
        folder = os.environ.get("TESSEL_BENCH_DUMPS") or tempfile.gettempdir()
        _COUNTER = Counter(folder)
    return _COUNTER


def _per_call(timer, number):
    gc.collect()
    return timer.timeit(number) / number


class Region:
    """The cost of a with block, in the measure the run uses (process time,
    which leaves out waiting for a processor, or instructions): `cost`."""

    def __enter__(self):
        if MEASURE == "instructions":
            counter().start()
        else:
            self._start = time.process_time()
        return self

    def __exit__(self, *exc):
        if MEASURE == "instructions":
            self.cost = counter().stop()
        else:
            self.cost = time.process_time() - self._start
        return False


def repeats(n):
    """How many times to repeat a measurement and keep the best: `n` for
    times, once for instructions (the same on every run)."""
    return 1 if MEASURE == "instructions" else n


def compare(ours, reference, namespace, setup="pass", repeat=7, min_time=0.05):
    """Cost per call of `ours` and of `reference` (statements as text): the
    best time, or the instructions, by MEASURE."""
    if MEASURE == "instructions":
        count = counter()
        return count.loop(ours, setup, namespace), count.loop(reference, setup, namespace)
    t_ours = timeit.Timer(ours, setup, globals=namespace)
    t_ref = timeit.Timer(reference, setup, globals=namespace)
    number, elapsed = t_ours.autorange()
    if elapsed < min_time:
        number = max(1, int(number * min_time / max(elapsed, 1e-9)))
    best_ours = best_ref = float("inf")
    for _ in range(repeat):
        best_ours = min(best_ours, _per_call(t_ours, number))
        best_ref = min(best_ref, _per_call(t_ref, number))
    return best_ours, best_ref


def row(module, label, against, ours, reference, goal, is_faster):
    """A row from costs measured by the caller (see Region); returns its ratio."""
    if is_faster:
        ratio = reference / ours
        goal_text = ">= %.1fx %s" % (goal, _BETTER[MEASURE])
        met = ratio >= goal
    else:
        ratio = ours / reference
        goal_text = "<= %.1fx the %s" % (goal, _COST[MEASURE])
        met = ratio <= goal
    ROWS.append((module, label, against, ours, reference, ratio, goal_text, met))
    return ratio


def faster(module, label, ours, twin, namespace, at_least, setup="pass", **kw):
    """A row whose goal is: ours at least `at_least` times cheaper than the twin."""
    t_ours, t_twin = compare(ours, twin, namespace, setup, **kw)
    return row(module, label, "twin", t_ours, t_twin, at_least, True)


def within(module, label, ours, builtin, namespace, at_most, setup="pass", **kw):
    """A row whose goal is: ours at most `at_most` times the built-in's cost."""
    t_ours, t_builtin = compare(ours, builtin, namespace, setup, **kw)
    return row(module, label, "built-in", t_ours, t_builtin, at_most, False)


def report(markdown=False):
    """Prints the table; returns the number of goals missed."""
    missed = sum(1 for row in ROWS if not row[-1])
    if MEASURE == "instructions":
        unit, scale, cell = "instr", 1, "%.0f"
    else:
        unit, scale, cell = "us", 1e6, "%.3f"
    if markdown:
        print("| module | operation | against | ours (%s) | reference (%s) | ratio | goal | met |"
              % (unit, unit))
        print("|---|---|---|---:|---:|---:|---|---|")
        line = "| %s | `%s` | %s | " + cell + " | " + cell + " | %.2f | %s | %s |"
        for m, label, against, t_o, t_r, ratio, goal, ok in ROWS:
            print(line % (m, label, against, t_o * scale, t_r * scale, ratio, goal, "yes" if ok else "NO"))
    else:
        width = max([len(r[1]) for r in ROWS] + [10])
        print("%-10s %-*s %-8s %11s %11s %7s  %-18s %s" % (
            "module", width, "operation", "against", "ours(%s)" % unit, "ref(%s)" % unit, "ratio",
            "goal", "met"))
        line = "%-10s %-*s %-8s %11" + cell[1:] + " %11" + cell[1:] + " %7.2f  %-18s %s"
        for m, label, against, t_o, t_r, ratio, goal, ok in ROWS:
            print(line % (m, width, label, against, t_o * scale, t_r * scale, ratio, goal,
                          "yes" if ok else "NO"))
    print("%d of %d goals met" % (len(ROWS) - missed, len(ROWS)))
    return missed
