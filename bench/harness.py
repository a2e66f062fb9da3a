"""The benchmark harness: times statements with timeit and prints ratios.

Every row compares one statement on our classes with a reference statement
(a pure-Python twin, or the built-in operation that bounds it), measured
alternately in the same run; the best of several repeats is kept for each.
Absolute times on shared machines are noise; the ratios are the figures.
"""
import gc
import timeit

ROWS = []


def _per_call(timer, number):
    gc.collect()
    return timer.timeit(number) / number


def compare(ours, reference, namespace, setup="pass", repeat=7, min_time=0.05):
    """Best time per call of `ours` and of `reference` (statements as text)."""
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


def faster(module, label, ours, twin, namespace, at_least, setup="pass", **kw):
    """A row whose goal is: ours at least `at_least` times faster than the twin."""
    t_ours, t_twin = compare(ours, twin, namespace, setup, **kw)
    ratio = t_twin / t_ours
    ROWS.append((module, label, "twin", t_ours, t_twin, ratio, ">= %.1fx faster" % at_least,
                 ratio >= at_least))
    return ratio


def within(module, label, ours, builtin, namespace, at_most, setup="pass", **kw):
    """A row whose goal is: ours at most `at_most` times the built-in's time."""
    t_ours, t_builtin = compare(ours, builtin, namespace, setup, **kw)
    ratio = t_ours / t_builtin
    ROWS.append((module, label, "built-in", t_ours, t_builtin, ratio,
                 "<= %.1fx the time" % at_most, ratio <= at_most))
    return ratio


def report(markdown=False):
    """Prints the table; returns the number of goals missed."""
    missed = sum(1 for row in ROWS if not row[-1])
    if markdown:
        print("| module | operation | against | ours (us) | reference (us) | ratio | goal | met |")
        print("|---|---|---|---:|---:|---:|---|---|")
        for m, label, against, t_o, t_r, ratio, goal, ok in ROWS:
            print("| %s | `%s` | %s | %.3f | %.3f | %.2f | %s | %s |" % (
                m, label, against, t_o * 1e6, t_r * 1e6, ratio, goal, "yes" if ok else "NO"))
    else:
        width = max([len(r[1]) for r in ROWS] + [10])
        print("%-10s %-*s %-8s %11s %11s %7s  %-18s %s" % (
            "module", width, "operation", "against", "ours(us)", "ref(us)", "ratio", "goal", "met"))
        for m, label, against, t_o, t_r, ratio, goal, ok in ROWS:
            print("%-10s %-*s %-8s %11.3f %11.3f %7.2f  %-18s %s" % (
                m, width, label, against, t_o * 1e6, t_r * 1e6, ratio, goal, "yes" if ok else "NO"))
    print("%d of %d goals met" % (len(ROWS) - missed, len(ROWS)))
    return missed
