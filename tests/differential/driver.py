#!/usr/bin/env python3
"""Runs random programs on two builds of the libraries and compares what they
print.

    driver.py --python PY --fast BUILD --plain BUILD [--seconds N | --count N]
              [--seed N] [--keep-going] [--show SEED]

BUILD is a build folder (its lib/ and pydeps/ and the tree's platform/ go on
PYTHONPATH).  The builds with and without fast paths must print the same
transcript for every program; a crash (signal) or hang counts as output too.
Seeds are drawn from a base seed printed at the start; TESSEL_DIFF_SEED
(or --seed) sets it again to rerun the same programs.  TESSEL_DIFF_SECONDS
(or --seconds) is the time budget.  On a mismatch the driver shrinks the
program to fewer steps that still differ, prints it as a standalone script
with the first differing lines, and fails; --keep-going (or
TESSEL_DIFF_KEEP_GOING=1) reports every mismatch and exits 0.
--show SEED prints the program of that seed.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import programs  # noqa: E402

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
TIMEOUT = 60   # seconds a program may take


class Build(object):
    def __init__(self, python, folder):
        self.python = python
        self.folder = os.path.abspath(folder)
        self.path = os.pathsep.join([os.path.join(self.folder, "lib"), os.path.join(ROOT, "platform"),
                                     os.path.join(self.folder, "pydeps")])

    def run(self, source):
        """The normalized transcript of the program `source`."""
        with tempfile.NamedTemporaryFile("w", suffix=".py", prefix="tessel-diff-", delete=False) as f:
            f.write(source)
        env = dict(os.environ, PYTHONPATH=self.path, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
        try:
            proc = subprocess.run([self.python, "-X", "faulthandler", f.name], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=TIMEOUT)
            out, err, status = proc.stdout, proc.stderr, proc.returncode
        except subprocess.TimeoutExpired as exc:
            out, err, status = exc.stdout or b"", exc.stderr or b"", "timeout"
        finally:
            os.unlink(f.name)
        text = out.decode("utf-8", "replace") + "\n".join(
            ["--- stderr"] + err.decode("utf-8", "replace").splitlines() + ["--- exit %s" % status])
        text = text.replace(self.folder, "BUILD").replace(f.name, "PROGRAM")
        return ADDRESS.sub("0x?", text).splitlines()


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return None if len(a) == len(b) else min(len(a), len(b))


def differs(fast, plain, steps):
    source = programs.program(steps)
    a, b = fast.run(source), plain.run(source)
    return first_difference(a, b) is not None, a, b


def shrink(fast, plain, steps, budget):
    """Fewer steps that still make the builds differ: drops runs of steps,
    halves first, while the difference stays (within `budget` seconds)."""
    deadline = time.monotonic() + budget
    chunk = max(1, len(steps) // 2)
    while chunk >= 1 and time.monotonic() < deadline:
        i = len(steps) - chunk
        while i >= 0 and time.monotonic() < deadline:
            trial = steps[:i] + steps[i + chunk:]
            if differs(fast, plain, trial)[0]:
                steps = trial
            i -= chunk
        chunk //= 2
    return steps


def report(seed, steps, a, b, folder):
    """Prints the steps and the first differing lines; the whole program
    goes to a file in `folder`."""
    i = first_difference(a, b)
    # the step that the first differing line belongs to
    step = next((line for line in reversed(a[:i + 1]) if re.match(r"\d+: ", line)), "(before the steps)")
    path = os.path.join(folder, "diff-%d.py" % seed)
    with open(path, "w") as f:
        f.write(programs.program(steps))
    print("=" * 70)
    print("MISMATCH: seed %d, at %s" % (seed, step))
    print("the program: %s (prelude.py, then these steps):" % path)
    print(programs.steps_text(steps), end="")
    print("--- first differing lines: fast | plain ---")
    for line in a[max(0, i - 2):i + 4]:
        print("fast : " + line)
    for line in b[max(0, i - 2):i + 4]:
        print("plain: " + line)
    print("=" * 70, flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--fast", default=os.path.join(ROOT, "build"))
    parser.add_argument("--plain", default=os.path.join(ROOT, "build-nofast"))
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("TESSEL_DIFF_SECONDS", 90)))
    parser.add_argument("--count", type=int, default=0, help="programs to run (instead of a time budget)")
    parser.add_argument("--steps", type=int, default=60, help="steps a program")
    parser.add_argument("--seed", type=int, default=int(os.environ.get("TESSEL_DIFF_SEED") or
                                                         random.SystemRandom().randrange(1 << 32)))
    parser.add_argument("--keep-going", action="store_true", default=os.environ.get("TESSEL_DIFF_KEEP_GOING") == "1")
    parser.add_argument("--shrink-seconds", type=float, default=60)
    parser.add_argument("--skip", default=os.environ.get("TESSEL_DIFF_SKIP", ""),
                        help="kinds of step to leave out, comma-separated (see programs.Generator.KINDS)")
    parser.add_argument("--show", type=int, metavar="SEED")
    parser.add_argument("--out", default=tempfile.gettempdir(), help="folder for the programs that differ")
    args = parser.parse_args(argv)
    skip = [kind for kind in args.skip.split(",") if kind]
    unknown = set(skip) - set(programs.Generator.KINDS)
    if unknown:
        parser.error("no such kind of step: %s" % ", ".join(sorted(unknown)))
    if args.show is not None:
        print(programs.program(programs.generate(args.show, args.steps, skip)), end="")
        return 0
    fast, plain = Build(args.python, args.fast), Build(args.python, args.plain)
    print("differential: base seed %d (TESSEL_DIFF_SEED=%d reruns it); %s against %s"
          % (args.seed, args.seed, fast.folder, plain.folder), flush=True)
    seeds = random.Random(args.seed)
    started = time.monotonic()
    runs = mismatches = 0
    seen = set()    # the shrunk programs reported so far
    while (runs < args.count) if args.count else (time.monotonic() - started < args.seconds):
        seed = seeds.randrange(1 << 32)
        steps = programs.generate(seed, args.steps, skip)
        runs += 1
        found, a, b = differs(fast, plain, steps)
        if not found:
            continue
        mismatches += 1
        small = shrink(fast, plain, steps, args.shrink_seconds)
        found, a2, b2 = differs(fast, plain, small)
        if found:
            steps, a, b = small, a2, b2
        if tuple(steps) in seen:
            print("MISMATCH: seed %d, the same as an earlier one" % seed, flush=True)
        else:
            seen.add(tuple(steps))
            report(seed, steps, a, b, args.out)
        if not args.keep_going:
            break
    took = time.monotonic() - started
    print("differential: %d programs in %.0f s (%.0f a minute), %d with the builds differing"
          % (runs, took, runs * 60 / max(took, 1e-9), mismatches))
    return 1 if mismatches and not args.keep_going else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
