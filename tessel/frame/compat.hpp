// compat.hpp — every difference between the interpreter versions we build for.
//
// The rest of the frame and the modules call only the names defined here (or the
// stable C API); nothing else tests PY_VERSION_HEX.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x03090000
#error "this frame supports CPython 3.8"
#endif

namespace tessel::compat {

inline constexpr unsigned long TPFLAGS_HAVE_VECTORCALL = _Py_TPFLAGS_HAVE_VECTORCALL;

inline PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

inline PyObject *new_ref(PyObject *o) {
    Py_INCREF(o);
    return o;
}

// Identifier of the running interpreter, or -1 with an error set.
inline int64_t interpreter_id() {
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
}

// getattr() that reports a missing attribute as 0 instead of an AttributeError.
inline int lookup_attr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// Adds a traceback entry for `code` at `line` to the pending exception.
inline void traceback_here(PyCodeObject *code, PyObject *globals, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Restore(type, value, tb);
    if (!frame) return;  // the frame's own failure replaces nothing we could report better
    frame->f_lineno = line;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// Makes the pending exception (if any) the __context__ of the one raised next.
inline void chain_exceptions(PyObject *type, PyObject *value, PyObject *tb) {
    _PyErr_ChainExceptions(type, value, tb);
}

inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) {  // borrowed, no error set
    return _PyType_Lookup(type, name);
}

inline PyObject **dict_ptr(PyObject *obj) { return _PyObject_GetDictPtr(obj); }

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
    reinterpret_cast<PyObject *>(&t)->ob_refcnt = 1;
    reinterpret_cast<PyObject *>(&t)->ob_type = &PyType_Type;
}

}  // namespace tessel::compat
