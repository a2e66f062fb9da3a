"""Leak checks: `assert_no_leak` runs an operation round after round and
fails when every round leaves more behind; `settled_heap` keeps the rest of
the session's heap out of the cycle collector's way meanwhile (test_leaks.py,
beside this file, checks the check).  Every public operation of a module is
checked, succeeding and failing.

Each module's tests hold one subclass of `LeakChecks`:

    class TestLeaks(LeakChecks):
        module = frayle_module
        exempt = {"Frayle.something": "why it needs no check"}

        @staticmethod
        def cases():
            lst = Frayle([a])
            yield "Frayle.append", lambda: (lst.append(a), lst.pop())
            yield "Frayle.append: not weakly referenceable", raising(lambda: lst.append(5), TypeError)
            yield "Frayle.sort", lambda: lst.sort(), {"repeat": 300}

`cases` yields (name, operation) or (name, operation, options for
`assert_no_leak`); each case is a test of its own, named after the case
(conftest.py parametrizes `test_no_leak` with the names).  An operation
wrapped in `raising` is a failing case.  An operation that is a Python
function with parameters that have no default gets the fixtures of those
names (parameters with defaults are a handy way to give each case objects of
its own).  The text of a name up to its first colon is the
public operation it checks: a module function, a class (its construction), or
"Class.member".  Operations should leave their objects as they found them, so
that each round repeats the same work.

`test_every_public_operation_is_checked` then lists the module's public
operations (see `public_operations`) and fails for every one that lacks a
succeeding or a failing case, unless `exempt` names it with the reason:
"Op" needs no case at all, "Op: succeeding" or "Op: failing" needs no case of
that kind.  It also fails for case names that name no operation and for
exemptions that are not needed.  `LeakCases` is the same without that test,
for further cases of a module held in another file (hostile input, say).
"""
import contextlib
import functools
import gc
import inspect
import sys


def _counts():
    # The interpreter's method cache keeps the last attribute name looked up
    # in each of its slots alive, so a run that looks up freshly made names
    # (import machinery does) fills it for thousands of calls; it is the
    # interpreter's, not the operation's, and is emptied before each count.
    sys._clear_type_cache()
    gc.collect()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return sys.getallocatedblocks(), refs


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


# Members of a class that are no operations of its own.
_NOT_OPERATIONS = {"__doc__", "__module__", "__qualname__", "__dict__", "__weakref__",
                   "__slots__", "__abstractmethods__"}


def public_operations(module):
    """The names of the public operations that `module` defines: its
    functions and classes (construction), and for each class every method,
    property or other descriptor that the class itself defines, protocol
    methods included; __init__ and __new__ count as the construction."""
    found = set()
    for value in vars(module).values():
        name = getattr(value, "__name__", "")
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if not callable(value):
            continue
        found.add(name)
        if not isinstance(value, type):
            continue
        for member, attribute in vars(value).items():
            if member in _NOT_OPERATIONS or member in ("__init__", "__new__"):
                continue
            if member.startswith("_") and not (member.startswith("__") and member.endswith("__")):
                continue
            if attribute is None or not (callable(attribute) or hasattr(type(attribute), "__get__")):
                continue
            found.add("%s.%s" % (name, member))
    return found


def operation_of(case_name):
    return case_name.split(":", 1)[0].strip()


class Case:
    def __init__(self, operation, options):
        self.operation = operation
        self.options = options
        plain = inspect.unwrap(operation)  # through `raising`
        params = inspect.signature(plain).parameters.values() if inspect.isfunction(plain) else ()
        self.fixtures = [p.name for p in params if p.default is p.empty]
        self.expects = getattr(operation, "expects", None)


class LeakCases:
    """Runs each case that `cases` yields through `assert_no_leak`."""

    @staticmethod
    def cases():
        return ()

    @classmethod
    def leak_cases(cls):
        """The cases by name, made once per class."""
        made = cls.__dict__.get("_made_cases")
        if made is None:
            made = {}
            for name, operation, *options in cls.cases():
                assert name not in made, "two leak cases are named %r" % name
                assert len(options) <= 1, "case %r: name, operation and one dict of options" % name
                made[name] = Case(operation, options[0] if options else {})
            cls._made_cases = made
        return made

    def test_no_leak(self, leak_case, request):
        case = self.leak_cases()[leak_case]
        operation = case.operation
        if case.fixtures:
            values = [request.getfixturevalue(name) for name in case.fixtures]

            def operation(run=case.operation):
                return run(*values)
        assert_no_leak(operation, **case.options)


class LeakChecks(LeakCases):
    """`LeakCases` for one module, with the test that each of its public
    operations has a succeeding and a failing case."""

    module = None
    exempt = {}  # "Op", "Op: succeeding" or "Op: failing": why no such case is needed

    def test_every_public_operation_is_checked(self):
        operations = public_operations(self.module)
        kinds = {"succeeding": set(), "failing": set()}
        for name, case in self.leak_cases().items():
            kinds["failing" if case.expects else "succeeding"].add(operation_of(name))
        problems = ["case %r checks no public operation" % name
                    for name in self.leak_cases() if operation_of(name) not in operations]
        for op in sorted(operations):
            for kind, checked in kinds.items():
                exempt = op in self.exempt or "%s: %s" % (op, kind) in self.exempt
                if exempt and op in checked:
                    problems.append("%s is exempt from %s cases but has one" % (op, kind))
                elif not exempt and op not in checked:
                    problems.append("%s has no %s case" % (op, kind))
        problems += ["exemption %r names no public operation and kind" % key for key in sorted(self.exempt)
                     if operation_of(key) not in operations or key.partition(":")[2].strip() not in ("", *kinds)]
        assert not problems, "\n".join(problems)
