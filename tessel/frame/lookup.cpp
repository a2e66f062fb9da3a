// lookup.cpp — guarded lookups (see lookup.hpp).
#include "lookup.hpp"

#include "internal.hpp"

namespace tessel {

namespace {

Name n___class__("__class__"), n___instancecheck__("__instancecheck__"), n___builtins__("__builtins__"),
    n__abc_impl("_abc_impl");

}  // namespace

// -------------------------------------------------------------- classes

unsigned int assign_class_version(PyTypeObject *type) { return compat::type_version(type, n___class__); }

namespace detail {

PyTypeObject *tag_watch = nullptr;
uint64_t tag_wraps = 0;

namespace {
Held tag_watch_class;
}

// The frame's class has lost its tag (or is not made yet): the counter
// wrapped, or someone changed that class; either way no stamp given before
// may be trusted.  The class gets a tag again, which the next wrap takes
// away.  Where that cannot be done, every call counts a wrap: nothing is
// remembered then.
uint64_t count_wrap() {
    ++tag_wraps;
    if (!tag_watch) {
        PyObject *pending_type, *pending_value, *pending_tb;
        PyErr_Fetch(&pending_type, &pending_value, &pending_tb);
        // Named after the library, not after whatever module's code runs now.
        Ref name = Ref::steal(PyUnicode_FromString("_TagWatch")), bases = Ref::steal(PyTuple_New(0)),
            ns = Ref::steal(PyDict_New()), module = Ref::steal(PyUnicode_FromString(module_full_name()));
        bool ready = name && bases && ns && module && PyDict_SetItemString(ns.get(), "__module__", module.get()) == 0;
        Ref made = ready ? call(reinterpret_cast<PyObject *>(&PyType_Type), name.get(), bases.get(), ns.get()) : Ref();
        if (made && PyType_Check(made.get())) {
            tag_watch = reinterpret_cast<PyTypeObject *>(made.get());
            tag_watch_class.set(std::move(made));
        }
        PyErr_Clear();
        PyErr_Restore(pending_type, pending_value, pending_tb);
    }
    if (tag_watch) (void)assign_class_version(tag_watch);
    return tag_wraps;
}

}  // namespace detail

PyObject *class_attribute(PyTypeObject *type, PyObject *name) {
    PyObject *found = compat::type_lookup(type, name);
    FootingRecorder::found(found);
    return found;
}

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
    FootingRecorder::found(found.get());
    return found;
}

// -------------------------------------------------------------- module globals
//
// A remembered global stands while the dicts it was read through are
// unchanged.  From 3.12 on those dicts are watched: one callback, shared by
// every library of the package in the interpreter (there are few watcher
// slots), counts every change to any of them, and a remembered global stands
// while the count does.  Before 3.12 each dict's version tag tells.

