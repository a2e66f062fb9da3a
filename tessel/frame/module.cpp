// module.cpp — module definition, the create and exec steps, and the helpers
// that module-level code and method bodies use (globals, imports, classes,
// super(), method calls).
#include "module.hpp"

#include "internal.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tessel {

// -------------------------------------------------------------- process-wide state
//
// One set per loaded library, never per interpreter: the frame is linked into
// each library with hidden visibility.

namespace {

struct State {
    const ModuleInfo *info = nullptr;
    PyObject *module = nullptr;   // held from the exec step on; dropped if it fails
    PyObject *globals = nullptr;  // the module's dict, held with the module
    PyObject *builtins = nullptr; // the builtins module's dict, process lifetime
    PyObject *test = nullptr;     // the __test__ entries a module sets, until step 9
    int64_t interpreter = -1;     // remembered at the first create step
} state;

std::vector<Name *> &name_registry() {
    static std::vector<Name *> names;
    return names;
}

std::vector<Held *> &held_registry() {
    static std::vector<Held *> held;
    return held;
}

}  // namespace

void register_held(Held *held) {
    try {
        held_registry().push_back(held);
    } catch (const std::bad_alloc &) {
        // Only the frame's checks read the registry; a library that cannot
        // even allocate this at load time fails right after anyway.
    }
}

int visit_held(visitproc visit, void *arg) {
    for (Held *h : held_registry())
        if (PyObject *o = h->get())
            if (int r = visit(o, arg)) return r;
    return 0;
}

const char *module_full_name() { return state.info ? state.info->full_name : "orvane.tessel"; }
PyObject *module_globals() { return state.globals; }
PyObject *module_builtins() { return state.builtins; }

// -------------------------------------------------------------- names

Name::Name(const char *text) : text_(text) { name_registry().push_back(this); }

int Name::intern_all() {
    for (Name *n : name_registry()) {
        if (n->obj_) continue;
        PyObject *s = PyUnicode_InternFromString(n->text_);
        if (!s || PyObject_Hash(s) == -1) {
            Py_XDECREF(s);
            return -1;
        }
        n->obj_ = s;  // process lifetime
    }
    return 0;
}

// -------------------------------------------------------------- create and exec

