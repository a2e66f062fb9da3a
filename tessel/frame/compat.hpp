// compat.hpp — every difference between the interpreter versions we build for.
//
// The rest of the frame and the modules call only the names defined here (or
// the C API that all supported versions share); nothing else tests
// PY_VERSION_HEX.  Supported: CPython 3.8 to 3.13.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x030E0000
#error "orvane.tessel supports CPython 3.8 to 3.13"
#endif

namespace tessel::compat {

#if PY_VERSION_HEX >= 0x03090000
inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = Py_TPFLAGS_HAVE_VECTORCALL;
#else
inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;
#endif

inline PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#endif
}

inline PyObject *new_ref(PyObject *o) {
    Py_INCREF(o);
    return o;
}

// Identifier of the running interpreter, or -1 with an error set.
inline int64_t interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// getattr() that reports a missing attribute as 0 instead of an AttributeError.
inline int lookup_attr(PyObject *obj, PyObject *name, PyObject **result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// Equality of two str objects (no error possible).
inline bool str_equal(PyObject *a, PyObject *b) {
#if PY_VERSION_HEX >= 0x030D0000
    int r = PyUnicode_Compare(a, b);
    if (r == -1 && PyErr_Occurred()) PyErr_Clear();
    return r == 0;
#else
    return _PyUnicode_EQ(a, b) != 0;
#endif
}

// Makes sure a str has its compact form (always so from 3.12 on); -1 on error.
inline int str_ready(PyObject *s) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)s;
    return 0;
#else
    return PyUnicode_READY(s);
#endif
}

// Adds a traceback entry for `code` (whose first line is the entry's line).
inline void traceback_here(PyCodeObject *code, PyObject *globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Restore(type, value, tb);
    if (!frame) return;  // keep the original error; the entry is only a courtesy
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) {  // borrowed, no error set
    return _PyType_Lookup(type, name);
}

// The dict of a type (new reference; null without an error when it has none).
inline PyObject *type_dict(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// The version tag of a type: it changes whenever the type or one of its bases
// is modified, and no two types ever share one, so (type, tag) identifies what
// the type's attribute lookups find.  0 when the type has no valid tag.
inline bool type_version_valid(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag != 0;  // modifying a type resets its tag to 0
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
#endif
}
inline unsigned int type_version(PyTypeObject *type, PyObject *any_interned_name) {
    if (!type_version_valid(type)) (void)_PyType_Lookup(type, any_interned_name);  // assigns one if it can
    return type_version_valid(type) ? type->tp_version_tag : 0;
}

// Before 3.12 the interpreter's counter of version tags is 32 bits wide and
// starts again from the beginning when it runs out, so a class may be given
// a tag it once had.  When that happens it marks every class's tag invalid
// (object's, and so every subclass's); from 3.12 on it stops handing out
// tags instead, and tags are never reused.
inline constexpr bool type_versions_wrap = PY_VERSION_HEX < 0x030C0000;

// Whether a class can be changed after it is made: a heap type, unless it is
// marked immutable (3.10 on).  A static type's dict and slots are fixed.
inline bool type_is_mutable(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030A0000
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && !PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
#else
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#endif
}

inline PyObject **dict_ptr(PyObject *obj) { return _PyObject_GetDictPtr(obj); }

// The builtins a Python function's body reads (borrowed; null, without an
// error, when they are not a dict).  From 3.10 on a function keeps the ones
// it was made with; before, a call takes them from its globals'
// __builtins__ (a module or a dict; `key` is that name, interned) at each call.
inline PyObject *function_builtins(PyObject *function, PyObject *key) {
#if PY_VERSION_HEX >= 0x030A0000
    (void)key;
    PyObject *b = reinterpret_cast<PyFunctionObject *>(function)->func_builtins;
    return b && PyDict_Check(b) ? b : nullptr;
#else
    PyObject *b = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(function), key);  // borrowed
    if (!b) PyErr_Clear();
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    return b && PyDict_Check(b) ? b : nullptr;
#endif
}

// The function a classmethod wraps (borrowed).
inline PyObject *classmethod_function(PyObject *cm) {
    struct ClassMethod {
        PyObject_HEAD
        PyObject *function;
    };
    return reinterpret_cast<ClassMethod *>(cm)->function;
}

// The state that abc's C implementation keeps for an ABC (its `_abc_impl`):
// the same layout from 3.8 to 3.13.  The frame checks it against what
// `_abc._get_dump` reports before it reads one.
struct AbcData {
    PyObject_HEAD
    PyObject *registry;        // sets of weak references to classes
    PyObject *cache;
    PyObject *negative_cache;
    unsigned long long negative_cache_version;
};

// A set's table (PySetObject, the same layout 3.8 to 3.13), read for where
// it keeps an object that the reader holds, compared by identity.
// The slot where `set` keeps `key`, or -1.
inline Py_ssize_t set_slot_of(PyObject *set, PyObject *key) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    for (Py_ssize_t i = 0; i <= so->mask; ++i)
        if (so->table[i].key == key) return i;
    return -1;
}
// Whether `set` (null: none) still keeps `key` at `slot`.
inline bool set_keeps_at(PyObject *set, Py_ssize_t slot, PyObject *key) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    return so && slot >= 0 && slot <= so->mask && so->table[slot].key == key;
}

