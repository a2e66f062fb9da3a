// function.cpp — the function type, its argument binder and descriptor binding.
#include "internal.hpp"

#include "module.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <structmember.h>

namespace tessel {

// ---------------------------------------------------------------- signature

Signature::Signature(std::initializer_list<const char *> params) {
    for (const char *p : params) {
        if (p[0] == '*' && p[1] == '*') {
            varkw_ = static_cast<Py_ssize_t>(names_.size());
            names_.push_back(p + 2);
        } else if (p[0] == '*') {
            varargs_ = static_cast<Py_ssize_t>(names_.size());
            names_.push_back(p + 1);
        } else {
            names_.push_back(p);
            ++n_named_;
        }
    }
}

int Signature::intern() {
    if (!interned_.empty()) return 0;
    for (const char *n : names_) {
        PyObject *s = PyUnicode_InternFromString(n);
        if (!s) return -1;
        interned_.push_back(s);
    }
    return 0;
}

PyObject *Signature::interned(Py_ssize_t i) const { return interned_[static_cast<size_t>(i)]; }

// ---------------------------------------------------------------- binding
//
// 1. Positional arguments fill the named parameters in order; the rest go to
//    "*args", or fail the positional count.
// 2. Each keyword names a parameter (by identity, then by value), or goes to
//    "**kwargs", or fails: multiple values, not a string, unexpected.
// 3. Unfilled parameters take their defaults, or fail the positional count.

namespace {

[[gnu::cold]] PyObject *positional_count_error(const Function *f, Py_ssize_t given) {
    const Signature &s = f->spec->sig;
    Py_ssize_t n_defaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    Py_ssize_t required = s.named() - n_defaults;
    bool exact = n_defaults == 0 && !s.varargs();
    Py_ssize_t count = given < required ? required : s.named();
    const char *how = exact ? "exactly" : given < required ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->spec->name, how, count, count == 1 ? "" : "s", given);
    return nullptr;
}

Py_ssize_t find_keyword(const Signature &s, PyObject *key) {
    for (Py_ssize_t j = 0; j < s.named(); ++j)
        if (s.interned(j) == key) return j;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t j = 0; j < s.named(); ++j)
        if (compat::str_equal(s.interned(j), key)) return j;
    return -1;
}

constexpr Py_ssize_t kInlineSlots = 8;

// The slow path: keywords, defaults, variadics or a wrong count.
PyObject *bind_and_call(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const Signature &s = f->spec->sig;
    const Py_ssize_t named = s.named();
    if (nargs > named && !s.varargs()) return positional_count_error(f, nargs);

    std::array<PyObject *, kInlineSlots> inline_slots{};
    std::vector<PyObject *> heap_slots;
    PyObject **slots = inline_slots.data();
    if (s.slots() > kInlineSlots) {
        heap_slots.assign(static_cast<size_t>(s.slots()), nullptr);
        slots = heap_slots.data();
    }

    Py_ssize_t n_positional = nargs < named ? nargs : named;
    for (Py_ssize_t i = 0; i < n_positional; ++i) slots[i] = args[i];

    Ref varargs, varkw;
    if (s.varargs()) {
        varargs = Ref::steal(compat::tuple_from_array(args + n_positional, nargs - n_positional));
        if (!varargs) return nullptr;
        slots[s.varargs_slot()] = varargs.get();
    }
    if (s.varkw()) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) return nullptr;
        slots[s.varkw_slot()] = varkw.get();
    }

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        Py_ssize_t j = find_keyword(s, key);
        if (j >= 0) {
            if (slots[j]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             f->spec->name, key);
                return nullptr;
            }
            slots[j] = value;
        } else if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
            return nullptr;
        } else if (varkw) {
            if (PyDict_SetItem(varkw.get(), key, value) < 0) return nullptr;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->spec->name, key);
            return nullptr;
        }
    }

    // Defaults are read from __defaults__ as it stands at the call.
    Ref defaults = Ref::borrow(f->defaults);
    Py_ssize_t n_defaults = PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
    Py_ssize_t first_default = named - n_defaults;
    for (Py_ssize_t j = n_positional; j < named; ++j) {
        if (slots[j]) continue;
        if (j < first_default) return positional_count_error(f, nargs);
        slots[j] = PyTuple_GET_ITEM(defaults.get(), j - first_default);
    }

    // Every parameter is bound by now: the body reads each slot unchecked.
    TESSEL_CHECK(std::all_of(slots, slots + s.slots(), [](PyObject *p) { return p != nullptr; }));
    Call call{f, slots};
    return f->spec->body(call);
}

