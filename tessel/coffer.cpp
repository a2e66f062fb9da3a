// coffer.cpp — dictionaries whose keys are also attributes.
//
// A Coffer is a dict subclass whose instance attribute dictionary is the
// instance itself, so `obj.key` and `obj['key']` reach the same entry.
#include "tessel.hpp"

using namespace tessel;

namespace {

// (being replaced by the frame's guarded lookups: nothing is remembered)
uint64_t unversioned(PyObject *) { return 0; }

const char module_doc[] =
    "Attribute dictionaries.\n"
    "\n"
    "This library extends the built-in dictionary so that its key-values can be\n"
    "reached as object attributes (obj.key) as well as by subscript (obj['key']).\n";

Name n___init__("__init__"), n___dict__("__dict__"), n___class__("__class__"),
    n___name__("__name__"), n___repr__("__repr__");
Global g_Coffer("Coffer");

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
Held copyreg_newobj, dict_update, object_dir;

// def __reduce__(self): return copyreg.__newobj__, (type(self),), dict(self)
PyObject *Coffer_reduce(Call &c) {
    PyObject *self = c[0];
    Ref state = Ref::steal(PyDict_New());
    if (!state || PyDict_Merge(state.get(), self, 1) < 0) return nullptr;
    return Py_BuildValue("O(O)N", copyreg_newobj.get(), reinterpret_cast<PyObject *>(Py_TYPE(self)),
                         state.release());
}

// def __setstate__(self, state): self.__dict__ = self; dict.update(self, state)
PyObject *Coffer_setstate(Call &c) {
    PyObject *self = c[0], *state = c[1];
    if (PyObject_SetAttr(self, n___dict__, self) < 0) return nullptr;
    return call(dict_update.get(), self, state).release();
}

// def __dir__(self): the names object.__dir__ finds, less the keys that are no strings
PyObject *Coffer_dir(Call &c) {
    Ref names = call(object_dir.get(), c[0]);
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
    copyreg_newobj.set(Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__")));
    dict_update.set(Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyDict_Type), "update")));
    object_dir.set(Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyBaseObject_Type), "__dir__")));
    return copyreg_newobj && dict_update && object_dir ? 0 : -1;
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
// is worked out once per class and version tag (see Profile).

Name n_setdefault("setdefault"), n_update("update"), n_items("items"), n_index("index"),
    n_split("split"), n_chain("chain"), n_get("get"), n_pop("pop"), n_dot("."),
    n___getitem__("__getitem__"), n___setitem__("__setitem__"), n___contains__("__contains__"),
    n___delitem__("__delitem__"), n___instancecheck__("__instancecheck__"),
    n___subclasscheck__("__subclasscheck__"), n_get_cache_token("get_cache_token");
Global g_Mapping("Mapping"), g_itertools("itertools");

// What the module made or found at import, kept for the life of the process.
struct Known {
    Held coffer, nested;                                // the classes
    Held coffer_init, coffer_dict;                      // Coffer's __init__ and __dict__ descriptor
    Held init, getitem, setitem, contains, delitem, update;  // NestedCoffer's own functions
    binaryfunc subscript_slot = nullptr;                // the slots the class got for them
    objobjargproc ass_subscript_slot = nullptr;
    objobjproc contains_slot = nullptr;
    Held setdefault, setdefault_code;                   // MutableMapping.setdefault, as bound
    Held dict_init, dict_getitem, dict_setitem, dict_contains, dict_delitem;  // the built-in dict's own
    Held mapping;                                       // collections.abc.Mapping
    Held instancecheck, instancecheck_code, subclasscheck, subclasscheck_code;  // its metaclass's
    Held cache_token;                                   // abc's cache token function
    Held itertools, chain;
    Held empty_tuple, one;
    PyObject *object_class = nullptr;                   // object.__class__ (static, borrowed)
} known;

PyObject *code_of(PyObject *f) { return PyFunction_Check(f) ? PyFunction_GET_CODE(f) : nullptr; }

// ---------------------------------------------------------- what a class's lookups find

