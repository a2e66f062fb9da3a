// generator.cpp — the generator type: next, send, throw, close and delegation.
#include "internal.hpp"

#include "module.hpp"

#include <structmember.h>

#include <new>
#include <vector>

namespace tessel {

Site &GeneratorSpec::site() {
    if (!site_) {
        std::string full = std::string(module_full_name()) + "." + qualname_;
        site_ = std::make_unique<Site>(std::move(full), where_.file_name(),
                                       static_cast<int>(where_.line()));
    }
    return *site_;
}

PyObject *GeneratorSpec::name_object() {
    if (!name_object_) name_object_.set(Ref::steal(PyUnicode_InternFromString(name_)));
    return name_object_.get();
}

PyObject *GeneratorSpec::qualname_object() {
    if (!qualname_object_) qualname_object_.set(Ref::steal(PyUnicode_FromString(qualname_)));
    return qualname_object_.get();
}

namespace {

struct Generator {
    PyObject_HEAD
    GeneratorBody *body;   // the scope; null once finished
    PyObject *yieldfrom;   // the iterator being delegated to, or null
    PyObject *name, *qualname;
    GeneratorSpec *spec;   // process lifetime
    bool running, started;
    unsigned link;         // its place in a chain of ours delegating to each other
    PyObject *weakreflist;
};

Generator *as_gen(PyObject *o) { return reinterpret_cast<Generator *>(o); }

Name n_send("send"), n_throw("throw"), n_close("close");

// Frees the scope.  The body's references may run arbitrary code as they go.
void finish(Generator *g) {
    Py_CLEAR(g->yieldfrom);
    std::unique_ptr<GeneratorBody> body(std::exchange(g->body, nullptr));
}

// The body raised (or let an exception through): the generator is finished.
// A StopIteration leaving the body becomes RuntimeError, as in Python; one
// thrown into a generator that never ran passes unchanged where the
// interpreter lets it (see compat::GeneratorRules).
PyObject *fail(Generator *g) {
    bool unstarted = !g->started && g->body && !g->yieldfrom;
    finish(g);
    if (error_is(PyExc_StopIteration) &&
        !(unstarted && compat::generator_rules.unstarted_passes_stop_iteration))
        replace_error(PyExc_RuntimeError, "generator raised StopIteration");
    g->spec->site().add_traceback();
    return nullptr;
}

bool already_running(Generator *g) {
    if (!g->running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

// Resumes the generator.  `sent` is the value of send(), or null for next().
// Returns the next value; null without an error when the generator is done.
PyObject *resume(Generator *g, PyObject *sent) {
    // Every resumption is one level of the interpreter's recursion, as a
    // Python generator's frame is: a chain of generators that delegate to
    // each other (one per level of nested data) ends in RecursionError
    // instead of overflowing the C stack.  The stack itself is watched too,
    // for interpreters that allow many C levels: at every eighth link of a
    // chain (the levels between take far less than the check's margin).
    // As in Python, a generator that could not be resumed is finished.
    static const char where[] = " while resuming a generator";
    RecursionGuard guard(where);
    if (!guard || (g->link % 8 == 0 && !stack_has_room(where))) return fail(g);
    g->running = true;
    for (;;) {
        if (g->yieldfrom) {
            // `yield from`: None (next()) goes to the iterator's __next__,
            // any other value to its send().
            Ref sub = Ref::borrow(g->yieldfrom);
            Ref value = (!sent || sent == Py_None)
                            ? Ref::steal(Py_TYPE(sub.get())->tp_iternext
                                             ? Py_TYPE(sub.get())->tp_iternext(sub.get())
                                             : PyIter_Next(sub.get()))
                            : call_method(sub.get(), n_send, {sent});
            if (value) {
                g->running = false;
                return value.release();
            }
            if (PyErr_Occurred()) {
                if (!error_is(PyExc_StopIteration)) {
                    g->running = false;
                    return fail(g);
                }
                PyErr_Clear();  // the sub-iterator's return value is not used
            }
            Py_CLEAR(g->yieldfrom);
        }
        // The body itself never sees a sent value; whatever it delegates to
        // next is started with next(), as `yield from` starts an iterator.
        sent = nullptr;
        if (!g->body) {
            g->running = false;
            return nullptr;
        }
        Ref out;
        // At the boundary here, not only at the slot: a body that fails in
        // C++ must still leave the generator not running.
        GeneratorBody::Step step =
            at_boundary(GeneratorBody::Step::Error, [&] { return g->body->resume(out); });
        g->started = true;
        TESSEL_CHECK(step == GeneratorBody::Step::Error ? PyErr_Occurred() != nullptr
                                                        : !PyErr_Occurred() && (step == GeneratorBody::Step::Return || out));
        switch (step) {
        case GeneratorBody::Step::Yield:
            g->running = false;
            return out.release();
        case GeneratorBody::Step::YieldFrom:
            g->yieldfrom = PyObject_GetIter(out.get());
            if (!g->yieldfrom) {
                g->running = false;
                return fail(g);
            }
            if (Py_TYPE(g->yieldfrom) == &GeneratorType) as_gen(g->yieldfrom)->link = g->link + 1;
            continue;
        case GeneratorBody::Step::Return:
            g->running = false;
            finish(g);
            return nullptr;
        case GeneratorBody::Step::Error:
            g->running = false;
            return fail(g);
        }
    }
}

// What send() and throw() return when the generator goes on: its next value,
// or StopIteration when it finished instead.
PyObject *next_or_stop(PyObject *result) {
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

PyObject *gen_iternext(PyObject *self) {
    Generator *g = as_gen(self);
    if (already_running(g)) return nullptr;
    if (!g->yieldfrom && g->body) {
        Ref out;
        if (fast_paths && g->body->resume_quietly(out)) {
            g->started = true;
            return out.release();
        }
    }
    return resume(g, nullptr);
}

PyObject *gen_send(PyObject *self, PyObject *value) {
    Generator *g = as_gen(self);
    if (already_running(g)) return nullptr;
    if (!g->started && g->body && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    return next_or_stop(resume(g, value));
}

PyObject *gen_close(PyObject *self, PyObject *);

// Closes a delegated-to iterator, as `yield from` does on close() and
// GeneratorExit: its close(), if it has one.  A failing lookup of close is
// reported as unraisable and does not count as a failure, as in Python.
int close_iter(PyObject *iter) {
    // One of ours is closed directly, as the interpreter closes its own
    // generators: no lookup, and no level of recursion counted per link.
    if (Py_TYPE(iter) == &GeneratorType) return Ref::steal(gen_close(iter, nullptr)) ? 0 : -1;
    PyObject *close = nullptr;
    if (compat::lookup_attr(iter, n_close, &close) < 0) {
        PyErr_WriteUnraisable(iter);
        return 0;
    }
    Ref method = Ref::steal(close);
    if (!method) return 0;
    return call(method.get()) ? 0 : -1;
}

// The exception that throw(typ, val, tb) raises, checked as the interpreter checks it.
int set_thrown(PyObject *typ, PyObject *val, PyObject *tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return -1;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            Py_DECREF(typ);
            Py_XDECREF(val);
            Py_XDECREF(tb);
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return -1;
        }
        Py_XDECREF(val);
        val = typ;
        typ = compat::new_ref(PyExceptionInstance_Class(typ));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return -1;
    }
    PyErr_Restore(typ, val, tb);
    return 0;
}

// The iterator delegated to is done with: the body goes on from its
// `yield from`, and its next value is the result.
PyObject *after_yield_from(Generator *g) {
    PyErr_Clear();
    Py_CLEAR(g->yieldfrom);
    return next_or_stop(resume(g, nullptr));
}

// sub.throw(typ, val, tb) with the arguments that were given.  From 3.12 on
// a Python generator's throw() warns when it gets more than one, where the
// interpreter, passing an exception down its own chain of generators, warns
// once at the top: such a generator is given the same exception as one
// argument, the instance with its traceback, when it can be made here.
PyObject *throw_method_call(PyObject *sub, PyObject *method, PyObject *typ, PyObject *val,
                            PyObject *tb) {
    if (compat::generator_rules.three_argument_throw_warns && PyGen_CheckExact(sub) &&
        (val || tb)) {
        if (set_thrown(typ, val, tb) == 0) {
            PyObject *type, *value, *trace;
            PyErr_Fetch(&type, &value, &trace);
            PyErr_NormalizeException(&type, &value, &trace);
            if (!value) {
                PyErr_Restore(type, value, trace);
                return nullptr;
            }
            Ref held_type = Ref::steal(type), held_value = Ref::steal(value),
                held_trace = Ref::steal(trace);
            if (held_trace && PyException_SetTraceback(held_value.get(), held_trace.get()) < 0)
                return nullptr;
            return call(method, held_value.get()).release();
        }
        PyErr_Clear();  // the generator itself reports what is wrong
    }
    return PyObject_CallFunctionObjArgs(method, typ, val, tb, nullptr);
}

// throw(typ, val, tb) once the method's own arguments are unpacked; a chain
// of our generators delegating to each other passes it down directly, as
// the interpreter passes it down a chain of its generators.
PyObject *throw_into(Generator *g, PyObject *typ, PyObject *val, PyObject *tb) {
    // A running generator delegates nothing: it fails below, once the
    // exception has been checked, as the interpreter's does.
    if (g->yieldfrom && !g->running) {
        // The exception goes down the whole chain of delegating generators.
        if (!stack_has_room(" while throwing into a generator")) return fail(g);
        Ref sub = Ref::borrow(g->yieldfrom);
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            g->running = true;
            int closed = close_iter(sub.get());
            g->running = false;
            if (closed < 0) {
                // Raised at the `yield from`.
                if (compat::generator_rules.stop_iteration_at_yield_from_returns &&
                    error_is(PyExc_StopIteration))
                    return after_yield_from(g);
                return fail(g);
            }
        } else {
            // Ours is thrown into directly (as close_iter closes it).  An
            // error looking up throw leaves the generator as it was.
            bool ours = Py_TYPE(sub.get()) == &GeneratorType;
            PyObject *throw_method = nullptr;
            if (!ours && compat::lookup_attr(sub.get(), n_throw, &throw_method) < 0) return nullptr;
            Ref method = Ref::steal(throw_method);
            if (ours || method) {
                g->running = true;
                Ref value = Ref::steal(ours ? throw_into(as_gen(sub.get()), typ, val, tb)
                                            : throw_method_call(sub.get(), method.get(), typ, val, tb));
                g->running = false;
                if (value) return value.release();
                if (error_is(PyExc_StopIteration)) return after_yield_from(g);
                return fail(g);
            }
        }
    }
    // Raised where the body stands.  Our bodies have no handlers: the
    // exception ends the generator.
    if (set_thrown(typ, val, tb) < 0) return nullptr;
    if (already_running(g)) return nullptr;  // replaces the thrown exception
    if (!g->body && !g->yieldfrom) return nullptr;  // already finished: just raise
    if (g->yieldfrom && compat::generator_rules.stop_iteration_at_yield_from_returns &&
        error_is(PyExc_StopIteration))
        return after_yield_from(g);
    return fail(g);
}

PyObject *gen_throw(PyObject *self, PyObject *args) {
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (compat::generator_rules.three_argument_throw_warns && PyTuple_GET_SIZE(args) > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the "
                     "single-arg signature instead.",
                     1) < 0)
        return nullptr;
    return throw_into(as_gen(self), typ, val, tb);
}

// The rest of close() once closing the iterator that `g` delegates to has
// succeeded (`closed` 0) or failed (-1, with the error pending): None, or
// null with an error.
PyObject *close_after_delegate(Generator *g, int closed) {
    if (closed == 0) {
        finish(g);
        Py_RETURN_NONE;
    }
    // Raised at the `yield from` in place of GeneratorExit.
    if (compat::generator_rules.stop_iteration_at_yield_from_returns &&
        error_is(PyExc_StopIteration)) {
        // The body goes on, and must not yield again.
        PyObject *result = after_yield_from(g);
        if (result) {
            Py_DECREF(result);
            PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
            return nullptr;
        }
    } else {
        fail(g);
    }
    // As close() does after GeneratorExit: these mean "closed".
    if (error_is(PyExc_StopIteration) || error_is(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// close() closes what the generator delegates to first.  Down a chain of our
// generators delegating to each other (one per level of nested data) that is
// done in a loop, not by recursion, so that a chain closes on any stack (and
// so when it is collected): the bottom one's iterator is closed, then each
// generator, from the bottom up, goes on as closing the one below went.
PyObject *close_chain(Generator *g);

PyObject *gen_close(PyObject *self, PyObject *) {
    Generator *g = as_gen(self);
    if (already_running(g)) return nullptr;
    if (!g->yieldfrom) {
        finish(g);
        Py_RETURN_NONE;
    }
    // Closing may come back here through other code (a Python generator
    // delegating to one of ours, and so on).
    if (!stack_has_room(" while closing a generator")) return fail(g);
    return close_chain(g);
}

// close() of a generator that delegates and is not running.
PyObject *close_chain(Generator *g) {
    PyObject *self = reinterpret_cast<PyObject *>(g);
    std::vector<Ref> chain;
    try {
        chain.push_back(Ref::borrow(self));
        g->running = true;  // also marks the chain's members as it grows
        for (;;) {
            PyObject *sub = as_gen(chain.back().get())->yieldfrom;
            if (Py_TYPE(sub) != &GeneratorType || as_gen(sub)->running || !as_gen(sub)->yieldfrom)
                break;
            chain.push_back(Ref::borrow(sub));
            as_gen(sub)->running = true;
        }
    } catch (const std::bad_alloc &) {
        for (const Ref &r : chain) as_gen(r.get())->running = false;
        return PyErr_NoMemory();
    }
    Ref bottom = Ref::borrow(as_gen(chain.back().get())->yieldfrom);
    int closed = close_iter(bottom.get());
    Ref result;
    for (size_t i = chain.size(); i-- > 0;) {
        Generator *member = as_gen(chain[i].get());
        member->running = false;
        result = Ref::steal(close_after_delegate(member, closed));
        closed = result ? 0 : -1;
    }
    return result.release();
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
    Generator *g = as_gen(self);
    Py_VISIT(g->yieldfrom);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    if (g->body) return g->body->traverse(visit, arg);
    return 0;
}

int gen_clear(PyObject *self) {
    Generator *g = as_gen(self);
    if (!g->running) finish(g);
    return 0;
}

// A generator collected while it delegates is closed first, as Python closes
// its own: the iterator it delegates to sees close() (a failure is reported
// as unraisable).  Without a delegation there is nothing to see: the body has
// no handlers, and freeing it is all that closing would do.
void gen_finalize(PyObject *self) {
    Generator *g = as_gen(self);
    if (!g->yieldfrom || g->running) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // Closed whatever the stack left: the rest of a chain that ran out of it
    // is freed here, and closing it (in a loop) first is what keeps freeing
    // it from going down the chain level by level.
    PyObject *result = close_chain(g);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, tb);
}

void gen_dealloc(PyObject *self) {
    Generator *g = as_gen(self);
    if (g->yieldfrom && !g->running) {
        PyObject_GC_UnTrack(self);
        if (g->weakreflist) PyObject_ClearWeakRefs(self);
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // brought back to life
    }
    PyObject_GC_UnTrack(self);
    // Freeing a generator frees the one it delegates to, and so on down a
    // chain as long as the data was deep: the trashcan defers the deep end.
    Py_TRASHCAN_BEGIN(self, gen_dealloc)
    if (g->weakreflist) PyObject_ClearWeakRefs(self);
    finish(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(self);
    Py_TRASHCAN_END
}

PyObject *gen_repr(PyObject *self) {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_gen(self)->qualname, self);
}

int set_string(PyObject **field, PyObject *value, const char *attr) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

PyObject *get_name(PyObject *self, void *) { return compat::new_ref(as_gen(self)->name); }
int set_name(PyObject *self, PyObject *v, void *) { return set_string(&as_gen(self)->name, v, "__name__"); }
PyObject *get_qualname(PyObject *self, void *) { return compat::new_ref(as_gen(self)->qualname); }
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_string(&as_gen(self)->qualname, v, "__qualname__");
}
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_gen(self)->running); }
PyObject *get_yieldfrom(PyObject *self, void *) {
    PyObject *y = as_gen(self)->yieldfrom;
    return compat::new_ref(y ? y : Py_None);
}
PyObject *get_code(PyObject *self, void *) {
    PyObject *code = as_gen(self)->spec->site().code();
    return code ? compat::new_ref(code) : nullptr;
}
PyObject *get_frame(PyObject *, void *) { Py_RETURN_NONE; }

PyGetSetDef gen_getset[] = {
    {"__name__", slot<get_name>, slot<set_name>, nullptr, nullptr},
    {"__qualname__", slot<get_qualname>, slot<set_qualname>, nullptr, nullptr},
    {"gi_running", slot<get_running>, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", slot<get_yieldfrom>, nullptr, nullptr, nullptr},
    {"gi_code", slot<get_code>, nullptr, nullptr, nullptr},
    {"gi_frame", slot<get_frame>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", slot<gen_send>, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", slot<gen_throw>, METH_VARARGS, "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next yielded value or raise StopIteration."},
    {"close", slot<gen_close>, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject GeneratorType{};

int ready_generator_type() {
    PyTypeObject &t = GeneratorType;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    compat::init_static_type(t);
    t.tp_name = "orvane.tessel.generator";
    t.tp_basicsize = sizeof(Generator);
    t.tp_dealloc = slot<gen_dealloc>;
    t.tp_repr = slot<gen_repr>;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = slot<gen_traverse>;
    t.tp_clear = slot<gen_clear>;
    t.tp_finalize = slot<gen_finalize>;
    t.tp_weaklistoffset = offsetof(Generator, weakreflist);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = slot<gen_iternext>;
    t.tp_methods = gen_methods;
    t.tp_getset = gen_getset;
    return PyType_Ready(&t);
}


Ref make_generator(GeneratorSpec &spec, std::unique_ptr<GeneratorBody> body) {
    if (ready_generator_type() < 0) return {};
    Ref name = Ref::borrow(spec.name_object());
    Ref qualname = Ref::borrow(spec.qualname_object());
    if (!name || !qualname) return {};
    Generator *g = PyObject_GC_New(Generator, &GeneratorType);
    if (!g) return {};
    g->body = body.release();
    g->yieldfrom = nullptr;
    g->name = name.release();
    g->qualname = qualname.release();
    g->spec = &spec;
    g->running = false;
    g->started = false;
    g->link = 0;
    g->weakreflist = nullptr;
    PyObject_GC_Track(g);
    return Ref::steal(reinterpret_cast<PyObject *>(g));
}

}  // namespace tessel
