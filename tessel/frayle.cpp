// frayle.cpp — a list of weak references that cleans itself up.
//
// Frayle is a collections.UserList whose `data` holds weak references.  Every
// write wraps objects into references whose callback is the list's own (one
// per list, referring to it weakly, below); every read calls the references
// and hands back the objects.  Base methods are reached through super().
// When super() lands on UserList's own method, whose body is one line on
// `self.data`, that line runs here directly; on a plain list of plain
// references it becomes a scan that runs no code at all, which is what keeps
// the automatic removal cheap: a dead reference is equal only to itself.
//
// A callback may run inside any decref, in the middle of any of these methods:
// positions in `data` are never kept across a call out or a release.
#include "tessel.hpp"

#include <cstring>
#include <initializer_list>
#include <utility>

using namespace tessel;

namespace {

Name n_data("data"), n_remove("remove"), n_UserList("UserList"), n___class__("__class__"),
    n___name__("__name__"), n___init__("__init__"), n___contains__("__contains__"),
    n___getitem__("__getitem__"), n___setitem__("__setitem__"), n___iadd__("__iadd__"),
    n_append("append"), n_index("index"), n_count("count"), n_pop("pop"), n_insert("insert"),
    n_extend("extend"), n_sort("sort"), n_key("key"), n_reverse("reverse"), n_format("format"),
    n_value_type("value_type"), n___builtins__("__builtins__");
Global g_Frayle("Frayle");
GlobalAttribute weakref_ref("weakref", "ref"), weakref_ReferenceType("weakref", "ReferenceType");

// The methods of collections.UserList whose bodies are one line on
// `self.data`, which runs here when super() lands on them unchanged:
enum Base {
    kInit,      // (the steps of UserList_init, below)
    kContains,  // return item in self.data
    kGetitem,   // (not a slice) return self.data[i]
    kRemove,    // self.data.remove(item)
    kAppend,    // self.data.append(item)
    kIndex,     // return self.data.index(item, *args)
    kCount,     // return self.data.count(item)
    kBases
};
const Name *const base_names[kBases] = {&n___init__, &n___contains__, &n___getitem__, &n_remove,
                                        &n_append,   &n_index,        &n_count};

// The builtins that those bodies name besides `self.data`, and that the steps
// here take as the interpreter's own: __init__ reads `type`, `isinstance`
// and `list` (and `UserList`, which its steps below read at each call),
// __getitem__ `isinstance` and `slice`.  The others name none.
const std::initializer_list<const char *> base_globals[kBases] = {
    {"type", "isinstance", "list"}, {}, {"isinstance", "slice"}, {}, {}, {}, {}};
const std::pair<const char *, PyObject *> builtin_types[] = {
    {"type", reinterpret_cast<PyObject *>(&PyType_Type)},
    {"list", reinterpret_cast<PyObject *>(&PyList_Type)},
    {"slice", reinterpret_cast<PyObject *>(&PySlice_Type)}};

// A global of a function's body as the interpreter finds it when the body
// runs: its globals, then its builtins (borrowed; null, without an error,
// when neither has it or a lookup failed).
PyObject *body_global(PyObject *function, PyObject *name) {
    PyObject *found = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(function), name);
    if (!found && !PyErr_Occurred()) {
        PyObject *builtins = compat::function_builtins(function, n___builtins__);
        if (builtins) found = PyDict_GetItemWithError(builtins, name);
    }
    if (!found && PyErr_Occurred()) PyErr_Clear();
    return found;
}

// Whether the global `name` of `function`'s body is the interpreter's own
// builtin of that name: a type above, or a function of module builtins.
int names_builtin(PyObject *function, const char *name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    PyObject *found = body_global(function, key.get());
    if (!found) return 0;
    for (const auto &[type_name, type] : builtin_types)
        if (std::strcmp(type_name, name) == 0) return found == type;
    if (!PyCFunction_Check(found)) return 0;
    auto *f = reinterpret_cast<PyCFunctionObject *>(found);
    if (!f->m_self || !PyModule_Check(f->m_self) || std::strcmp(f->m_ml->ml_name, name) != 0) return 0;
    const char *module = PyModule_GetName(f->m_self);
    if (!module) PyErr_Clear();
    return module && std::strcmp(module, "builtins") == 0;
}

// Where super() in one of Frayle's methods lands, for one class of list:
// what the walk after `klass` finds (borrowed from a class dict; compared only).
struct Landing {
    PyObject *klass = nullptr, *found = nullptr;
    bool data_in_dict = false;  // as State::data_in_dict, for the same class
};

struct State {
    // Constants of the methods' lines: (), slice(None, None, -1), the `+` message.
    Held empty_tuple, reversed_slice, add_message;

    // UserList's methods above, as the module found them at import.
    KnownFunction userlist[kBases];

