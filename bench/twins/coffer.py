"""Pure-Python twin of orvane.tessel.coffer."""
import itertools
from collections.abc import Mapping, MutableMapping


class Coffer(dict):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.__dict__ = self

    def __repr__(self):
        return "%s(%s)" % (self.__class__.__name__, super(Coffer, self).__repr__())


class NestedCoffer(Coffer, MutableMapping):
    def __init__(self, *args, **kwargs):
        super().__init__()
        self.update(*args, **kwargs)

    def __getitem__(self, key):
        if isinstance(key, str) and '.' in key:
            head, rest = key.split('.', 1)
            return super().__getitem__(head)[rest]
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        if isinstance(key, str) and '.' in key:
            head, rest = key.split('.', 1)
            level = self.setdefault(head, type(self)())
            if not isinstance(level, type(self)):
                raise KeyError('target key "%s" is a value, cannot update value against another %s'
                               % (head, type(self).__name__))
            level[rest] = value
        else:
            super().__setitem__(key, value)

    def __contains__(self, key):
        if isinstance(key, str) and '.' in key:
            head, rest = key.split('.', 1)
            if not super().__contains__(head):
                return False
            return rest in super().__getitem__(head)
        return super().__contains__(key)

    def __delitem__(self, key):
        if isinstance(key, str) and '.' in key:
            head, rest = key.split('.', 1)
            del super().__getitem__(head)[rest]
        else:
            super().__delitem__(key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError('expected at most 1 arguments, got %d' % len(args))
        iterable = args[0] if args else ()
        if isinstance(iterable, Mapping):
            iterable = iterable.items()
        for item in itertools.chain(iterable, kwargs.items()):
            if len(item) != 2:
                raise TypeError('cannot convert dictionary update sequence element #%s to a sequence'
                                % iterable.index(item))
            key, value = item
            if isinstance(value, Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value
