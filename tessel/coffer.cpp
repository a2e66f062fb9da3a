// coffer.cpp — dictionaries whose keys are also attributes.
//
// A Coffer is a dict subclass whose instance attribute dictionary is the
// instance itself, so `obj.key` and `obj['key']` reach the same entry.
#include "tessel.hpp"

using namespace tessel;

namespace {

const char module_doc[] =
    "Attribute dictionaries.\n"
    "\n"
    "This library extends the built-in dictionary so that its key-values can be\n"
    "reached as object attributes (obj.key) as well as by subscript (obj['key']).\n";

Name n___init__("__init__"), n___dict__("__dict__"), n___class__("__class__"),
    n___name__("__name__"), n___repr__("__repr__");
Global g_Coffer("Coffer");

// What a class's lookups find, for the shortcuts of NestedCoffer's methods.
// Every flag false (the default) means: go the way the Python line goes.
struct Profile {
    // super() from NestedCoffer lands on the built-in dict's own method
    bool dict_getitem = false, dict_setitem = false, dict_contains = false, dict_delitem = false;
    // obj[key], obj[key] = v, del obj[key], key in obj and obj.update run NestedCoffer's own
    bool own_getitem = false, own_setitem = false, own_delitem = false, own_contains = false;
    bool own_update = false;
    // the class's setdefault is the standard library's, as NestedCoffer bound it
    bool std_setdefault = false;
    // calling the class (through type.__call__, which new_level asks of the
    // metaclass at each use) runs dict's __new__, then NestedCoffer's __init__
    // down to dict's, and our update
    bool plain_new = false;
    // obj.__dict__ = obj runs only the built-in setter Coffer's class was given
    bool plain_setattr = false;
};

// Everything the module keeps for the life of the process.
struct State {
    // The two classes, as the module defined them.
    Held coffer, nested;
    // What copies and pickles use: copyreg.__newobj__, dict.update, object.__dir__.
    Held copyreg_newobj, dict_update, object_dir;
    // MutableMapping.setdefault, as NestedCoffer bound it: its steps are run
    // here while a class still finds it unchanged (code, defaults, and the
    // KeyError its except clause names).
    KnownFunction setdefault;
    // itertools.chain as imported: update() walks its two parts itself while
    // the module's itertools.chain is still this one.
    Held chain;
    // The arguments () and 1.
    Held empty_tuple, one;
    // What each class's lookups find (Profile), and isinstance(obj, Mapping).
    ClassMemo<Profile, 32> profiles;
    AbcCheck mapping_check;
} state;

// ------------------------------------------------------------------ Coffer

const char Coffer_doc[] =
    "A dictionary whose entries are also reachable as object attributes.\n"
    "\n"
    "The goal is a dictionary that can be read and written through attributes\n"
    "as well as by subscript:\n"
    "\n"
    "    >>> actor = Coffer({'first': 'Grace', 'last': 'Hopper'})\n"
    "    >>> actor.first\n"
    "    'Grace'\n"
    "    >>> actor['first']\n"
    "    'Grace'\n"
    "\n"
    "Known Limitations\n"
    "-----------------\n"
    "Attributes follow the rules of identifiers: keys that hold special\n"
    "characters (dot, comma, brackets, dash or hyphen, quotes, slashes and the\n"
    "like) cannot be reached through the attribute form; use the subscript form\n"
    "(or getattr) for them.\n";

const char Coffer_init_doc[] =
    "Coffer object init\n"
    "\n"
    "Every object keeps its attributes in a dictionary named __dict__, and that\n"
    "dictionary may be any dictionary subclass.  The instance being initialised\n"
    "is assigned to it, so attributes and entries are one and the same.  The base\n"
    "initialiser runs first, so the object behaves exactly like a dictionary.\n"
    "\n"
    "Note: interpreter versions before 2.7.3 and 3.2.3 leaked memory with this\n"
    "arrangement.\n";

// def __init__(self, *args, **kwargs)
PyObject *Coffer_init(Call &c) {
    PyObject *self = c[0], *args = c[1], *kwargs = c[2];
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    // super().__init__(*args, **kwargs)
    if (!super_call_tuple(klass, self, n___init__, args, kwargs)) return nullptr;
    // self.__dict__ = self
    if (PyObject_SetAttr(self, n___dict__, self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// def __repr__(self)
PyObject *Coffer_repr(Call &c) {
    PyObject *self = c[0];
    // Nested instances come back here through the dict's repr of each value;
    // the interpreter counts that depth, but under a raised recursion limit
    // our levels take more C stack than it allows for.
    if (!stack_has_room(" while getting the repr of an object")) return nullptr;
    // self.__class__.__name__
    Ref cls = Ref::steal(PyObject_GetAttr(self, n___class__));
    if (!cls) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(cls.get(), n___name__));
    if (!name) return nullptr;
    // super(Coffer, self).__repr__()
    Ref coffer = g_Coffer.get();
    if (!coffer) return nullptr;
    Ref base = super_call(coffer.get(), self, n___repr__);
    if (!base) return nullptr;
    // "%s(%s)" % (...)
    return PyUnicode_FromFormat("%S(%S)", name.get(), base.get());
}

// Copies, deep copies and pickles.  The interpreter's default machinery would
// restore the entries into the dict and the attributes into a separate new
// __dict__, so that `obj.x = 1` no longer made an entry.  These two methods
// restore the entries with the built-in dict's own update (no dotted-key
// splitting, no value conversion) and make the instance its own __dict__ again.

// def __reduce__(self): return copyreg.__newobj__, (type(self),), dict(self)
PyObject *Coffer_reduce(Call &c) {
    PyObject *self = c[0];
    Ref entries = Ref::steal(PyDict_New());
    if (!entries || PyDict_Merge(entries.get(), self, 1) < 0) return nullptr;
    return Py_BuildValue("O(O)N", state.copyreg_newobj.get(), reinterpret_cast<PyObject *>(Py_TYPE(self)),
                         entries.release());
}

// def __setstate__(self, state): self.__dict__ = self; dict.update(self, state)
PyObject *Coffer_setstate(Call &c) {
    PyObject *self = c[0], *entries = c[1];
    if (PyObject_SetAttr(self, n___dict__, self) < 0) return nullptr;
    return call(state.dict_update.get(), self, entries).release();
}

// def __dir__(self): the names object.__dir__ finds, less the keys that are no strings
PyObject *Coffer_dir(Call &c) {
    Ref names = call(state.object_dir.get(), c[0]);
    if (!names) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    Ref result = Ref::steal(PyList_New(0));
    if (!it || !result) return nullptr;
    while (Ref name = Ref::steal(PyIter_Next(it.get())))
        if (PyUnicode_Check(name.get()) && PyList_Append(result.get(), name.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

int remember_copy_helpers() {
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg) return -1;
    state.copyreg_newobj.set(Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__")));
    state.dict_update.set(Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyDict_Type), "update")));
    state.object_dir.set(Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyBaseObject_Type), "__dir__")));
    return state.copyreg_newobj && state.dict_update && state.object_dir ? 0 : -1;
}

