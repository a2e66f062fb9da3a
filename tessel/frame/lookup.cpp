// lookup.cpp — guarded lookups (see lookup.hpp).
#include "lookup.hpp"

#include "internal.hpp"

namespace tessel {

namespace {

Name n___class__("__class__"), n___instancecheck__("__instancecheck__"),
    n___subclasscheck__("__subclasscheck__");

}  // namespace

// -------------------------------------------------------------- classes

unsigned int assign_class_version(PyTypeObject *type) { return compat::type_version(type, n___class__); }

PyObject *class_attribute(PyTypeObject *type, PyObject *name) { return compat::type_lookup(type, name); }

Ref find_after(PyTypeObject *type, PyObject *klass, PyObject *name) {
    // Held: a key's __eq__ met in a class dict may give the class new bases.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return {};
    Py_ssize_t n = PyTuple_GET_SIZE(mro.get()), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.get(), i) != klass) ++i;
    for (++i; i < n; ++i) {
        Ref dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro.get(), i))));
        if (!dict) continue;
        PyObject *found = PyDict_GetItemWithError(dict.get(), name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) return {};
    }
    return {};
}

Ref super_target(PyTypeObject *type, PyObject *klass, PyObject *name) {
    Ref found = find_after(type, klass, name);
    if (!found) PyErr_Clear();  // no shortcut; the plain route meets the error again
    return found;
}

int KnownFunction::set(PyObject *function) {
    if (!PyFunction_Check(function)) return 0;
    function_.set(Ref::borrow(function));
    code_.set(Ref::borrow(PyFunction_GET_CODE(function)));
    return 0;
}

bool KnownFunction::unchanged() const {
    return fast_paths && function_.get() && PyFunction_GET_CODE(function_.get()) == code_.get();
}

bool KnownFunction::is(PyObject *found) const {
    return fast_paths && found && found == function_.get() && PyFunction_GET_CODE(found) == code_.get();
}

// -------------------------------------------------------------- isinstance

namespace {

// abc.ABCMeta as imported, its two checks, and abc's cache token function;
// shared by every AbcCheck of the library.
struct AbcMachinery {
    bool tried = false;
    Held meta, token_of;
    KnownFunction instancecheck, subclasscheck;
} abc_machinery;

bool abc_ready() {
    AbcMachinery &a = abc_machinery;
    if (a.tried) return a.meta && a.token_of;
    a.tried = true;
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    Ref meta = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "ABCMeta")) : Ref();
    Ref token_of = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "get_cache_token")) : Ref();
    if (!meta || !token_of || !PyType_Check(meta.get())) {
        PyErr_Clear();  // no remembered answers, only the plain check
        return false;
    }
    auto *m = reinterpret_cast<PyTypeObject *>(meta.get());
    a.instancecheck.set(class_attribute(m, n___instancecheck__));
    a.subclasscheck.set(class_attribute(m, n___subclasscheck__));
    if (!a.instancecheck.get() || !a.subclasscheck.get()) return false;
    a.meta.set(std::move(meta));
    a.token_of.set(std::move(token_of));
    return true;
}

// Whether isinstance() against `cls` runs ABCMeta's own checks, unchanged.
bool abc_unchanged(PyObject *cls) {
    if (!PyType_Check(cls) || reinterpret_cast<PyObject *>(Py_TYPE(cls)) != abc_machinery.meta.get())
        return false;
    auto *meta = Py_TYPE(cls);
    return abc_machinery.instancecheck.is(class_attribute(meta, n___instancecheck__)) &&
           abc_machinery.subclasscheck.is(class_attribute(meta, n___subclasscheck__));
}

