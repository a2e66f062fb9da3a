# The fixed start of every generated program: the objects and classes the
# steps use, the helpers that change and restore what the libraries look up,
# and `run`, which executes the steps and prints the transcript.  A program is
# this text, then `STEPS = [...]` and `run(STEPS)`.
import abc
import builtins
import collections
import collections.abc
import _collections_abc
import configparser
import gc
import itertools
import logging
import os
import os.path
import re
import sys
import tempfile
import types
import weakref

import yaml

from orvane.tessel import arbel, coffer, configuration, frayle, logic, sigil, tabulon
from orvane.tessel.arbel import Arbel
from orvane.tessel.coffer import Coffer, NestedCoffer
from orvane.tessel.configuration import Configuration
from orvane.tessel.frayle import Frayle
from orvane.tessel.logic import And, Not, Or, logic_str
from orvane.tessel.sigil import SigilDescriptor
from orvane.tessel.tabulon import DictItem, IndexMarker, Tabulon

from collections import UserList
from collections.abc import Mapping, MutableMapping

# The transcript's own tools, taken before any step can replace a builtin.
_print, _repr, _type, _len, _list, _sorted = print, repr, type, len, list, sorted
_isinstance, _getattr, _setattr, _delattr, _vars = isinstance, getattr, setattr, delattr, vars
_BaseException, _str, _dict, _enumerate = BaseException, str, dict, enumerate
_compile, _exec, _eval, _collect = compile, exec, eval, gc.collect
_MISSING = object()

# Every call through a spy is logged here; `run` prints what a step added.
LOG = []


def spy(label, target):
    """A stand-in for `target` that logs each call and passes it on."""
    def spied(*args, **kwargs):
        LOG.append(label)
        return target(*args, **kwargs)
    spied.__name__ = spied.__qualname__ = "spy_" + label.replace(".", "_")
    return spied


def spy_method(label, owner, name):
    """A method for a subclass of `owner` that logs each call and runs the
    method that `owner` has at the time of the call."""
    def spied(self, *args, **kwargs):
        LOG.append(label)
        return _getattr(owner, name)(self, *args, **kwargs)
    spied.__name__ = spied.__qualname__ = name
    return spied


_SAVED = {}


def _home(owner, name):
    """The dict that holds owner.name, or None for other attributes."""
    if name != "__class__" and _isinstance(owner, (type, types.ModuleType)):
        return owner.__dict__
    return None


def _keep(owner, name):
    key = (_repr(owner), name)
    if key not in _SAVED:
        home = _home(owner, name)
        _SAVED[key] = (owner, home.get(name, _MISSING) if home is not None
                       else _getattr(owner, name, _MISSING))


def mutate(owner, name, value):
    """Sets owner.name (a class's or module's own entry, or an attribute),
    keeping what was there first for `restore`."""
    _keep(owner, name)
    _setattr(owner, name, value)


def strip(owner, name):
    """Deletes owner.name, keeping it for `restore`."""
    _keep(owner, name)
    _delattr(owner, name)


def restore(owner, name):
    saved = _SAVED.pop((_repr(owner), name), None)
    if saved is None:
        return
    if saved[1] is _MISSING:
        if name in (_home(owner, name) or ()):
            _delattr(owner, name)
    else:
        _setattr(owner, name, saved[1])


def restore_all():
    for key in _list(_SAVED)[::-1]:
        restore(_SAVED[key][0], key[1])


def twin_module(module, **changes):
    """A new module with `module`'s entries, some of them changed."""
    twin = types.ModuleType(module.__name__)
    twin.__dict__.update(module.__dict__)
    twin.__dict__.update(changes)
    return twin


class Obj(object):
    """An item for the weak lists, named so that its repr is stable."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "Obj(%s)" % self.name


O = {i: Obj(i) for i in range(6)}


def free(i):
    """Drops the program's own reference to O[i]."""
    O.pop(i, None)
    _collect()


def d_through(s, o, t=None):
    return s if o is None else _vars(o).get(s.name, "no " + s.name)


