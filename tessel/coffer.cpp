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
    });
    if (!coffer) return -1;

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(coffer, "orvane.tessel.coffer", module_doc, exec)