    // Per class of list: where super() lands for each of those names, and
    // whether `self.data` is the instance dict's entry (generic lookup, no
    // data descriptor `data`).
    ClassMemo<Landing> landing[kBases];
    ClassMemo<bool> data_in_dict;

    // The type of the entries' callback, and the callback of the last list
    // written to (a new reference, replaced by the next list's; see callback_of).
    PyTypeObject callback_type{};
    PyObject *last_callback = nullptr;
} state;

// Whether super() in the method being called lands on UserList's own
// method `which`, with its code unchanged.
// `self.data` is the instance dict's entry (generic lookup, no data
// descriptor `data`).
bool reads_data_from_dict(PyTypeObject *t) {
    PyObject *descr;
    return t->tp_getattro == PyObject_GenericGetAttr &&
           (!(descr = class_attribute(t, n_data)) || !PyDescr_IsData(descr));
}

// `data_in_dict`, when given, is set as reads_data_from_dict() answers for
// the class now.
bool lands_on_userlist(const Call &c, Base which, bool *data_in_dict = nullptr) {
    PyObject *klass = c.defining_class_if_any();
    if (!klass) return false;
    Landing l = state.landing[which].get(Py_TYPE(c[0]), [klass, which](PyTypeObject *t) {
        Ref found = super_target(t, klass, *base_names[which]);
        return Landing{klass, found.get(), reads_data_from_dict(t)};
    });
    if (data_in_dict) *data_in_dict = l.data_in_dict;
    return l.klass == klass && state.userlist[which].is(l.found);
}

// super().NAME in the method being called: 1 with `bound` set, or 0 when
// super() lands on UserList's own method, whose line on `self.data` the
// caller then runs itself; -1 on error.
int super_method(const Call &c, Base which, Ref &bound) {
    if (lands_on_userlist(c, which)) return 0;
    PyObject *klass = c.defining_class();
    if (!klass) return -1;
    bound = super_getattr(klass, c[0], *base_names[which]);
    return bound ? 1 : -1;
}

// self.data; `known` (-1: not known) is reads_data_from_dict() for its
// class, read with nothing run since.
Ref data_of(PyObject *self, int known = -1) {
    bool in_dict = known >= 0 ? known != 0 : state.data_in_dict.get(Py_TYPE(self), reads_data_from_dict);
    if (in_dict) {
        Ref data;
        int found = instance_attribute(self, n_data, data);
        if (found) return data;  // null with the error when it failed
    }
    return Ref::steal(PyObject_GetAttr(self, n_data));
}

// ------------------------------------------------------------------ the entries' callback
//
// Every entry of a list has the same callback: a weak reference to the list
// (of a subclass of weakref.ref of our own) that, called with a dead entry,
// hands it to `remove` looked up on the list at that moment, so a subclass's
// override (or one stored on the instance) takes it; once the list is gone it
// does nothing.  Called with no argument, it gives the list, as any weak
// reference does.  Nothing then leads from an entry back to its list, so a
// list is freed as soon as the last reference to it goes, with its entries,
// and never lingers as cyclic garbage holding references to live objects.
//
// The callback is made when the list's first entry is, and lives among the
// list's own weak references, where every later write finds it again.

PyObject *Callback_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs))
        return raise(PyExc_TypeError, "%.200s() takes no keyword arguments", Py_TYPE(self)->tp_name);
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n > 1)
        return raise(PyExc_TypeError, "%.200s() takes at most 1 argument (%zd given)", Py_TYPE(self)->tp_name, n);
    Ref lst = Ref::borrow(compat::weakref_object(self));
    if (n == 0) return lst.release();
    if (lst.get() == Py_None) Py_RETURN_NONE;
    // lst.remove(entry): an override may free objects whose callbacks run
    // in turn, one inside the other
    DeepGuard guard(" in a Frayle callback");
    if (!guard) return nullptr;
    if (!call_method(lst.get(), n_remove, {PyTuple_GET_ITEM(args, 0)})) return nullptr;
    Py_RETURN_NONE;
}

int ready_callback_type() {
    PyTypeObject &t = state.callback_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    compat::init_static_type(t);
    t.tp_name = "orvane.tessel.frayle.FrayleCallback";
    t.tp_doc = "The callback of every entry of one Frayle: a weak reference to the list that\n"
               "removes a dead entry through the list's remove, and does nothing once the\n"
               "list is gone.";
    t.tp_base = &_PyWeakref_RefType;
    t.tp_basicsize = sizeof(PyWeakReference);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = _PyWeakref_RefType.tp_traverse;  // not inherited by a type that says it has GC
    t.tp_clear = _PyWeakref_RefType.tp_clear;
    t.tp_call = slot<Callback_call>;
    return PyType_Ready(&t);
}

// The list's weak references, in the order the interpreter keeps them (borrowed).
PyWeakReference *weak_references(PyObject *obj) {
    Py_ssize_t offset = Py_TYPE(obj)->tp_weaklistoffset;
    if (offset == 0) return nullptr;
    return *reinterpret_cast<PyWeakReference **>(reinterpret_cast<char *>(obj) + offset);
}