class D(object):
    """A descriptor whose class gains and loses __get__/__set__/__delete__;
    at first it reads the instance's own entry of its name."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "D(%s)" % self.name

    __get__ = d_through


def d_store(s, o, v):
    _vars(o)[s.name] = v


def d_drop(s, o):
    _vars(o).pop(s.name, None)


class Meta(abc.ABCMeta):
    """The metaclass of the M* subclasses; steps give it methods."""


class PlainMap(object):
    """A mapping by registration only (collections.abc.Mapping.register)."""

    def __init__(self, items):
        self._items = _dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return _len(self._items)

    def keys(self):
        return self._items.keys()

    def items(self):
        return self._items.items()

    def __repr__(self):
        return "PlainMap(%r)" % (self._items,)


class SwappedModule(types.ModuleType):
    """A module class with a property and a __getattr__, for module.__class__."""

    @property
    def ref(self):
        LOG.append("module.ref")
        return self.__dict__["ref"]

    @property
    def chain(self):
        LOG.append("module.chain")
        return self.__dict__["chain"]

    @property
    def Mapping(self):
        LOG.append("module.Mapping")
        return self.__dict__["Mapping"]

    def __getattr__(self, name):
        LOG.append("module.__getattr__ " + name)
        raise AttributeError(name)


class SubCoffer(Coffer):
    pass


class SubNested(NestedCoffer):
    pass


class MNested(NestedCoffer, metaclass=Meta):
    pass


class SubConf(Configuration):
    pass


class SubTab(Tabulon):
    pass


class SubFrayle(Frayle):
    pass


class MFrayle(Frayle, metaclass=Meta):
    pass


class SubAnd(And):
    pass


class MOr(Or, metaclass=Meta):
    pass


class SubArbel(Arbel):
    pass


class MArbel(Arbel, metaclass=Meta):
    pass


class SubSigil(SigilDescriptor):
    pass


class Holder(object):
    @SigilDescriptor
    def prop(cls):
        return "prop of " + cls.__name__

    @SubSigil
    def sub(cls):
        return "sub of " + cls.__name__


class SubHolder(Holder):
    pass


def is_even(item):
    return _isinstance(item, int) and item % 2 == 0


def has_a(item):
    return "a" in _str(item)


# Files for the configuration steps, in a folder of their own (the steps name
# them relative to it).
_folder = tempfile.mkdtemp(prefix="tessel-diff-")
os.chdir(_folder)
with open("a.yaml", "w") as _f:
    _f.write("a:\n  b: 1\n  c: [1, 2]\nx: text\n")
with open("b.yaml", "w") as _f:
    _f.write("a:\n  b: '2'\nn: ~\ny: {z: true}\n")
with open("empty.yaml", "w") as _f:
    _f.write("")
with open("a.cfg", "w") as _f:
    _f.write("[DEFAULT]\nd = 1\n[s]\nk = 2\nt = true\n[a]\nb = 3\n")

c = Coffer(a=1)
n = NestedCoffer({"a": {"b": 1}})
sn = SubNested(x=1)
mn = MNested()
cf = Configuration()
t = Tabulon([(("a",), 1)])
f = Frayle([O[0], O[1]])
sf = SubFrayle([O[2]])
mf = MFrayle()
lg = Or(And("^a", has_a), Not("b"))
ar = Arbel("root", [Arbel("kid")])

# The objects whose state each step shows.
WATCHED = ["c", "n", "sn", "mn", "cf", "t", "st", "f", "sf", "mf", "lg", "lt", "ar", "ar2"]


def _show(value):
    try:
        return _repr(value)
    except _BaseException as exc:
        return "<repr failed: %s: %s>" % (_type(exc).__name__, exc)


def _failure(exc):
    return "!! %s: %s" % (_type(exc).__name__, exc)


def _state(name, G):
    value = G.get(name, _MISSING)
    if value is _MISSING:
        return "%s: unbound" % name
    try:
        kind = _type(value).__name__
        if _isinstance(value, _dict):
            body = "%s %s" % (_show(_list(_dict.items(value))), _show(value))
        elif _isinstance(value, UserList):
            body = "%s %s" % (_show(_list(value)), _show(value))
        elif _isinstance(value, _list):
            body = _show(_list(_list.__iter__(value)))
        elif _isinstance(value, Arbel):
            body = "%s %s" % (_show(value.__dict__), _str(value))
        else:
            body = _str(value)
        return "%s: %s %s" % (name, kind, body)
    except _BaseException as exc:
        return "%s: %s" % (name, _failure(exc))


def _unraisable(info):
    _print("   unraisable: %s: %s" % (_type(info.exc_value).__name__, info.exc_value))


sys.unraisablehook = _unraisable
# The cycle collector runs only between steps, so that objects in cycles die
# (and weak lists lose them) at the same point whatever the libraries allocate.
gc.disable()


def _calls():
    """LOG as text, runs of one label counted; empties it."""
    runs = []
    for label in LOG:
        if runs and runs[-1][0] == label:
            runs[-1][1] += 1
        else:
            runs.append([label, 1])
    del LOG[:]
    return ", ".join(label if count == 1 else "%s x%d" % (label, count) for label, count in runs)


def run(steps):
    G = globals()
    shown = {}
    for number, source in _enumerate(steps):
        _print("%d: %s" % (number, source))
        del LOG[:]
        try:
            try:
                code = _compile(source, "<step %d>" % number, "eval")
            except SyntaxError:
                _exec(_compile(source, "<step %d>" % number, "exec"), G)
                outcome = "-> done"
            else:
                outcome = "-> " + _show(_eval(code, G))
        except _BaseException as exc:
            outcome = _failure(exc)
        _print("   " + outcome)
        _collect()
        if LOG:
            _print("   calls: " + _calls())
        # Only what changed, so that the transcript stays short.
        for name in WATCHED:
            line = _state(name, G)
            if shown.get(name) != line:
                shown[name] = line
                _print("   " + line)
        if LOG:
            _print("   calls while shown: " + _calls())
    _print("end")