// ------------------------------------------------------------------ NestedCoffer
//
// A dotted key ("a.b.c") is split at its first dot: the head names an entry of
// this object, the rest goes to that entry's own subscript, membership or
// deletion.  Levels are instances of the object's own class.
//
// The methods call each other as the interpreter would (obj[key] through the
// class, self.setdefault and level.update looked up on the instance, super()
// from NestedCoffer).  Where that lookup provably lands on our own code or on
// the built-in dict's, the call is made directly; what a class's lookups find
// is worked out once per class (see Profile).

Name n_setdefault("setdefault"), n_update("update"), n_items("items"), n_index("index"),
    n_split("split"), n_chain("chain"), n_get("get"), n_pop("pop"), n_dot("."),
    n___getitem__("__getitem__"), n___setitem__("__setitem__"),
    n___contains__("__contains__"), n___delitem__("__delitem__");
Global g_Mapping("Mapping");
GlobalAttribute g_chain("itertools", "chain");

// Whether `found` is a function of this module with this body.
bool ours(PyObject *found, Body body) { return found && is_function(found, body); }

PyObject *NestedCoffer_init(Call &c);
PyObject *NestedCoffer_getitem(Call &c);
PyObject *NestedCoffer_setitem(Call &c);
PyObject *NestedCoffer_contains(Call &c);
PyObject *NestedCoffer_delitem(Call &c);
PyObject *NestedCoffer_update(Call &c);