struct Profile {
    PyTypeObject *type = nullptr;
    unsigned int tag = 0;
    bool generic_getattr = false;
    // super() from NestedCoffer lands on the built-in dict's own method
    bool dict_getitem = false, dict_setitem = false, dict_contains = false, dict_delitem = false;
    // obj[key], obj[key] = v, del obj[key], key in obj and obj.update run NestedCoffer's own
    bool own_getitem = false, own_setitem = false, own_delitem = false, own_contains = false;
    bool own_update = false;
    // the class's setdefault is the standard library's, as NestedCoffer bound it
    bool std_setdefault = false;
    // calling the class runs dict's __new__, then NestedCoffer's __init__ down to
    // dict's, sets __dict__ through Coffer's descriptor and calls our update
    bool plain_new = false;
};

// The first definition of `name` after `klass` in the MRO of `t` (borrowed):
// what super(klass, obj).name finds for an instance of `t`.
PyObject *after(PyTypeObject *t, const Held &klass, PyObject *name) {
    PyObject *mro = t->tp_mro;
    if (!mro) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != klass.get()) ++i;
    for (++i; i < n; ++i) {
        Ref dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) continue;
        PyObject *found = PyDict_GetItemWithError(dict.get(), name);  // str key: no code runs
        if (found) return found;  // the class's dict keeps it alive
        if (PyErr_Occurred()) return nullptr;  // (cannot happen for a str key)
    }
    return nullptr;
}

// Whether a lookup found exactly `expected` (never true when either is missing).
bool is(PyObject *found, const Held &expected) { return found && found == expected.get(); }

Profile compute_profile(PyTypeObject *t, unsigned int tag) {
    Profile p;
    p.type = t;
    p.tag = tag;
    p.generic_getattr = t->tp_getattro == PyObject_GenericGetAttr;
    if (!PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(known.nested.get())) ||
        !PyType_IsSubtype(t, &PyDict_Type))
        return p;
    p.dict_getitem = is(after(t, known.nested, n___getitem__), known.dict_getitem);
    p.dict_setitem = is(after(t, known.nested, n___setitem__), known.dict_setitem);
    p.dict_contains = is(after(t, known.nested, n___contains__), known.dict_contains);
    p.dict_delitem = is(after(t, known.nested, n___delitem__), known.dict_delitem);
    PyMappingMethods *mp = t->tp_as_mapping;
    PySequenceMethods *sq = t->tp_as_sequence;
    p.own_getitem = mp && mp->mp_subscript == known.subscript_slot &&
                    is(compat::type_lookup(t, n___getitem__), known.getitem);
    bool ass = mp && mp->mp_ass_subscript == known.ass_subscript_slot;
    p.own_setitem = ass && is(compat::type_lookup(t, n___setitem__), known.setitem);
    p.own_delitem = ass && is(compat::type_lookup(t, n___delitem__), known.delitem);
    p.own_contains = sq && sq->sq_contains == known.contains_slot &&
                     is(compat::type_lookup(t, n___contains__), known.contains);
    p.own_update = p.generic_getattr && is(compat::type_lookup(t, n_update), known.update);
    p.std_setdefault = p.generic_getattr && known.setdefault &&
                       is(compat::type_lookup(t, n_setdefault), known.setdefault);
    p.plain_new = p.own_update && Py_TYPE(t)->tp_call == PyType_Type.tp_call &&
                  t->tp_new == PyDict_Type.tp_new && t->tp_setattro == PyObject_GenericSetAttr &&
                  is(compat::type_lookup(t, n___init__), known.init) &&
                  is(after(t, known.nested, n___init__), known.coffer_init) &&
                  is(after(t, known.coffer, n___init__), known.dict_init) &&
                  is(compat::type_lookup(t, n___dict__), known.coffer_dict);
    return p;
}

Profile profiles[32];

// Called with no exception pending (the lookups assume it).
Profile profile(PyTypeObject *t) {
    unsigned int tag = compat::type_version(t, n___getitem__);
    if (!tag) return compute_profile(t, 0);
    Profile &cached = profiles[(reinterpret_cast<uintptr_t>(t) >> 6) % 32];
    if (cached.type == t && cached.tag == tag) return cached;
    cached = compute_profile(t, tag);
    return cached;
}