// What every body's result must satisfy: a value and no error, or an error.
PyObject *checked_result(FunctionSpec *spec, PyObject *result) {
    TESSEL_CHECK(!result || !PyErr_Occurred());
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "function returned NULL without setting an error");
        spec->site.add_traceback();
    }
    return result;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    Function *f = reinterpret_cast<Function *>(callable);
    FunctionSpec *spec = f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *result = at_boundary<PyObject *>(nullptr, [&]() -> PyObject * {
        if (!kwnames && nargs == spec->sig.slots() && !spec->sig.varargs() && !spec->sig.varkw()) {
            Call call{f, args};
            return spec->body(call);
        }
        // Keep the function alive while it runs: the call may drop the last
        // other reference (a closure deleting the attribute that held it).
        Ref keep = Ref::borrow(callable);
        return bind_and_call(f, args, nargs, kwnames);
    });
    return checked_result(spec, result);
}

// ---------------------------------------------------------------- __init__ slot
//
// A class whose __init__ is one of our functions gets this tp_init in place of
// the interpreter's generic one, which would turn the argument tuple and dict
// into a vector and a keyword-name tuple, for the binder to turn back.  It
// looks __init__ up on the instance's type at every call, exactly as the
// generic slot does, and takes the short way only when it finds a function of
// ours; assigning a new __init__ to the class resets the slot anyway.

PyObject *init_name() {
    static PyObject *name = PyUnicode_InternFromString("__init__");
    return name;
}

// Calls `f` with self, the tuple `args` and the dict `kwargs` (or null).
PyObject *call_with_tuple(Function *f, PyObject *self, PyObject *args, PyObject *kwargs) {
    const Signature &s = f->spec->sig;
    if (s.named() == 1 && s.varargs() && s.varkw()) {
        // Every keyword goes to **kwargs, unless it names `self` or is no string.
        if (kwargs) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name);
                    f->spec->site.add_traceback();
                    return nullptr;
                }
                if (find_keyword(s, key) == 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                                 f->spec->name, key);
                    f->spec->site.add_traceback();
                    return nullptr;
                }
            }
        }
        Ref kw = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
        if (!kw) return nullptr;
        PyObject *slots[3];
        slots[0] = self;
        slots[s.varargs_slot()] = args;
        slots[s.varkw_slot()] = kw.get();
        Call call{f, slots};
        return checked_result(f->spec, f->spec->body(call));
    }
    Ref full = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    if (!full) return nullptr;
    PyTuple_SET_ITEM(full.get(), 0, compat::new_ref(self));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        PyTuple_SET_ITEM(full.get(), i + 1, compat::new_ref(PyTuple_GET_ITEM(args, i)));
    return PyVectorcall_Call(reinterpret_cast<PyObject *>(f), full.get(), kwargs);
}

int function_init_slot(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    return at_boundary(-1, [&] {
    Ref init = Ref::borrow(compat::type_lookup(Py_TYPE(self), init_name()));
    Ref result;
    if (init && Py_TYPE(init.get()) == &FunctionType) {
        result = Ref::steal(call_with_tuple(reinterpret_cast<Function *>(init.get()), self, args, kwargs));
    } else if (init) {
        descrgetfunc get = Py_TYPE(init.get())->tp_descr_get;
        Ref bound = get ? Ref::steal(get(init.get(), self, reinterpret_cast<PyObject *>(Py_TYPE(self))))
                        : init;
        if (!bound) return -1;
        result = Ref::steal(PyObject_Call(bound.get(), args, kwargs));
    } else {
        PyErr_SetObject(PyExc_AttributeError, init_name());
        return -1;
    }
    if (!result) return -1;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return -1;
    }
    return 0;
    });
}

}  // namespace

void use_init_slot(PyObject *klass) {
    if (!fast_paths || !PyType_Check(klass) || !init_name()) return;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(klass);
    Ref dict = Ref::steal(compat::type_dict(type));
    PyObject *init = dict ? PyDict_GetItemWithError(dict.get(), init_name()) : nullptr;
    if (init && Py_TYPE(init) == &FunctionType) type->tp_init = function_init_slot;
    PyErr_Clear();
}

// ---------------------------------------------------------------- __get__ slot
//
// The same for a descriptor class whose __get__ is one of our functions.  The
// generic tp_descr_get looks __get__ up on the descriptor's type at every
// read and calls it with (descriptor, instance or None, owner or None)
// through a varargs helper; this slot does that same lookup and that same
// call, straight through vectorcall.  Assigning or deleting __get__ on the
// class puts the generic slot back, and subclasses get the generic one.