Profile make_profile(PyTypeObject *t) {
    Profile p;
    auto *nested = reinterpret_cast<PyTypeObject *>(state.nested.get());
    // Only instances of NestedCoffer have shortcuts: for None, an object of
    // another class or one that only claims the class through __class__, every
    // step (super() included) goes the plain way.
    if (!PyType_IsSubtype(t, nested) || !PyType_IsSubtype(t, &PyDict_Type)) return p;
    // super(NestedCoffer, obj).name is the built-in dict's own
    auto dicts = [&](PyObject *name) {
        Ref found = super_target(t, state.nested.get(), name);
        return found && found.get() == class_attribute(&PyDict_Type, name);
    };
    p.dict_getitem = dicts(n___getitem__);
    p.dict_setitem = dicts(n___setitem__);
    p.dict_contains = dicts(n___contains__);
    p.dict_delitem = dicts(n___delitem__);
    // The operators reach the class's method through the slot that looks it
    // up, as they do on NestedCoffer itself.
    PyMappingMethods *mp = t->tp_as_mapping, *nmp = nested->tp_as_mapping;
    PySequenceMethods *sq = t->tp_as_sequence, *nsq = nested->tp_as_sequence;
    p.own_getitem = mp && nmp && mp->mp_subscript == nmp->mp_subscript &&
                    ours(class_attribute(t, n___getitem__), NestedCoffer_getitem);
    bool ass = mp && nmp && mp->mp_ass_subscript == nmp->mp_ass_subscript;
    p.own_setitem = ass && ours(class_attribute(t, n___setitem__), NestedCoffer_setitem);
    p.own_delitem = ass && ours(class_attribute(t, n___delitem__), NestedCoffer_delitem);
    p.own_contains = sq && nsq && sq->sq_contains == nsq->sq_contains &&
                     ours(class_attribute(t, n___contains__), NestedCoffer_contains);
    // Instance attributes are then looked up in the instance dict, then the class.
    bool generic = t->tp_getattro == PyObject_GenericGetAttr;
    p.own_update = generic && ours(class_attribute(t, n_update), NestedCoffer_update);
    PyObject *setdefault = class_attribute(t, n_setdefault);
    p.std_setdefault = generic && setdefault && setdefault == state.setdefault.get();
    Ref coffer_init = super_target(t, state.nested.get(), n___init__);
    Ref dict_init = super_target(t, state.coffer.get(), n___init__);
    PyObject *dict_descriptor = class_attribute(t, n___dict__);
    p.plain_setattr = t->tp_setattro == PyObject_GenericSetAttr && dict_descriptor &&
                      dict_descriptor == class_attribute(reinterpret_cast<PyTypeObject *>(state.coffer.get()),
                                                         n___dict__);
    p.plain_new = p.own_update && t->tp_new == PyDict_Type.tp_new &&
                  ours(class_attribute(t, n___init__), NestedCoffer_init) &&
                  ours(coffer_init.get(), Coffer_init) && dict_init &&
                  dict_init.get() == class_attribute(&PyDict_Type, n___init__);
    return p;
}

// Called with no exception pending (the lookups assume it).
Profile profile(PyTypeObject *t) { return state.profiles.get(t, make_profile); }

// MutableMapping.setdefault is still as it was at import (assigning its
// __code__ or __defaults__, or a KeyError to its module, changes no class).
bool setdefault_unchanged() { return state.setdefault.is(state.setdefault.get()); }

// isinstance(obj, Mapping), Mapping read from the module's globals.
int is_mapping(PyObject *obj) {
    Ref mapping = g_Mapping.get();
    if (!mapping) return -1;
    return state.mapping_check(obj, mapping.get());
}

// ---------------------------------------------------------- keys

// A key and the offset where it starts: a dotted str key is handed down level
// by level as the same str object with a growing offset, so no level makes a
// string for the rest unless the rest goes to a container that is not ours.
// The offset is 0 for every key that is not an exact str.
Ref key_object(PyObject *key, Py_ssize_t start) {
    if (start == 0) return Ref::borrow(key);
    return Ref::steal(PyUnicode_Substring(key, start, PyUnicode_GET_LENGTH(key)));
}

