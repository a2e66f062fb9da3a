// internal.hpp — the frame's own view of its types; module files never
// include it (they include tessel.hpp).
//
// One function type and one generator type per library.  Each of the seven
// libraries links its own copy of the frame (with hidden symbols), so a
// process that imports them all has seven function types, all named
// "function", and seven generator types; "is this function ours" always
// means "made by this library", which is what every caller of is_function()
// wants (it then runs a body of its own library).  Sharing one type between
// the libraries, through a small registry made once per process, would tie
// every library to the exact object layout of whichever one was imported
// first: a wheel upgraded halfway, or a sanitizer build beside a plain one,
// would then read objects of one layout with the code of another.  Nothing
// in the package asks whether a function came from another library, so each
// library keeps its own.  What the libraries do share is the interpreter's
// dict watcher, a scarce slot, through one small versioned record (see
// lookup.cpp).
#pragma once

#include "function.hpp"
#include "generator.hpp"
#include "lookup.hpp"
#include "module.hpp"

namespace tessel {

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

void set_defining_class(PyObject *function, PyObject *klass);

// Lets the class call its __init__ (when that is one of our functions) without
// the generic slot's argument conversions.
void use_init_slot(PyObject *klass);

// Lets the class, when its __get__ is one of our functions, be reached as a
// descriptor without the generic slot's varargs call.
void use_get_slot(PyObject *klass);

extern PyTypeObject GeneratorType;
int ready_generator_type();

PyObject *module_builtins();

// The walk of super(): the first class after `klass` in type's MRO whose dict
// has `name`; null with an error only when a key failed to compare.
Ref find_after(PyTypeObject *type, PyObject *klass, PyObject *name);  // borrowed; null before the exec step

}  // namespace tessel
