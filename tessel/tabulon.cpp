// tabulon.cpp — nested dictionaries as lists of (path, value) pairs, and back.
//
// A Tabulon is a list whose elements are (path, value) pairs: the path is the
// tuple of keys that lead from the top mapping to a value, with positions in
// lists and tuples written as IndexMarker objects.  Tabulon.__flatten__ walks a
// nested mapping lazily (one generator per level, each delegating to the next
// with yield from); reconstruct() walks the pairs back into a new dict.
#include "tessel.hpp"

#include <unordered_map>
#include <vector>

using namespace tessel;

namespace {

Name n___init__("__init__"), n___setitem__("__setitem__"), n___flatten__("__flatten__"),
    n___name__("__name__"), n___new__("__new__"), n___class__("__class__"),
    n_append("append"), n_extend("extend"), n_insert("insert"), n_items("items"), n_get("get"),
    n_type_("type_"), n_index("index"), n__make("_make"), n__tuple_new("_tuple_new"), n_empty("");
Global g_DictItem("DictItem"), g_MutableMapping("MutableMapping"), g_IndexMarker("IndexMarker"),
    g_Tabulon("Tabulon");

// Facts about classes that the fast paths rest on (see the makers below).

// Calling the class runs type.__call__, then namedtuple's __new__ as made for
// DictItem at import (while the `_tuple_new` it calls is tuple.__new__), then
// object.__init__, which does nothing.  `found` is
// what the class's __new__ lookup finds (borrowed from a class dict); the
// function it gives is checked at each call, since a staticmethod can be
// given another function without its class noticing.
struct DictItemFact {
    PyObject *found = nullptr;
};

// super(klass, self).append, for self of the class, is list.append.
struct AppendFact {
    PyObject *klass = nullptr;  // compared only
    bool list_append = false;
};

struct State {
    // isinstance(value, MutableMapping), asked of every value flattened
    AbcCheck mapping_check;
    // DictItem(path, value): namedtuple's __new__ as made at import, and
    // the classes whose call runs it
    KnownFunction dict_item_new;
    ClassMemo<DictItemFact> dict_item;
    // IndexMarker(sequence, i): the classes whose call runs our __init__
    ClassMemo<bool> index_marker;
    // the classes whose super().append from Tabulon is list.append
    ClassMemo<AppendFact> append;
    // Tabulon.__flatten__, looked up for every nested level
    ClassMemo<PyObject *> flatten;
    // reconstruct's index of the last element
    Held minus_one;
} state;

const char pair_message[] = "Tabulon only accepts a tuple of path/obj";

// ------------------------------------------------------------------ helpers

// The ValueError of the pair check, raised while the unpacking's own error is
// being handled.  Interrupts and exits (exceptions that are no Exception) go
// through unchanged: they are not a property of the item.
PyObject *pair_error() {
    if (!error_is(PyExc_Exception)) return nullptr;
    return replace_error(PyExc_ValueError, pair_message);
}

[[gnu::cold]] int unpack_count_error(Py_ssize_t got) {
    if (got > 2)
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
    return -1;
}

// `first, second = item`.
int unpack2(PyObject *item, Ref &first, Ref &second) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
        if (n != 2) return unpack_count_error(n);
        PyObject **items = PySequence_Fast_ITEMS(item);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) return -1;
    first = Ref::steal(PyIter_Next(it.get()));
    if (!first) return PyErr_Occurred() ? -1 : unpack_count_error(0);
    second = Ref::steal(PyIter_Next(it.get()));
    if (!second) return PyErr_Occurred() ? -1 : unpack_count_error(1);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return unpack_count_error(3);
    return PyErr_Occurred() ? -1 : 0;
}

// `path + (element,)`.
Ref extend_path(PyObject *path, PyObject *element) {
    if (PyTuple_CheckExact(path)) {
        Py_ssize_t n = PyTuple_GET_SIZE(path);
        Ref longer = Ref::steal(PyTuple_New(n + 1));
        if (!longer) return {};
        for (Py_ssize_t i = 0; i < n; ++i)
            PyTuple_SET_ITEM(longer.get(), i, compat::new_ref(PyTuple_GET_ITEM(path, i)));
        PyTuple_SET_ITEM(longer.get(), n, compat::new_ref(element));
        return longer;
    }
    Ref one = Ref::steal(PyTuple_Pack(1, element));
    if (!one) return {};
    return Ref::steal(PyNumber_Add(path, one.get()));
}

// `path[:]`.
Ref full_slice(PyObject *path) {
    if (PyTuple_CheckExact(path)) return Ref::borrow(path);  // a tuple's full slice is itself
    PyMappingMethods *mp = Py_TYPE(path)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(path)->tp_name);
        return {};
    }
    Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!all) return {};
    return Ref::steal(mp->mp_subscript(path, all.get()));
}

// ------------------------------------------------------------------ isinstance(x, MutableMapping)

// isinstance(obj, mapping), where `mapping` is the current global MutableMapping.
int is_mapping(PyObject *obj, PyObject *mapping) { return state.mapping_check(obj, mapping); }

// isinstance(obj, (list, tuple)).  isinstance() also asks obj's __class__,
// which is its type unless its class says otherwise.
int is_list_or_tuple(PyObject *obj) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return 1;
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr &&
        class_attribute(type, n___class__) == class_attribute(&PyBaseObject_Type, n___class__))
        return 0;
    int r = PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(&PyList_Type));
    return r ? r : PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(&PyTuple_Type));
}

