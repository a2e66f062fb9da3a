"""Helpers shared by the test files: leak checks and isolated runs."""
import gc
import os
import subprocess
import sys
import textwrap


def _counts():
    gc.collect()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), refs


def assert_no_leak(operation, repeat=2000, rounds=4):
    """Runs `operation` `repeat` times per round and fails when every round
    leaves more allocated blocks (or, on a debug interpreter, more references)
    than the round before.

    A no-op measured the same way gives the harness's own share, which is
    subtracted.  The interpreter's caches make single deltas noisy; a real leak
    grows the counts in every round.
    """
    def deltas(op):
        for _ in range(2 * repeat):  # warm-up: caches, free lists, interned names
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
    base = deltas(noop)
    measured = deltas(operation)
    blocks = [m[0] - b[0] for m, b in zip(measured, base)]
    refs = [m[1] - b[1] for m, b in zip(measured, base)]
    # A leak in one call of `operation` out of 200 or more grows every round
    # by at least this much; the interpreter's own caches settle below it.
    least = max(1, repeat // 200)
    assert not all(d >= least for d in blocks), "allocated blocks grow every round: %r" % (blocks,)
    assert not all(d >= least for d in refs), "total reference count grows every round: %r" % (refs,)


def raising(operation, exc_type):
    """Wraps `operation` so that it must raise `exc_type`; for leak checks of
    failing calls."""
    def run():
        try:
            operation()
        except exc_type:
            return
        raise AssertionError("%r did not raise %s" % (operation, exc_type.__name__))
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
