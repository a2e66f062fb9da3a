"""Runs the benchmarks and prints the table of ratios.

    python bench/run.py [--count=time|instructions] [--markdown] [--strict] [MODULE ...]

--count=instructions counts instructions per operation with valgrind's
callgrind instead of timing (the process starts itself again under valgrind);
--strict exits non-zero when a goal is missed.
"""
import importlib
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

# Every module that modules.txt lists has its script, bench_NAME.py.
with open(os.path.join(os.path.dirname(HERE), "modules.txt")) as f:
    MODULES = [line.strip() for line in f if line.strip() and not line.lstrip().startswith("#")]


def under_valgrind(argv):
    """Runs this script again under callgrind, collecting nothing until the
    harness asks; returns its exit status."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        sys.exit("run.py: --count=instructions needs valgrind (make bench installs it)")
    with tempfile.TemporaryDirectory(prefix="tessel-bench-") as folder:
        # A fixed hash seed: the dicts and sets probe alike on every run.
        env = dict(os.environ, TESSEL_BENCH_DUMPS=folder, PYTHONHASHSEED="0")
        command = [valgrind, "--tool=callgrind", "--collect-atstart=no", "-q",
                   "--callgrind-out-file=" + os.path.join(folder, "callgrind.out"),
                   sys.executable, os.path.abspath(__file__)] + argv
        return subprocess.call(command, env=env)


def main(argv):
    markdown = "--markdown" in argv
    strict = "--strict" in argv
    measure = "time"
    for arg in argv:
        if arg.startswith("--count="):
            measure = arg.split("=", 1)[1]
            if measure not in ("time", "instructions"):
                sys.exit("run.py: --count takes time or instructions, not %r" % measure)
    if measure == "instructions":
        import _counter
        if not _counter.on_valgrind():
            return under_valgrind(argv)
    harness.MEASURE = measure
    chosen = [a for a in argv if not a.startswith("--")] or MODULES
    for name in chosen:
        importlib.import_module("bench_" + name).run()
    missed = harness.report(markdown=markdown)
    return 1 if strict and missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