// isinstance(value, (MutableMapping, list, tuple)), in that order.
int is_container(PyObject *value, PyObject *mapping) {
    int r = is_mapping(value, mapping);
    if (r != 0) return r;
    return is_list_or_tuple(value);
}

// ------------------------------------------------------------------ DictItem(path, value)
//
// DictItem's constructor is Python code (namedtuple's __new__, which returns
// tuple.__new__(cls, (path, value))).  When a class call would run exactly
// that, the pair is built as tuple.__new__ builds it.

DictItemFact dict_item_fact(PyTypeObject *type) {
    if (Py_TYPE(type) != &PyType_Type || !PyType_IsSubtype(type, &PyTuple_Type) ||
        class_attribute(type, n___init__) != class_attribute(&PyBaseObject_Type, n___init__))
        return {};
    PyObject *found = class_attribute(type, n___new__);
    if (!found || (Py_TYPE(found) != &PyStaticMethod_Type && !PyFunction_Check(found))) return {};
    return {found};
}

// The function that `type.__new__` gives when the lookup finds `found`.
Ref new_function(PyObject *found, PyTypeObject *type) {
    if (PyFunction_Check(found)) return Ref::borrow(found);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;  // a staticmethod's
    Ref function = Ref::steal(get(found, nullptr, reinterpret_cast<PyObject *>(type)));
    if (!function) PyErr_Clear();  // the plain route meets the error itself
    return function;
}

Ref make_dict_item(PyObject *path, PyObject *value) {
    Ref cls = g_DictItem.get();
    if (!cls) return {};
    if (PyType_Check(cls.get())) {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.get());
        DictItemFact fact = state.dict_item.get(type, dict_item_fact);
        if (fact.found && state.dict_item_new.is(new_function(fact.found, type).get())) {
            Ref item = Ref::steal(type->tp_alloc(type, 2));
            if (!item) return {};
            PyTuple_SET_ITEM(item.get(), 0, compat::new_ref(path));
            PyTuple_SET_ITEM(item.get(), 1, compat::new_ref(value));
            return item;
        }
    }
    return call(cls.get(), path, value);
}

// ------------------------------------------------------------------ IndexMarker(indict, i)
//
// Flattening makes one marker per sequence element.  When the class call
// would run object.__new__ and then our own __init__, with attributes set the
// generic way, the marker is made as that call makes it: allocated, then the
// two attributes that __init__ sets.

PyObject *IndexMarker_init(Call &c);

bool index_marker_fact(PyTypeObject *type) {
    return Py_TYPE(type) == &PyType_Type && !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) &&
           type->tp_new == PyBaseObject_Type.tp_new &&
           class_attribute(type, n___new__) == class_attribute(&PyBaseObject_Type, n___new__) &&
           is_function(class_attribute(type, n___init__), IndexMarker_init) &&
           type->tp_setattro == PyObject_GenericSetAttr;
}

Ref make_index_marker(PyObject *sequence, PyObject *position) {
    Ref cls = g_IndexMarker.get();
    if (!cls) return {};
    // int(position) is position itself for an exact int.
    if (!PyType_Check(cls.get()) || !PyLong_CheckExact(position) ||
        !state.index_marker.get(reinterpret_cast<PyTypeObject *>(cls.get()), index_marker_fact))
        return call(cls.get(), sequence, position);
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.get());
    Ref marker = Ref::steal(type->tp_alloc(type, 0));
    if (!marker ||
        PyObject_GenericSetAttr(marker.get(), n_type_, reinterpret_cast<PyObject *>(Py_TYPE(sequence))) < 0 ||
        PyObject_GenericSetAttr(marker.get(), n_index, position) < 0)
        return {};
    return marker;
}

// ------------------------------------------------------------------ IndexMarker

const char IndexMarker_init_doc[] =
    "Tracks the index position of an element in a list or tuple.\n"
    "\n"
    "obj: the list or tuple (only its type is kept, as type_)\n"
    "index: the element's position in it, converted with int()\n";