namespace {

PyObject *ensure_builtins() {
    if (!state.builtins) {
        PyObject *mod = PyImport_AddModule("builtins");  // borrowed
        if (!mod) return nullptr;
        state.builtins = compat::new_ref(PyModule_GetDict(mod));
    }
    return state.builtins;
}

int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to, bool allow_none) {
    Ref from_name = Ref::steal(PyUnicode_FromString(from));
    if (!from_name) return -1;
    PyObject *value = nullptr;
    int found = compat::lookup_attr(spec, from_name.get(), &value);  // AttributeError: skipped
    Ref held = Ref::steal(value);
    if (found < 0) return -1;
    if (found == 0 || (!allow_none && value == Py_None)) return 0;
    return PyDict_SetItemString(dict, to, value);
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t current = compat::interpreter_id();
    if (state.interpreter == -1) {
        if (current == -1) return nullptr;
        state.interpreter = current;
    } else if (current != state.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return compat::new_ref(state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!dict) return nullptr;
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// Warns when the running interpreter's version differs from the one we were
// built for.  The whole "major.minor" is compared: three characters ("3.8")
// would take 3.10 for 3.11, 3.12 and 3.13.
int check_version() {
    return warn_on_version_mismatch(PY_MAJOR_VERSION, PY_MINOR_VERSION, Py_GetVersion(),
                                    state.info->full_name);
}

int register_in_sys_modules() {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    Ref name = Ref::steal(PyUnicode_FromString(state.info->full_name));
    if (!name) return -1;
    int present = PyDict_Contains(modules, name.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, name.get(), state.module);
}

int register_generator_type() {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        PyErr_Clear();
        abc = Ref::steal(PyImport_ImportModule("backports_abc"));
    }
    Ref registered;
    if (abc) {
        Ref generator = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
        if (generator) {
            Ref reg = Ref::steal(PyObject_GetAttrString(generator.get(), "register"));
            if (reg) registered = call(reg.get(), reinterpret_cast<PyObject *>(&GeneratorType));
        }
    }
    if (registered) return 0;
    PyErr_Clear();
    return PyErr_WarnEx(nullptr, "orvane.tessel: could not register the generator type as a "
                                 "collections.abc.Generator", 1);
}

void drop_module() {
    Py_CLEAR(state.module);
    Py_CLEAR(state.globals);
    Py_CLEAR(state.test);
}

int run_exec(PyObject *module) {
    if (check_version() < 0) return -1;

    // Step 3: constants, the module and its dict, __builtins__, interned names.
    state.module = compat::new_ref(module);
    state.globals = PyModule_GetDict(module);
    if (!state.globals) return -1;
    Py_INCREF(state.globals);
    if (!ensure_builtins()) return -1;
    PyObject *builtins_module = PyImport_AddModule("builtins");
    if (!builtins_module || PyDict_SetItemString(state.globals, "__builtins__", builtins_module) < 0)
        return -1;
    if (Name::intern_all() < 0) return -1;
    if (ready_function_type() < 0 || ready_generator_type() < 0) return -1;

    if (register_in_sys_modules() < 0) return -1;  // step 4
    // Step 7 is Module::uses_generators(), called first by modules that have them.

    Module m;
    if (state.info->exec(m) < 0) return -1;  // step 8: the module-level code
    // Whatever the module keeps must be alive for good.
    TESSEL_CHECK(visit_held([](PyObject *o, void *) { return Py_REFCNT(o) > 0 ? 0 : 1; }, nullptr) == 0);

    // Step 9.
    Ref test = state.test ? Ref::steal(std::exchange(state.test, nullptr)) : Ref::steal(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItemString(state.globals, "__test__", test.get());
}

int module_exec(PyObject *module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.info->short_name);
        return -1;
    }
    if (run_exec(module) == 0) return 0;

    // Step 10: the failure path.
    std::string where = std::string("init ") + state.info->full_name;
    if (state.module) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "module initialisation failed without an error");
        Site site(where, __FILE__, __LINE__);
        site.add_traceback();
        drop_module();
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, where.c_str());
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(slot<module_create>)},
    {Py_mod_exec, reinterpret_cast<void *>(slot<module_exec>)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject *init_module(const ModuleInfo &info) {
    state.info = &info;
    module_def.m_name = info.short_name;
    module_def.m_doc = info.doc;
    return PyModuleDef_Init(&module_def);
}

int Module::uses_generators() { return register_generator_type(); }

// -------------------------------------------------------------- module-level code

PyObject *Module::dict() const { return state.globals; }

int Module::set(const char *name, Ref value) {
    if (!value) return -1;
    return PyDict_SetItemString(state.globals, name, value.get());
}

Ref Module::get(const char *name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return {};
    PyObject *v = PyDict_GetItemWithError(state.globals, key.get());
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return {};
}

PyObject *Module::builtin(const char *name) {
    PyObject *v = PyDict_GetItemString(state.builtins, name);  // borrowed, lives forever
    if (!v) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return v;
}

int Module::import(const char *name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(name, state.globals, nullptr, nullptr, 0));
    if (!module) return -1;
    std::string top(name, strcspn(name, "."));
    return set(top.c_str(), std::move(module));
}

int Module::from_import(const char *module, std::initializer_list<const char *> names, int level) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (const char *n : names) {
        PyObject *s = PyUnicode_InternFromString(n);
        if (!s) return -1;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref modname = Ref::steal(PyUnicode_FromString(module));
    if (!modname) return -1;
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(modname.get(), state.globals, nullptr,
                                                          fromlist.get(), level));
    if (!mod) return -1;
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject *n = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = Ref::steal(PyObject_GetAttr(mod.get(), n));
        if (!value) {
            if (error_is(PyExc_AttributeError)) {
                Ref text = Ref::steal(PyUnicode_FromFormat("cannot import name %S", n));
                if (text) replace_error(PyExc_ImportError, text.get());
            }
            return -1;
        }
        if (PyDict_SetItem(state.globals, n, value.get()) < 0) return -1;
    }
    return 0;
}

int Module::define_function(FunctionDef def) {
    Ref fn = make_function(def, def.name);
    if (!fn) return -1;
    return set(def.name, std::move(fn));
}

int Module::set_test(std::initializer_list<std::pair<const char *, PyObject *>> entries) {
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    for (const auto &[key, value] : entries)
        if (PyDict_SetItemString(test.get(), key, value) < 0) return -1;
    Py_XSETREF(state.test, test.release());
    return 0;
}

