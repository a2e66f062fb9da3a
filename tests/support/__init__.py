"""What the test files share: the run's length (quick runs, fuzzing for a
while), the comparison of a native module with its pure-Python twin,
isolated runs in a fresh interpreter, test doubles, and the leak checks
(support.leaks)."""
import faulthandler
import os
import re
import subprocess
import sys
import textwrap
import time
from collections.abc import Mapping, MutableMapping

from hypothesis.stateful import run_state_machine_as_test

from support.leaks import (MEASURED, LeakCases, LeakChecks, assert_no_leak,  # noqa: F401
                           leak_threshold, raising, settled_heap)

# The whole suite on the primary interpreter (`make test`) runs property
# tests and fuzzers at their full length; every other run of it (other
# interpreters, the sanitizers) sets TESSEL_QUICK and runs a short, fixed
# number of examples of each.
QUICK = bool(os.environ.get("TESSEL_QUICK"))
QUICK_EXAMPLES = 25


def examples(count):
    """The number of examples a property test or fuzzer runs in this run."""
    return min(count, QUICK_EXAMPLES) if QUICK else count


# TESSEL_FUZZ_SECONDS=N runs each fuzzer again and again, fresh examples in
# every batch, until N seconds have passed; then one example that runs
# longer than HANG_SECONDS counts as a hang.
FUZZ_SECONDS = float(os.environ.get("TESSEL_FUZZ_SECONDS") or 0)
HANG_SECONDS = 60


def watch_for_hang():
    """In a long run, stops the process with every thread's traceback when
    the example that starts now is not over within HANG_SECONDS."""
    if FUZZ_SECONDS:
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)


def hang_watch_off():
    if FUZZ_SECONDS:
        faulthandler.cancel_dump_traceback_later()


def run_machine(machine, quick, long, seconds=None):
    """Runs the state machine once with the `quick` settings or, in a long
    run, batch after batch with the `long` settings until `seconds` (default
    FUZZ_SECONDS) have passed, and prints how many examples (counted in
    `machine.examples`) it ran."""
    if not FUZZ_SECONDS:
        run_state_machine_as_test(machine, settings=quick)
        return
    seconds = FUZZ_SECONDS if seconds is None else seconds
    machine.examples = 0
    started = time.monotonic()
    try:
        while time.monotonic() - started < seconds:
            run_state_machine_as_test(machine, settings=long)
    finally:
        faulthandler.cancel_dump_traceback_later()
    print("\n%s: %d examples in %.0f s" % (machine.__name__, machine.examples, time.monotonic() - started))


# ---------------------------------------------------------------- native against twin

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def unaddressed(text):
    """`text` (or an exception's) without the addresses that objects' default
    representations hold, which differ between the implementations' objects."""
    return ADDRESS.sub("0x", str(text))


def outcome(operation, result=None, message=str):
    """What `operation` does, as data that compares between a native module
    and its twin: ("ok", what it returns, passed through `result`), or
    ("raised", the exception's type name, `message(exception)`); where
    `message` gives None, ("raised", the type name) alone."""
    try:
        value = operation()
        return ("ok", value if result is None else result(value))
    except Exception as e:  # noqa: BLE001 - compared between implementations
        text = message(e)
        return ("raised", type(e).__name__) if text is None else ("raised", type(e).__name__, text)


RECURSED = ("raised", "RecursionError")


def depth_untold(message=str):
    """An outcome() `message` that leaves out a RecursionError's text: the
    two implementations meet the limit in different calls."""
    return lambda e: None if isinstance(e, RecursionError) else message(e)


def on_both(scenario, sides, **options):
    """Runs `scenario(side, log)` for each of `sides` (the native module's
    object and the twin's), each with a fresh log; returns the (outcome, log)
    pairs.  `options` go to outcome()."""
    results = []
    for side in sides:
        log = []
        results.append((outcome(lambda: scenario(side, log), **options), log))
    return results


def assert_same(scenario, sides, **options):
    """on_both(), and both sides must agree; returns the native side's pair."""
    mine, theirs = on_both(scenario, sides, **options)
    assert mine == theirs
    return mine


def plain(value):
    """Nested mappings as (class name, plain dict) pairs, callables (methods
    that attribute reads find) by name: states that compare between the
    implementations."""
    if isinstance(value, Mapping):
        return (type(value).__name__, {k: plain(v) for k, v in value.items()})
    if callable(value):
        return ("callable", getattr(value, "__name__", None))
    return value


def snapshot(value, own=()):
    """`value` as data to compare without calling back into it: a dict as its
    class name and items in order (hostile keys are not hashed again), a list
    or tuple as its class name and elements, an instance of a class in `own`
    as its class name and representation, anything else by its
    representation, addresses left out."""
    if isinstance(value, own):
        return (type(value).__name__, repr(value))
    if isinstance(value, dict):
        return (type(value).__name__, [(snapshot(k, own), snapshot(v, own)) for k, v in dict.items(value)])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [snapshot(v, own) for v in value])
    return unaddressed(repr(value))


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


class DictBacked(MutableMapping):
    """A MutableMapping over the dict `self.data`: the base of test doubles
    that misbehave in a method or two."""

    def __init__(self, data=None):
        self.data = {} if data is None else data

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)
