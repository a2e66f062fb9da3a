"""Copies, deep copies and pickles of attribute dictionaries keep the
attribute view bound to the entries, at every level and for every class."""
import copy
import pickle

import pytest

from orvane.tessel.coffer import Coffer, NestedCoffer
from orvane.tessel.configuration import Configuration

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def pickled(obj, protocol=pickle.HIGHEST_PROTOCOL):
    return pickle.loads(pickle.dumps(obj, protocol))


COPIERS = [("copy", copy.copy), ("deepcopy", copy.deepcopy)] + [
    ("pickle%d" % p, (lambda p: lambda o: pickled(o, p))(p)) for p in PROTOCOLS]


def assert_bound(obj):
    assert obj.__dict__ is obj
    obj.fresh = 1
    assert obj["fresh"] == 1
    del obj.fresh
    assert "fresh" not in obj


@pytest.mark.parametrize("cls", [Coffer, NestedCoffer, Configuration])
@pytest.mark.parametrize("name, copier", COPIERS, ids=[c[0] for c in COPIERS])
def test_copies_keep_the_attribute_view(cls, name, copier):
    original = cls({"a": 1, "level": {"b": 2}})
    duplicate = copier(original)
    assert type(duplicate) is cls and duplicate == original and duplicate is not original
    assert_bound(duplicate)
    level = duplicate["level"]
    assert type(level) is type(original["level"])
    if isinstance(level, Coffer):
        assert_bound(level)
    if name == "copy":
        assert level is original["level"]
    else:
        assert level is not original["level"]
    assert_bound(original)  # the original is untouched


def test_copies_of_subclasses_keep_their_class():
    class Settings(Configuration):
        pass
    s = Settings(db={"port": 5432})
    for duplicate in (copy.copy(s), copy.deepcopy(s)):
        assert type(duplicate) is Settings and type(duplicate.db) is Settings
        assert_bound(duplicate)


@pytest.mark.parametrize("copier", [copy.deepcopy, pickled])
def test_a_coffer_that_contains_itself(copier):
    c = NestedCoffer(a=1)
    c["me"] = c
    duplicate = copier(c)
    assert duplicate["me"] is duplicate and duplicate.a == 1
    assert_bound(duplicate)


def test_entries_come_back_as_stored():
    # No value conversion and no dotted-key splitting on the way back.
    cfg = Configuration()
    cfg.raw = "007"                    # attribute writes store unconverted
    setattr(cfg, "x.y", 1)             # a key that holds a dot, stored as one key
    for duplicate in (copy.copy(cfg), copy.deepcopy(cfg), pickled(cfg)):
        assert duplicate["raw"] == "007"
        assert dict.__contains__(duplicate, "x.y") and "x" not in dict.keys(duplicate)


def test_dir_lists_string_keys_and_ignores_others():
    c = Coffer({"name": 1, 2: "two", (3, 4): "pair"})
    names = dir(c)
    assert "name" in names and "keys" in names and "__init__" in names
    assert all(isinstance(n, str) for n in names)
    assert names == sorted(names)
    n = NestedCoffer({1: {"x": 1}, "level": {}})
    assert "level" in dir(n) and "update" in dir(n)
