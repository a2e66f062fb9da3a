"""The leak check itself: it catches a leak of one object or one reference
per call, and does not take the interpreter's caches for one."""
import sys

import pytest

from support import MEASURED, assert_no_leak

pytestmark = pytest.mark.skipif(not MEASURED, reason="nothing to measure under the sanitizers")

kept = []


def leak_an_object():
    kept.append(object())


def leak_every_tenth(counter=[0]):
    counter[0] += 1
    if counter[0] % 10 == 0:
        kept.append(object())


def fresh_attribute_names(counter=[0]):
    # A new name string every call, as the import machinery makes: the
    # interpreter's method cache keeps them, and that is no leak of ours.
    counter[0] += 1
    getattr(int, "spec_for_%d" % counter[0], None)


@pytest.mark.parametrize("operation", [leak_an_object, leak_every_tenth])
@pytest.mark.parametrize("repeat", [50, 300, 2000])
def test_a_leak_is_caught(operation, repeat):
    try:
        with pytest.raises(AssertionError, match="grow every round"):
            assert_no_leak(operation, repeat=repeat, warmup=repeat)
    finally:
        kept.clear()


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="references are counted by debug builds")
def test_a_reference_leak_is_caught():
    import ctypes
    target = object()
    with pytest.raises(AssertionError, match="reference count grows"):
        assert_no_leak(lambda: ctypes.pythonapi.Py_IncRef(ctypes.py_object(target)), repeat=300)


@pytest.mark.parametrize("repeat", [50, 2000])
def test_the_interpreters_caches_are_no_leak(repeat):
    assert_no_leak(fresh_attribute_names, repeat=repeat, rounds=8, warmup=repeat)