struct Dotted {
    Ref head;
    Ref rest;  // the rest starts at `rest_start` in this object
    Py_ssize_t rest_start = 0;
};

// `key, value = item`: exactly two values, with the interpreter's unpacking messages.
int unpack2(PyObject *item, Ref &key, Ref &value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    if (PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2) {
        key = Ref::borrow(PyList_GET_ITEM(item, 0));
        value = Ref::borrow(PyList_GET_ITEM(item, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) return -1;
    Ref values[3];
    Py_ssize_t got = 0;
    for (; got < 3; ++got) {
        values[got] = Ref::steal(PyIter_Next(it.get()));
        if (!values[got]) break;
    }
    if (PyErr_Occurred()) return -1;
    if (got < 2) {
        raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
        return -1;
    }
    if (got > 2) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    }
    key = values[0];
    value = values[1];
    return 0;
}

// `isinstance(key, str) and '.' in key`, then `head, rest = key.split('.', 1)`.
// Returns 1 for a dotted key (with `out` filled), 0 for any other, -1 on error.
int split_key(PyObject *key, Py_ssize_t start, Dotted &out) {
    // An exact str answers both as str does: the rest is handed down as an offset.
    if (fast_paths && PyUnicode_CheckExact(key)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        Py_ssize_t dot = PyUnicode_FindChar(key, '.', start, length, 1);
        if (dot == -2) return -1;
        if (dot < 0) return 0;
        out.head = Ref::steal(PyUnicode_Substring(key, start, dot));
        if (!out.head) return -1;
        out.rest = Ref::borrow(key);
        out.rest_start = dot + 1;
        return 1;
    }
    if (!PyUnicode_Check(key)) return 0;
    // A str subclass answers `in` and split() itself.
    int dotted = PySequence_Contains(key, n_dot);
    if (dotted <= 0) return dotted;
    Ref parts = call_method(key, n_split, {n_dot, state.one.get()});
    if (!parts || unpack2(parts.get(), out.head, out.rest) < 0) return -1;
    out.rest_start = 0;
    return 1;
}

// ---------------------------------------------------------- super() from NestedCoffer

Ref base_getitem(PyObject *self, const Profile &p, PyObject *key) {
    if (p.dict_getitem) return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
    return super_call(state.nested.get(), self, n___getitem__, {key});
}

int base_setitem(PyObject *self, const Profile &p, PyObject *key, PyObject *value) {
    if (p.dict_setitem) return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value);
    return super_call(state.nested.get(), self, n___setitem__, {key, value}) ? 0 : -1;
}

int base_delitem(PyObject *self, const Profile &p, PyObject *key) {
    if (p.dict_delitem) return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, nullptr);
    return super_call(state.nested.get(), self, n___delitem__, {key}) ? 0 : -1;
}

int base_contains(PyObject *self, const Profile &p, PyObject *key) {
    if (p.dict_contains) return PyDict_Contains(self, key);
    Ref r = super_call(state.nested.get(), self, n___contains__, {key});
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// ---------------------------------------------------------- the operations

// Whether the facts the caller read for the class (`known`, null when none)
// still hold after split_key(key): only a str subclass's own methods can
// have run there (and changed the class).
bool same_class_facts(PyObject *key, const Profile *known) {
    return known && (PyUnicode_CheckExact(key) || !PyUnicode_Check(key));
}

Ref getitem(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile = nullptr);
int setitem(PyObject *self, PyObject *key, Py_ssize_t start, PyObject *value, const Profile *known_profile = nullptr);
int delitem(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile = nullptr);
int contains(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile = nullptr);
PyObject *update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs);

// obj[key]
Ref subscript(PyObject *obj, PyObject *key, Py_ssize_t start) {
    Profile p = profile(Py_TYPE(obj));
    if (p.own_getitem) return getitem(obj, key, start, &p);
    Ref k = key_object(key, start);
    if (!k) return {};
    return Ref::steal(PyObject_GetItem(obj, k.get()));
}