namespace {

PyObject *dunder_get() {
    static PyObject *name = PyUnicode_InternFromString("__get__");
    return name;
}

PyObject *function_get_slot(PyObject *self, PyObject *obj, PyObject *type) noexcept {
    Ref get = Ref::borrow(compat::type_lookup(Py_TYPE(self), dunder_get()));
    if (!get) return compat::new_ref(self);  // as the generic slot does
    PyObject *argv[4] = {nullptr, self, obj ? obj : Py_None, type ? type : Py_None};
    const size_t nargsf = 3 | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (Py_TYPE(get.get()) == &FunctionType)  // ours: straight to its binder
        return function_vectorcall(get.get(), argv + 1, nargsf, nullptr);
    return compat::vectorcall(get.get(), argv + 1, nargsf, nullptr);
}

}  // namespace

void use_get_slot(PyObject *klass) {
    if (!fast_paths || !PyType_Check(klass) || !dunder_get()) return;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(klass);
    Ref dict = Ref::steal(compat::type_dict(type));
    PyObject *get = dict ? PyDict_GetItemWithError(dict.get(), dunder_get()) : nullptr;
    if (get && Py_TYPE(get) == &FunctionType) type->tp_descr_get = function_get_slot;
    PyErr_Clear();
}

namespace {

// ---------------------------------------------------------------- the type

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return compat::new_ref(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *f = reinterpret_cast<Function *>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->klass);
    Py_VISIT(f->captured);
    return 0;
}

int function_clear(PyObject *self) {
    Function *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->captured);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Function *f = reinterpret_cast<Function *>(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    Function *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname ? f->qualname : Py_None, self);
}

// __name__ and __qualname__ must stay strings, as for Python functions.
int set_string(PyObject **field, PyObject *value, const char *attr) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

PyObject *get_name(PyObject *self, void *) {
    return compat::new_ref(reinterpret_cast<Function *>(self)->name);
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_string(&reinterpret_cast<Function *>(self)->name, value, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) {
    return compat::new_ref(reinterpret_cast<Function *>(self)->qualname);
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_string(&reinterpret_cast<Function *>(self)->qualname, value, "__qualname__");
}

PyObject *get_defaults(PyObject *self, void *) {
    return compat::new_ref(reinterpret_cast<Function *>(self)->defaults);
}
int set_defaults(PyObject *self, PyObject *value, void *) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<Function *>(self)->defaults, value);
    return 0;
}
PyObject *get_kwdefaults(PyObject *self, void *) {
    return compat::new_ref(reinterpret_cast<Function *>(self)->kwdefaults);
}
int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(reinterpret_cast<Function *>(self)->kwdefaults, value);
    return 0;
}

Name n_signature("__signature__");