int cache_token(long long *token) {
    Ref t = call(abc_machinery.token_of.get());
    if (!t) return -1;
    *token = PyLong_AsLongLong(t.get());
    return *token == -1 && PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int AbcCheck::operator()(PyObject *obj, PyObject *cls) {
    PyTypeObject *type = Py_TYPE(obj);
    if (!fast_paths || reinterpret_cast<PyObject *>(type) == cls || !PyType_Check(cls) || !abc_ready())
        return PyObject_IsInstance(obj, cls);
    auto *abc = reinterpret_cast<PyTypeObject *>(cls);
    unsigned int type_tag = class_version(type), cls_tag = class_version(abc), meta_tag = class_version(Py_TYPE(cls));
    if (!type_tag || !cls_tag || !meta_tag) return PyObject_IsInstance(obj, cls);
    long long token;
    if (cache_token(&token) < 0) return -1;
    Entry &e = entries_[(reinterpret_cast<uintptr_t>(type) >> 6 ^ reinterpret_cast<uintptr_t>(cls) >> 4) % kWays];
    // What the entry rests on, besides the three tags and the token, was
    // checked when it was made: cls's metaclass is ABCMeta with its own two
    // checks (their code is compared again, as assigning __code__ moves no
    // tag), and obj's class reports itself as __class__.
    if (e.type == type && e.cls == cls && e.type_tag == type_tag && e.cls_tag == cls_tag &&
        e.meta_tag == meta_tag && e.token == token && abc_machinery.instancecheck.unchanged() &&
        abc_machinery.subclasscheck.unchanged())
        return e.answer;
    // The ABC asks only the class when the instance reports it as __class__.
    bool keep = abc_unchanged(cls) && type->tp_getattro == PyObject_GenericGetAttr &&
                class_attribute(type, n___class__) == class_attribute(&PyBaseObject_Type, n___class__);
    Ref hold = Ref::borrow(obj), hold_cls = Ref::borrow(cls);
    int answer = PyObject_IsInstance(obj, cls);
    if (answer < 0 || !keep) return answer;
    // The check ran Python code: keep the answer only if nothing it rests on moved.
    long long after;
    if (cache_token(&after) < 0) return -1;
    if (after == token && class_version(type) == type_tag && class_version(abc) == cls_tag &&
        class_version(Py_TYPE(cls)) == meta_tag)
        e = {type, cls, type_tag, cls_tag, meta_tag, token, answer != 0};
    return answer;
}

// -------------------------------------------------------------- instances

int instance_attribute(PyObject *obj, PyObject *name, Ref &out) {
    PyObject **dictptr = compat::dict_ptr(obj);
    if (!dictptr || !*dictptr) return 0;
    Ref dict = Ref::borrow(*dictptr);  // a key's __eq__ may replace it
    PyObject *found = PyDict_GetItemWithError(dict.get(), name);
    if (found) {
        out = Ref::borrow(found);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// -------------------------------------------------------------- module globals
//
// From 3.12 on, the dicts a global was found through are watched: one
// callback, shared by every library of the package in the interpreter (there
// are few watcher slots), counts every change to any of them, and a
// remembered global stands while the count does.  Before 3.12 a global is
// looked up at every use.

namespace {

#if TESSEL_FAST_PATHS
constexpr bool watch_globals = compat::has_dict_watchers;
#else
constexpr bool watch_globals = false;
#endif

// Kept in the interpreter's dict under kWatchKey, made by the first library
// that needs it; `layout` guards against a library built with another one.
struct Watch {
    int layout;
    int watcher;          // -1: none could be had
    uint64_t generation;  // moves on every change to a watched dict
};
constexpr int kWatchLayout = 1;
constexpr const char kWatchKey[] = "orvane.tessel frame: watched dicts";
Watch *watch = nullptr;
bool watch_tried = false;

#if PY_VERSION_HEX >= 0x030C0000
int on_watched_change(compat::DictWatchEvent, PyObject *, PyObject *, PyObject *) {
    Watch *w = watch;  // every library's `watch` points at the one shared struct
    if (w) ++w->generation;
    return 0;
}
#endif

Watch *the_watch() {
    if constexpr (!watch_globals) {
        return nullptr;
    } else {
        if (watch_tried) return watch && watch->watcher >= 0 ? watch : nullptr;
        watch_tried = true;
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *interp = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
        if (!interp) return nullptr;
        PyObject *found = PyDict_GetItemString(interp, kWatchKey);  // borrowed
        if (found) {
            auto *w = static_cast<Watch *>(PyCapsule_GetPointer(found, kWatchKey));
            if (!w) PyErr_Clear();
            if (w && w->layout == kWatchLayout) watch = w;
            return watch && watch->watcher >= 0 ? watch : nullptr;
        }
        auto *w = static_cast<Watch *>(PyMem_RawMalloc(sizeof(Watch)));  // for the process
        if (!w) return nullptr;
        *w = {kWatchLayout, -1, 1};
        watch = w;
        w->watcher = compat::add_dict_watcher(on_watched_change);
        if (w->watcher < 0) PyErr_Clear();  // all slots taken: look globals up every time
        Ref capsule = Ref::steal(PyCapsule_New(w, kWatchKey, nullptr));
        if (!capsule || PyDict_SetItemString(interp, kWatchKey, capsule.get()) < 0) PyErr_Clear();
#endif
        return watch && watch->watcher >= 0 ? watch : nullptr;
    }
}

// Watches `dict`; false when it cannot be watched.
bool watched(Watch *w, PyObject *dict) {
#if PY_VERSION_HEX >= 0x030C0000
    if (compat::watch_dict(w->watcher, dict) == 0) return true;
    PyErr_Clear();
#else
    (void)w;
    (void)dict;
#endif
    return false;
}

// The kept value while no watched dict changed since it was read; else null.
PyObject *recall(WatchedValue &kept, Watch *w) {
    if (w && kept.value && kept.generation == w->generation) return kept.value;
    kept.value = nullptr;
    return nullptr;
}

// Keeps `v` when no watched dict changed since `generation` (0: unwatched).
void keep(WatchedValue &kept, Watch *w, PyObject *v, uint64_t generation) {
    if (generation && w->generation == generation) kept = {v, generation};
}

}  // namespace

Ref Global::get() const {
    Watch *w = nullptr;
    if constexpr (watch_globals) {
        w = the_watch();
        if (PyObject *v = recall(kept_, w)) return Ref::borrow(v);
    }
    PyObject *globals = module_globals(), *builtins = module_builtins();
    uint64_t generation = 0;
    if (w && globals && builtins && watched(w, globals) && watched(w, builtins))
        generation = w->generation;
    PyObject *v = globals ? PyDict_GetItemWithError(globals, name_) : nullptr;
    if (!v && !PyErr_Occurred()) v = builtins ? PyDict_GetItemWithError(builtins, name_) : nullptr;
    if (v) {
        Ref result = Ref::borrow(v);
        keep(kept_, w, v, generation);
        return result;
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return {};
}

Ref GlobalAttribute::get() const {
    Watch *w = nullptr;
    if constexpr (watch_globals) {
        w = the_watch();
        if (PyObject *v = recall(kept_, w)) return Ref::borrow(v);
    }
    Ref holder = global_.get();
    if (!holder) return {};
    // A plain module whose class has no data descriptor of the name: the
    // generic lookup finds the module dict's entry first.  (The module type
    // is built in: nobody can change what it has.)
    if (module_reads_dict_ < 0) {
        PyObject *descr = class_attribute(&PyModule_Type, attribute_);
        module_reads_dict_ = !descr || !PyDescr_IsData(descr);
    }
    if (fast_paths && module_reads_dict_ && PyModule_CheckExact(holder.get())) {
        PyObject *dict = PyModule_GetDict(holder.get());  // borrowed, held by the module
        uint64_t generation = 0;
        if (w && global_.kept_.value == holder.get() && watched(w, dict) &&
            w->generation == global_.kept_.generation)
            generation = w->generation;
        PyObject *v = PyDict_GetItemWithError(dict, attribute_);
        if (v) {
            // The global stands while its dicts are unchanged, which the
            // same count tells.
            Ref result = Ref::borrow(v);
            keep(kept_, w, v, generation);
            return result;
        }
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(holder.get(), attribute_));
}

}  // namespace tessel