// obj[key] = value
int assign(PyObject *obj, PyObject *key, Py_ssize_t start, PyObject *value) {
    Profile p = profile(Py_TYPE(obj));
    if (p.own_setitem) return setitem(obj, key, start, value, &p);
    Ref k = key_object(key, start);
    if (!k) return -1;
    return PyObject_SetItem(obj, k.get(), value);
}

// del obj[key]
int remove(PyObject *obj, PyObject *key, Py_ssize_t start) {
    Profile p = profile(Py_TYPE(obj));
    if (p.own_delitem) return delitem(obj, key, start, &p);
    Ref k = key_object(key, start);
    if (!k) return -1;
    return PyObject_DelItem(obj, k.get());
}

// key in obj
int member(PyObject *obj, PyObject *key, Py_ssize_t start) {
    Profile p = profile(Py_TYPE(obj));
    if (p.own_contains) return contains(obj, key, start, &p);
    Ref k = key_object(key, start);
    if (!k) return -1;
    return PySequence_Contains(obj, k.get());
}

// self.update(*args, **kwargs): `args` a tuple, `kwargs` a dict or null.
// While the class's lookup finds our update, an entry `update` of the
// instance dict is all that could hide it.
Ref update_self(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (profile(Py_TYPE(self)).own_update) {
        Ref entry;
        int found = instance_attribute(self, n_update, entry);
        if (found < 0) return {};
        if (!found)
            return Ref::steal(update(self, reinterpret_cast<PyTupleObject *>(args)->ob_item,
                                     PyTuple_GET_SIZE(args), kwargs));
        return Ref::steal(PyObject_Call(entry.get(), args, kwargs));
    }
    Ref method = Ref::steal(PyObject_GetAttr(self, n_update));
    if (!method) return {};
    return Ref::steal(PyObject_Call(method.get(), args, kwargs));
}

// type(self)(): a new, empty level of the object's own class.
Ref new_level(PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    Ref cls = Ref::borrow(reinterpret_cast<PyObject *>(t));
    // The metaclass's __call__ is asked here: giving the metaclass one moves
    // no tag of the class.
    Profile p = profile(t);
    if (!p.plain_new || Py_TYPE(t)->tp_call != PyType_Type.tp_call) return call(cls.get());
    // What the call does for such a class, without its argument tuples and
    // bound methods: dict's __new__; NestedCoffer.__init__ calls Coffer's, which
    // calls dict's (nothing to do without arguments) and sets __dict__; then
    // self.update() with no arguments.
    Ref level = Ref::steal(PyDict_Type.tp_new(t, state.empty_tuple.get(), nullptr));
    if (!level) return {};
    if (PyObject_SetAttr(level.get(), n___dict__, level.get()) < 0) return {};
    // A __setattr__ (or __dict__ property) of the class's may have given it
    // other methods, or the level an entry `update`: look update up then.
    // Otherwise nothing ran, and the empty level hides nothing.
    if (!p.plain_setattr) return update_self(level.get(), state.empty_tuple.get(), nullptr) ? level : Ref();
    if (!Ref::steal(update(level.get(), nullptr, 0, nullptr))) return {};
    return level;
}

// `self.setdefault`, looked up as the interpreter looks up a method; when it
// finds the standard library's function, its steps are done here.
struct Setdefault {
    Ref callable;           // what the lookup found, unless it is the standard one
    bool standard = false;
};

int lookup_setdefault(PyObject *self, Setdefault &out) {
    if (profile(Py_TYPE(self)).std_setdefault && setdefault_unchanged()) {
        int found = instance_attribute(self, n_setdefault, out.callable);
        if (found < 0) return -1;
        out.standard = found == 0;
        return 0;
    }
    out.callable = Ref::steal(PyObject_GetAttr(self, n_setdefault));
    return out.callable ? 0 : -1;
}