// def __init__(self, obj, index)
PyObject *IndexMarker_init(Call &c) {
    PyObject *self = c[0], *obj = c[1], *index = c[2];
    // self.type_ = type(obj)
    if (PyObject_SetAttr(self, n_type_, reinterpret_cast<PyObject *>(Py_TYPE(obj))) < 0)
        return nullptr;
    // self.index = int(index)
    Ref position = Ref::steal(PyNumber_Long(index));
    if (!position || PyObject_SetAttr(self, n_index, position.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// def __repr__(self): return "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)
PyObject *IndexMarker_repr(Call &c) {
    PyObject *self = c[0];
    Ref type = Ref::steal(PyObject_GetAttr(self, n_type_));
    if (!type) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(type.get(), n___name__));
    if (!name) return nullptr;
    Ref index = Ref::steal(PyObject_GetAttr(self, n_index));
    if (!index) return nullptr;
    Ref name_text = Ref::steal(PyObject_Format(name.get(), n_empty));
    if (!name_text) return nullptr;
    Ref index_text = Ref::steal(PyObject_Format(index.get(), n_empty));
    if (!index_text) return nullptr;
    return PyUnicode_FromFormat("%U[%U]", name_text.get(), index_text.get());
}

// ------------------------------------------------------------------ Tabulon

const char Tabulon_doc[] =
    "A list of (path, value) pairs that stands for a nested dictionary.\n"
    "\n"
    "Code that would walk a nested dictionary recursively can work on this flat\n"
    "list instead.  Every value of the dictionary becomes one pair whose path is\n"
    "the tuple of the keys that lead to it, outermost first:\n"
    "\n"
    "    >>> Tabulon({'a': {'b': 1, 'c': 2}, 'd': 3})\n"
    "    [DictItem(path=('a', 'b'), value=1), DictItem(path=('a', 'c'), value=2), "
    "DictItem(path=('d',), value=3)]\n"
    "\n"
    "Format: [(path, value), ...], where path is the tuple of nested keys, e.g.\n"
    "('a', 'b') for d['a']['b'].  Positions in lists and tuples are written into\n"
    "paths as IndexMarker objects (shown as list[0], tuple[1]); empty containers\n"
    "are values, not levels.\n"
    "\n"
    "reconstruct() rebuilds the dictionary that the pairs stand for.  It always\n"
    "builds a new dictionary, never hands back the one that was flattened.\n";

const char Tabulon_init_doc[] =
    "Accepts what the list constructor accepts, provided that every element is a\n"
    "(path, value) pair (ValueError otherwise); the elements are stored as they\n"
    "are.  A single mutable mapping is flattened into DictItem pairs instead.\n";

const char Tabulon_flatten_doc[] =
    "Recursively flattens a nested dictionary into its path/value form.\n"
    "\n"
    "indict: the mapping (or list or tuple) to flatten\n"
    "path: the path that leads to indict, prefixed to every path (default: none)\n"
    "\n"
    "Yields DictItem(path, value) pairs, lazily and depth first.\n";

const char Tabulon_append_doc[] = "Appends a new path/value.";
const char Tabulon_extend_doc[] = "Extends the list with many path/values.";
const char Tabulon_insert_doc[] = "Inserts a new path/value.";
const char Tabulon_reconstruct_doc[] =
    "Takes the stored list form and rebuilds the dictionary it represents.\n"
    "\n"
    "The result is always a new dictionary object, never one that was flattened\n"
    "earlier; lists and tuples come back as their own types.  Returns that\n"
    "dictionary.\n";

// The staticmethod that `type.__flatten__` finds, when the class's metaclass
// is type (which has no attribute of that name to come first).
PyObject *flatten_fact(PyTypeObject *type) {
    if (Py_TYPE(type) != &PyType_Type) return nullptr;
    PyObject *found = class_attribute(type, n___flatten__);
    return found && Py_TYPE(found) == &PyStaticMethod_Type ? found : nullptr;
}

// Tabulon.__flatten__(value[, path]), reached through the module's Tabulon.
Ref flatten_call(PyObject *value, PyObject *path) {
    Ref tabulon = g_Tabulon.get();
    if (!tabulon) return {};
    PyObject *found = PyType_Check(tabulon.get())
                          ? state.flatten.get(reinterpret_cast<PyTypeObject *>(tabulon.get()), flatten_fact)
                          : nullptr;
    // The staticmethod gives its function as the attribute lookup would.
    Ref flatten = Ref::steal(found ? Py_TYPE(found)->tp_descr_get(found, nullptr, tabulon.get())
                                   : PyObject_GetAttr(tabulon.get(), n___flatten__));
    if (!flatten) return {};
    return path ? call(flatten.get(), value, path) : call(flatten.get(), value);
}

// def __init__(self, *args)
PyObject *Tabulon_init(Call &c) {
    PyObject *self = c[0], *args = c[1];
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    if (PyTuple_GET_SIZE(args) != 1)  // nothing, or the base list's own TypeError
        return super_call_tuple(klass, self, n___init__, args, nullptr).release();

    PyObject *arg = PyTuple_GET_ITEM(args, 0);
    Ref mapping = g_MutableMapping.get();
    if (!mapping) return nullptr;
    int flat = is_mapping(arg, mapping.get());
    if (flat < 0) return nullptr;
    if (flat) {
        // super().__init__(Tabulon.__flatten__(args[0])): the method first
        Ref init = super_getattr(klass, self, n___init__);
        if (!init) return nullptr;
        Ref pairs = flatten_call(arg, nullptr);
        if (!pairs) return nullptr;
        return call(init.get(), pairs.get()).release();
    }
    // Every element must be a pair.  The elements are taken once, so that a
    // one-shot iterator is stored whole and what is checked is what is stored.
    Ref items = Ref::steal(PySequence_List(arg));
    if (!items) return pair_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        Ref path, obj;
        if (unpack2(item.get(), path, obj) < 0) return pair_error();
    }
    return super_call(klass, self, n___init__, {items.get()}).release();
}

// ---- __flatten__

GeneratorSpec flatten_spec("__flatten__", "Tabulon.__flatten__");

// The scope of one level of flattening.
class Flatten : public GeneratorBody {
public:
    Flatten(PyObject *indict, PyObject *path) : indict_(Ref::borrow(indict)), path_(Ref::borrow(path)) {}

    Step resume(Ref &out) override {
        switch (phase_) {
        case Phase::Start:
            return start(out);
        case Phase::Mapping:
            return next_entry(out);
        case Phase::Sequence:
            return next_element(out);
        case Phase::Done:
            break;
        }
        return Step::Return;
    }

    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(indict_.get());
        Py_VISIT(path_.get());
        Py_VISIT(iter_.get());
        return 0;
    }

private:
    enum class Phase { Start, Mapping, Sequence, Done };

    Step start(Ref &out) {
        // path = path[:] if path else ()
        int given = PyObject_IsTrue(path_.get());
        if (given < 0) return Step::Error;
        path_ = given ? full_slice(path_.get()) : Ref::steal(PyTuple_New(0));
        if (!path_) return Step::Error;

        Ref mapping = g_MutableMapping.get();
        if (!mapping) return Step::Error;
        int is_map = is_mapping(indict_.get(), mapping.get());
        if (is_map < 0) return Step::Error;
        if (is_map) {
            // for key, value in indict.items()
            Ref items = call_method(indict_.get(), n_items);
            if (!items) return Step::Error;
            iter_ = Ref::steal(PyObject_GetIter(items.get()));
            if (!iter_) return Step::Error;
            phase_ = Phase::Mapping;
            return next_entry(out);
        }
        int is_sequence = is_list_or_tuple(indict_.get());
        if (is_sequence < 0) return Step::Error;
        if (is_sequence) {
            // for i, value in enumerate(indict)
            iter_ = Ref::steal(PyObject_GetIter(indict_.get()));
            if (!iter_) return Step::Error;
            phase_ = Phase::Sequence;
            return next_element(out);
        }
        // Anything else is yielded as it is.
        phase_ = Phase::Done;
        out = indict_;
        return Step::Yield;
    }

    Step next_entry(Ref &out) {
        Ref entry = Ref::steal(PyIter_Next(iter_.get()));
        if (!entry) return ended();
        Ref key, value;
        if (unpack2(entry.get(), key, value) < 0) return Step::Error;
        entry.reset();  // lets the items iterator reuse its pair
        Ref path = extend_path(path_.get(), key.get());
        if (!path) return Step::Error;
        return emit(path, value, out);
    }

    Step next_element(Ref &out) {
        Ref value = Ref::steal(PyIter_Next(iter_.get()));
        if (!value) return ended();
        Ref position = Ref::steal(PyLong_FromSsize_t(position_++));
        if (!position) return Step::Error;
        // path + (IndexMarker(indict, i),)
        Ref marker = make_index_marker(indict_.get(), position.get());
        if (!marker) return Step::Error;
        Ref path = extend_path(path_.get(), marker.get());
        if (!path) return Step::Error;
        return emit(path, value, out);
    }

    // A non-empty container is descended into (yield from); anything else is a pair.
    Step emit(const Ref &path, const Ref &value, Ref &out) {
        Ref mapping = g_MutableMapping.get();
        if (!mapping) return Step::Error;
        int descend = is_container(value.get(), mapping.get());
        if (descend > 0) descend = PyObject_IsTrue(value.get());
        if (descend < 0) return Step::Error;
        out = descend ? flatten_call(value.get(), path.get()) : make_dict_item(path.get(), value.get());
        if (!out) return Step::Error;
        return descend ? Step::YieldFrom : Step::Yield;
    }

    Step ended() {
        if (PyErr_Occurred()) return Step::Error;
        phase_ = Phase::Done;
        iter_.reset();
        return Step::Return;
    }

    Phase phase_ = Phase::Start;
    Ref indict_, path_, iter_;
    Py_ssize_t position_ = 0;
};