// ---------------------------------------------------------- isinstance(obj, Mapping)
//
// Mapping's metaclass answers through Python code, and remembers each answer
// per class until some class is registered with an ABC (which changes abc's
// cache token).  For classes whose instances report their own type as
// __class__, we remember the answer it gave the same way, keyed by the class,
// its version tag and the token.

struct MappingAnswer {
    PyTypeObject *type = nullptr;
    unsigned int tag = 0;
    long long token = -1;
    bool yes = false;
};
MappingAnswer mapping_answers[64];

// Whether isinstance() against `mapping` still runs the metaclass methods we
// know; the lookups are redone only when the metaclass changes.
bool abc_unchanged(PyObject *mapping) {
    static PyTypeObject *checked_meta = nullptr;
    static unsigned int checked_tag = 0;
    PyTypeObject *meta = Py_TYPE(mapping);
    unsigned int tag = compat::type_version(meta, n___instancecheck__);
    if (!tag || meta != checked_meta || tag != checked_tag) {
        if (compat::type_lookup(meta, n___instancecheck__) != known.instancecheck.get() ||
            compat::type_lookup(meta, n___subclasscheck__) != known.subclasscheck.get())
            return false;
        checked_meta = tag ? meta : nullptr;
        checked_tag = tag;
    }
    return code_of(known.instancecheck.get()) == known.instancecheck_code.get() &&
           code_of(known.subclasscheck.get()) == known.subclasscheck_code.get();
}

long long cache_token() {
    Ref token = call(known.cache_token.get());
    if (!token) return -1;
    return PyLong_AsLongLong(token.get());
}

int is_mapping(PyObject *obj) {
    Ref mapping = g_Mapping.get();
    if (!mapping) return -1;
    if (mapping.get() != known.mapping.get() || !known.cache_token || !abc_unchanged(mapping.get()))
        return PyObject_IsInstance(obj, mapping.get());
    PyTypeObject *t = Py_TYPE(obj);
    unsigned int tag = compat::type_version(t, n___class__);
    long long token = cache_token();
    if (token == -1 && PyErr_Occurred()) return -1;
    MappingAnswer &a = mapping_answers[(reinterpret_cast<uintptr_t>(t) >> 6) % 64];
    // An answer is kept only for a class whose instances report their own
    // type as __class__, and stays valid while the class is unchanged.
    if (tag && a.type == t && a.tag == tag && a.token == token) return a.yes;
    bool keep_answer = tag && t->tp_getattro == PyObject_GenericGetAttr &&
                       compat::type_lookup(t, n___class__) == known.object_class;
    Ref keep = Ref::borrow(obj);
    int r = PyObject_IsInstance(obj, mapping.get());
    if (r < 0 || !keep_answer) return r;
    // The check ran Python code: keep the answer only if nothing it depends on moved.
    long long after = cache_token();
    if (after == -1 && PyErr_Occurred()) return -1;
    if (after == token && compat::type_version(t, n___class__) == tag) a = {t, tag, token, r != 0};
    return r;
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
    if (PyUnicode_CheckExact(key)) {
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
    Ref parts = call_method(key, n_split, {n_dot, known.one.get()});
    if (!parts || unpack2(parts.get(), out.head, out.rest) < 0) return -1;
    out.rest_start = 0;
    return 1;
}

// ---------------------------------------------------------- dicts whose keys are all str
//
// A lookup of a str key in a dict whose keys are all exact str compares str
// with str only: no Python code runs.  The answer is kept per dict version
// (every change to a dict gives it a new one, and versions are never reused);
// dicts of more than kScanLimit entries are not scanned, and count as holding
// other keys.

struct StrKeys {
    PyObject *dict = nullptr;  // identity only, never dereferenced
    uint64_t version = 0;
    bool only = false;
};
StrKeys str_keys_seen[16];
constexpr Py_ssize_t kScanLimit = 16;

bool only_str_keys(PyObject *d) {
    uint64_t version = unversioned(d);
    if (!version) return false;
    StrKeys &seen = str_keys_seen[(reinterpret_cast<uintptr_t>(d) >> 6) % 16];
    if (seen.dict == d && seen.version == version) return seen.only;
    if (PyDict_GET_SIZE(d) > kScanLimit) return false;
    bool only = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) {
            only = false;
            break;
        }
    seen = {d, version, only};
    return only;
}