// MutableMapping.setdefault(self, key, default):
//     try: return self[key]
//     except KeyError: self[key] = default
//     return default
Ref call_setdefault(PyObject *self, const Setdefault &how, PyObject *key, PyObject *dflt) {
    if (!how.standard) return call(how.callable.get(), key, dflt);
    // What ran since the lookup (type(self)() of a class of the caller's) may
    // have given the function other code: then it is called as it stands.
    if (!setdefault_unchanged()) return call(state.setdefault.get(), self, key, dflt);
    Ref value = subscript(self, key, 0);
    if (value || !error_is(PyExc_KeyError)) return value;
    // The store runs as the except block: a stored key's __eq__ met on the
    // way sees the KeyError as the exception being handled, and one it
    // raises carries it as its context.
    Handling handling;
    if (assign(self, key, 0, dflt) < 0) return {};
    return Ref::borrow(dflt);
}

// level.update(value)
int call_update(PyObject *level, PyObject *value) {
    Profile p = profile(Py_TYPE(level));
    if (p.own_update) {
        Ref entry;
        int found = instance_attribute(level, n_update, entry);
        if (found < 0) return -1;
        Ref result = found ? call(entry.get(), value) : Ref::steal(update(level, &value, 1, nullptr));
        return result ? 0 : -1;
    }
    return call_method(level, n_update, {value}) ? 0 : -1;
}

// NestedCoffer.__getitem__
Ref getitem(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return {};
    Profile p = same_class_facts(key, known_profile) ? *known_profile : profile(Py_TYPE(self));
    if (!dotted) {
        Ref k = key_object(key, start);
        if (!k) return {};
        return base_getitem(self, p, k.get());
    }
    Ref value = base_getitem(self, p, d.head.get());
    if (!value) return {};
    DeepGuard guard(" while looking up a dotted key");
    if (!guard) return {};
    return subscript(value.get(), d.rest.get(), d.rest_start);
}

[[gnu::cold]] int value_in_the_way(PyObject *self, PyObject *head) {
    Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(self)), n___name__));
    if (!name) return -1;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "target key \"%S\" is a value, cannot update value against another %S", head, name.get()));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return -1;
}

// NestedCoffer.__setitem__
int setitem(PyObject *self, PyObject *key, Py_ssize_t start, PyObject *value, const Profile *known_profile) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return -1;
    if (!dotted) {
        Ref k = key_object(key, start);
        if (!k) return -1;
        return base_setitem(self, same_class_facts(key, known_profile) ? *known_profile : profile(Py_TYPE(self)),
                            k.get(), value);
    }
    DeepGuard guard(" while assigning to a dotted key");
    if (!guard) return -1;
    // level = self.setdefault(head, type(self)())
    Setdefault how;
    if (lookup_setdefault(self, how) < 0) return -1;
    Ref fresh = new_level(self);
    if (!fresh) return -1;
    Ref level = call_setdefault(self, how, d.head.get(), fresh.get());
    if (!level) return -1;
    // if not isinstance(level, type(self)): raise KeyError(...)
    Ref cls = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    int ok = PyObject_IsInstance(level.get(), cls.get());
    if (ok < 0) return -1;
    if (!ok) return value_in_the_way(self, d.head.get());
    // level[rest] = value
    return assign(level.get(), d.rest.get(), d.rest_start, value);
}

// NestedCoffer.__contains__
int contains(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return -1;
    Profile p = same_class_facts(key, known_profile) ? *known_profile : profile(Py_TYPE(self));
    if (!dotted) {
        Ref k = key_object(key, start);
        if (!k) return -1;
        return base_contains(self, p, k.get());
    }
    // Membership, then the value: two lookups, as written.  A stored key of
    // the same hash as the head has its __eq__ run by each, and that may
    // change the entries (or the class) between them.
    int present = base_contains(self, p, d.head.get());
    if (present <= 0) return present;
    Ref value = base_getitem(self, profile(Py_TYPE(self)), d.head.get());
    if (!value) return -1;
    DeepGuard guard(" while testing a dotted key");
    if (!guard) return -1;
    return member(value.get(), d.rest.get(), d.rest_start);
}

// NestedCoffer.__delitem__
int delitem(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return -1;
    Profile p = same_class_facts(key, known_profile) ? *known_profile : profile(Py_TYPE(self));
    if (!dotted) {
        Ref k = key_object(key, start);
        if (!k) return -1;
        return base_delitem(self, p, k.get());
    }
    Ref value = base_getitem(self, p, d.head.get());
    if (!value) return -1;
    DeepGuard guard(" while deleting a dotted key");
    if (!guard) return -1;
    return remove(value.get(), d.rest.get(), d.rest_start);
}

