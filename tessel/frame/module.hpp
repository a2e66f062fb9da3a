// module.hpp — the module frame: definition, create and exec steps, and what a
// module's exec function uses to run its module-level code.
//
// A module file defines its function bodies and one exec function that does,
// in order, what the module's top level does:
//
//     static int exec(Module &m) {
//         if (m.import("itertools") < 0) return -1;
//         ...
//         return m.define_class("Coffer", {m.builtin("dict")}, doc, {...}) ? 0 : -1;
//     }
//     TESSEL_MODULE(coffer, "orvane.tessel.coffer", module_doc, exec)
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <source_location>
#include <vector>

namespace tessel {

// -------------------------------------------------------------- names

// An interned string, made at the exec step and kept for the process.
class Name {
public:
    explicit Name(const char *text);
    PyObject *get() const { return obj_; }
    operator PyObject *() const { return obj_; }  // borrowed
    const char *text() const { return text_; }
    static int intern_all();

private:
    const char *text_;
    PyObject *obj_ = nullptr;
};

// -------------------------------------------------------------- the running module

const char *module_full_name();
// Calls `visit` on every object a Held of this library keeps (not null);
// stops at and returns the first non-zero result.
int visit_held(visitproc visit, void *arg);
PyObject *module_globals();  // borrowed; null before the exec step

// -------------------------------------------------------------- class bodies

// One entry of a class namespace: a method, a static method or a plain value.
class Entry {
public:
    enum class Kind { Method, StaticMethod, Value, SelfAttributes };
    static Entry method(FunctionDef def) { return Entry(Kind::Method, def.name, std::move(def)); }
    static Entry static_method(FunctionDef def) {
        return Entry(Kind::StaticMethod, def.name, std::move(def));
    }
    static Entry value(const char *name, Ref value) {
        Entry e(Kind::Value, name, {});
        e.value_ = std::move(value);
        return e;
    }
    // The attributes that the class's methods assign on self (self.NAME = ...),
    // which a class statement records from 3.13 on; not a namespace entry.
    static Entry self_attributes(std::initializer_list<const char *> names) {
        Entry e(Kind::SelfAttributes, "__static_attributes__", {});
        e.names_.assign(names.begin(), names.end());
        return e;
    }
    Kind kind() const { return kind_; }
    const std::vector<const char *> &names() const { return names_; }
    const char *name() const { return name_; }
    const FunctionDef &def() const { return def_; }
    const Ref &value_ref() const { return value_; }

private:
    Entry(Kind kind, const char *name, FunctionDef def)
        : kind_(kind), name_(name), def_(std::move(def)) {}
    Kind kind_;
    const char *name_;
    FunctionDef def_;
    Ref value_;
    std::vector<const char *> names_;
};

// Shorthands that read like a class body.
inline FunctionDef function(const char *name, Body body, std::initializer_list<const char *> params,
                            const char *doc = nullptr, Ref defaults = {},
                            std::source_location where = std::source_location::current()) {
    return FunctionDef{name, body, Signature(params), doc, std::move(defaults), where};
}
inline Entry method(const char *name, Body body, std::initializer_list<const char *> params,
                    const char *doc = nullptr, Ref defaults = {},
                    std::source_location where = std::source_location::current()) {
    return Entry::method(FunctionDef{name, body, Signature(params), doc, std::move(defaults), where});
}
inline Entry static_method(const char *name, Body body, std::initializer_list<const char *> params,
                           const char *doc = nullptr, Ref defaults = {},
                           std::source_location where = std::source_location::current()) {
    return Entry::static_method(
        FunctionDef{name, body, Signature(params), doc, std::move(defaults), where});
}
inline Entry value(const char *name, Ref v) { return Entry::value(name, std::move(v)); }
inline Entry self_attributes(std::initializer_list<const char *> names) {
    return Entry::self_attributes(names);
}

// A tuple of default values, e.g. defaults(none(), boolean(false)); null on failure.
Ref defaults(std::initializer_list<Ref> values);

// -------------------------------------------------------------- module-level code

class Module {
public:
    // `import NAME`: binds the module to NAME in the globals.
    int import(const char *name);
    // `from MODULE import A, B` (level 1 for `from .MODULE import ...`).
    int from_import(const char *module, std::initializer_list<const char *> names, int level = 0);
    // Binds a global.
    int set(const char *name, Ref value);
    // A global's current value (new reference), or null with NameError.
    Ref get(const char *name);
    // A builtin's value (borrowed, held for the process); null with NameError.
    PyObject *builtin(const char *name);
    // Creates a class through its metaclass and binds it in the globals.
    // `where` stands for the class statement's place (its line is the
    // class's __firstlineno__ where the interpreter records one).
    Ref define_class(const char *name, std::initializer_list<PyObject *> bases, const char *doc,
                     std::initializer_list<Entry> body,
                     std::source_location where = std::source_location::current());
    // The same with the bases as a tuple.
    Ref define_class(const char *name, PyObject *bases, const char *doc,
                     std::initializer_list<Entry> body,
                     std::source_location where = std::source_location::current());
    // Defines a module-level function.
    int define_function(FunctionDef def);
    // The entries of the module's __test__ dictionary.
    int set_test(std::initializer_list<std::pair<const char *, PyObject *>> entries);

    // Registers the frame's generator type as a collections.abc.Generator
    // (a warning, not a failure, when that is impossible).
    int uses_generators();

    PyObject *dict() const;  // borrowed
};

struct ModuleInfo {
    const char *short_name;  // "coffer"
    const char *full_name;   // "orvane.tessel.coffer"
    const char *doc;         // or null
    int (*exec)(Module &);
};

PyObject *init_module(const ModuleInfo &info);

// The create step's version check for a library built for `major`.`minor`
// under the interpreter whose version string (Py_GetVersion) is `running`:
// RuntimeWarning "compiletime version ... does not match runtime version ...";
// -1 when the warning is an error.
int warn_on_version_mismatch(int major, int minor, const char *running, const char *name);

// -------------------------------------------------------------- calls into the base class

// The attribute `name` as super(klass, self) finds it: the first class after
// `klass` in the MRO of self's type that defines it, bound to self.
Ref super_getattr(PyObject *klass, PyObject *self, PyObject *name);

// super(klass, self).name(*args): the method is called unbound with self
// prepended when it is a method descriptor, so no bound method is made.
Ref super_call(PyObject *klass, PyObject *self, PyObject *name,
               std::initializer_list<PyObject *> args = {});
// super(klass, self).name(*args, **kwargs) with a tuple and a dict (or null).
Ref super_call_tuple(PyObject *klass, PyObject *self, PyObject *name, PyObject *args,
                     PyObject *kwargs);

// Zero-argument super() inside a method: resolves against the defining class.
inline Ref super_call(Call &c, PyObject *name, std::initializer_list<PyObject *> args = {}) {
    PyObject *klass = c.defining_class();
    if (!klass) return {};
    return super_call(klass, c[0], name, args);
}

// -------------------------------------------------------------- calls on objects

// obj.name(*args), looked up as the interpreter looks up a method: an entry
// of the instance dictionary hides the class's method.
Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args = {});

}  // namespace tessel

#define TESSEL_MODULE(short_name, full_name, doc, exec_fn)                                     \
    extern "C" __attribute__((visibility("default"))) PyObject *PyInit_##short_name(void) {   \
        static const ::tessel::ModuleInfo info{#short_name, full_name, doc, exec_fn};          \
        return ::tessel::init_module(info);                                                    \
    }
