// generator.hpp — the lazy iterator type.
//
// A generator runs a `GeneratorBody`: a C++ object that holds the body's local
// state (its scope) and advances it one yield at a time.  The generator owns
// the body and frees it when it finishes or is collected.  Nothing runs until
// the first next().  A body may delegate to another iterator (`yield from`);
// send(), throw() and close() then go to that iterator first, as in Python.
#pragma once

#include "errors.hpp"

#include <memory>
#include <source_location>

namespace tessel {

class GeneratorBody {
public:
    enum class Step { Yield, YieldFrom, Return, Error };
    virtual ~GeneratorBody() = default;
    // Runs to the next yield.  Yield: `out` is the value; YieldFrom: `out` is
    // the iterable to delegate to; Return: finished; Error: an exception is set.
    virtual Step resume(Ref &out) = 0;
    // Visits every object the scope holds (for the cycle collector).
    virtual int traverse(visitproc visit, void *arg) = 0;
    // An optional shortcut for next(): when the next value can be had without
    // running any code of the interpreter's (no call, no release that could
    // free an object), sets `out` to it and returns true; the generator then
    // skips the guards that protect a resumption which may call out.  Returns
    // false, changing nothing, to take the ordinary resume().
    virtual bool resume_quietly(Ref &) { return false; }
};

// The names of a kind of generator, e.g. {"__iter__", "Frayle.__iter__"}.
class GeneratorSpec {
public:
    GeneratorSpec(const char *name, const char *qualname,
                  std::source_location where = std::source_location::current())
        : name_(name), qualname_(qualname), where_(where) {}
    const char *name() const { return name_; }
    const char *qualname() const { return qualname_; }
    Site &site();
    // The same names as str objects, made on first use and shared by every
    // generator of the kind (borrowed; null with an error if they cannot be made).
    PyObject *name_object();
    PyObject *qualname_object();

private:
    const char *name_, *qualname_;
    std::source_location where_;
    std::unique_ptr<Site> site_;
    Held name_object_, qualname_object_;
};

Ref make_generator(GeneratorSpec &spec, std::unique_ptr<GeneratorBody> body);

}  // namespace tessel
