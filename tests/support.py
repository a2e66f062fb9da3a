"""Helpers shared by the test files: leak checks and isolated runs."""
import gc
import os
import subprocess
import sys
import textwrap


def assert_no_leak(operation, repeat=2000, rounds=4):
    """Runs `operation` `repeat` times per round and fails when every round
    leaves more allocated blocks than the one before (a warm-up round first).

    The interpreter's own caches make single deltas noisy; a real leak grows
    the count in every round.
    """
    def one_round():
        for _ in range(repeat):
            operation()
        gc.collect()
        return sys.getallocatedblocks()

    one_round()
    one_round()
    counts = [one_round() for _ in range(rounds + 1)]
    # Each count is an int object that stays alive in `counts`: one block.
    deltas = [b - a - 1 for a, b in zip(counts, counts[1:])]
    assert not all(d >= 1 for d in deltas), (
        "allocated blocks grow every round: %r" % (deltas,))


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