Ref defaults(std::initializer_list<Ref> values) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!t) return {};
    Py_ssize_t i = 0;
    for (const Ref &v : values) {
        if (!v) return {};
        PyTuple_SET_ITEM(t.get(), i++, compat::new_ref(v.get()));
    }
    return t;
}

// -------------------------------------------------------------- classes
//
// 1. The metaclass is the most derived metaclass of the bases.
// 2. The namespace comes from its __prepare__(name, bases), if it has one.
// 3. __module__, __qualname__, __doc__, then the entries in source order.
// 4. A __metaclass__ entry overrides the metaclass; it is called with
//    (name, bases, namespace) and the class is bound in the globals.

namespace {

PyObject *calculate_metaclass(PyObject *bases) {  // borrowed
    PyTypeObject *winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject *t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(winner);
}

}  // namespace

Ref Module::define_class(const char *name, std::initializer_list<PyObject *> base_list,
                         const char *doc, std::initializer_list<Entry> body,
                         std::source_location where) {
    for (PyObject *b : base_list)
        if (!b) return {};
    Ref bases = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(base_list.size())));
    if (!bases) return {};
    Py_ssize_t i = 0;
    for (PyObject *b : base_list) PyTuple_SET_ITEM(bases.get(), i++, compat::new_ref(b));
    return define_class(name, bases.get(), doc, body, where);
}

Ref Module::define_class(const char *name, PyObject *bases_tuple, const char *doc,
                         std::initializer_list<Entry> body, std::source_location where) {
    Ref bases = Ref::borrow(bases_tuple);
    Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
    if (!class_name) return {};

    Ref metaclass = Ref::borrow(calculate_metaclass(bases.get()));
    if (!metaclass) return {};

    Ref ns;
    PyObject *prepare = nullptr;
    Ref prepare_name = Ref::steal(PyUnicode_InternFromString("__prepare__"));
    if (!prepare_name || compat::lookup_attr(metaclass.get(), prepare_name.get(), &prepare) < 0)
        return {};
    Ref prepare_ref = Ref::steal(prepare);
    ns = prepare ? call(prepare, class_name.get(), bases.get()) : Ref::steal(PyDict_New());
    if (!ns) return {};

    auto put = [&](const char *key, PyObject *value) {
        Ref k = Ref::steal(PyUnicode_InternFromString(key));
        return k ? PyObject_SetItem(ns.get(), k.get(), value) : -1;
    };
    Ref module_name = Ref::steal(PyUnicode_FromString(module_full_name()));
    if (!module_name || put("__module__", module_name.get()) < 0 ||
        put("__qualname__", class_name.get()) < 0)
        return {};
    if (compat::class_body_records_source) {
        // The class statement's first line: for a class made here, the line
        // of the source that defines it.
        Ref line = Ref::steal(PyLong_FromLong(static_cast<long>(where.line())));
        if (!line || put("__firstlineno__", line.get()) < 0) return {};
    }
    if (doc) {
        Ref d = Ref::steal(PyUnicode_FromString(doc));
        if (!d || put("__doc__", d.get()) < 0) return {};
    }

    std::vector<Ref> functions;  // they learn their class once it exists
    std::vector<std::string> self_attributes;
    for (const Entry &e : body) {
        Ref v;
        if (e.kind() == Entry::Kind::SelfAttributes) {
            self_attributes.insert(self_attributes.end(), e.names().begin(), e.names().end());
            continue;
        }
        if (e.kind() == Entry::Kind::Value) {
            v = e.value_ref();
        } else {
            std::string qualname = std::string(name) + "." + e.name();
            Ref fn = make_function(e.def(), qualname.c_str());
            if (!fn) return {};
            functions.push_back(fn);
            v = e.kind() == Entry::Kind::StaticMethod ? Ref::steal(PyStaticMethod_New(fn.get())) : fn;
        }
        if (!v || put(e.name(), v.get()) < 0) return {};
    }
    if (compat::class_body_records_source) {
        // The names the methods assign on self, sorted and without repeats,
        // as the compiler lists them after the body.
        std::sort(self_attributes.begin(), self_attributes.end());
        self_attributes.erase(std::unique(self_attributes.begin(), self_attributes.end()),
                              self_attributes.end());
        Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(self_attributes.size())));
        if (!names) return {};
        for (size_t k = 0; k < self_attributes.size(); ++k) {
            PyObject *text = PyUnicode_InternFromString(self_attributes[k].c_str());
            if (!text) return {};
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), text);
        }
        if (put("__static_attributes__", names.get()) < 0) return {};
    }

    Ref override_key = Ref::steal(PyUnicode_InternFromString("__metaclass__"));
    if (!override_key) return {};
    Ref override_meta = Ref::steal(PyObject_GetItem(ns.get(), override_key.get()));
    if (override_meta) {
        metaclass = override_meta;
    } else if (error_is(PyExc_KeyError)) {
        PyErr_Clear();
    } else {
        return {};
    }

    Ref cls = call(metaclass.get(), class_name.get(), bases.get(), ns.get());
    if (!cls) return {};
    for (const Ref &fn : functions) set_defining_class(fn.get(), cls.get());
    use_init_slot(cls.get());
    use_get_slot(cls.get());
    if (PyDict_SetItem(state.globals, class_name.get(), cls.get()) < 0) return {};
    return cls;
}