// One (key, value) of update: a mapping merges into a level, anything else is assigned.
int merge(PyObject *self, PyObject *key, PyObject *value) {
    int is_map = is_mapping(value);
    if (is_map < 0) return -1;
    if (!is_map) return assign(self, key, 0, value);  // self[key] = value
    // self.setdefault(key, type(self)()).update(value)
    Setdefault how;
    if (lookup_setdefault(self, how) < 0) return -1;
    Ref fresh = new_level(self);
    if (!fresh) return -1;
    Ref level = call_setdefault(self, how, key, fresh.get());
    if (!level) return -1;
    return call_update(level.get(), value);
}

// One item of update's iteration.
int merge_item(PyObject *self, PyObject *iterable, PyObject *item) {
    Py_ssize_t n = PyObject_Size(item);
    if (n < 0) return -1;
    if (n != 2) {
        Ref index = call_method(iterable, n_index, {item});
        if (!index) return -1;
        raise(PyExc_TypeError, "cannot convert dictionary update sequence element #%S to a sequence",
              index.get());
        return -1;
    }
    Ref key, value;
    if (unpack2(item, key, value) < 0) return -1;
    return merge(self, key.get(), value.get());
}

// NestedCoffer.update(self, *args, **kwargs); `kwargs` is a dict or null.
PyObject *update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwargs) {
    if (nargs > 1) return raise(PyExc_TypeError, "expected at most 1 arguments, got %zd", nargs);
    DeepGuard guard(" while merging nested mappings");
    if (!guard) return nullptr;
    Ref self_ref = Ref::borrow(self);
    // iterable = args[0] if args else ()
    Ref iterable = Ref::borrow(nargs ? args[0] : state.empty_tuple.get());
    // if isinstance(iterable, Mapping): iterable = iterable.items()
    // (asked of the empty tuple too: an ABC's hooks, or whatever the global
    // Mapping has become, see it)
    int is_map = is_mapping(iterable.get());
    if (is_map < 0) return nullptr;
    if (is_map) {
        iterable = call_method(iterable.get(), n_items);
        if (!iterable) return nullptr;
    }
    // for item in itertools.chain(iterable, kwargs.items()):
    Ref chain = g_chain.get();
    if (!chain) return nullptr;
    if (!fast_paths || chain.get() != state.chain.get()) {
        Ref kw = kwargs ? Ref::borrow(kwargs) : Ref::steal(PyDict_New());
        if (!kw) return nullptr;
        Ref kw_items = call_method(kw.get(), n_items);
        if (!kw_items) return nullptr;
        Ref items = call(chain.get(), iterable.get(), kw_items.get());
        if (!items) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(items.get()));
        if (!it) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(it.get())))
            if (merge_item(self, iterable.get(), item.get()) < 0) return nullptr;
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    if (PyTuple_CheckExact(iterable.get())) {
        // A tuple cannot change while it is walked (and the empty one of a
        // call without arguments needs no iterator).
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable.get()); ++i) {
            Ref item = Ref::borrow(PyTuple_GET_ITEM(iterable.get(), i));
            if (merge_item(self, iterable.get(), item.get()) < 0) return nullptr;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(iterable.get()));
        if (!it) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(it.get())))
            if (merge_item(self, iterable.get(), item.get()) < 0) return nullptr;
        if (PyErr_Occurred()) return nullptr;
    }
    if (!kwargs) Py_RETURN_NONE;
    // The keyword dict is this call's own: nothing else can change it meanwhile.
    Ref kw = Ref::borrow(kwargs);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kw.get(), &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if (merge(self, k.get(), v.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------- the methods

// def __init__(self, *args, **kwargs)
PyObject *NestedCoffer_init(Call &c) {
    PyObject *self = c[0], *args = c[1], *kwargs = c[2];
    // super().__init__()
    if (!super_call(c, n___init__)) return nullptr;
    // self.update(*args, **kwargs); whatever it returns is dropped
    if (!update_self(self, args, kwargs)) return nullptr;
    Py_RETURN_NONE;
}

// def __getitem__(self, key)
PyObject *NestedCoffer_getitem(Call &c) { return getitem(c[0], c[1], 0).release(); }

// def __setitem__(self, key, value)
PyObject *NestedCoffer_setitem(Call &c) {
    if (setitem(c[0], c[1], 0, c[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// def __contains__(self, key)
PyObject *NestedCoffer_contains(Call &c) {
    int r = contains(c[0], c[1], 0);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

// def __delitem__(self, key)
PyObject *NestedCoffer_delitem(Call &c) {
    if (delitem(c[0], c[1], 0) < 0) return nullptr;
    Py_RETURN_NONE;
}

// def update(self, *args, **kwargs)
PyObject *NestedCoffer_update(Call &c) {
    PyObject *args = c[1];
    return update(c[0], reinterpret_cast<PyTupleObject *>(args)->ob_item, PyTuple_GET_SIZE(args), c[2]);
}

// What NestedCoffer's shortcuts compare against, taken once the classes exist.
int remember(Module &m, PyObject *coffer, PyObject *nested, PyObject *setdefault) {
    state.coffer.set(Ref::borrow(coffer));
    state.nested.set(Ref::borrow(nested));
    // Its steps read one global: the KeyError of `except KeyError:`.
    if (state.setdefault.set(setdefault, {"KeyError"}) < 0) return -1;
    Ref itertools = m.get("itertools");
    if (!itertools) return -1;
    state.chain.set(Ref::steal(PyObject_GetAttr(itertools.get(), n_chain)));
    state.empty_tuple.set(Ref::steal(PyTuple_New(0)));
    state.one.set(Ref::steal(PyLong_FromLong(1)));
    return state.chain && state.empty_tuple && state.one ? 0 : -1;
}

// ------------------------------------------------------------------ module level

int exec(Module &m) {
    // import itertools
    if (m.import("itertools") < 0) return -1;
    // from collections.abc import Mapping, MutableMapping
    if (m.from_import("collections.abc", {"Mapping", "MutableMapping"}) < 0) return -1;

    // class Coffer(dict)
    Ref coffer = m.define_class("Coffer", {m.builtin("dict")}, Coffer_doc, {
        method("__init__", Coffer_init, {"self", "*args", "**kwargs"}, Coffer_init_doc),
        method("__repr__", Coffer_repr, {"self"}),
        method("__reduce__", Coffer_reduce, {"self"}),
        method("__setstate__", Coffer_setstate, {"self", "state"}),
        method("__dir__", Coffer_dir, {"self"}),
    });
    if (!coffer || remember_copy_helpers() < 0) return -1;

    // class NestedCoffer(Coffer, MutableMapping)
    Ref base = m.get("Coffer"), mutable_mapping = m.get("MutableMapping");
    if (!base || !mutable_mapping) return -1;
    //     get = MutableMapping.get; pop = MutableMapping.pop; setdefault = MutableMapping.setdefault
    Ref get = Ref::steal(PyObject_GetAttr(mutable_mapping.get(), n_get));
    Ref pop = Ref::steal(PyObject_GetAttr(mutable_mapping.get(), n_pop));
    Ref setdefault = Ref::steal(PyObject_GetAttr(mutable_mapping.get(), n_setdefault));
    if (!get || !pop || !setdefault) return -1;
    Ref nested = m.define_class("NestedCoffer", {base.get(), mutable_mapping.get()}, nullptr, {
        method("__init__", NestedCoffer_init, {"self", "*args", "**kwargs"}),
        method("__getitem__", NestedCoffer_getitem, {"self", "key"}),
        method("__setitem__", NestedCoffer_setitem, {"self", "key", "value"}),
        method("__contains__", NestedCoffer_contains, {"self", "key"}),
        method("__delitem__", NestedCoffer_delitem, {"self", "key"}),
        value("get", get),
        value("pop", pop),
        value("setdefault", setdefault),
        method("update", NestedCoffer_update, {"self", "*args", "**kwargs"}),
    });
    if (!nested || remember(m, coffer.get(), nested.get(), setdefault.get()) < 0) return -1;

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(coffer, "orvane.tessel.coffer", module_doc, exec)
