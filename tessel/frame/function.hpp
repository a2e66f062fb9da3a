// function.hpp — the function type: Python-visible functions whose bodies are C++.
//
// A function object carries what a Python function carries (__name__,
// __qualname__, __module__, __doc__, __dict__, __defaults__, __kwdefaults__),
// binds through an instance like a Python function (and is a method descriptor,
// so `obj.m()` makes no bound method), and is called through vectorcall.  Its
// arguments are bound by one table per function (`Signature`) into an array of
// borrowed references that the body reads by position.
#pragma once

#include "errors.hpp"

#include <initializer_list>
#include <source_location>
#include <vector>

namespace tessel {

struct Call;
using Body = PyObject *(*)(Call &);

// The parameter list of a function: named positional-or-keyword parameters,
// then optionally "*args" and "**kwargs" (written with their stars).
class Signature {
public:
    Signature(std::initializer_list<const char *> params);
    Py_ssize_t named() const { return n_named_; }
    Py_ssize_t slots() const { return static_cast<Py_ssize_t>(names_.size()); }
    bool varargs() const { return varargs_ >= 0; }
    bool varkw() const { return varkw_ >= 0; }
    Py_ssize_t varargs_slot() const { return varargs_; }
    Py_ssize_t varkw_slot() const { return varkw_; }
    const char *param(Py_ssize_t i) const { return names_[static_cast<size_t>(i)]; }
    // The interned parameter names, made at the exec step.
    PyObject *interned(Py_ssize_t i) const;
    int intern();

private:
    std::vector<const char *> names_;
    std::vector<PyObject *> interned_;  // process lifetime
    Py_ssize_t n_named_ = 0, varargs_ = -1, varkw_ = -1;
};

// What never changes about a function: its body, name, parameters and site.
// Made at the exec step and kept for the life of the process.
struct FunctionSpec {
    Body body;
    const char *name;  // bare name, used in argument messages
    Signature sig;
    Site site;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionSpec *spec;
    PyObject *name, *qualname, *module, *doc, *dict;
    PyObject *defaults, *kwdefaults;  // tuple or None; dict or None
    PyObject *klass;                  // the defining class, for super(); may be null
    PyObject *captured;               // values a nested function captured: tuple or null
    PyObject *weakreflist;
};

extern PyTypeObject FunctionType;
int ready_function_type();

// The bound arguments of one call, in parameter order.  Every slot holds a
// borrowed reference, valid for the whole call; "*args" is a tuple and
// "**kwargs" a dict, both owned by the call.
struct Call {
    Function *fn;
    PyObject *const *argv;
    PyObject *operator[](Py_ssize_t i) const { return argv[i]; }
    // A captured value of a nested function (borrowed).
    PyObject *captured(Py_ssize_t i) const { return PyTuple_GET_ITEM(fn->captured, i); }
    // The class that defines this function (borrowed), or null with RuntimeError
    // "super(): empty __class__ cell".
    PyObject *defining_class() const;
};

// Everything needed to make a function object.
struct FunctionDef {
    const char *name;
    Body body;
    Signature sig;
    const char *doc = nullptr;
    Ref defaults;  // tuple, or null for none
    std::source_location where = std::source_location::current();
};

// Makes a function object.  `qualname` is e.g. "Frayle.sort.<locals>.<lambda>";
// `captured` (a tuple, or null) is what the body reads through Call::captured.
Ref make_function(const FunctionDef &def, const char *qualname, Ref captured = {});

// A function made while another runs (a closure), from a spec made once.
class NestedFunction {
public:
    NestedFunction(const char *name, const char *qualname, Body body,
                   std::initializer_list<const char *> params,
                   std::source_location where = std::source_location::current())
        : def_{name, body, Signature(params), nullptr, {}, where}, qualname_(qualname) {}
    Ref make(Ref captured) const;

private:
    FunctionDef def_;
    const char *qualname_;
    mutable FunctionSpec *spec_ = nullptr;
};

void set_defining_class(PyObject *function, PyObject *klass);

// Lets the class call its __init__ (when that is one of our functions) without
// the generic slot's argument conversions.
void use_init_slot(PyObject *klass);

// Lets the class, when its __get__ is one of our functions, be reached as a
// descriptor without the generic slot's varargs call.
void use_get_slot(PyObject *klass);

}  // namespace tessel