// ---------------------------------------------------------- super() from NestedCoffer

Ref base_getitem(PyObject *self, const Profile &p, PyObject *key) {
    if (p.dict_getitem) return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
    return super_call(known.nested.get(), self, n___getitem__, {key});
}

int base_setitem(PyObject *self, const Profile &p, PyObject *key, PyObject *value) {
    if (p.dict_setitem) return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value);
    return super_call(known.nested.get(), self, n___setitem__, {key, value}) ? 0 : -1;
}

int base_delitem(PyObject *self, const Profile &p, PyObject *key) {
    if (p.dict_delitem) return PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, nullptr);
    return super_call(known.nested.get(), self, n___delitem__, {key}) ? 0 : -1;
}

int base_contains(PyObject *self, const Profile &p, PyObject *key) {
    if (p.dict_contains) return PyDict_Contains(self, key);
    Ref r = super_call(known.nested.get(), self, n___contains__, {key});
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// ---------------------------------------------------------- the operations

Ref getitem(PyObject *self, PyObject *key, Py_ssize_t start, const Profile *known_profile = nullptr);
int setitem(PyObject *self, PyObject *key, Py_ssize_t start, PyObject *value);
int delitem(PyObject *self, PyObject *key, Py_ssize_t start);
int contains(PyObject *self, PyObject *key, Py_ssize_t start);
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
    if (profile(Py_TYPE(obj)).own_setitem) return setitem(obj, key, start, value);
    Ref k = key_object(key, start);
    if (!k) return -1;
    return PyObject_SetItem(obj, k.get(), value);
}

// del obj[key]
int remove(PyObject *obj, PyObject *key, Py_ssize_t start) {
    if (profile(Py_TYPE(obj)).own_delitem) return delitem(obj, key, start);
    Ref k = key_object(key, start);
    if (!k) return -1;
    return PyObject_DelItem(obj, k.get());
}

// key in obj
int member(PyObject *obj, PyObject *key, Py_ssize_t start) {
    if (profile(Py_TYPE(obj)).own_contains) return contains(obj, key, start);
    Ref k = key_object(key, start);
    if (!k) return -1;
    return PySequence_Contains(obj, k.get());
}

