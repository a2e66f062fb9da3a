"""Runs the benchmarks and prints the table of ratios.

    python bench/run.py [--markdown] [--strict] [MODULE ...]

--strict exits non-zero when a goal is missed.
"""
import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

# Every module that modules.txt lists has its script, bench_NAME.py.
with open(os.path.join(os.path.dirname(HERE), "modules.txt")) as f:
    MODULES = [line.strip() for line in f if line.strip() and not line.lstrip().startswith("#")]


def main(argv):
    markdown = "--markdown" in argv
    strict = "--strict" in argv
    chosen = [a for a in argv if not a.startswith("--")] or MODULES
    for name in chosen:
        importlib.import_module("bench_" + name).run()
    missed = harness.report(markdown=markdown)
    return 1 if strict and missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