// @staticmethod def __flatten__(indict, path=None)
PyObject *Tabulon_flatten(Call &c) {
    return make_generator(flatten_spec, std::make_unique<Flatten>(c[0], c[1])).release();
}

// ---- the checked write operations

// def __setitem__(self, index, item)
PyObject *Tabulon_setitem(Call &c) {
    PyObject *index = c[1], *item = c[2];
    Ref path, obj;
    if (unpack2(item, path, obj) < 0) return pair_error();
    // Stored as a plain tuple: the item itself when it is one, else the two
    // values just checked.  Iterating the item again, as tuple(item) would,
    // loses a one-shot iterator's values (the check used them up) and may
    // give others than those checked.
    Ref pair = PyTuple_CheckExact(item) ? Ref::borrow(item)
                                        : Ref::steal(PyTuple_Pack(2, path.get(), obj.get()));
    if (!pair) return nullptr;
    return super_call(c, n___setitem__, {index, pair.get()}).release();
}

// Whether super(klass, self).append is list's own, for self of class `type`.
AppendFact append_fact(PyTypeObject *type, PyObject *klass) {
    Ref found = super_target(type, klass, n_append);
    return {klass, found && found.get() == class_attribute(&PyList_Type, n_append)};
}

// super().NAME(..., DictItem(path, obj)): the method is looked up before the
// pair is made, as the line does (DictItem may be anything the module global
// names, and self anything the caller passed).
Ref super_method_then_pair(Call &c, PyObject *name, const Ref &path, const Ref &obj, Ref &pair) {
    PyObject *klass = c.defining_class();
    if (!klass) return {};
    Ref method = super_getattr(klass, c[0], name);
    if (!method) return {};
    pair = make_dict_item(path.get(), obj.get());
    if (!pair) return {};
    return method;
}