// The callback of `self`'s entries, made if it has none yet.  The last one
// handed out is kept: it refers to its list only while the list lives (a
// freed list's references point to None), and the next write usually goes
// to the same list.
Ref callback_of(PyObject *self) {
    PyObject *last = state.last_callback;
    // (A gone list's callback refers to None, which is no list of ours.)
    if (fast_paths && last && self != Py_None && compat::weakref_object(last) == self) return Ref::borrow(last);
    Ref found;
    for (PyWeakReference *r = weak_references(self); r; r = r->wr_next) {
        if (Py_TYPE(r) == &state.callback_type) {
            found = Ref::borrow(reinterpret_cast<PyObject *>(r));
            break;
        }
    }
    if (!found) {
        found = call(reinterpret_cast<PyObject *>(&state.callback_type), self);
        if (!found) return {};
    }
    if constexpr (fast_paths) {
        state.last_callback = compat::new_ref(found.get());
        Py_XDECREF(last);  // a weak reference: freeing it runs no code
    }
    return found;
}

// factory(obj) or factory(obj, callback); weakref.ref itself is called directly.
Ref new_reference(PyObject *factory, PyObject *obj, PyObject *callback = nullptr) {
    if (fast_paths && factory == reinterpret_cast<PyObject *>(&_PyWeakref_RefType))
        return Ref::steal(PyWeakref_NewRef(obj, callback));
    return callback ? call(factory, obj, callback) : call(factory, obj);
}

// weakref.ref(obj, callback): the entry that stores `obj` in `self`.
Ref wrap(PyObject *self, PyObject *obj) {
    Ref factory = weakref_ref.get();
    if (!factory) return {};
    Ref callback = callback_of(self);
    if (!callback) return {};
    return new_reference(factory.get(), obj, callback.get());
}

// [weakref.ref(i, callback) for i in items]: every object is wrapped before
// anything is stored, so a failure leaves the list as it was.
Ref wrap_all(PyObject *self, PyObject *items) {
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) return {};
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return {};
    Ref callback;  // made with the first entry
    for (;;) {
        Ref obj = Ref::steal(PyIter_Next(it.get()));
        if (!obj) break;
        Ref factory = weakref_ref.get();
        if (!factory) return {};
        if (!callback && !(callback = callback_of(self))) return {};
        Ref entry = new_reference(factory.get(), obj.get(), callback.get());
        if (!entry || PyList_Append(out.get(), entry.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return out;
}

// weakref.ref(item): a plain reference, without a callback, to compare entries with.
Ref probe(PyObject *item) {
    Ref factory = weakref_ref.get();
    if (!factory) return {};
    return new_reference(factory.get(), item);
}

// ref(): the object, or None once it is gone.  Calling a plain reference
// runs no code, so `entry` may be borrowed from a list.
inline Ref deref(PyObject *entry) {
    if (fast_paths && Py_TYPE(entry) == &_PyWeakref_RefType) return Ref::borrow(compat::weakref_object(entry));
    Ref held = Ref::borrow(entry);
    return call(held.get());
}

// ------------------------------------------------------------------ scanning without code
//
// Two references compare equal when both objects are alive and equal, or when
// they are the same reference; a dead one is equal only to itself.  Between
// plain references (the exact weakref type) to objects whose type keeps
// object's own comparison, equality is identity and no code runs, so the
// list's own scan can be done here.  Anything else is left to the list.

constexpr Py_ssize_t kNotFound = -1, kUndecided = -2;

bool plain_eq(PyObject *o) { return Py_TYPE(o)->tp_richcompare == PyBaseObject_Type.tp_richcompare; }

// 1 or 0 when `entry == probe` is decided without code, -1 otherwise.
// `target` is the probe's object, or None.
int quick_equal(PyObject *entry, PyObject *probe, PyObject *target) {
    if (entry == probe) return 1;
    if (Py_TYPE(entry) != &_PyWeakref_RefType) return -1;
    if (target == Py_None) return 0;
    PyObject *object = compat::weakref_object(entry);
    if (object == Py_None) return 0;
    if (!plain_eq(object)) return -1;
    return object == target;
}

bool quick_probe(PyObject *probe, PyObject **target) {
    if (Py_TYPE(probe) != &_PyWeakref_RefType) return false;
    *target = compat::weakref_object(probe);
    return *target == Py_None || plain_eq(*target);
}

// The position of the first entry of `data` (an exact list) equal to `probe`,
// kNotFound, or kUndecided.
Py_ssize_t quick_find(PyObject *data, PyObject *probe) {
    PyObject *target;
    if (!quick_probe(probe, &target)) return kUndecided;
    PyObject **items = reinterpret_cast<PyListObject *>(data)->ob_item;
    Py_ssize_t n = PyList_GET_SIZE(data);
    if (target == Py_None) {
        // The automatic removal: the probe is dead, so it equals only itself,
        // and every entry before it must be a plain reference.  Only the type
        // of each entry is read; fetching the ones ahead hides the latency.
        constexpr Py_ssize_t ahead = 16;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *entry = items[i];
            if (i + ahead < n) __builtin_prefetch(items[i + ahead]);
            if (entry == probe) return i;
            if (Py_TYPE(entry) != &_PyWeakref_RefType) return kUndecided;
        }
        return kNotFound;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = quick_equal(items[i], probe, target);
        if (eq) return eq > 0 ? i : kUndecided;
    }
    return kNotFound;
}

// The number of entries equal to `probe`, or kUndecided.
Py_ssize_t quick_count(PyObject *data, PyObject *probe) {
    PyObject *target;
    if (!quick_probe(probe, &target)) return kUndecided;
    PyObject **items = reinterpret_cast<PyListObject *>(data)->ob_item;
    Py_ssize_t n = PyList_GET_SIZE(data), count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = quick_equal(items[i], probe, target);
        if (eq < 0) return kUndecided;
        count += eq;
    }
    return count;
}

