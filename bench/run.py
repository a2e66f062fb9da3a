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

MODULES = ["coffer", "configuration", "arbel", "sigil", "frayle", "logic", "tabulon"]


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
