// sigil.cpp — read-only properties at class level.
//
// SigilDescriptor is a non-data descriptor: it has __get__ and nothing else,
// so an instance attribute of the same name hides it and assigning to the
// class replaces it.  Its getter runs on every read, with the class through
// which the attribute is read.
#include "tessel.hpp"

using namespace tessel;

namespace {

Name n_func("func");

// Everything the module keeps for the life of the process: per class, whether
// `self.func` can only be found in the instance dict (the class has the
// generic attribute lookup and no class attribute `func`).
struct State {
    ClassMemo<bool> func_in_instance_dict;
} state;

bool func_in_instance_dict(PyTypeObject *type) {
    return type->tp_getattro == PyObject_GenericGetAttr && !class_attribute(type, n_func);
}

// self.func
Ref read_func(PyObject *self) {
    if (state.func_in_instance_dict.get(Py_TYPE(self), func_in_instance_dict)) {
        Ref func;
        int found = instance_attribute(self, n_func, func);
        if (found < 0) return {};
        if (found) return func;
    }
    return Ref::steal(PyObject_GetAttr(self, n_func));
}

// ------------------------------------------------------------------ SigilDescriptor

const char SigilDescriptor_doc[] =
    "Descriptor class that lets classes have their own properties, which can\n"
    "be overwritten and inherited: it adds read-only properties at class level.\n"
    "\n"
    "It is meant to be used as a decorator (under its alias `sigil`) on a\n"
    "method that takes the class:\n"
    "\n"
    "    >>> class Shelf(object):\n"
    "    ...     @sigil\n"
    "    ...     def capacity(cls):\n"
    "    ...         return 100\n"
    "    >>> Shelf.capacity\n"
    "    100\n"
    "    >>> Shelf().capacity\n"
    "    100\n";

// def __init__(self, func)
PyObject *SigilDescriptor_init(Call &c) {
    PyObject *self = c[0], *func = c[1];
    // self.func = func
    if (PyObject_SetAttr(self, n_func, func) < 0) return nullptr;
    Py_RETURN_NONE;
}

// def __get__(self, obj, owner)
PyObject *SigilDescriptor_get(Call &c) {
    PyObject *self = c[0], *owner = c[2];
    // A getter that reads its own sigil recurses through here, in C alone when
    // the getter is a C callable; the interpreter counts such calls against
    // the recursion limit, but a debug build's levels can use up the C stack
    // first.
    if (!stack_has_room(" while calling a Python object")) return nullptr;
    // return self.func(owner)
    Ref func = read_func(self);
    if (!func) return nullptr;
    return call(func.get(), owner).release();
}

// ------------------------------------------------------------------ module level

int exec(Module &m) {
    // class SigilDescriptor(object)
    Ref klass = m.define_class("SigilDescriptor", {m.builtin("object")}, SigilDescriptor_doc, {
        method("__init__", SigilDescriptor_init, {"self", "func"}),
        method("__get__", SigilDescriptor_get, {"self", "obj", "owner"}),
    });
    if (!klass) return -1;

    // sigil = SigilDescriptor
    if (m.set("sigil", klass) < 0) return -1;

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(sigil, "orvane.tessel.sigil", nullptr, exec)