// -------------------------------------------------------------- super()

namespace {

// What super(klass, self).name finds.  The common cases walk the MRO here:
// `attr` is then the raw attribute, to bind to `bind_to` (null when self is
// the class walked) with `start` as its owner.  Every other case (self None,
// which makes an unbound super object; an object whose __class__ is a
// subclass of klass although its type is not; a name the walk does not
// find, which super() then looks up on the super object itself; klass not a
// class) goes through the interpreter's own super object, and `attr` is what
// it gave, bound (`bound`).
//
// One call differs from calling what that gives: with self None the super
// object is unbound, and its __init__ is super's own, which called with no
// arguments takes them from the Python frame that runs; in a method's
// Python line that is the method's own, klass and None, so the super object
// stays as it is: `reinit` marks that case.
struct SuperFound {
    Ref attr;
    PyTypeObject *start = nullptr;
    PyObject *bind_to = nullptr;
    bool bound = false, reinit = false;
};

Name n___init__("__init__");

SuperFound super_find(PyObject *klass, PyObject *self, PyObject *name) {
    SuperFound f;
    if (PyType_Check(klass) && self != Py_None) {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(klass);
        if (PyType_Check(self) && PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(self), type)) {
            f.start = reinterpret_cast<PyTypeObject *>(self);
        } else if (PyType_IsSubtype(Py_TYPE(self), type)) {
            f.start = Py_TYPE(self);
            f.bind_to = self;
        }
        if (f.start) {
            f.attr = find_after(f.start, klass, name);
            if (f.attr || PyErr_Occurred()) return f;
        }
    }
    Ref super = call(reinterpret_cast<PyObject *>(&PySuper_Type), klass, self);
    f.attr = super ? Ref::steal(PyObject_GetAttr(super.get(), name)) : Ref();
    f.bound = true;
    f.reinit = f.attr && self == Py_None && PyUnicode_Check(name) && compat::str_equal(name, n___init__);
    return f;
}

Ref bind(const Ref &raw, PyObject *bind_to, PyTypeObject *start) {
    descrgetfunc get = Py_TYPE(raw.get())->tp_descr_get;
    if (!get) return raw;
    return Ref::steal(get(raw.get(), bind_to, reinterpret_cast<PyObject *>(start)));
}

bool is_method_descriptor(PyObject *o) {
    return PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_METHOD_DESCRIPTOR);
}

}  // namespace

Ref super_getattr(PyObject *klass, PyObject *self, PyObject *name) {
    SuperFound f = super_find(klass, self, name);
    if (!f.attr || f.bound) return std::move(f.attr);
    return bind(f.attr, f.bind_to, f.start);
}

Ref super_call(PyObject *klass, PyObject *self, PyObject *name, std::initializer_list<PyObject *> args) {
    SuperFound f = super_find(klass, self, name);
    if (!f.attr) return {};
    if (f.reinit && args.size() == 0) return none();
    Args argv(args);
    if (f.bound) return argv.call(f.attr.get());
    if (f.bind_to && is_method_descriptor(f.attr.get())) return argv.call_with_self(f.attr.get(), self);
    Ref bound = bind(f.attr, f.bind_to, f.start);
    if (!bound) return {};
    return argv.call(bound.get());
}

