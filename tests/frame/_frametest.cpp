// _frametest.cpp — a small module that exercises the frame for its own tests:
// argument binding, closures, super(), static methods and generators.
#include "tessel.hpp"

#include <new>
#include <vector>

using namespace tessel;

namespace {

Name n_hello("hello");

// def signature(a, b, c=3, *args, **kwargs): return (a, b, c, args, kwargs)
PyObject *signature(Call &c) {
    return PyTuple_Pack(5, c[0], c[1], c[2], c[3], c[4]);
}

// def one(x): return x
PyObject *one(Call &c) { return compat::new_ref(c[0]); }

// def fail(message): raise ValueError(message)
PyObject *fail(Call &c) {
    PyErr_SetObject(PyExc_ValueError, c[0]);
    return nullptr;
}

// def replace(message): try: raise KeyError(message) except KeyError: raise ValueError("replaced")
PyObject *replace(Call &c) {
    PyErr_SetObject(PyExc_KeyError, c[0]);
    return replace_error(PyExc_ValueError, "replaced");
}

// class Base: def hello(self): return "Base"
PyObject *Base_hello(Call &) { return PyUnicode_FromString("Base"); }
// @staticmethod def twice(x): return (x, x)
PyObject *Base_twice(Call &c) { return PyTuple_Pack(2, c[0], c[0]); }

// class Child(Base): def hello(self): return super().hello() + "Child"
PyObject *Child_hello(Call &c) {
    Ref base = super_call(c, n_hello);
    if (!base) return nullptr;
    return PyUnicode_FromFormat("%UChild", base.get());
}

// def orphan(self): return super().hello()   (not defined in a class)
PyObject *orphan(Call &c) { return super_call(c, n_hello).release(); }

// def make_adder(n): def add(x): return x + n; return add
PyObject *make_adder_add(Call &c) { return PyNumber_Add(c[0], c.captured(0)); }
NestedFunction make_adder_add_fn("add", "make_adder.<locals>.add", make_adder_add, {"x"});
PyObject *make_adder(Call &c) {
    Ref captured = Ref::steal(PyTuple_Pack(1, c[0]));
    if (!captured) return nullptr;
    return make_adder_add_fn.make(captured).release();
}

// def countdown(n): while n > 0: yield n; n -= 1
GeneratorSpec countdown_spec("countdown", "countdown");
class Countdown : public GeneratorBody {
public:
    explicit Countdown(long n) : n_(n) {}
    Step resume(Ref &out) override {
        if (n_ <= 0) return Step::Return;
        out = Ref::steal(PyLong_FromLong(n_--));
        return out ? Step::Yield : Step::Error;
    }
    int traverse(visitproc, void *) override { return 0; }

private:
    long n_;
};
PyObject *countdown(Call &c) {
    long n = PyLong_AsLong(c[0]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    return make_generator(countdown_spec, std::make_unique<Countdown>(n)).release();
}

// def chain(*iterables): for it in iterables: yield 'start'; yield from it
GeneratorSpec chain_spec("chain", "chain");
class Chain : public GeneratorBody {
public:
    explicit Chain(PyObject *iterables) : iterables_(Ref::borrow(iterables)) {}
    Step resume(Ref &out) override {
        if (pending_) {
            out = std::move(pending_);
            return Step::YieldFrom;
        }
        if (i_ >= PyTuple_GET_SIZE(iterables_.get())) return Step::Return;
        pending_ = Ref::borrow(PyTuple_GET_ITEM(iterables_.get(), i_++));
        out = Ref::steal(PyUnicode_FromString("start"));
        return out ? Step::Yield : Step::Error;
    }
    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(iterables_.get());
        Py_VISIT(pending_.get());
        return 0;
    }

private:
    Ref iterables_, pending_;
    Py_ssize_t i_ = 0;
};
PyObject *chain(Call &c) { return make_generator(chain_spec, std::make_unique<Chain>(c[0])).release(); }

// def broken(): yield 1; raise StopIteration
GeneratorSpec broken_spec("broken", "broken");
class Broken : public GeneratorBody {
public:
    Step resume(Ref &out) override {
        if (step_++ == 0) {
            out = Ref::steal(PyLong_FromLong(1));
            return Step::Yield;
        }
        PyErr_SetNone(PyExc_StopIteration);
        return Step::Error;
    }
    int traverse(visitproc, void *) override { return 0; }

private:
    int step_ = 0;
};
PyObject *broken(Call &) { return make_generator(broken_spec, std::make_unique<Broken>()).release(); }

// class Recorder: def __init__(self, *args, **kwargs): self.args = args; self.kwargs = kwargs
PyObject *Recorder_init(Call &c) {
    if (PyObject_SetAttrString(c[0], "args", c[1]) < 0 ||
        PyObject_SetAttrString(c[0], "kwargs", c[2]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// class Weird: def __init__(self, value): return value
PyObject *Weird_init(Call &c) { return compat::new_ref(c[1]); }

// def make_class(bases): class Made(*bases): "Made at run time." ; def hello(self): ...
PyObject *make_class(Call &c) {
    if (!PyTuple_Check(c[0])) return raise(PyExc_TypeError, "bases must be a tuple");
    Module m;
    return m.define_class("Made", c[0], "Made at run time.", {
        method("hello", Base_hello, {"self"}),
        value("marker", Ref::steal(PyLong_FromLong(7))),
    }).release();
}

// def version_check(major, minor, running): the create step's check, for a
// library built for major.minor under an interpreter reporting `running`.
PyObject *version_check(Call &c) {
    int major = PyLong_AsLong(c[0]), minor = PyLong_AsLong(c[1]);
    if (PyErr_Occurred()) return nullptr;
    const char *running = PyUnicode_AsUTF8(c[2]);
    if (!running) return nullptr;
    if (warn_on_version_mismatch(major, minor, running, "orvane.tessel.example") < 0) return nullptr;
    Py_RETURN_NONE;
}

// The guarded lookups, one by one.
Global g_target("target");
GlobalAttribute g_target_value("target", "value");
AbcCheck abc_check;

PyObject *read_global(Call &) { return g_target.get().release(); }
PyObject *read_attribute(Call &) { return g_target_value.get().release(); }
PyObject *is_instance(Call &c) {
    int r = abc_check(c[0], c[1]);
    return r < 0 ? nullptr : boolean(r).release();
}

// def text(*parts): return ''.join(parts), through one TextWriter
PyObject *text(Call &c) {
    TextWriter out;
    PyObject *parts = c[0];
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts); ++i) {
        PyObject *part = PyTuple_GET_ITEM(parts, i);
        if (!PyUnicode_Check(part)) return raise(PyExc_TypeError, "text() takes str parts");
        if (out.str(part) < 0) return nullptr;
    }
    return out.finish();
}

// A body whose container cannot grow.
PyObject *exhaust(Call &) { throw std::bad_alloc(); }

int exec(Module &m) {
    if (m.uses_generators() < 0) return -1;
    if (m.define_function(function("signature", signature, {"a", "b", "c", "*args", "**kwargs"},
                           "Returns its bound arguments.", defaults({Ref::steal(PyLong_FromLong(3))}))) < 0 ||
        m.define_function(function("one", one, {"x"})) < 0 ||
        m.define_function(function("version_check", version_check, {"major", "minor", "running"})) < 0 ||
        m.define_function(function("fail", fail, {"message"})) < 0 ||
        m.define_function(function("replace", replace, {"message"})) < 0 ||
        m.define_function(function("orphan", orphan, {"self"})) < 0 ||
        m.define_function(function("make_adder", make_adder, {"n"})) < 0 ||
        m.define_function(function("countdown", countdown, {"n"})) < 0 ||
        m.define_function(function("chain", chain, {"*iterables"})) < 0 ||
        m.define_function(function("broken", broken, {})) < 0 ||
        m.define_function(function("make_class", make_class, {"bases"})) < 0 ||
        m.define_function(function("read_global", read_global, {})) < 0 ||
        m.define_function(function("read_attribute", read_attribute, {})) < 0 ||
        m.define_function(function("is_instance", is_instance, {"obj", "cls"})) < 0 ||
        m.define_function(function("text", text, {"*parts"})) < 0 ||
        m.define_function(function("exhaust", exhaust, {})) < 0)
        return -1;
    Ref base = m.define_class("Base", {m.builtin("object")}, "A base class.", {
        method("hello", Base_hello, {"self"}),
        static_method("twice", Base_twice, {"x"}),
        value("answer", Ref::steal(PyLong_FromLong(42))),
    });
    if (!base) return -1;
    Ref child = m.define_class("Child", {base.get()}, nullptr, {
        method("hello", Child_hello, {"self"}),
    });
    if (!child) return -1;
    if (!m.define_class("Recorder", {m.builtin("object")}, nullptr, {
            method("__init__", Recorder_init, {"self", "*args", "**kwargs"}),
        }) ||
        !m.define_class("Weird", {m.builtin("object")}, nullptr, {
            method("__init__", Weird_init, {"self", "value"}),
        }))
        return -1;
    // Whether the libraries were built with their fast paths (tests of what
    // only a fast path achieves, such as drawing without C recursion).
    return m.set("fast_paths", boolean(fast_paths));
}

}  // namespace

TESSEL_MODULE(_frametest, "_frametest", "Frame test module.", exec)
