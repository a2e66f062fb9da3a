import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
# The shared support module, and the pure-Python twins (`from twins import
# coffer`), which the benchmarks use too.
sys.path.insert(0, HERE)
sys.path.append(os.path.join(os.path.dirname(HERE), "bench"))

from hypothesis import HealthCheck, settings  # noqa: E402

from support import LeakCases, settled_heap  # noqa: E402


# Examples that overrun hypothesis's size limit are dropped and others drawn;
# in short runs (TESSEL_QUICK) a few large strategies then fail that health
# check by chance, which says nothing about the code under test.
settings.register_profile("tessel", suppress_health_check=[HealthCheck.data_too_large])
settings.load_profile("tessel")


@pytest.fixture(autouse=True, scope="module")
def _settled_heap():
    """Each test file runs with what the session made before it frozen out of
    the cycle collector's reach: tests that collect often then pay for their
    own objects only (the whole suite's heap made them ten times slower)."""
    with settled_heap():
        yield


def pytest_generate_tests(metafunc):
    """Each case of a LeakCases class is a test of its own, named after it."""
    cls = metafunc.cls
    if cls is not None and issubclass(cls, LeakCases) and "leak_case" in metafunc.fixturenames:
        names = list(cls.leak_cases())
        metafunc.parametrize("leak_case", names, ids=names)


def pytest_configure(config):
    config.addinivalue_line("markers", "packaging: builds and installs the package in fresh environments")
    config.addinivalue_line("markers", "differential: runs the differential fuzzer's programs in subprocesses")
    # Debian's pytest rewrites assertions with AST node classes that 3.12 and
    # later deprecate; those warnings are about pytest, not about these tests.
    config.addinivalue_line("filterwarnings", r"ignore:ast\.\w+ is deprecated:DeprecationWarning")
    config.addinivalue_line("filterwarnings", r"ignore:Attribute \w+ is deprecated:DeprecationWarning")