Ref super_call_tuple(PyObject *klass, PyObject *self, PyObject *name, PyObject *args, PyObject *kwargs) {
    SuperFound f = super_find(klass, self, name);
    if (!f.attr) return {};
    if (kwargs && PyDict_GET_SIZE(kwargs) == 0) kwargs = nullptr;
    if (f.reinit && PyTuple_GET_SIZE(args) == 0 && !kwargs) return none();
    if (f.bound) return Ref::steal(PyObject_Call(f.attr.get(), args, kwargs));
    PyTypeObject *start = f.start;
    PyObject *bind_to = f.bind_to;
    Ref raw = std::move(f.attr);
    // The slot wrapper of a built-in type's __init__ (dict.__init__, list.__init__):
    // call the slot itself, as the wrapper would after its type check.
    if (bind_to && Py_TYPE(raw.get()) == &PyWrapperDescr_Type) {
        auto *w = reinterpret_cast<PyWrapperDescrObject *>(raw.get());
        if (std::strcmp(w->d_base->name, "__init__") == 0 &&
            w->d_wrapped == reinterpret_cast<void *>(PyDescr_TYPE(w)->tp_init) &&
            PyObject_TypeCheck(self, PyDescr_TYPE(w))) {
            if (reinterpret_cast<initproc>(w->d_wrapped)(self, args, kwargs) < 0) return {};
            return none();
        }
    }
    if (bind_to && is_method_descriptor(raw.get())) {
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        Ref full = Ref::steal(PyTuple_New(n + 1));
        if (!full) return {};
        PyTuple_SET_ITEM(full.get(), 0, compat::new_ref(self));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(full.get(), i + 1, compat::new_ref(PyTuple_GET_ITEM(args, i)));
        return Ref::steal(PyObject_Call(raw.get(), full.get(), kwargs));
    }
    Ref bound = bind(raw, bind_to, start);
    if (!bound) return {};
    return Ref::steal(PyObject_Call(bound.get(), args, kwargs));
}

// -------------------------------------------------------------- method calls

Ref call_method(PyObject *obj, PyObject *name, std::initializer_list<PyObject *> args) {
    Args argv(args);
    auto call_plain = [&](const Ref &f) -> Ref {
        if (!f) return {};
        return argv.call(f.get());
    };

    PyTypeObject *tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name))
        return call_plain(Ref::steal(PyObject_GetAttr(obj, name)));

    // As the interpreter's own method lookup: data descriptors of the type,
    // then the instance dict, then the type's other attributes.
    Ref descr = Ref::borrow(compat::type_lookup(tp, name));
    descrgetfunc get = nullptr;
    bool unbound = false;
    if (descr) {
        if (is_method_descriptor(descr.get())) {
            unbound = true;
        } else {
            get = Py_TYPE(descr.get())->tp_descr_get;
            if (get && PyDescr_IsData(descr.get()))
                return call_plain(Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(tp))));
        }
    }
    PyObject **dictptr = compat::dict_ptr(obj);
    if (dictptr && *dictptr) {
        Ref dict = Ref::borrow(*dictptr);
        PyObject *attr = PyDict_GetItemWithError(dict.get(), name);
        if (attr) return call_plain(Ref::borrow(attr));
        if (PyErr_Occurred()) return {};
    }
    if (unbound) return argv.call_with_self(descr.get(), obj);
    if (get) return call_plain(Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(tp))));
    if (descr) return call_plain(descr);
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'", tp->tp_name, name);
    return {};
}

}  // namespace tessel

namespace tessel {

int warn_on_version_mismatch(int major, int minor, const char *running, const char *name) {
    char built[32], ran[32];
    PyOS_snprintf(built, sizeof built, "%d.%d", major, minor);
    // The running version's "major.minor": up to the second dot or the first
    // character that is neither a digit nor the first dot.
    size_t n = 0;
    int dots = 0;
    while (n + 1 < sizeof ran && running[n]) {
        char ch = running[n];
        if (ch == '.' && ++dots == 2) break;
        if (ch != '.' && (ch < '0' || ch > '9')) break;
        ran[n] = ch;
        ++n;
    }
    ran[n] = '\0';
    if (std::strcmp(built, ran) == 0) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  built, name, ran);
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace tessel
