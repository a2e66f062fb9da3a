"""Pure-Python twin of orvane.tessel.tabulon (unpacking failures carry the
interpreter's own messages)."""
from collections import namedtuple
from collections.abc import MutableMapping

DictItem = namedtuple("DictItem", ("path", "value"))

_PAIR_MESSAGE = "Tabulon only accepts a tuple of path/obj"


def _check(item):
    try:
        path, obj = item
    except Exception:
        raise ValueError(_PAIR_MESSAGE)
    return path, obj


class IndexMarker(object):
    def __init__(self, obj, index):
        """Tracks the index position of an element in a list or tuple."""
        self.type_ = type(obj)
        self.index = int(index)

    def __repr__(self):
        return "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)


class Tabulon(list):
    """A list of (path, value) pairs that stands for a nested dictionary."""

    def __init__(self, *args):
        if len(args) == 1 and isinstance(args[0], MutableMapping):
            super().__init__(Tabulon.__flatten__(args[0]))
            return
        if len(args) == 1:
            try:
                items = list(args[0])
            except Exception:
                raise ValueError(_PAIR_MESSAGE)
            for item in items:
                _check(item)
            args = (items,)
        super().__init__(*args)

    @staticmethod
    def __flatten__(indict, path=None):
        path = path[:] if path else ()
        if isinstance(indict, MutableMapping):
            for key, value in indict.items():
                entry = path + (key,)
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    yield from Tabulon.__flatten__(value, entry)
                else:
                    yield DictItem(entry, value)
        elif isinstance(indict, (list, tuple)):
            for i, value in enumerate(indict):
                entry = path + (IndexMarker(indict, i),)
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    yield from Tabulon.__flatten__(value, entry)
                else:
                    yield DictItem(entry, value)
        else:
            yield indict

    def __setitem__(self, index, item):
        path, obj = _check(item)
        super().__setitem__(index, item if type(item) is tuple else (path, obj))

    def append(self, item):
        path, obj = _check(item)
        super().append(DictItem(path, obj))

    def extend(self, items):
        try:
            items = list(items)
        except Exception:
            raise ValueError(_PAIR_MESSAGE)
        pairs = [_check(item) for item in items]
        super().extend([DictItem(path, obj) for path, obj in pairs])

    def insert(self, index, item):
        path, obj = _check(item)
        super().insert(index, DictItem(path, obj))

    def reconstruct(self):
        ret = {}
        pending = {}          # tuples being rebuilt, by id of their element list
        try:
            for position, item in enumerate(self):
                path, obj = item
                _walk(ret, list(path), obj, position, pending)
        except BaseException:
            _make_tuples(pending)
            raise
        failure = _make_tuples(pending)
        if failure is not None:
            raise failure
        return ret


class _Pending(object):
    """A tuple being rebuilt: the list of its elements, and where it stands."""

    def __init__(self, items, type_, parent, where):
        parent[where] = items
        if where == -1 and isinstance(parent, list):
            where = len(parent) - 1
        self.items, self.type_, self.parent, self.where = items, type_, parent, where

    def make(self):
        if self.type_ is tuple:
            return tuple(self.items)
        return getattr(self.type_, "_make", self.type_)(tuple(self.items))


def _pending_for(obj, pending):
    return pending.get(id(obj)) if type(obj) is list else None


def _walk(ret, path, obj, position, pending):
    if not path:
        raise ValueError("Tabulon item %d has an empty path" % position)
    ptr = ret
    prev_ptr = prev_k = None
    last = None
    for i, k in enumerate(path):
        last = None
        p = _pending_for(ptr, pending)
        if isinstance(k, IndexMarker):
            if i == 0:
                raise ValueError("Tabulon item %d has a path that starts with an index marker"
                                 % position)
            ptr_type = p.type_ if p else type(ptr)
            if isinstance(k.type_, type) and issubclass(k.type_, tuple):
                present = False
                if k.type_ is not ptr_type:
                    p = _Pending([{}], k.type_, prev_ptr, prev_k)
                    pending[id(p.items)] = p
                else:
                    if p is None:
                        p = _Pending(list(ptr), k.type_, prev_ptr, prev_k)
                        pending[id(p.items)] = p
                    try:
                        p.items[k.index]
                        present = True
                    except IndexError:
                        p.items.append({})
                last = (p, present)
                prev_ptr, prev_k = p.items, -1
                ptr = p.items[-1]
                continue
            if k.type_ is not ptr_type:
                prev_ptr[prev_k] = k.type_(({},))
            else:
                try:
                    ptr[k.index]
                except IndexError:
                    ptr += k.type_(({},))
            prev_ptr = prev_ptr[prev_k]
            prev_k = -1
            ptr = prev_ptr[-1]
        else:
            if p is None and isinstance(ptr, MutableMapping):
                ptr[k] = ptr.get(k, {})
            else:
                if p is None and isinstance(ptr, tuple):
                    p = _Pending(list(ptr), type(ptr), prev_ptr, prev_k)
                    pending[id(p.items)] = p
                if p is not None:
                    p.items.append({k: {}})
                    ptr = p.items[-1]
                else:
                    ptr += type(ptr)(({k: {}},))
                    ptr = ptr[-1]
            prev_ptr, prev_k = ptr, k
            ptr = ptr[k]
    if last is None:
        prev_ptr[prev_k] = obj
    elif last[1]:
        last[0].items.append(obj)
    else:
        last[0].items[-1] = obj


def _make_tuples(pending):
    """Puts every pending tuple in place of its element list, innermost first;
    returns the first failure."""
    failure = None
    for p in reversed(list(pending.values())):
        try:
            made = p.make()
        except Exception as exc:
            failure = failure or exc
            made = tuple(p.items)
        try:
            if p.parent[p.where] is p.items:
                p.parent[p.where] = made
        except LookupError:
            pass
    pending.clear()
    return failure
