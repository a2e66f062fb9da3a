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

struct Function;      // the object's layout is the frame's own
struct FunctionSpec;

// The bound arguments of one call, in parameter order.  Every slot holds a
// borrowed reference, valid for the whole call; "*args" is a tuple and
// "**kwargs" a dict, both owned by the call.
struct Call {
    Function *fn;
    PyObject *const *argv;
    PyObject *operator[](Py_ssize_t i) const { return argv[i]; }
    // A captured value of a nested function (borrowed).
    PyObject *captured(Py_ssize_t i) const;
    // The class that defines this function (borrowed), or null with RuntimeError
    // "super(): empty __class__ cell".
    PyObject *defining_class() const;
    // The same, null without an error for a function outside a class.
    PyObject *defining_class_if_any() const;
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

// Whether `obj` is a function object of this library, and (when `body` is
// given) one whose body is `body`.  Each library of the package has its own
// function type (see internal.hpp), so a function of another library is not
// one of "ours" here.
bool is_function(PyObject *obj, Body body = nullptr);

// Adds the traceback entry that a failure inside `function` (one of ours)
// adds on its way out; for a caller that ran the function's body itself.
void add_traceback_of(PyObject *function);

}  // namespace tessel