// __signature__: what inspect.signature (and so help() and type-stub checkers)
// reports, made from the parameter table and the current __defaults__.  A
// value assigned to __signature__ is kept in __dict__ and wins, as it does for
// Python functions.
PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (f->dict) {
        PyObject *assigned = PyDict_GetItemWithError(f->dict, n_signature.get());  // borrowed
        if (assigned) return compat::new_ref(assigned);
        if (PyErr_Occurred()) return nullptr;
    }
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    const Signature &sig = f->spec->sig;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;
    // The defaults as they stand now, held: making the parameters calls code
    // that may assign __defaults__ meanwhile.
    Ref defaults = Ref::borrow(f->defaults);
    Py_ssize_t n_defaults = PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
    Py_ssize_t first_default = sig.named() - n_defaults;
    for (Py_ssize_t i = 0; i < sig.slots(); ++i) {
        const char *kind = i == sig.varargs_slot() ? "VAR_POSITIONAL"
                           : i == sig.varkw_slot() ? "VAR_KEYWORD"
                                                   : "POSITIONAL_OR_KEYWORD";
        Ref kind_value = Ref::steal(PyObject_GetAttrString(parameter.get(), kind));
        if (!kind_value) return nullptr;
        Ref args = Ref::steal(PyTuple_Pack(2, sig.interned(i), kind_value.get()));
        if (!args) return nullptr;
        Ref kwargs;
        if (i < sig.named() && i >= first_default && i - first_default < n_defaults) {
            kwargs = Ref::steal(PyDict_New());
            if (!kwargs || PyDict_SetItemString(kwargs.get(), "default",
                                                PyTuple_GET_ITEM(defaults.get(), i - first_default)) < 0)
                return nullptr;
        }
        Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref signature_class = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_class) return nullptr;
    return call(signature_class.get(), params.get()).release();
}
int set_signature(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<Function *>(self);
    if (!f->dict && !(f->dict = PyDict_New())) return -1;
    if (value) return PyDict_SetItem(f->dict, n_signature.get(), value);
    if (PyDict_DelItem(f->dict, n_signature.get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_SetString(PyExc_AttributeError, "__signature__");
        }
        return -1;
    }
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", slot<get_name>, slot<set_name>, nullptr, nullptr},
    {"__qualname__", slot<get_qualname>, slot<set_qualname>, nullptr, nullptr},
    {"__defaults__", slot<get_defaults>, slot<set_defaults>, nullptr, nullptr},
    {"__kwdefaults__", slot<get_kwdefaults>, slot<set_kwdefaults>, nullptr, nullptr},
    {"__signature__", slot<get_signature>, slot<set_signature>, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject FunctionType{};

int ready_function_type() {
    PyTypeObject &t = FunctionType;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    compat::init_static_type(t);
    t.tp_name = "orvane.tessel.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = slot<function_dealloc>;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = slot<function_repr>;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function whose body is native code.";
    t.tp_traverse = slot<function_traverse>;
    t.tp_clear = slot<function_clear>;
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = slot<function_descr_get>;
    t.tp_dictoffset = offsetof(Function, dict);
    return PyType_Ready(&t);
}


// ---------------------------------------------------------------- making functions

namespace {

// Specs live for the process: function objects point at them, and a failure's
// traceback entry may be made after the function object itself is gone.
std::vector<std::unique_ptr<FunctionSpec>> &spec_registry() {
    static auto *specs = new std::vector<std::unique_ptr<FunctionSpec>>();
    return *specs;
}

FunctionSpec *make_spec(const FunctionDef &def, const char *qualname) {
    std::string full = module_full_name();
    full += '.';
    full += qualname;
    auto spec = std::make_unique<FunctionSpec>(FunctionSpec{
        def.body, def.name, def.sig,
        Site(std::move(full), def.where.file_name(), static_cast<int>(def.where.line()))});
    if (spec->sig.intern() < 0) return nullptr;
    spec_registry().push_back(std::move(spec));
    return spec_registry().back().get();
}

Ref new_function(FunctionSpec *spec, const char *doc, const Ref &defaults, const char *qualname,
                 Ref captured) {
    if (ready_function_type() < 0) return {};
    Ref name = Ref::steal(PyUnicode_InternFromString(spec->name));
    Ref qual = Ref::steal(PyUnicode_FromString(qualname));
    Ref module = Ref::steal(PyUnicode_FromString(module_full_name()));
    Ref docstring = doc ? Ref::steal(PyUnicode_FromString(doc)) : none();
    if (!name || !qual || !module || !docstring) return {};
    Function *f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->spec = spec;
    f->name = name.release();
    f->qualname = qual.release();
    f->module = module.release();
    f->doc = docstring.release();
    f->dict = nullptr;
    f->defaults = defaults ? compat::new_ref(defaults.get()) : compat::new_ref(Py_None);
    f->kwdefaults = compat::new_ref(Py_None);
    f->klass = nullptr;
    f->captured = captured.release();
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject *>(f));
}

}  // namespace

Ref make_function(const FunctionDef &def, const char *qualname, Ref captured) {
    FunctionSpec *spec = make_spec(def, qualname);
    if (!spec) return {};
    return new_function(spec, def.doc, def.defaults, qualname, std::move(captured));
}

Ref NestedFunction::make(Ref captured) const {
    if (!spec_) spec_ = make_spec(def_, qualname_);
    if (!spec_) return {};
    return new_function(spec_, nullptr, {}, qualname_, std::move(captured));
}

PyObject *Call::captured(Py_ssize_t i) const { return PyTuple_GET_ITEM(fn->captured, i); }

PyObject *Call::defining_class_if_any() const { return fn->klass; }

bool is_function(PyObject *obj, Body body) {
    return Py_TYPE(obj) == &FunctionType && (!body || reinterpret_cast<Function *>(obj)->spec->body == body);
}

void add_traceback_of(PyObject *function) {
    TESSEL_CHECK(is_function(function));
    reinterpret_cast<Function *>(function)->spec->site.add_traceback();
}

PyObject *Call::defining_class() const {
    if (!fn->klass) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return nullptr;
    }
    return fn->klass;
}

void set_defining_class(PyObject *function, PyObject *klass) {
    if (Py_TYPE(function) != &FunctionType) return;
    Function *f = reinterpret_cast<Function *>(function);
    Py_INCREF(klass);
    Py_XSETREF(f->klass, klass);
}

}  // namespace tessel