// ------------------------------------------------------------------ walking references
//
// Both lazy sequences, the iterator of __iter__ and the one a slice read hands
// to the class, walk a list of references when first advanced and yield what
// each reference gives.  A plain list is walked by position against its
// current length (entries that leave during the walk shift the rest under it,
// as for any list); anything else through its own iterator.

class WalkBody : public GeneratorBody {
public:
    Step resume(Ref &out) override {
        if (!source_) {
            source_ = start();
            if (!source_) return Step::Error;
            walk_ = fast_paths && PyList_CheckExact(source_.get());
            if (!walk_) {
                source_ = Ref::steal(PyObject_GetIter(source_.get()));
                if (!source_) return Step::Error;
            }
        }
        if (walk_) {
            if (pos_ >= PyList_GET_SIZE(source_.get())) return Step::Return;
            out = deref(PyList_GET_ITEM(source_.get(), pos_++));
        } else {
            Ref entry = Ref::steal(PyIter_Next(source_.get()));
            if (!entry) return PyErr_Occurred() ? Step::Error : Step::Return;
            out = deref(entry.get());
        }
        return out ? Step::Yield : Step::Error;
    }

    // The step of a started walk over a plain list whose next entry is a plain
    // reference: reading it runs nothing.  The entries a few steps ahead, and
    // their objects, are fetched early to hide the memory latency.
    bool resume_quietly(Ref &out) override {
        if (!walk_) return false;
        PyObject *list = source_.get();
        Py_ssize_t n = PyList_GET_SIZE(list), pos = pos_;
        if (pos >= n) return false;
        PyObject **items = reinterpret_cast<PyListObject *>(list)->ob_item;
        PyObject *entry = items[pos];
        if (Py_TYPE(entry) != &_PyWeakref_RefType) return false;
        constexpr Py_ssize_t entry_ahead = 8, object_ahead = 4;
        if (pos + entry_ahead < n) __builtin_prefetch(items[pos + entry_ahead]);
        if (pos + object_ahead < n && Py_TYPE(items[pos + object_ahead]) == &_PyWeakref_RefType)
            __builtin_prefetch(compat::weakref_object(items[pos + object_ahead]));
        pos_ = pos + 1;
        out = Ref::borrow(compat::weakref_object(entry));
        return true;
    }

protected:
    // The list (or other iterable) of references to walk, read when first advanced.
    virtual Ref start() = 0;

    int traverse_walk(visitproc visit, void *arg) {
        Py_VISIT(source_.get());
        return 0;
    }

private:
    Ref source_;         // the references: a plain list, or an iterator over them
    bool walk_ = false;  // source_ is a plain list, walked by position
    Py_ssize_t pos_ = 0;
};

// def __iter__(self): for ref in self.data: yield ref()
GeneratorSpec iter_spec("__iter__", "Frayle.__iter__");

class IterBody : public WalkBody {
public:
    explicit IterBody(PyObject *self) : self_(Ref::borrow(self)) {}

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(self_.get());
        return traverse_walk(visit, arg);
    }

private:
    Ref start() override { return data_of(self_.get()); }  // `data`, read once

    Ref self_;
};

// The lazy sequence of a slice read: (ref() for ref in self.data[index]),
// reading `data` when first advanced.
GeneratorSpec slice_spec("genexpr", "Frayle.__getitem__.<locals>.genexpr");

class SliceBody : public WalkBody {
public:
    SliceBody(PyObject *self, PyObject *index) : self_(Ref::borrow(self)), index_(Ref::borrow(index)) {}

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(self_.get());
        Py_VISIT(index_.get());
        return traverse_walk(visit, arg);
    }