namespace {

constexpr bool watch_globals = fast_paths && compat::has_dict_watchers;
constexpr bool version_globals = fast_paths && compat::has_dict_versions;

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

int on_watched_change(compat::DictWatchEvent, PyObject *, PyObject *, PyObject *) {
    Watch *w = watch;  // every library's `watch` points at the one shared struct
    if (w) ++w->generation;
    return 0;
}

Watch *the_watch() {
    if constexpr (!watch_globals) {
        return nullptr;
    } else {
        if (watch_tried) return watch && watch->watcher >= 0 ? watch : nullptr;
        watch_tried = true;
        PyObject *interp = compat::interpreter_dict();  // borrowed
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
        return watch && watch->watcher >= 0 ? watch : nullptr;
    }
}

// Watches `dict`; false when it cannot be watched.
bool watched(Watch *w, PyObject *dict) {
    if (compat::watch_dict(w->watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

// The kept value while no watched dict changed since it was read; else null.
PyObject *recall_watched(WatchedValue &kept, Watch *w) {
    if (w && kept.value && kept.generation == w->generation) return kept.value;
    kept.value = nullptr;
    return nullptr;
}

// Keeps `v` when no watched dict changed since `generation` (0: unwatched).
void keep(WatchedValue &kept, Watch *w, PyObject *v, uint64_t generation) {
    if (generation && w->generation == generation) kept = {v, generation, {}};
}

}  // namespace

// -------------------------------------------------------------- known functions

namespace {

// What `name` resolves to as a global of `function`'s body (borrowed; null,
// without an error, when it does not).
PyObject *global_of(PyObject *function, PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(function), name);
    if (v) return v;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *builtins = compat::function_builtins(function, n___builtins__);
    v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (!v) PyErr_Clear();
    return v;
}

}  // namespace

int KnownFunction::set(PyObject *function, std::initializer_list<const char *> globals) {
    if (!function || !PyFunction_Check(function) || PyFunction_GET_CLOSURE(function) || globals.size() > kMaxGlobals)
        return 0;
    int i = 0;
    for (const char *g : globals) {
        Ref name = Ref::steal(PyUnicode_InternFromString(g));
        if (!name) return -1;
        PyObject *value = global_of(function, name.get());
        if (!value) return 0;  // nothing to know it by
        values_[i].set(Ref::borrow(value));
        names_[i++].set(std::move(name));
    }
    n_globals_ = i;
    function_.set(Ref::borrow(function));
    code_.set(Ref::borrow(PyFunction_GET_CODE(function)));
    defaults_.set(Ref::borrow(PyFunction_GET_DEFAULTS(function) ? PyFunction_GET_DEFAULTS(function) : Py_None));
    kwdefaults_.set(Ref::borrow(PyFunction_GET_KW_DEFAULTS(function) ? PyFunction_GET_KW_DEFAULTS(function) : Py_None));
    return 0;
}

bool KnownFunction::globals_unchanged() const {
    PyObject *f = function_.get(), *globals = PyFunction_GET_GLOBALS(f), *builtins = nullptr;
    bool builtins_read = false;
    uint64_t generation = 0;
    DictVersions seen;
    if constexpr (watch_globals) {
        Watch *w = the_watch();
        if (w && checked_ == w->generation) return true;
        builtins = compat::function_builtins(f, n___builtins__);
        builtins_read = true;
        if (w && builtins && watched(w, globals) && watched(w, builtins)) generation = w->generation;
    } else if constexpr (version_globals) {
        // (unchanged() found the dicts of the last comparison changed.)
        seen.dicts[0] = globals;
        seen.versions[0] = compat::dict_version(globals);
    }
    // As the body reads each: its globals, then (resolved once) its builtins.
    for (int i = 0; i < n_globals_; ++i) {
        PyObject *v = PyDict_GetItemWithError(globals, names_[i].get());
        if (!v) {
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            if (!builtins_read) {
                builtins = compat::function_builtins(f, n___builtins__);
                builtins_read = true;
                if (version_globals && builtins) {
                    seen.dicts[1] = builtins;
                    seen.versions[1] = compat::dict_version(builtins);
                }
            }
            v = builtins ? PyDict_GetItemWithError(builtins, names_[i].get()) : nullptr;
            if (!v) PyErr_Clear();
        }
        if (v != values_[i].get()) return false;
    }
    if constexpr (watch_globals) {
        if (generation && the_watch()->generation == generation) checked_ = generation;
    } else if constexpr (version_globals) {
        // (A key's __eq__ met in a lookup may have changed a dict meanwhile.)
        if (seen.unchanged()) checked_versions_ = seen;
    }
    return true;
}

// -------------------------------------------------------------- isinstance

namespace {

// abc.ABCMeta, its two checks (whose bodies hand the work to _abc), the
// type of the state _abc keeps per ABC, _abc's cache token and dump
// functions, and the hooks that only say NotImplemented (object's, and
// Collection's for any class but Collection); shared by every AbcCheck of
// the library.
struct AbcMachinery {
    bool tried = false, ready = false, layout_checked = false;
    Held meta, token_of, dump, collection, object_hook;
    KnownFunction instancecheck, subclasscheck, collection_hook;
    PyTypeObject *data_type = nullptr;
} abc_machinery;

Name n___subclasscheck__("__subclasscheck__"), n___subclasshook__("__subclasshook__"), n___mro__("__mro__");

bool abc_ready() {
    AbcMachinery &a = abc_machinery;
    if (a.tried) return a.ready;
    a.tried = true;
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    Ref c_abc = abc ? Ref::steal(PyImport_ImportModule("_abc")) : Ref();
    Ref cabc = c_abc ? Ref::steal(PyImport_ImportModule("_collections_abc")) : Ref();
    auto attr = [](const Ref &m, const char *name) { return m ? Ref::steal(PyObject_GetAttrString(m.get(), name)) : Ref(); };
    Ref meta = attr(abc, "ABCMeta"), token_of = attr(c_abc, "get_cache_token"), dump = attr(c_abc, "_get_dump"),
        instancecheck = attr(c_abc, "_abc_instancecheck"), subclasscheck = attr(c_abc, "_abc_subclasscheck"),
        some_abc = attr(abc, "ABC"), collection = attr(cabc, "Collection");
    Ref impl = some_abc ? Ref::steal(PyObject_GetAttr(some_abc.get(), n__abc_impl)) : Ref();
    if (!meta || !token_of || !dump || !instancecheck || !subclasscheck || !impl || !collection ||
        !PyType_Check(meta.get()) || !PyType_Check(collection.get()) || !PyCFunction_Check(token_of.get()) ||
        PyCFunction_GET_FLAGS(token_of.get()) != METH_NOARGS) {
        PyErr_Clear();  // only the plain check
        return false;
    }
    auto *m = reinterpret_cast<PyTypeObject *>(meta.get());
    PyObject *hook = class_attribute(reinterpret_cast<PyTypeObject *>(collection.get()), n___subclasshook__);
    if (a.instancecheck.set(class_attribute(m, n___instancecheck__), {"_abc_instancecheck"}) < 0 ||
        a.subclasscheck.set(class_attribute(m, n___subclasscheck__), {"_abc_subclasscheck"}) < 0 ||
        (hook && Py_TYPE(hook) == &PyClassMethod_Type &&
         a.collection_hook.set(compat::classmethod_function(hook), {"Collection"}) < 0)) {
        PyErr_Clear();
        return false;
    }
    PyErr_Clear();
    // The bodies must hand the checks to _abc's own functions (abc falls
    // back to a Python version when _abc is missing).
    Ref n_ic = Ref::steal(PyUnicode_InternFromString("_abc_instancecheck")),
        n_sc = Ref::steal(PyUnicode_InternFromString("_abc_subclasscheck"));
    PyObject *ic = a.instancecheck.get(), *sc = a.subclasscheck.get();
    if (!ic || !sc || !n_ic || !n_sc || global_of(ic, n_ic.get()) != instancecheck.get() ||
        global_of(sc, n_sc.get()) != subclasscheck.get() || Py_TYPE(impl.get())->tp_basicsize != sizeof(compat::AbcData)) {
        PyErr_Clear();
        return false;
    }
    Ref n_coll = Ref::steal(PyUnicode_InternFromString("Collection"));
    PyObject *ch = a.collection_hook.get();
    if (ch && (!n_coll || global_of(ch, n_coll.get()) != collection.get())) PyErr_Clear();  // hook stays unknown: no registry answers
    else if (ch) a.collection.set(std::move(collection));
    a.object_hook.set(Ref::borrow(class_attribute(&PyBaseObject_Type, n___subclasshook__)));
    a.data_type = Py_TYPE(impl.get());
    a.meta.set(std::move(meta));
    a.token_of.set(std::move(token_of));
    a.dump.set(std::move(dump));
    a.ready = true;
    return true;
}

// Whether `impl`, the state of `cls`, reads as _abc reports it; asked once.
bool abc_layout_matches(PyObject *cls, compat::AbcData *impl) {
    AbcMachinery &a = abc_machinery;
    if (a.layout_checked) return a.ready;
    a.layout_checked = true;
    Ref dump = call(a.dump.get(), cls);
    bool same = dump && PyTuple_Check(dump.get()) && PyTuple_GET_SIZE(dump.get()) == 4;
    PyObject *sets[3] = {impl->registry, impl->cache, impl->negative_cache};
    for (int i = 0; same && i < 3; ++i) {
        PyObject *copy = PyTuple_GET_ITEM(dump.get(), i);
        Py_ssize_t n = PySet_Check(copy) ? PySet_GET_SIZE(copy) : -1;
        same = sets[i] ? PySet_Check(sets[i]) && PySet_GET_SIZE(sets[i]) == n : n == 0;
    }
    if (same) {
        unsigned long long version = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(dump.get(), 3));
        same = !PyErr_Occurred() && version == impl->negative_cache_version;
    }
    PyErr_Clear();
    if (!same) a.ready = false;
    return a.ready;
}

// Whether cls's __subclasshook__, as _abc calls it on cls, only says
// NotImplemented: object's own, or Collection's for a class other than
// Collection.  (The metaclass was checked to have no data descriptor of
// that name.)
bool hook_not_implemented(PyObject *hook, PyTypeObject *cls) {
    AbcMachinery &a = abc_machinery;
    if (!hook) return false;
    if (hook == a.object_hook.get()) return true;
    return a.collection.get() && reinterpret_cast<PyObject *>(cls) != a.collection.get() &&
           Py_TYPE(hook) == &PyClassMethod_Type && a.collection_hook.get() &&
           a.collection_hook.get() == compat::classmethod_function(hook) && a.collection_hook.unchanged();
}
bool hook_says_not_implemented(PyTypeObject *cls) {
    return hook_not_implemented(class_attribute(cls, n___subclasshook__), cls);
}

// The weak reference to `type` that a set of _abc's holds (a new
// reference), or null: none, or an error (cleared; nothing is remembered then).
PyObject *ref_in(PyObject *set, PyTypeObject *type) {
    if (!set || !PySet_Check(set)) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(set));
    if (!it) {
        PyErr_Clear();
        return nullptr;
    }
    while (Ref ref = Ref::steal(PyIter_Next(it.get())))
        if (PyWeakref_CheckRef(ref.get()) && compat::weakref_object(ref.get()) == reinterpret_cast<PyObject *>(type))
            return ref.release();
    PyErr_Clear();
    return nullptr;
}

// Whether a set of _abc's holds a weak reference equal to `ref` (one to the
// class asked about), as _abc's own probe finds it: 1, 0, or -1 on error.
int in_set(PyObject *set, PyObject *ref) {
    if (!set || PySet_GET_SIZE(set) == 0) return 0;
    return PySet_Contains(set, ref);
}

// abc's invalidation counter, as get_cache_token gives it; -1 with an error.
int cache_token(unsigned long long *token) {
    // _abc's get_cache_token takes no arguments (checked when it was taken):
    // its C function is called as the interpreter would call it.
    PyObject *f = abc_machinery.token_of.get();
    Ref t = Ref::steal(PyCFunction_GET_FUNCTION(f)(PyCFunction_GET_SELF(f), nullptr));
    if (!t) return -1;
    *token = PyLong_AsUnsignedLongLong(t.get());
    return *token == static_cast<unsigned long long>(-1) && PyErr_Occurred() ? -1 : 0;
}

// What _abc asks of the class of an object whose class is in its registry
// before it looks there: the hook, and that class's __mro__, read plainly.
bool registry_reached(PyTypeObject *abc, PyTypeObject *type) {
    PyTypeObject *type_meta = Py_TYPE(type);
    return abc_machinery.subclasscheck.unchanged() && hook_says_not_implemented(abc) &&
           type_meta->tp_getattro == PyType_Type.tp_getattro &&
           class_attribute(type_meta, n___mro__) == class_attribute(&PyType_Type, n___mro__);
}

}  // namespace