// def append(self, item)
PyObject *Tabulon_append(Call &c) {
    Ref path, obj;
    if (unpack2(c[1], path, obj) < 0) return pair_error();
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    AppendFact fact =
        state.append.get(Py_TYPE(c[0]), [klass](PyTypeObject *t) { return append_fact(t, klass); });
    Ref pair;
    if (fact.klass == klass && fact.list_append) {  // super().append is list.append
        pair = make_dict_item(path.get(), obj.get());
        if (!pair || PyList_Append(c[0], pair.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref append = super_method_then_pair(c, n_append, path, obj, pair);
    if (!append) return nullptr;
    return call(append.get(), pair.get()).release();
}

// def extend(self, items)
PyObject *Tabulon_extend(Call &c) {
    // The items are taken once, so that an iterator's pairs are all added;
    // every one is checked before the first DictItem is made.
    Ref items = Ref::steal(PySequence_List(c[1]));
    if (!items) return pair_error();
    // The list is read as it stands at each step: an item's __iter__ may
    // reach it through the collector and change it.
    std::vector<Ref> values;
    values.reserve(static_cast<size_t>(2 * PyList_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        Ref path, obj;
        if (unpack2(item.get(), path, obj) < 0) return pair_error();
        values.push_back(std::move(path));
        values.push_back(std::move(obj));
    }
    // super().extend([DictItem(path, obj) ...]): the method first
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    Ref extend = super_getattr(klass, c[0], n_extend);
    if (!extend) return nullptr;
    // Appended one by one: a DictItem rebound to Python code may find the
    // list through the collector, and must never see an unfilled slot.
    Ref pairs = Ref::steal(PyList_New(0));
    if (!pairs) return nullptr;
    for (size_t i = 0; i < values.size(); i += 2) {
        Ref pair = make_dict_item(values[i].get(), values[i + 1].get());
        if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return nullptr;
    }
    return call(extend.get(), pairs.get()).release();
}

// def insert(self, index, item)
PyObject *Tabulon_insert(Call &c) {
    Ref path, obj, pair;
    if (unpack2(c[2], path, obj) < 0) return pair_error();
    Ref insert = super_method_then_pair(c, n_insert, path, obj, pair);
    if (!insert) return nullptr;
    return call(insert.get(), c[1], pair.get()).release();
}

// ---- reconstruct
//
// The pairs are walked in order; each path goes down from the result, making
// a placeholder dict wherever it must go on before it knows what stands there.
// An index marker's index only tells whether its sequence already has that
// position: if so the walk goes on in the sequence's last element, if not a
// new element is appended.  Lists grow in place.  A tuple cannot, so while the
// walk runs each tuple stands in the result as the list of its elements (a
// "pending tuple"), and the tuples are made when the walk is over, innermost
// first: tuple(elements), or type_._make(elements) for a named tuple.

struct PendingTuple {
    Ref items;   // the exact list that stands in for the tuple
    Ref type;    // the tuple type to make
    Ref parent;  // the container that holds `items`
    Ref where;   // the key or position of `items` in `parent`
};

class Rebuild {
public:
    Ref run(PyObject *self) {
        ret_ = Ref::steal(PyDict_New());
        if (!ret_) return {};
        // Whatever fails, the bookkeeping of pending tuples included, the
        // tuples are finished before the failure goes on.
        int status = at_boundary(-1, [&] { return walk_all(self); });
        if (finish_tuples(status < 0) < 0 || status < 0) return {};
        return std::move(ret_);
    }

private:
    enum class Last { Key, Marker, Tuple };

    int walk_all(PyObject *self) {
        Ref it = Ref::steal(PyObject_GetIter(self));
        if (!it) return -1;
        for (Py_ssize_t position = 0;; ++position) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) return PyErr_Occurred() ? -1 : 0;
            Ref path, obj;
            if (unpack2(item.get(), path, obj) < 0) return -1;
            Ref steps = Ref::steal(PySequence_List(path.get()));
            if (!steps) return -1;
            if (PyList_GET_SIZE(steps.get()) == 0) {
                PyErr_Format(PyExc_ValueError, "Tabulon item %zd has an empty path", position);
                return -1;
            }
            if (walk(position, steps.get()) < 0 || store(obj.get()) < 0) return -1;
        }
    }

    // Goes down the path, leaving prev_ptr_[prev_k_] as the place of the value.
    int walk(Py_ssize_t position, PyObject *steps) {
        ptr_ = ret_;
        prev_ptr_.reset();
        prev_k_.reset();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(steps); ++i) {
            Ref k = Ref::borrow(PyList_GET_ITEM(steps, i));
            Ref marker_class = g_IndexMarker.get();
            if (!marker_class) return -1;
            int is_marker = PyObject_IsInstance(k.get(), marker_class.get());
            if (is_marker < 0) return -1;
            if (is_marker && i == 0) {
                PyErr_Format(PyExc_ValueError,
                             "Tabulon item %zd has a path that starts with an index marker",
                             position);
                return -1;
            }
            if ((is_marker ? marker_step(k.get()) : key_step(k.get())) < 0) return -1;
        }
        return 0;
    }

    // ptr[k] = ptr.get(k, {}); prev_ptr, prev_k, ptr = ptr, k, ptr[k]
    int key_step(PyObject *k) {
        last_ = Last::Key;
        Py_ssize_t pending = pending_of(ptr_.get());
        if (pending < 0) {
            Ref mapping = g_MutableMapping.get();
            if (!mapping) return -1;
            int is_map = is_mapping(ptr_.get(), mapping.get());
            if (is_map < 0) return -1;
            if (is_map) return mapping_step(k);
            if (PyTuple_Check(ptr_.get())) {  // a stored tuple grows like a list
                pending = pend(Ref::steal(PySequence_List(ptr_.get())),
                               Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(ptr_.get()))));
                if (pending < 0) return -1;
            }
        }
        // ptr += type(ptr)(({k: {}},)); ptr = ptr[-1]
        Ref level = Ref::steal(PyDict_New());
        Ref placeholder = Ref::steal(PyDict_New());
        if (!level || !placeholder || PyDict_SetItem(level.get(), k, placeholder.get()) < 0) return -1;
        if (pending >= 0) {
            if (PyList_Append(pending_[static_cast<size_t>(pending)].items.get(), level.get()) < 0)
                return -1;
        } else {
            Ref one = Ref::steal(PyTuple_Pack(1, level.get()));
            if (!one) return -1;
            Ref more = call(reinterpret_cast<PyObject *>(Py_TYPE(ptr_.get())), one.get());
            if (!more) return -1;
            Ref grown = Ref::steal(PyNumber_InPlaceAdd(ptr_.get(), more.get()));
            if (!grown) return -1;
            level = Ref::steal(PyObject_GetItem(grown.get(), state.minus_one.get()));
            if (!level) return -1;
        }
        ptr_ = level;
        return mapping_step(k, /*known_mapping=*/true);
    }

    // `known_mapping`: ptr is the dict just added for k, which is only read.
    int mapping_step(PyObject *k, bool known_mapping = false) {
        if (!known_mapping) {
            Ref value;
            if (fast_paths && PyDict_CheckExact(ptr_.get())) {
                // dict.get, without the method call: the same one lookup (the
                // key's hash and its comparisons run as they would)
                PyObject *found = PyDict_GetItemWithError(ptr_.get(), k);
                value = found ? Ref::borrow(found) : PyErr_Occurred() ? Ref() : Ref::steal(PyDict_New());
            } else {
                Ref placeholder = Ref::steal(PyDict_New());
                if (!placeholder) return -1;
                value = call_method(ptr_.get(), n_get, {k, placeholder.get()});
            }
            if (!value || PyObject_SetItem(ptr_.get(), k, value.get()) < 0) return -1;
        }
        Ref next = Ref::steal(PyObject_GetItem(ptr_.get(), k));
        if (!next) return -1;
        prev_ptr_ = ptr_;
        prev_k_ = Ref::borrow(k);
        ptr_ = std::move(next);
        return 0;
    }

    int marker_step(PyObject *k) {
        Ref type = Ref::steal(PyObject_GetAttr(k, n_type_));
        if (!type) return -1;
        if (PyType_Check(type.get()) &&
            PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(type.get()), &PyTuple_Type))
            return tuple_step(k, type);
        last_ = Last::Marker;
        Py_ssize_t pending = pending_of(ptr_.get());
        PyObject *ptr_type = pending >= 0 ? pending_[static_cast<size_t>(pending)].type.get()
                                          : reinterpret_cast<PyObject *>(Py_TYPE(ptr_.get()));
        if (type.get() != ptr_type) {
            // prev_ptr[prev_k] = type_(({},))
            Ref fresh = new_sequence(type.get());
            if (!fresh || PyObject_SetItem(prev_ptr_.get(), prev_k_.get(), fresh.get()) < 0)
                return -1;
        } else {
            Ref index = Ref::steal(PyObject_GetAttr(k, n_index));
            if (!index) return -1;
            Ref probe = Ref::steal(PyObject_GetItem(ptr_.get(), index.get()));
            if (!probe) {
                if (!error_is(PyExc_IndexError)) return -1;
                PyErr_Clear();
                // ptr += type_(({},))
                Ref more = new_sequence(type.get());
                if (!more) return -1;
                Ref grown = Ref::steal(PyNumber_InPlaceAdd(ptr_.get(), more.get()));
                if (!grown) return -1;
            }
        }
        // prev_ptr = prev_ptr[prev_k]; prev_k = -1; ptr = prev_ptr[-1]
        Ref sequence = Ref::steal(PyObject_GetItem(prev_ptr_.get(), prev_k_.get()));
        if (!sequence) return -1;
        Ref last = Ref::steal(PyObject_GetItem(sequence.get(), state.minus_one.get()));
        if (!last) return -1;
        prev_ptr_ = std::move(sequence);
        prev_k_ = Ref::borrow(state.minus_one.get());
        ptr_ = std::move(last);
        return 0;
    }

    // A marker of a tuple type: the walk works on the pending tuple.
    int tuple_step(PyObject *k, const Ref &type) {
        last_ = Last::Tuple;
        last_present_ = false;
        Py_ssize_t pending = pending_of(ptr_.get());
        bool same = pending >= 0 ? pending_[static_cast<size_t>(pending)].type.get() == type.get()
                                 : reinterpret_cast<PyObject *>(Py_TYPE(ptr_.get())) == type.get();
        if (!same) {
            // A new tuple of one placeholder in place of what stood there.
            Ref placeholder = Ref::steal(PyDict_New());
            if (!placeholder) return -1;
            Ref items = Ref::steal(PyList_New(1));  // filled before anything can run
            if (!items) return -1;
            PyList_SET_ITEM(items.get(), 0, placeholder.release());
            pending = pend(std::move(items), type);
            if (pending < 0) return -1;
        } else {
            if (pending < 0) {  // a stored tuple of that very type
                pending = pend(Ref::steal(PySequence_List(ptr_.get())), type);
                if (pending < 0) return -1;
            }
            PyObject *items = pending_[static_cast<size_t>(pending)].items.get();
            Ref index = Ref::steal(PyObject_GetAttr(k, n_index));
            if (!index) return -1;
            int present = tuple_has(items, index.get());
            if (present < 0) return -1;
            last_present_ = present;
            if (!present) {
                Ref placeholder = Ref::steal(PyDict_New());
                if (!placeholder || PyList_Append(items, placeholder.get()) < 0) return -1;
            }
        }
        last_tuple_ = static_cast<size_t>(pending);
        Ref items = pending_[last_tuple_].items;
        // There may be no last element to go on in, as tuple[-1] says: a slice
        // index finds an empty tuple "present", and the parent's __setitem__
        // may have emptied the element list it was given.
        if (PyList_GET_SIZE(items.get()) == 0) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return -1;
        }
        prev_ptr_ = items;
        prev_k_ = Ref::borrow(state.minus_one.get());
        ptr_ = Ref::borrow(PyList_GET_ITEM(items.get(), PyList_GET_SIZE(items.get()) - 1));
        return 0;
    }

    // Stores the pair's value where its path ended.
    int store(PyObject *obj) {
        if (last_ == Last::Tuple) {
            // A tuple grows by every pair that ends in it: the value replaces
            // the element this walk appended (or the first placeholder), and
            // is appended when the marker found its position present.
            PyObject *items = pending_[last_tuple_].items.get();
            if (last_present_) return PyList_Append(items, obj);
            return PyList_SetItem(items, PyList_GET_SIZE(items) - 1, compat::new_ref(obj));
        }
        if (fast_paths && PyDict_CheckExact(prev_ptr_.get()))
            return PyDict_SetItem(prev_ptr_.get(), prev_k_.get(), obj);
        return PyObject_SetItem(prev_ptr_.get(), prev_k_.get(), obj);
    }

    // type_(({},)) for a list (or any non-tuple) marker.
    static Ref new_sequence(PyObject *type) {
        Ref placeholder = Ref::steal(PyDict_New());
        if (!placeholder) return {};
        if (fast_paths && type == reinterpret_cast<PyObject *>(&PyList_Type)) {
            Ref list = Ref::steal(PyList_New(1));
            if (!list) return {};
            PyList_SET_ITEM(list.get(), 0, placeholder.release());
            return list;
        }
        Ref one = Ref::steal(PyTuple_Pack(1, placeholder.get()));
        if (!one) return {};
        return call(type, one.get());
    }

    // Whether the tuple whose elements are `items` has position `index`, as
    // tuple[index] tells.  The size is read after the index's __index__, which
    // may have changed the element list.
    static int tuple_has(PyObject *items, PyObject *index) {
        if (PyIndex_Check(index)) {
            Py_ssize_t i = PyNumber_AsSsize_t(index, PyExc_IndexError);
            if (i == -1 && PyErr_Occurred()) {
                if (!error_is(PyExc_IndexError)) return -1;
                PyErr_Clear();
                return 0;
            }
            Py_ssize_t size = PyList_GET_SIZE(items);
            if (i < 0) i += size;
            return i >= 0 && i < size;
        }
        if (PySlice_Check(index)) return 1;
        PyErr_Format(PyExc_TypeError, "tuple indices must be integers or slices, not %.200s",
                     Py_TYPE(index)->tp_name);
        return -1;
    }

    // The pending tuple whose element list `obj` is, or -1.
    Py_ssize_t pending_of(PyObject *obj) const {
        if (pending_.empty() || !PyList_CheckExact(obj)) return -1;
        auto found = by_items_.find(obj);
        return found == by_items_.end() ? -1 : static_cast<Py_ssize_t>(found->second);
    }

    // Puts a pending tuple where ptr stands (prev_ptr[prev_k]); ptr becomes it.
    // Once the element list stands in its parent it is pending, so that
    // finish_tuples puts the tuple there whatever fails next.
    Py_ssize_t pend(Ref items, const Ref &type) {
        if (!items) return -1;
        if (pending_.size() == pending_.capacity())  // so that push_back below cannot throw
            pending_.reserve(pending_.empty() ? 8 : 2 * pending_.size());
        if (PyObject_SetItem(prev_ptr_.get(), prev_k_.get(), items.get()) < 0) return -1;
        pending_.push_back({items, type, prev_ptr_, prev_k_});
        if (prev_k_.get() == state.minus_one.get() && PyList_Check(prev_ptr_.get())) {
            Ref where = Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(prev_ptr_.get()) - 1));
            if (!where) return -1;
            pending_.back().where = std::move(where);
        }
        by_items_[items.get()] = pending_.size() - 1;
        ptr_ = std::move(items);
        return static_cast<Py_ssize_t>(pending_.size() - 1);
    }

    // Makes every pending tuple, innermost (latest) first, and puts it in the
    // place of its element list.  Runs after a failure too, so that no element
    // list is left in a container the caller may hold; the first error wins.
    int finish_tuples(bool failed) {
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        if (failed) PyErr_Fetch(&type, &value, &tb);
        bool ok = true;
        for (size_t i = pending_.size(); i-- > 0;) {
            PendingTuple &p = pending_[i];
            Ref made = make_tuple(p);
            if (!made) {
                if (ok && !failed) PyErr_Fetch(&type, &value, &tb);
                else PyErr_Clear();
                ok = false;
                made = Ref::steal(PyList_AsTuple(p.items.get()));
                if (!made) {
                    PyErr_Clear();
                    made = none();
                }
            }
            if (replace(p, made.get()) < 0) {
                if (ok && !failed) PyErr_Fetch(&type, &value, &tb);
                else PyErr_Clear();
                ok = false;
            }
        }
        pending_.clear();
        by_items_.clear();
        if (type) PyErr_Restore(type, value, tb);
        return ok ? 0 : -1;
    }

    static Ref make_tuple(const PendingTuple &p) {
        Ref elements = Ref::steal(PyList_AsTuple(p.items.get()));
        if (!elements || p.type.get() == reinterpret_cast<PyObject *>(&PyTuple_Type)) return elements;
        PyObject *make = nullptr;
        if (compat::lookup_attr(p.type.get(), n__make, &make) < 0) return {};
        Ref maker = Ref::steal(make);
        return call(maker ? maker.get() : p.type.get(), elements.get());
    }

    // parent[where] = made, if parent[where] is still the element list.
    static int replace(const PendingTuple &p, PyObject *made) {
        PyObject *parent = p.parent.get();
        if (fast_paths && PyList_CheckExact(parent) && PyLong_CheckExact(p.where.get())) {
            Py_ssize_t i = PyLong_AsSsize_t(p.where.get());
            if (i == -1 && PyErr_Occurred()) return -1;
            if (i < 0 || i >= PyList_GET_SIZE(parent) || PyList_GET_ITEM(parent, i) != p.items.get())
                return 0;
            return PyList_SetItem(parent, i, compat::new_ref(made));
        }
        Ref standing = Ref::steal(PyObject_GetItem(parent, p.where.get()));
        if (!standing) {
            if (!error_is(PyExc_LookupError)) return -1;
            PyErr_Clear();
            return 0;
        }
        if (standing.get() != p.items.get()) return 0;
        return PyObject_SetItem(parent, p.where.get(), made);
    }

    Ref ret_, ptr_, prev_ptr_, prev_k_;
    Last last_ = Last::Key;
    size_t last_tuple_ = 0;
    bool last_present_ = false;
    std::vector<PendingTuple> pending_;
    std::unordered_map<PyObject *, size_t> by_items_;
};