private:
    Ref start() override {
        Ref data = data_of(self_.get());
        if (!data) return {};
        return Ref::steal(PyObject_GetItem(data.get(), index_.get()));
    }

    Ref self_, index_;
};

// ------------------------------------------------------------------ Frayle

const char Frayle_doc[] =
    "Frayle Class\n"
    "\n"
    "A special implementation of the native list whose stored items are weak\n"
    "references to the objects put into it.\n"
    "\n"
    "Special behaviours:\n"
    "\n"
    "- an entry is removed automatically when its object is finalized by the\n"
    "  garbage collector;\n"
    "- all reads return the actual objects (None for an object that is gone);\n"
    "- all writes take actual objects and store weak references to them;\n"
    "- all handling of weak references is invisible to the user.\n"
    "\n"
    "Note: everything stored is a weak reference, so mind object lifetimes and\n"
    "garbage collection: an object that nothing else holds leaves the list as\n"
    "soon as it is freed.\n";

// UserList.__init__(self, initlist) for a new list of entries, step by step:
//
//     self.data = []
//     if initlist is not None:
//         if type(initlist) == type(self.data):
//             self.data[:] = initlist
//         elif isinstance(initlist, UserList):
//             self.data[:] = initlist.data[:]
//         else:
//             self.data = list(initlist)
//
// (the builtins it names are the interpreter's own while super() lands here:
// see base_globals).  In the usual case
// `self.data` is still the empty list just stored, and nothing else holds
// `initlist`: the entries then move into it instead of being copied.
PyObject *UserList_init(PyObject *self, Ref initlist) {
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh || PyObject_SetAttr(self, n_data, fresh.get()) < 0) return nullptr;
    Ref data = data_of(self);
    if (!data) return nullptr;
    int same = 1;
    if (Py_TYPE(data.get()) != &PyList_Type) {
        Ref eq = Ref::steal(PyObject_RichCompare(reinterpret_cast<PyObject *>(&PyList_Type),
                                                 reinterpret_cast<PyObject *>(Py_TYPE(data.get())), Py_EQ));
        if (!eq || (same = PyObject_IsTrue(eq.get())) < 0) return nullptr;
    }
    data.reset();
    if (same) {
        data = data_of(self);
        if (!data) return nullptr;
        if (data.get() == fresh.get() && PyList_GET_SIZE(fresh.get()) == 0 && Py_REFCNT(initlist.get()) == 1) {
            auto *to = reinterpret_cast<PyListObject *>(fresh.get());
            auto *from = reinterpret_cast<PyListObject *>(initlist.get());
            std::swap(to->ob_item, from->ob_item);
            std::swap(to->allocated, from->allocated);
            std::swap(to->ob_base.ob_size, from->ob_base.ob_size);
            Py_RETURN_NONE;
        }
        Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
        if (!all || PyObject_SetItem(data.get(), all.get(), initlist.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref userlist = Ref::borrow(body_global(state.userlist[kInit].get(), n_UserList));
    if (!userlist) return raise(PyExc_NameError, "name '%U' is not defined", n_UserList.get());
    int is = PyObject_IsInstance(initlist.get(), userlist.get());
    if (is < 0) return nullptr;
    if (is) {
        Ref inner = Ref::steal(PyObject_GetAttr(initlist.get(), n_data));
        Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
        if (!inner || !all) return nullptr;
        Ref copy = Ref::steal(PyObject_GetItem(inner.get(), all.get()));
        if (!copy) return nullptr;
        data = data_of(self);
        if (!data || PyObject_SetItem(data.get(), all.get(), copy.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref copy = Ref::steal(PySequence_List(initlist.get()));
    if (!copy || PyObject_SetAttr(self, n_data, copy.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// def __init__(self, items=())
PyObject *Frayle_init(Call &c) {
    // super().__init__([weakref.ref(i, callback) for i in items])
    Ref init;
    if (super_method(c, kInit, init) < 0) return nullptr;
    Ref entries = wrap_all(c[0], c[1]);
    if (!entries) return nullptr;
    if (!init) return UserList_init(c[0], std::move(entries));
    return call(init.get(), entries.get()).release();
}

// def __contains__(self, item)
PyObject *Frayle_contains(Call &c) {
    PyObject *self = c[0];
    // return super().__contains__(weakref.ref(item))
    Ref contains;
    if (super_method(c, kContains, contains) < 0) return nullptr;
    Ref ref = probe(c[1]);
    if (!ref) return nullptr;
    if (contains) return call(contains.get(), ref.get()).release();
    // UserList.__contains__: return item in self.data
    Ref data = data_of(self);
    if (!data) return nullptr;
    if (PyList_CheckExact(data.get())) {
        Py_ssize_t found = quick_find(data.get(), ref.get());
        if (found != kUndecided) return PyBool_FromLong(found >= 0);
    }
    int found = PySequence_Contains(data.get(), ref.get());
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

// isinstance(index, slice): a slice, or an object whose __class__ says it is one.
int is_slice(PyObject *index) {
    if (PySlice_Check(index)) return 1;
    PyTypeObject *type = Py_TYPE(index);
    if (PyLong_CheckExact(index) ||
        (type->tp_getattro == PyObject_GenericGetAttr &&
         class_attribute(type, n___class__) == class_attribute(&PyBaseObject_Type, n___class__)))
        return 0;
    return PyObject_IsInstance(index, reinterpret_cast<PyObject *>(&PySlice_Type));
}

// def __getitem__(self, index)
PyObject *Frayle_getitem(Call &c) {
    PyObject *self = c[0], *index = c[1];
    int slice = is_slice(index);
    if (slice < 0) return nullptr;
    if (slice) {
        // return self.__class__(ref() for ref in self.data[index])
        Ref klass = Ref::steal(PyObject_GetAttr(self, n___class__));
        if (!klass) return nullptr;
        Ref lazy = make_generator(slice_spec, std::make_unique<SliceBody>(self, index));
        if (!lazy) return nullptr;
        return call(klass.get(), lazy.get()).release();
    }
    // return super().__getitem__(index)()
    Ref entry;
    bool data_in_dict;
    if (lands_on_userlist(c, kGetitem, &data_in_dict)) {
        // UserList.__getitem__: isinstance(i, slice) is false, as above;
        // return self.data[i]
        Ref data = data_of(self, data_in_dict);
        if (!data) return nullptr;
        entry = Ref::steal(PyObject_GetItem(data.get(), index));
    } else {
        entry = super_call(c, n___getitem__, {index});
    }
    if (!entry) return nullptr;
    return deref(entry.get()).release();
}

// def __setitem__(self, index, item)
PyObject *Frayle_setitem(Call &c) {
    PyObject *self = c[0], *index = c[1], *item = c[2];
    // a slice takes [weakref.ref(i, callback) for i in item], a position weakref.ref(item, callback)
    int slice = is_slice(index);
    if (slice < 0) return nullptr;
    Ref value = slice ? wrap_all(self, item) : wrap(self, item);
    if (!value) return nullptr;
    return super_call(c, n___setitem__, {index, value.get()}).release();
}

PyObject *Frayle_iter(Call &c) {
    return make_generator(iter_spec, std::make_unique<IterBody>(c[0])).release();
}

// def __eq__(self, other): return list(self) == other
PyObject *Frayle_eq(Call &c) {
    DeepGuard guard(" in comparison");
    if (!guard) return nullptr;
    Ref objects = Ref::steal(PySequence_List(c[0]));
    if (!objects) return nullptr;
    return PyObject_RichCompare(objects.get(), c[1], Py_EQ);
}

// def __reversed__(self): return self[::-1]
PyObject *Frayle_reversed(Call &c) { return PyObject_GetItem(c[0], state.reversed_slice.get()); }

// def __add__(self, item)
PyObject *Frayle_add(Call &c) {
    PyObject *self = c[0], *item = c[1];
    Ref frayle = g_Frayle.get();
    if (!frayle) return nullptr;
    int is = PyObject_IsInstance(item, frayle.get());
    if (is < 0) return nullptr;
    if (!is) {
        // raise TypeError('can only concatenante Frayle (not "{value_type}") to Frayle'
        //                 .format(value_type=type(item).__name__))
        Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(item)), n___name__));
        if (!name) return nullptr;
        Ref format = Ref::steal(PyObject_GetAttr(state.add_message.get(), n_format));
        Ref kwargs = Ref::steal(PyDict_New());
        if (!format || !kwargs || PyDict_SetItem(kwargs.get(), n_value_type, name.get()) < 0)
            return nullptr;
        Ref message = Ref::steal(PyObject_Call(format.get(), state.empty_tuple.get(), kwargs.get()));
        if (!message) return nullptr;
        PyErr_SetObject(PyExc_TypeError, message.get());
        return nullptr;
    }
    // r = Frayle(); r.extend(self); r.extend(item); return r
    frayle = g_Frayle.get();
    if (!frayle) return nullptr;
    Ref r = call(frayle.get());
    if (!r || !call_method(r.get(), n_extend, {self}) || !call_method(r.get(), n_extend, {item}))
        return nullptr;
    return r.release();
}

// def __iadd__(self, items)
PyObject *Frayle_iadd(Call &c) {
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    // return super().__iadd__([weakref.ref(i, callback) for i in items])
    Ref iadd = super_getattr(klass, c[0], n___iadd__);
    if (!iadd) return nullptr;
    Ref entries = wrap_all(c[0], c[1]);
    if (!entries) return nullptr;
    return call(iadd.get(), entries.get()).release();
}

// def remove(self, item)
PyObject *Frayle_remove(Call &c) {
    PyObject *self = c[0], *item = c[1];
    // if isinstance(item, weakref.ReferenceType): super().remove(item)
    // else: super().remove(weakref.ref(item))
    Ref reference_type = weakref_ReferenceType.get();
    if (!reference_type) return nullptr;
    int is_ref = PyObject_IsInstance(item, reference_type.get());
    if (is_ref < 0) return nullptr;
    reference_type.reset();
    Ref remove;
    if (super_method(c, kRemove, remove) < 0) return nullptr;
    Ref ref = is_ref ? Ref::borrow(item) : probe(item);
    if (!ref) return nullptr;
    if (remove) {
        if (!call(remove.get(), ref.get())) return nullptr;
        Py_RETURN_NONE;
    }
    // UserList.remove: self.data.remove(item)
    Ref data = data_of(self);
    if (!data) return nullptr;
    if (PyList_CheckExact(data.get())) {
        Py_ssize_t found = quick_find(data.get(), ref.get());
        if (found >= 0) {
            // What list.remove does once it has found the entry.
            if (PyList_SetSlice(data.get(), found, found + 1, nullptr) < 0) return nullptr;
            Py_RETURN_NONE;
        }
    }
    if (!call_method(data.get(), n_remove, {ref.get()})) return nullptr;
    Py_RETURN_NONE;
}

// def append(self, item)
PyObject *Frayle_append(Call &c) {
    PyObject *self = c[0];
    // return super().append(weakref.ref(item, callback))
    Ref append;
    if (super_method(c, kAppend, append) < 0) return nullptr;
    Ref entry = wrap(self, c[1]);
    if (!entry) return nullptr;
    if (append) return call(append.get(), entry.get()).release();
    // UserList.append: self.data.append(item)
    Ref data = data_of(self);
    if (!data) return nullptr;
    if (PyList_CheckExact(data.get())) {
        if (PyList_Append(data.get(), entry.get()) < 0) return nullptr;
    } else if (!call_method(data.get(), n_append, {entry.get()})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Shared by index and count: super().<name>(weakref.ref(item)).
PyObject *probing_call(Call &c, Base which) {
    PyObject *self = c[0];
    Ref base;
    if (super_method(c, which, base) < 0) return nullptr;
    Ref ref = probe(c[1]);
    if (!ref) return nullptr;
    if (base) return call(base.get(), ref.get()).release();
    // UserList's: return self.data.<name>(item)
    Ref data = data_of(self);
    if (!data) return nullptr;
    if (PyList_CheckExact(data.get())) {
        Py_ssize_t n = which == kCount ? quick_count(data.get(), ref.get()) : quick_find(data.get(), ref.get());
        if (n >= 0) return PyLong_FromSsize_t(n);  // not found: the list raises its own error
    }
    return call_method(data.get(), *base_names[which], {ref.get()}).release();
}

// def index(self, item): return super().index(weakref.ref(item))
PyObject *Frayle_index(Call &c) { return probing_call(c, kIndex); }

// def count(self, item): return super().count(weakref.ref(item))
PyObject *Frayle_count(Call &c) { return probing_call(c, kCount); }

const char Frayle_pop_doc[] =
    "Remove the entry at position item (default last) and return its object.\n"
    "\n"
    "Positions are those of list.pop: negative ones count from the end, and an\n"
    "empty list or a position out of range raises IndexError.  The entry leaves\n"
    "the list at once, so its callback never runs.  Returns the stored object,\n"
    "or None when that object is already gone.\n";

// def pop(self, item=-1): return super().pop(item)()
PyObject *Frayle_pop(Call &c) {
    Ref entry = super_call(c, n_pop, {c[1]});
    if (!entry) return nullptr;
    return deref(entry.get()).release();
}

// def insert(self, index, item)
PyObject *Frayle_insert(Call &c) {
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    // return super().insert(index, weakref.ref(item, callback))
    Ref insert = super_getattr(klass, c[0], n_insert);
    if (!insert) return nullptr;
    Ref entry = wrap(c[0], c[2]);
    if (!entry) return nullptr;
    return call(insert.get(), c[1], entry.get()).release();
}

// def extend(self, items)
PyObject *Frayle_extend(Call &c) {
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    // return super().extend([weakref.ref(i, callback) for i in items])
    Ref extend = super_getattr(klass, c[0], n_extend);
    if (!extend) return nullptr;
    Ref entries = wrap_all(c[0], c[1]);
    if (!entries) return nullptr;
    return call(extend.get(), entries.get()).release();
}

// lambda i: i()
PyObject *sort_key(Call &c) { return deref(c[0]).release(); }
NestedFunction sort_key_fn("<lambda>", "Frayle.sort.<locals>.<lambda>", sort_key, {"i"});

// lambda i: key(i())
PyObject *sort_key_with(Call &c) {
    Ref object = deref(c[0]);
    if (!object) return nullptr;
    return call(c.captured(0), object.get()).release();
}
NestedFunction sort_key_with_fn("<lambda>", "Frayle.sort.<locals>.<lambda>", sort_key_with, {"i"});

// def sort(self, key=None, reverse=False)
PyObject *Frayle_sort(Call &c) {
    PyObject *key = c[1], *reverse = c[2];
    Ref k;
    if (key == Py_None) {
        k = sort_key_fn.make({});
    } else {
        Ref captured = Ref::steal(PyTuple_Pack(1, key));
        if (!captured) return nullptr;
        k = sort_key_with_fn.make(std::move(captured));
    }
    if (!k) return nullptr;
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    // return super().sort(key=k, reverse=reverse)
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), n_key, k.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), n_reverse, reverse) < 0)
        return nullptr;
    return super_call_tuple(klass, c[0], n_sort, state.empty_tuple.get(), kwargs.get()).release();
}

// "Frayle([" + ", ".join([text(i) for i in self]) + "])"
PyObject *text_form(PyObject *self, PyObject *(*text)(PyObject *)) {
    DeepGuard guard(" while getting the repr of an object");
    if (!guard) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    for (;;) {
        Ref object = Ref::steal(PyIter_Next(it.get()));
        if (!object) break;
        Ref part = Ref::steal(text(object.get()));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    if (!separator) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("Frayle([%U])", joined.get());
}

// def __repr__(self)
PyObject *Frayle_repr(Call &c) { return text_form(c[0], PyObject_Repr); }

// def __str__(self)
PyObject *Frayle_str(Call &c) { return text_form(c[0], PyObject_Str); }

// ------------------------------------------------------------------ module level

int exec(Module &m) {
    if (m.uses_generators() < 0 || ready_callback_type() < 0) return -1;

    state.empty_tuple.set(Ref::steal(PyTuple_New(0)));
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one) return -1;
    state.reversed_slice.set(Ref::steal(PySlice_New(Py_None, Py_None, minus_one.get())));
    state.add_message.set(Ref::steal(PyUnicode_InternFromString(
        "can only concatenante Frayle (not \"{value_type}\") to Frayle")));
    if (!state.empty_tuple || !state.reversed_slice || !state.add_message) return -1;

    // import weakref
    // import collections
    if (m.import("weakref") < 0 || m.import("collections") < 0) return -1;

    // class Frayle(collections.UserList)
    Ref collections = m.get("collections");
    if (!collections) return -1;
    Ref userlist = Ref::steal(PyObject_GetAttr(collections.get(), n_UserList));
    if (!userlist) return -1;
    if (PyType_Check(userlist.get())) {
        // UserList's own methods (not ones it inherits), as they are now
        Ref dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject *>(userlist.get())));
        for (int b = 0; dict && b < kBases; ++b) {
            PyObject *f = PyDict_GetItemWithError(dict.get(), *base_names[b]);
            if (!f) {
                if (PyErr_Occurred()) return -1;
                continue;
            }
            // Known only if the builtins its body names are the ones its steps
            // here stand for; then only while they stay so.
            int builtin = 1;
            for (const char *g : base_globals[b])
                if (builtin > 0 && PyFunction_Check(f)) builtin = names_builtin(f, g);
            if (builtin < 0 || (builtin && state.userlist[b].set(f, base_globals[b]) < 0)) return -1;
        }
    }
    Ref frayle = m.define_class("Frayle", {userlist.get()}, Frayle_doc, {
        method("__init__", Frayle_init, {"self", "items"}, nullptr, defaults({Ref::borrow(state.empty_tuple.get())})),
        method("__contains__", Frayle_contains, {"self", "item"}),
        method("__getitem__", Frayle_getitem, {"self", "index"}),
        method("__setitem__", Frayle_setitem, {"self", "index", "item"}),
        method("__iter__", Frayle_iter, {"self"}),
        method("__eq__", Frayle_eq, {"self", "other"}),
        method("__reversed__", Frayle_reversed, {"self"}),
        method("__add__", Frayle_add, {"self", "item"}),
        method("__iadd__", Frayle_iadd, {"self", "items"}),
        method("remove", Frayle_remove, {"self", "item"}),
        method("append", Frayle_append, {"self", "item"}),
        method("index", Frayle_index, {"self", "item"}),
        method("count", Frayle_count, {"self", "item"}),
        method("pop", Frayle_pop, {"self", "item"}, Frayle_pop_doc, defaults({minus_one})),
        method("insert", Frayle_insert, {"self", "index", "item"}),
        method("extend", Frayle_extend, {"self", "items"}),
        method("sort", Frayle_sort, {"self", "key", "reverse"}, nullptr, defaults({none(), boolean(false)})),
        method("__repr__", Frayle_repr, {"self"}),
        method("__str__", Frayle_str, {"self"}),
    });
    if (!frayle) return -1;

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(frayle, "orvane.tessel.frayle", nullptr, exec)