namespace {

// Probing abc's sets for `type` runs no code of anyone's while its metaclass
// hashes and compares as type does: an entry's hash then equals the probe's
// only for a reference to the same class.
bool probes_quietly(PyTypeObject *type) {
    return Py_TYPE(type)->tp_richcompare == PyType_Type.tp_richcompare && Py_TYPE(type)->tp_hash == PyType_Type.tp_hash;
}

}  // namespace

int AbcCheck::operator()(PyObject *obj, PyObject *cls) {
    PyTypeObject *type = Py_TYPE(obj);
    if (!fast_paths || reinterpret_cast<PyObject *>(type) == cls || !PyType_Check(cls) || PyType_CheckExact(cls))
        return PyObject_IsInstance(obj, cls);
    auto *abc = reinterpret_cast<PyTypeObject *>(cls);
    PyTypeObject *meta = Py_TYPE(cls);
    Entry &e = entry(type, cls);
    bool quiet = probes_quietly(type);
    uint64_t epoch;
    if (e.type == type && e.cls == cls && e.meta == meta && quiet && quick_epoch(epoch) &&
        stamp_is(type, epoch, e.type_stamp) && stamp_is(abc, epoch, e.cls_stamp) && stamp_is(meta, epoch, e.meta_stamp) &&
        abc_machinery.instancecheck.unchanged()) {
        // The set still keeps, in its slot, the very reference found there
        // before (held by the entry, so no other object can take its
        // address): abc's probe would find it.  A class is never both in the
        // cache and in a current negative cache (abc adds to either only
        // after it looked in both, and a register() makes the negative cache
        // stale), so a negative answer needs no look into the cache.
        compat::AbcData *impl = e.impl;
        switch (e.source) {
            case Source::Cache:
                if (compat::set_keeps_at(impl->cache, e.slot, e.ref)) return 1;
                break;
            case Source::Negative:
                if (compat::set_keeps_at(impl->negative_cache, e.slot, e.ref)) {
                    unsigned long long token;
                    if (cache_token(&token) < 0) return -1;
                    if (impl->negative_cache_version == token) return 0;
                }
                break;
            case Source::Registry:
                // What registry_reached() found, still so.
                if (compat::set_keeps_at(impl->registry, e.slot, e.ref) && abc_machinery.subclasscheck.unchanged() &&
                    hook_not_implemented(e.hook, abc) && Py_TYPE(type) == e.type_meta &&
                    (!e.type_meta_stamp || stamp_is(e.type_meta, epoch, e.type_meta_stamp)))
                    return 1;
                break;
            case Source::None:
                break;
        }
    }
    return check(obj, cls);
}

