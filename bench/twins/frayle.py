"""Pure-Python twins of orvane.tessel.frayle.

`Frayle` behaves as the native class does, callbacks included: the entries of
one list share one callback, a weak reference to the list that hands each
dead entry to the list's `remove`, so that a list is not a cycle through its
entries.  `StraightFrayle` is the same class written the straightforward way,
with the list's bound `remove` as every entry's callback (each list with
entries is then a cycle); the benchmarks compare against it.
"""
import weakref
import collections
from weakref import getweakrefs as _getweakrefs, ref as _ref

_NOTHING = object()


class _Callback(_ref):
    """A weak reference to a list.  Called with an entry, it removes that
    entry through the list's `remove`, or does nothing once the list is gone;
    called without one, it gives the list."""

    __slots__ = ()

    def __call__(self, entry=_NOTHING):
        lst = super().__call__()
        if entry is _NOTHING:
            return lst
        if lst is not None:
            lst.remove(entry)


def _callback(lst):
    """The callback of `lst`'s entries, made when the first one is."""
    for ref in _getweakrefs(lst):
        if type(ref) is _Callback:
            return ref
    return _Callback(lst)


class Frayle(collections.UserList):
    """Frayle Class

    A special implementation of the native list whose stored items are weak
    references to the objects put into it.
    """

    def __init__(self, items=()):
        super().__init__([weakref.ref(i, _callback(self)) for i in items])

    def __contains__(self, item):
        return super().__contains__(weakref.ref(item))

    def __getitem__(self, index):
        if isinstance(index, slice):
            def genexpr():
                for i in self.data[index]:
                    yield i()
            return self.__class__(genexpr())
        return super().__getitem__(index)()

    def __setitem__(self, index, item):
        if isinstance(index, slice):
            value = [weakref.ref(i, _callback(self)) for i in item]
        else:
            value = weakref.ref(item, _callback(self))
        return super().__setitem__(index, value)

    def __iter__(self):
        for i in self.data:
            yield i()

    def __eq__(self, other):
        return list(self) == other

    def __reversed__(self):
        return self[::-1]

    def __add__(self, item):
        if not isinstance(item, Frayle):
            raise TypeError('can only concatenante Frayle (not "{value_type}") to Frayle'
                            .format(value_type=type(item).__name__))
        r = Frayle()
        r.extend(self)
        r.extend(item)
        return r

    def __iadd__(self, items):
        return super().__iadd__([weakref.ref(i, _callback(self)) for i in items])

    def remove(self, item):
        if isinstance(item, weakref.ReferenceType):
            super().remove(item)
        else:
            super().remove(weakref.ref(item))

    def append(self, item):
        return super().append(weakref.ref(item, _callback(self)))

    def index(self, item):
        return super().index(weakref.ref(item))

    def count(self, item):
        return super().count(weakref.ref(item))

    def pop(self, item=-1):
        return super().pop(item)()

    def insert(self, index, item):
        return super().insert(index, weakref.ref(item, _callback(self)))

    def extend(self, items):
        return super().extend([weakref.ref(i, _callback(self)) for i in items])

    def sort(self, key=None, reverse=False):
        if key is None:
            k = lambda i: i()
        else:
            k = lambda i: key(i())
        return super().sort(key=k, reverse=reverse)

    def __repr__(self):
        return "Frayle([" + ", ".join([repr(i) for i in self]) + "])"

    def __str__(self):
        return "Frayle([" + ", ".join([str(i) for i in self]) + "])"


class StraightFrayle(collections.UserList):
    """Frayle written the straightforward way: every entry's callback is the
    list's own bound `remove`."""

    def __init__(self, items=()):
        super().__init__([weakref.ref(i, self.remove) for i in items])

    def __contains__(self, item):
        return super().__contains__(weakref.ref(item))

    def __getitem__(self, index):
        if isinstance(index, slice):
            def genexpr():
                for i in self.data[index]:
                    yield i()
            return self.__class__(genexpr())
        return super().__getitem__(index)()

    def __setitem__(self, index, item):
        if isinstance(index, slice):
            value = [weakref.ref(i, self.remove) for i in item]
        else:
            value = weakref.ref(item, self.remove)
        return super().__setitem__(index, value)

    def __iter__(self):
        for i in self.data:
            yield i()

    def __eq__(self, other):
        return list(self) == other

    def __reversed__(self):
        return self[::-1]

    def __add__(self, item):
        if not isinstance(item, StraightFrayle):
            raise TypeError('can only concatenante Frayle (not "{value_type}") to Frayle'
                            .format(value_type=type(item).__name__))
        r = StraightFrayle()
        r.extend(self)
        r.extend(item)
        return r

    def __iadd__(self, items):
        return super().__iadd__([weakref.ref(i, self.remove) for i in items])

    def remove(self, item):
        if isinstance(item, weakref.ReferenceType):
            super().remove(item)
        else:
            super().remove(weakref.ref(item))

    def append(self, item):
        return super().append(weakref.ref(item, self.remove))

    def index(self, item):
        return super().index(weakref.ref(item))

    def count(self, item):
        return super().count(weakref.ref(item))

    def pop(self, item=-1):
        return super().pop(item)()

    def insert(self, index, item):
        return super().insert(index, weakref.ref(item, self.remove))

    def extend(self, items):
        return super().extend([weakref.ref(i, self.remove) for i in items])

    def sort(self, key=None, reverse=False):
        if key is None:
            k = lambda i: i()
        else:
            k = lambda i: key(i())
        return super().sort(key=k, reverse=reverse)

    def __repr__(self):
        return "Frayle([" + ", ".join([repr(i) for i in self]) + "])"

    def __str__(self):
        return "Frayle([" + ", ".join([str(i) for i in self]) + "])"
