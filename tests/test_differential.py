"""The differential fuzzer's programs (tests/differential) run alike twice on
one build: what they print depends on nothing but the libraries, so that a
difference between the builds with and without fast paths (`make diff`) is
the libraries' and never the programs'."""
import os
import sys

import pytest

import orvane.tessel.coffer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "differential"))

import driver  # noqa: E402
import programs  # noqa: E402

# the build folder: its lib/ holds the package
BUILD = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    orvane.tessel.coffer.__file__)))))


@pytest.mark.differential
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_programs_print_the_same_twice(seed, capsys):
    assert driver.main(["--python", sys.executable, "--fast", BUILD, "--plain", BUILD,
                        "--count", "1", "--seed", str(seed)]) == 0
    assert "1 programs in" in capsys.readouterr().out


@pytest.mark.differential
def test_program_runs_its_steps():
    steps = programs.generate(7, 20)
    assert len(steps) == 23 and steps == programs.generate(7, 20)
    lines = driver.Build(sys.executable, BUILD).run(programs.program(steps))
    assert lines[-3:] == ["end", "--- stderr", "--- exit 0"]
    assert [l for l in lines if l[:1].isdigit()] == ["%d: %s" % item for item in enumerate(steps)]
