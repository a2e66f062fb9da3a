"""Helpers shared by the test files: leak checks and isolated runs."""
import contextlib
import functools
import gc
import os
import subprocess
import sys
import textwrap


def _counts():
    # The interpreter's method cache keeps the last attribute name looked up
    # in each of its slots alive, so a run that looks up freshly made names
    # (import machinery does) fills it for thousands of calls; it is the
    # interpreter's, not the operation's, and is emptied before each count.
    sys._clear_type_cache()
    gc.collect()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), refs


# The whole suite on the primary interpreter (`make test`) runs property
# tests and fuzzers at their full length; every other run of it (other
# interpreters, the sanitizers) sets TESSEL_QUICK and runs a short, fixed
# number of examples of each.
QUICK = bool(os.environ.get("TESSEL_QUICK"))
QUICK_EXAMPLES = 25


def examples(count):
    """The number of examples a property test or fuzzer runs in this run."""
    return min(count, QUICK_EXAMPLES) if QUICK else count


_settled = [0]


@contextlib.contextmanager
def settled_heap():
    """Moves every object alive now out of the cycle collector's reach while
    the block runs, so that a collection inside it costs what was made since,
    not the whole test session's heap.  Blocks nest; garbage made before the
    block is collected first, and what the block leaves behind is collectable
    again after it."""
    gc.collect()
    gc.freeze()
    _settled[0] += 1
    try:
        yield
    finally:
        _settled[0] -= 1
        gc.unfreeze()
        if _settled[0]:
            gc.freeze()


# Under the sanitizers the interpreter allocates with plain malloc and keeps no
# count of blocks; a release build keeps no count of references.  With neither
# there is nothing to measure: the checks then only run each operation a few
# times, which is all the sanitizers need to see what it does wrong.
MEASURED = sys.getallocatedblocks() > 0 or hasattr(sys, "gettotalrefcount")


def assert_no_leak(operation, repeat=2000, rounds=4, warmup=None):
    """Runs `operation` `repeat` times per round and fails when every round
    leaves more allocated blocks (or, on a debug interpreter, more references)
    than the round before.

    A no-op measured the same way gives the harness's own share, which is
    subtracted.  The interpreter's caches make single deltas noisy; a real leak
    grows the counts in every round.  `warmup` calls (default: two rounds)
    come first, to fill caches, free lists and interned names.

    What lives before the check is frozen out of the cycle collector's reach
    meanwhile, so that the collection after each round costs only what the
    operation made.
    """
    if warmup is None:
        warmup = 2 * repeat
    if not MEASURED:
        for _ in range(min(repeat, 50)):
            operation()
        return

    def deltas(op):
        for _ in range(warmup):
            op()
        before = _counts()
        found = []
        for _ in range(rounds):
            for _ in range(repeat):
                op()
            after = _counts()
            found.append((after[0] - before[0], after[1] - before[1]))
            before = after
        return found

    def noop():
        pass
    with settled_heap():
        base = deltas(noop)
        measured = deltas(operation)
    blocks = [m[0] - b[0] for m, b in zip(measured, base)]
    refs = [m[1] - b[1] for m, b in zip(measured, base)]
    # A leak of one object (or one reference) in every tenth call of
    # `operation` or more often grows every round by at least this much;
    # what the interpreter's own caches and free lists still settle after the
    # warm-up stays below it in some round.
    least = leak_threshold(repeat)
    assert not all(d >= least for d in blocks), "allocated blocks grow every round: %r" % (blocks,)
    assert not all(d >= least for d in refs), "total reference count grows every round: %r" % (refs,)


def leak_threshold(repeat):
    """The growth per round of `repeat` calls that counts towards a leak."""
    return max(1, repeat // 10)


def raising(operation, exc_type):
    """Wraps `operation` so that it must raise `exc_type`; for leak checks of
    failing calls.  The wrapper takes the arguments `operation` takes."""
    @functools.wraps(operation)
    def run(*args):
        try:
            operation(*args)
        except exc_type:
            return
        raise AssertionError("%r did not raise %s" % (operation, exc_type.__name__))
    run.expects = exc_type
    return run


def run_isolated(code, timeout=120, extra_env=None):
    """Runs `code` in a fresh interpreter with the same module path.

    Returns the CompletedProcess; a crash shows as a negative return code.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if extra_env:
        env.update(extra_env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def assert_recursion_error(code, timeout=120):
    """`code` must end in RecursionError, not in a crash or a hang."""
    proc = run_isolated(code, timeout=timeout)
    assert proc.returncode >= 0, "crashed with signal %d: %s" % (-proc.returncode, proc.stderr[-2000:])
    assert "RecursionError" in proc.stderr + proc.stdout, proc.stderr[-2000:]


class Replaces:
    """An instance-dict key with the hash of `name`, met by the lookup of
    `name` first: its comparison replaces the instance dict that the lookup
    is in (freeing it, unless the lookup holds it)."""

    def __init__(self, name, fresh):
        self.obj, self.name, self.fresh = None, name, fresh

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.obj is not None:
            obj, self.obj = self.obj, None
            obj.__dict__ = self.fresh
        return False
