// lookup.hpp — guarded lookups: the one place where fast paths learn what
// they may take for granted.
//
// A fast path replaces a step of a method's Python line (an attribute lookup
// through a class, a super() walk, an isinstance() against an ABC, a module
// global, an attribute read from an instance) by an answer found earlier.
// Each answer here is kept together with the one thing that moves whenever
// the answer could change, and is used only while that thing stands still:
//
//   what a class's lookups find     the class's version tag: the interpreter
//                                   gives a class a new one whenever it or a
//                                   class in its MRO changes, and never reuses
//                                   one (ClassMemo, super_target)
//   isinstance(obj, ABC)            the version tags of obj's class and of the
//                                   ABC, and abc's cache token, which moves on
//                                   every register() (AbcCheck)
//   a module global                 from 3.12 on, a dict watcher on the dicts
//                                   it was read from (Global, GlobalAttribute);
//                                   before, it is looked up at every use
//   an attribute of an instance     nothing kept: the instance's dict is read
//                                   at each use (instance_attribute)
//
// Answers are borrowed from the dicts that hold them: an unchanged version
// tag or an unfired watcher means those dicts still hold them.
//
// A build with fast paths off (make build FAST_PATHS=off) remembers nothing:
// every ClassMemo hands out its empty fact, AbcCheck and Global go the plain
// way, and so every operation takes the route of its Python line.  The test
// suite runs both ways.
#pragma once

#include "errors.hpp"
#include "module.hpp"

#include <cstdint>

#ifndef TESSEL_FAST_PATHS
#define TESSEL_FAST_PATHS 1
#endif

namespace tessel {

inline constexpr bool fast_paths = TESSEL_FAST_PATHS != 0;

// -------------------------------------------------------------- classes

// The version tag of a class, assigned if it has none yet; 0 when it cannot
// have one (nothing is remembered for it then).
unsigned int assign_class_version(PyTypeObject *type);
inline unsigned int class_version(PyTypeObject *type) {
    return compat::type_version_valid(type) ? type->tp_version_tag : assign_class_version(type);
}

// What a lookup of `name` on the class finds, through its MRO (borrowed, no
// error set; null when nothing).  No code of the caller's runs: the keys are
// strings.
PyObject *class_attribute(PyTypeObject *type, PyObject *name);

// What super(klass, obj).name finds for an instance of `type`: the first
// class after `klass` in type's MRO whose dict has `name`.  Null, without an
// error, when there is none, `klass` is not in the MRO, or a class dict's key
// failed to compare (the plain route then meets that error itself).
Ref super_target(PyTypeObject *type, PyObject *klass, PyObject *name);

// A fact worked out from a class's lookups (which functions obj[key], super()
// or a method call would reach, say), remembered per class while its version
// tag stands.  `Fact{}` must mean "no shortcut": it is what every lookup gives
// when fast paths are off, and what a class without a version tag is told
// when `make` cannot be trusted either.  `make(type)` runs with no exception
// pending and must not leave one; its fact is remembered only if the class
// kept its tag meanwhile.
template <typename Fact, int Ways = 16>
class ClassMemo {
public:
    template <typename Make>
    Fact get(PyTypeObject *type, Make &&make) {
        if constexpr (!fast_paths) {
            (void)type;
            (void)make;
            return Fact{};
        } else {
            unsigned int tag = class_version(type);
            if (!tag) return make(type);
            Entry &e = entries_[(reinterpret_cast<uintptr_t>(type) >> 6) % Ways];
            if (e.type == type && e.tag == tag) {
                TESSEL_CHECK(PyType_Check(reinterpret_cast<PyObject *>(type)));
                return e.fact;
            }
            Fact fact = make(type);
            if (class_version(type) == tag) e = {type, tag, fact};
            return fact;
        }
    }
    void forget() {
        for (Entry &e : entries_) e = {};
    }

private:
    struct Entry {
        PyTypeObject *type = nullptr;  // compared only
        unsigned int tag = 0;
        Fact fact{};
    };
    Entry entries_[Ways];
};

// A function of the standard library as a module found it at import, with
// its code: later lookups that find the same function with the same code
// (nobody assigned its __code__) may run the known steps of its body.
class KnownFunction {
public:
    // Remembers `function` when it is a plain Python function; 0, or -1 on error.
    int set(PyObject *function);
    PyObject *get() const { return function_.get(); }
    // Whether `found` is that function with its code unchanged (false when
    // fast paths are off).
    bool is(PyObject *found) const;
    // Whether the function's code is still the one it had.
    bool unchanged() const;

private:
    Held function_, code_;
};

// -------------------------------------------------------------- isinstance

// isinstance(obj, cls).  When cls is a class whose metaclass is abc.ABCMeta
// unchanged, the answer is remembered per class of obj while that class, cls
// and abc's cache token stay as they were, and only for classes whose
// instances report their own class as __class__ (the ABC asks only the
// class then).  Any other cls is asked every time.
class AbcCheck {
public:
    int operator()(PyObject *obj, PyObject *cls);
    void forget() {
        for (Entry &e : entries_) e = {};
    }

private:
    static constexpr int kWays = 64;
    struct Entry {
        PyTypeObject *type = nullptr;  // compared only
        PyObject *cls = nullptr;       // compared only
        unsigned int type_tag = 0, cls_tag = 0, meta_tag = 0;
        long long token = -1;
        bool answer = false;
    };
    Entry entries_[kWays];
};

// -------------------------------------------------------------- instances

// obj.__dict__[name] for an object with an instance dict, the dict held
// while it is searched (a key's __eq__ may replace it): 1 with `out` set,
// 0 when the dict lacks the name or the object has no dict, -1 on error.
// Callers use it where obj's class has no data descriptor of that name, so
// that the instance dict is what attribute lookup consults first.
int instance_attribute(PyObject *obj, PyObject *name, Ref &out);

// -------------------------------------------------------------- module globals

// A value borrowed from watched dicts, and the count of their changes when
// it was read (see lookup.cpp).
struct WatchedValue {
    PyObject *value = nullptr;
    uint64_t generation = 0;
};

// A module global read at each use, as Python code reads a global name: the
// module's dict first, then the builtins; NameError when neither has it.
class Global {
public:
    explicit Global(const char *name) : name_(name) {}
    Ref get() const;

private:
    friend class GlobalAttribute;
    Name name_;
    mutable WatchedValue kept_;
};

// `GLOBAL.ATTRIBUTE` read at each use (e.g. weakref.ref): the global as
// Global reads it, then the attribute; a plain module's attribute is read
// from its dict.
class GlobalAttribute {
public:
    GlobalAttribute(const char *global, const char *attribute) : global_(global), attribute_(attribute) {}
    Ref get() const;

private:
    Global global_;
    Name attribute_;
    mutable int module_reads_dict_ = -1;  // the module type has no data descriptor of the name (-1: not asked yet)
    mutable WatchedValue kept_;
};

}  // namespace tessel