int AbcCheck::check(PyObject *obj, PyObject *cls) {
    PyTypeObject *type = Py_TYPE(obj);
    auto *abc = reinterpret_cast<PyTypeObject *>(cls);
    PyTypeObject *meta = Py_TYPE(cls);
    Entry &e = entry(type, cls);
    bool quiet = probes_quietly(type);
    if (!abc_ready()) return PyObject_IsInstance(obj, cls);
    uint64_t epoch = tag_epoch();
    uint64_t type_stamp = class_stamp(type, epoch), cls_stamp = class_stamp(abc, epoch),
             meta_stamp = class_stamp(meta, epoch);
    if (!type_stamp || !cls_stamp || !meta_stamp) return PyObject_IsInstance(obj, cls);
    Ref hold = Ref::borrow(cls);
    // Whether the classes kept their tags since they were read above (code
    // that ran meanwhile may have changed them).
    auto unmoved = [&] {
        return tag_epoch() == epoch && class_stamp(type, epoch) == type_stamp && class_stamp(abc, epoch) == cls_stamp &&
               class_stamp(meta, epoch) == meta_stamp && Py_TYPE(cls) == meta;
    };
    if (e.type == type && e.cls == cls && e.meta == meta && e.type_stamp == type_stamp && e.cls_stamp == cls_stamp &&
        e.meta_stamp == meta_stamp && quiet && abc_machinery.instancecheck.unchanged()) {
        // The set changed since: as _abc_instancecheck, the class in the
        // ABC's cache, then, while that is current, in its negative cache;
        // then, as _abc_subclasscheck goes on after the hook said
        // NotImplemented, registered directly.
        // Held while the sets are read, though obj's class probes quietly.
        compat::AbcData *impl = e.impl;
        Source source = e.source;
        Ref ref = Ref::borrow(e.ref), hold_impl = Ref::borrow(reinterpret_cast<PyObject *>(impl));
        // Found in the set the entry names, which was resized since, or
        // holds another reference to the class now (abc refilled it): where
        // it keeps which, for the next check.
        auto found_in = [&](Source where, PyObject *set) {
            if (where != source || e.ref != ref.get() || e.impl != impl) return;
            e.slot = compat::set_slot_of(set, e.ref);
            if (e.slot >= 0) return;
            if (PyObject *now = ref_in(set, type)) {
                Py_DECREF(e.ref);  // the entry's own; `ref` still holds it
                e.ref = now;
                e.slot = compat::set_slot_of(set, now);
            }
        };
        int found = in_set(impl->cache, ref.get());
        if (found > 0) found_in(Source::Cache, impl->cache);
        if (found) return found < 0 ? -1 : 1;
        if (source != Source::Cache && impl->negative_cache && PySet_GET_SIZE(impl->negative_cache) > 0) {
            unsigned long long token;
            if (cache_token(&token) < 0) return -1;
            if (impl->negative_cache_version == token) {
                found = in_set(impl->negative_cache, ref.get());
                if (found > 0) found_in(Source::Negative, impl->negative_cache);
                if (found) return found < 0 ? -1 : 0;
            }
        }
        if (source == Source::Registry && registry_reached(abc, type)) {
            found = in_set(impl->registry, ref.get());
            if (found > 0) found_in(Source::Registry, impl->registry);
            if (found) return found < 0 ? -1 : 1;
        }
        return PyObject_IsInstance(obj, cls);
    }
    // isinstance() calls the metaclass's __instancecheck__: abc's own,
    // which hands the check to _abc; that reads cls._abc_impl through the
    // metaclass's attribute lookup (which has no _abc_impl of its own) and
    // obj.__class__ (its class's, when the class keeps the generic lookup
    // and object's __class__).  A miss in the caches calls the metaclass's
    // __subclasscheck__, and that cls.__subclasshook__.
    remember(e, {});
    PyObject *meta_hook = class_attribute(meta, n___subclasshook__);
    bool known = abc_machinery.instancecheck.is(class_attribute(meta, n___instancecheck__)) &&
                 meta->tp_getattro == PyType_Type.tp_getattro && !class_attribute(meta, n__abc_impl) &&
                 type->tp_getattro == PyObject_GenericGetAttr &&
                 class_attribute(type, n___class__) == class_attribute(&PyBaseObject_Type, n___class__);
    PyObject *impl = known ? class_attribute(abc, n__abc_impl) : nullptr;
    if (!impl || Py_TYPE(impl) != abc_machinery.data_type ||
        !abc_layout_matches(cls, reinterpret_cast<compat::AbcData *>(impl)))
        return PyObject_IsInstance(obj, cls);
    bool registry_known = abc_machinery.subclasscheck.is(class_attribute(meta, n___subclasscheck__)) &&
                          (!meta_hook || !PyDescr_IsData(meta_hook)) && registry_reached(abc, type);
    int answer = PyObject_IsInstance(obj, cls);
    if (answer < 0) return answer;
    // The check ran Python code: remember only if nothing moved meanwhile,
    // and where the answer now stands.
    if (!unmoved()) return answer;
    auto *data = reinterpret_cast<compat::AbcData *>(impl);
    Source source = answer ? Source::Cache : Source::Negative;
    PyObject *ref = ref_in(answer ? data->cache : data->negative_cache, type);
    if (!ref && answer && registry_known) {
        source = Source::Registry;
        ref = ref_in(data->registry, type);
    }
    PyTypeObject *type_meta = Py_TYPE(type);
    uint64_t type_meta_stamp = compat::type_is_mutable(type_meta) ? class_stamp(type_meta, epoch) : 0;
    if (source == Source::Registry && compat::type_is_mutable(type_meta) && !type_meta_stamp) quiet = false;
    if (ref && quiet) {
        PyObject *set = source == Source::Cache ? data->cache : source == Source::Negative ? data->negative_cache : data->registry;
        remember(e, {type, cls, meta, type_stamp, cls_stamp, meta_stamp, data, source, ref, compat::set_slot_of(set, ref),
                     class_attribute(abc, n___subclasshook__), type_meta, type_meta_stamp});
    } else {
        Py_XDECREF(ref);
    }
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


PyObject *Global::recall() const {
    if constexpr (watch_globals) {
        return recall_watched(kept_, the_watch());
    } else if constexpr (version_globals) {
        return kept_.value && kept_.seen.unchanged() ? kept_.value : nullptr;
    } else {
        return nullptr;
    }
}

Ref Global::look_up() const {
    if (PyObject *v = recall()) return Ref::borrow(v);
    Watch *w = watch_globals ? the_watch() : nullptr;
    PyObject *globals = module_globals(), *builtins = module_builtins();
    uint64_t generation = 0;
    if (w && globals && builtins && watched(w, globals) && watched(w, builtins))
        generation = w->generation;
    DictVersions seen;
    if (version_globals && globals) {
        seen.dicts[0] = globals;
        seen.versions[0] = compat::dict_version(globals);
    }
    PyObject *v = globals ? PyDict_GetItemWithError(globals, name_) : nullptr;
    if (!v && !PyErr_Occurred() && builtins) {
        if (version_globals) {
            seen.dicts[1] = builtins;
            seen.versions[1] = compat::dict_version(builtins);
        }
        v = PyDict_GetItemWithError(builtins, name_);
    }
    if (v) {
        Ref result = Ref::borrow(v);
        if constexpr (watch_globals) {
            keep(kept_, w, v, generation);
        } else if constexpr (version_globals) {
            if (globals && seen.unchanged()) kept_ = {v, 0, seen};
        }
        return result;
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
    return {};
}

Ref GlobalAttribute::get() const {
    Watch *w = nullptr;
    if constexpr (watch_globals) {
        w = the_watch();
        // Still a plain module: giving it another __class__ changes no dict.
        PyObject *v = recall_watched(kept_, w);
        if (v && Py_TYPE(holder_) == &PyModule_Type) return Ref::borrow(v);
    } else if constexpr (version_globals) {
        // The global still names the module (which so lives on), a plain
        // module still, with the same dict, unchanged.
        if (kept_.value && holder_ && global_.recall() == holder_ && Py_TYPE(holder_) == &PyModule_Type &&
            PyModule_GetDict(holder_) == kept_.seen.dicts[0] && kept_.seen.unchanged())
            return Ref::borrow(kept_.value);
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
        DictVersions seen;
        if (version_globals) {
            seen.dicts[0] = dict;
            seen.versions[0] = compat::dict_version(dict);
        }
        PyObject *v = PyDict_GetItemWithError(dict, attribute_);
        if (v) {
            // The global stands while its dicts are unchanged, which the
            // same count tells.
            Ref result = Ref::borrow(v);
            if constexpr (watch_globals) {
                keep(kept_, w, v, generation);
            } else if constexpr (version_globals) {
                if (global_.recall() == holder.get() && seen.unchanged()) kept_ = {v, 0, seen};
            }
            holder_ = holder.get();
            return result;
        }
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(holder.get(), attribute_));
}

}  // namespace tessel