// The value an instance's attribute dictionary holds under `name` (which
// hides a method of the class), or null; -1 on error.
int instance_entry(PyObject *obj, PyObject *name, Ref &out) {
    PyObject **dictptr = compat::dict_ptr(obj);
    if (!dictptr || !*dictptr) return 0;
    Ref dict = Ref::borrow(*dictptr);
    PyObject *v = PyDict_GetItemWithError(dict.get(), name);
    if (v) {
        out = Ref::borrow(v);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// type(self)(): a new, empty level of the object's own class.
Ref new_level(PyObject *self) {
    PyTypeObject *t = Py_TYPE(self);
    Ref cls = Ref::borrow(reinterpret_cast<PyObject *>(t));
    if (!profile(t).plain_new) return call(cls.get());
    // What the call does for such a class, without its argument tuples and
    // bound methods: dict's __new__; NestedCoffer.__init__ calls Coffer's, which
    // calls dict's (nothing to do without arguments) and sets __dict__; then
    // update() with no arguments.
    Ref level = Ref::steal(PyDict_Type.tp_new(t, known.empty_tuple.get(), nullptr));
    if (!level) return {};
    if (PyObject_SetAttr(level.get(), n___dict__, level.get()) < 0) return {};
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
    Profile p = profile(Py_TYPE(self));
    if (p.std_setdefault && code_of(known.setdefault.get()) == known.setdefault_code.get()) {
        int found = instance_entry(self, n_setdefault, out.callable);
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
    if (code_of(known.setdefault.get()) != known.setdefault_code.get())
        return call(known.setdefault.get(), self, key, dflt);
    Ref value = subscript(self, key, 0);
    if (value || !error_is(PyExc_KeyError)) return value;
    PyObject *type, *error, *tb;
    PyErr_Fetch(&type, &error, &tb);
    Profile p = profile(Py_TYPE(self));
    if (p.own_setitem && p.dict_setitem && PyUnicode_CheckExact(key) &&
        PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1) == -1) {
        // A plain store of a str key runs no code that could see the KeyError.
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(tb);
        if (PyDict_SetItem(self, key, dflt) < 0) return {};
    } else {
        PyErr_Restore(type, error, tb);
        Handling handling;
        if (assign(self, key, 0, dflt) < 0) return {};
    }
    return Ref::borrow(dflt);
}

// level.update(value)
int call_update(PyObject *level, PyObject *value) {
    Profile p = profile(Py_TYPE(level));
    if (p.own_update) {
        Ref entry;
        int found = instance_entry(level, n_update, entry);
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
    // Only a str subclass's own methods can have run (and changed the class) since.
    bool same = known_profile && (PyUnicode_CheckExact(key) || !PyUnicode_Check(key));
    Profile p = same ? *known_profile : profile(Py_TYPE(self));
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
int setitem(PyObject *self, PyObject *key, Py_ssize_t start, PyObject *value) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return -1;
    if (!dotted) {
        Ref k = key_object(key, start);
        if (!k) return -1;
        return base_setitem(self, profile(Py_TYPE(self)), k.get(), value);
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
int contains(PyObject *self, PyObject *key, Py_ssize_t start) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return -1;
    Profile p = profile(Py_TYPE(self));
    if (!dotted) {
        Ref k = key_object(key, start);
        if (!k) return -1;
        return base_contains(self, p, k.get());
    }
    Ref value;
    if (p.dict_contains && p.dict_getitem && PyUnicode_CheckExact(d.head.get()) &&
        only_str_keys(self)) {
        // One lookup does for both: it compares the head with str keys only,
        // so no code runs that could tell, or change anything between two.
        PyObject *found = PyDict_GetItemWithError(self, d.head.get());
        if (!found) return PyErr_Occurred() ? -1 : 0;
        value = Ref::borrow(found);
    } else {
        // Membership, then the value: two lookups, as written.  A stored key
        // of the same hash as the head has its __eq__ run by each, and that
        // may change the entries (or the class) between them.
        int present = base_contains(self, p, d.head.get());
        if (present <= 0) return present;
        value = base_getitem(self, profile(Py_TYPE(self)), d.head.get());
        if (!value) return -1;
    }
    DeepGuard guard(" while testing a dotted key");
    if (!guard) return -1;
    return member(value.get(), d.rest.get(), d.rest_start);
}

// NestedCoffer.__delitem__
int delitem(PyObject *self, PyObject *key, Py_ssize_t start) {
    Dotted d;
    int dotted = split_key(key, start, d);
    if (dotted < 0) return -1;
    Profile p = profile(Py_TYPE(self));
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
    Ref iterable = Ref::borrow(nargs ? args[0] : known.empty_tuple.get());
    if (nargs) {
        int is_map = is_mapping(iterable.get());
        if (is_map < 0) return nullptr;
        if (is_map) {
            iterable = call_method(iterable.get(), n_items);  // iterable = iterable.items()
            if (!iterable) return nullptr;
        }
    }
    // for item in itertools.chain(iterable, kwargs.items()):
    Ref itertools = g_itertools.get();
    if (!itertools) return nullptr;
    Ref chain = Ref::steal(PyObject_GetAttr(itertools.get(), n_chain));
    if (!chain) return nullptr;
    if (chain.get() != known.chain.get()) {
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
    if (nargs) {
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
    // self.update(*args, **kwargs)
    if (profile(Py_TYPE(self)).own_update) {
        Ref entry;
        int found = instance_entry(self, n_update, entry);
        if (found < 0) return nullptr;
        if (!found)
            return update(self, reinterpret_cast<PyTupleObject *>(args)->ob_item,
                          PyTuple_GET_SIZE(args), kwargs);
        return PyObject_Call(entry.get(), args, kwargs);
    }
    Ref method = Ref::steal(PyObject_GetAttr(self, n_update));
    if (!method) return nullptr;
    return PyObject_Call(method.get(), args, kwargs);
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

// What NestedCoffer's fast paths compare against, taken once the class exists.
int remember(Module &m, PyObject *coffer, PyObject *nested, PyObject *setdefault) {
    known.coffer.set(Ref::borrow(coffer));
    known.nested.set(Ref::borrow(nested));
    // What a fast path needs and does not find stays null: the path is then never taken.
    Ref coffer_dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject *>(coffer)));
    if (!coffer_dict) return -1;
    PyObject *ci = PyDict_GetItemWithError(coffer_dict.get(), n___init__);
    if (ci) known.coffer_init.set(Ref::borrow(ci));
    PyObject *cd = ci ? PyDict_GetItemWithError(coffer_dict.get(), n___dict__) : nullptr;
    if (cd) known.coffer_dict.set(Ref::borrow(cd));
    if (PyErr_Occurred()) return -1;
    PyTypeObject *t = reinterpret_cast<PyTypeObject *>(nested);
    Ref dict = Ref::steal(compat::type_dict(t));
    if (!dict) return -1;
    // Remembers what a type's own dict holds under `name` (if anything).
    auto held_from = [](PyObject *type_dict, Held &h, PyObject *name) {
        PyObject *f = PyDict_GetItemWithError(type_dict, name);
        if (f) h.set(Ref::borrow(f));
    };
    auto own = [&](Held &h, PyObject *name) { held_from(dict.get(), h, name); };
    own(known.init, n___init__);
    own(known.getitem, n___getitem__);
    own(known.setitem, n___setitem__);
    own(known.contains, n___contains__);
    own(known.delitem, n___delitem__);
    own(known.update, n_update);
    if (PyErr_Occurred()) return -1;
    known.subscript_slot = t->tp_as_mapping ? t->tp_as_mapping->mp_subscript : nullptr;
    known.ass_subscript_slot = t->tp_as_mapping ? t->tp_as_mapping->mp_ass_subscript : nullptr;
    known.contains_slot = t->tp_as_sequence ? t->tp_as_sequence->sq_contains : nullptr;
    if (PyFunction_Check(setdefault)) {
        known.setdefault.set(Ref::borrow(setdefault));
        known.setdefault_code.set(Ref::borrow(PyFunction_GET_CODE(setdefault)));
    }

    Ref dict_dict = Ref::steal(compat::type_dict(&PyDict_Type));
    if (!dict_dict) return -1;
    auto builtin = [&](Held &h, PyObject *name) { held_from(dict_dict.get(), h, name); };
    builtin(known.dict_init, n___init__);
    builtin(known.dict_getitem, n___getitem__);
    builtin(known.dict_setitem, n___setitem__);
    builtin(known.dict_contains, n___contains__);
    builtin(known.dict_delitem, n___delitem__);
    if (PyErr_Occurred()) return -1;

    Ref mapping = m.get("Mapping");
    if (!mapping) return -1;
    known.mapping.set(mapping);
    PyTypeObject *meta = Py_TYPE(mapping.get());
    PyObject *ic = compat::type_lookup(meta, n___instancecheck__);
    PyObject *sc = compat::type_lookup(meta, n___subclasscheck__);
    Ref abc = Ref::steal(PyImport_ImportModule("_abc"));
    Ref token = abc ? Ref::steal(PyObject_GetAttr(abc.get(), n_get_cache_token)) : Ref();
    if (!token) PyErr_Clear();  // without it, every isinstance goes to the ABC
    if (ic && sc && token && code_of(ic) && code_of(sc)) {
        known.instancecheck.set(Ref::borrow(ic));
        known.instancecheck_code.set(Ref::borrow(code_of(ic)));
        known.subclasscheck.set(Ref::borrow(sc));
        known.subclasscheck_code.set(Ref::borrow(code_of(sc)));
        known.cache_token.set(token);
    }
    known.object_class = compat::type_lookup(&PyBaseObject_Type, n___class__);

    Ref itertools = m.get("itertools");
    if (!itertools) return -1;
    Ref chain = Ref::steal(PyObject_GetAttr(itertools.get(), n_chain));
    if (!chain) return -1;
    known.itertools.set(itertools);
    known.chain.set(chain);
    known.empty_tuple.set(Ref::steal(PyTuple_New(0)));
    known.one.set(Ref::steal(PyLong_FromLong(1)));
    return known.empty_tuple && known.one ? 0 : -1;
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