// Dict watchers (3.12 on): a callback told before any change to a dict that
// it watches.  -1 (no error) where the interpreter has none.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr bool has_dict_watchers = true;
using DictWatchEvent = PyDict_WatchEvent;
inline int add_dict_watcher(PyDict_WatchCallback callback) { return PyDict_AddWatcher(callback); }
inline int watch_dict(int watcher, PyObject *dict) { return PyDict_Watch(watcher, dict); }
// The interpreter's dict for extensions' state (borrowed; null, no error, when none).
inline PyObject *interpreter_dict() { return PyInterpreterState_GetDict(PyInterpreterState_Get()); }
#else
inline constexpr bool has_dict_watchers = false;
enum class DictWatchEvent {};
inline int add_dict_watcher(int (*)(DictWatchEvent, PyObject *, PyObject *, PyObject *)) { return -1; }
inline int watch_dict(int, PyObject *) { return -1; }
inline PyObject *interpreter_dict() { return nullptr; }
#endif

// Dict version tags (before 3.12, which deprecates them for the watchers
// above): every change to a dict gives it a new tag, never given to any dict
// before (a 64-bit count), as the interpreter's own caches of globals rely on.
#if PY_VERSION_HEX < 0x030C0000
inline constexpr bool has_dict_versions = true;
inline uint64_t dict_version(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag; }
#else
inline constexpr bool has_dict_versions = false;
inline uint64_t dict_version(PyObject *) { return 0; }
#endif

// The object of a weak reference (borrowed), or None once it is gone.
inline PyObject *weakref_object(PyObject *ref) {
#if PY_VERSION_HEX >= 0x030D0000
    // The strong reference is given back at once: while the object lives,
    // something else holds it, so the pointer stays good as a borrowed one.
    PyObject *obj;
    if (PyWeakref_GetRef(ref, &obj) <= 0) {
        PyErr_Clear();
        return Py_None;
    }
    Py_DECREF(obj);
    return obj;
#else
    return PyWeakref_GET_OBJECT(ref);
#endif
}

inline PyObject *tuple_from_array(PyObject *const *items, Py_ssize_t n) {
    PyObject *t = PyTuple_New(n);
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(t, i, items[i]);
    }
    return t;
}

// Gives a zero-initialised static type object its header before PyType_Ready.
inline void init_static_type(PyTypeObject &t) {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&t), &PyType_Type);
#else
    reinterpret_cast<PyObject *>(&t)->ob_refcnt = 1;
    reinterpret_cast<PyObject *>(&t)->ob_type = &PyType_Type;
#endif
}

// From 3.13 on, a class statement records where it stands and what its
// methods assign on self: __firstlineno__ after __qualname__, and
// __static_attributes__ after the body.
inline constexpr bool class_body_records_source = PY_VERSION_HEX >= 0x030D0000;

// How a Python generator treats send(), throw() and close() where the
// interpreter versions differ.
struct GeneratorRules {
    // From 3.12 on: throw() with more than one argument warns
    // (DeprecationWarning) before anything else.
    bool three_argument_throw_warns;
    // From 3.12 on: an exception thrown into a generator that has not started
    // leaves it unchanged, StopIteration included; before, a StopIteration
    // became RuntimeError "generator raised StopIteration", as anywhere else.
    bool unstarted_passes_stop_iteration;
    // From 3.12 on: a StopIteration that arrives where a generator stands in
    // a `yield from` (raised by closing the iterator it delegates to, on
    // close() or throw(GeneratorExit), or thrown in because that iterator
    // has no throw()) counts as that iterator's return, and the body goes
    // on; before, it was raised in the body like any other exception.
    bool stop_iteration_at_yield_from_returns;
};
inline constexpr GeneratorRules generator_rules{
#if PY_VERSION_HEX >= 0x030C0000
    true, true, true,
#else
    false, false, false,
#endif
};

// How the compiler warns of escapes in a str literal that it keeps but finds
// suspect: a backslash that starts no escape sequence and (from 3.11 on) an
// octal escape above 0o377.  The category, and printf formats taking the
// character after the backslash, or the three octal digits (null: no warning).
struct EscapeWarnings {
    PyObject *category;
    const char *invalid;
    const char *octal;
};
inline EscapeWarnings escape_warnings() {
#if PY_VERSION_HEX >= 0x030C0000
    return {PyExc_SyntaxWarning, "invalid escape sequence '\\%c'", "invalid octal escape sequence '\\%.3s'"};
#elif PY_VERSION_HEX >= 0x030B0000
    return {PyExc_DeprecationWarning, "invalid escape sequence '\\%c'", "invalid octal escape sequence '\\%.3s'"};
#elif PY_VERSION_HEX >= 0x030A0000
    return {PyExc_DeprecationWarning, "invalid escape sequence '\\%c'", nullptr};
#else
    return {PyExc_DeprecationWarning, "invalid escape sequence \\%c", nullptr};
#endif
}

}  // namespace tessel::compat