// def reconstruct(self)
PyObject *Tabulon_reconstruct(Call &c) {
    Rebuild rebuild;
    return rebuild.run(c[0]).release();
}

// ------------------------------------------------------------------ module level

int exec(Module &m) {
    if (m.uses_generators() < 0) return -1;
    // from collections import namedtuple
    if (m.from_import("collections", {"namedtuple"}) < 0) return -1;
    // from collections.abc import MutableMapping
    if (m.from_import("collections.abc", {"MutableMapping"}) < 0) return -1;

    // DictItem = namedtuple("DictItem", ("path", "value"))
    // (module= names this module, as the same line in its source would.)
    Ref namedtuple = m.get("namedtuple");
    if (!namedtuple) return -1;
    Ref args = Ref::steal(Py_BuildValue("(s(ss))", "DictItem", "path", "value"));
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "module", module_full_name()));
    if (!args || !kwargs) return -1;
    Ref dict_item_type = Ref::steal(PyObject_Call(namedtuple.get(), args.get(), kwargs.get()));
    if (!dict_item_type || m.set("DictItem", dict_item_type) < 0) return -1;
    // Its __new__ calls the global `_tuple_new` of its own namespace, which
    // make_dict_item stands for while it is tuple.__new__.
    Ref dict_item_new = Ref::steal(PyObject_GetAttr(dict_item_type.get(), n___new__));
    if (!dict_item_new) return -1;
    if (PyFunction_Check(dict_item_new.get())) {
        PyObject *tuple_new = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(dict_item_new.get()), n__tuple_new);
        if (!tuple_new && PyErr_Occurred()) return -1;
        if (tuple_new && tuple_new == class_attribute(&PyTuple_Type, n___new__) &&
            state.dict_item_new.set(dict_item_new.get(), {"_tuple_new"}) < 0)
            return -1;
    }

    state.minus_one.set(Ref::steal(PyLong_FromLong(-1)));
    if (!state.minus_one) return -1;

    // class IndexMarker(object)
    Ref marker_class = m.define_class("IndexMarker", {m.builtin("object")}, nullptr, {
            method("__init__", IndexMarker_init, {"self", "obj", "index"}, IndexMarker_init_doc),
            method("__repr__", IndexMarker_repr, {"self"}),
        });
    if (!marker_class) return -1;

    // class Tabulon(list)
    Ref tabulon = m.define_class("Tabulon", {m.builtin("list")}, Tabulon_doc, {
            method("__init__", Tabulon_init, {"self", "*args"}, Tabulon_init_doc),
            static_method("__flatten__", Tabulon_flatten, {"indict", "path"}, Tabulon_flatten_doc,
                          defaults({none()})),
            method("__setitem__", Tabulon_setitem, {"self", "index", "item"}),
            method("append", Tabulon_append, {"self", "item"}, Tabulon_append_doc),
            method("extend", Tabulon_extend, {"self", "items"}, Tabulon_extend_doc),
            method("insert", Tabulon_insert, {"self", "index", "item"}, Tabulon_insert_doc),
            method("reconstruct", Tabulon_reconstruct, {"self"}, Tabulon_reconstruct_doc),
        });
    if (!tabulon) return -1;

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(tabulon, "orvane.tessel.tabulon", nullptr, exec)
