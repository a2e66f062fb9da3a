// configuration.cpp — settings held in a nested attribute dictionary.
//
// A Configuration is a NestedCoffer (from the sibling module coffer) whose
// subscript assignments pass every value through typecast_str, whose copy
// rebuilds every level, and which fills itself from INI-style files, YAML
// files and the entry points of installed packages.
#include "tessel.hpp"

#include <cstdint>
#include <unordered_map>

using namespace tessel;

namespace {

Name n___setitem__("__setitem__"), n___enter__("__enter__"), n___exit__("__exit__"),
    n_update("update"), n_pop("pop"), n_read("read"), n_ConfigParser("ConfigParser"),
    n_DEFAULTSECT("DEFAULTSECT"), n_path("path"), n_isfile("isfile"), n_safe_load("safe_load"),
    n_load("load"), n_dist("dist"), n_exception("exception"), n_getLogger("getLogger");
Global g_typecast_str("typecast_str"), g_configparser("configparser"), g_os("os"),
    g_yaml("yaml"), g_open("open"), g_iter_entry_points("iter_entry_points"), g_logger("logger");

// What super(klass, self).__setitem__ finds for instances of a class, when it
// is a method descriptor (called unbound, with self first): borrowed from a
// class dict of the MRO, which stands while the class's version tag does.
struct SetitemFact {
    PyObject *klass = nullptr;  // compared only
    PyObject *found = nullptr;
};

struct State {
    // constants of the method bodies, made at import
    Held parser_options;   // ("=",), ("#",)
    Held parser_keywords;  // ("delimiters", "comment_prefixes")
    Held group_keyword;    // ("group",)
    Held read_mode;        // "r"
    // super().__setitem__ from Configuration, per class of self
    ClassMemo<SetitemFact> super_setitem;
} state;

// ------------------------------------------------------------------ Configuration

const char copy_doc[] =
    "Returns a copy of the configuration with every nested level copied.\n"
    "\n"
    "Unlike the usual shallow copy of a mapping, nested configuration blocks are\n"
    "always copied, so a component that takes a copy and changes it for its own\n"
    "use cannot corrupt the configuration it came from.  Values that are not\n"
    "mappings (lists, sets, other objects) are shared with the original.\n";

// def copy(self): return type(self)(self)
PyObject *Configuration_copy(Call &c) {
    PyObject *self = c[0];
    Ref cls = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    return call(cls.get(), self).release();
}

SetitemFact super_setitem_fact(PyTypeObject *type, PyObject *klass) {
    // super() binds self only for instances of the class (None, an object of
    // another class, or one that only claims the class through __class__ take
    // the frame's plain super()).
    if (!PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(klass))) return {};
    Ref found = super_target(type, klass, n___setitem__);
    if (!found || !PyType_HasFeature(Py_TYPE(found.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return {};
    return {klass, found.get()};
}

// super().__setitem__: the method descriptor to call with self first
// (`unbound`), or else the bound attribute.
Ref super_setitem(PyObject *klass, PyObject *self, bool &unbound) {
    SetitemFact fact = state.super_setitem.get(
        Py_TYPE(self), [klass](PyTypeObject *t) { return super_setitem_fact(t, klass); });
    unbound = fact.klass == klass && fact.found;
    if (unbound) return Ref::borrow(fact.found);
    return super_getattr(klass, self, n___setitem__);
}

// def __setitem__(self, key, value): super().__setitem__(key, typecast_str(value))
PyObject *Configuration_setitem(Call &c) {
    PyObject *self = c[0], *key = c[1], *value = c[2];
    PyObject *klass = c.defining_class();
    if (!klass) return nullptr;
    bool unbound;
    Ref method = super_setitem(klass, self, unbound);
    if (!method) return nullptr;
    Ref typecast_str = g_typecast_str.get();
    if (!typecast_str) return nullptr;
    Ref converted = call(typecast_str.get(), value);
    if (!converted) return nullptr;
    if (unbound) return call(method.get(), self, key, converted.get()).release();
    return call(method.get(), key, converted.get()).release();
}

// def load_cfgs(self, *files):
//     parser = configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
//     read = parser.read(files)
//     self.update(parser)
//     self.pop(configparser.DEFAULTSECT)
//     return read
PyObject *Configuration_load_cfgs(Call &c) {
    PyObject *self = c[0], *files = c[1];
    Ref configparser = g_configparser.get();
    if (!configparser) return nullptr;
    Ref parser_class = Ref::steal(PyObject_GetAttr(configparser.get(), n_ConfigParser));
    if (!parser_class) return nullptr;
    PyObject *options = state.parser_options.get();
    Ref parser = Args({PyTuple_GET_ITEM(options, 0), PyTuple_GET_ITEM(options, 1)})
                     .call(parser_class.get(), state.parser_keywords.get());
    if (!parser) return nullptr;
    Ref read = call_method(parser.get(), n_read, {files});
    if (!read) return nullptr;
    if (!call_method(self, n_update, {parser.get()})) return nullptr;
    configparser = g_configparser.get();
    if (!configparser) return nullptr;
    Ref default_section = Ref::steal(PyObject_GetAttr(configparser.get(), n_DEFAULTSECT));
    if (!default_section) return nullptr;
    if (!call_method(self, n_pop, {default_section.get()})) return nullptr;
    return read.release();
}

// ------------------------------------------------------------------ alias expansion
//
// PyYAML builds an alias as one more reference to the object of its anchor, so
// a few hundred bytes can describe a tree of billions of nodes while loading
// into a few kilobytes.  Merging copies every mapping each time it is reached,
// and anything that walks the settings (flattening, printing) visits every
// occurrence, so a document is measured as the tree it stands for before any
// of it is merged.
//
// Sizes count nodes: a container, and each key, value or element it holds.
// "As loaded" counts each distinct container once; "expanded" counts every
// occurrence, as if every alias were written out.  The difference is what the
// aliases add.  The rule is the alias share cap of widely used YAML decoders:
// past 1,000 nodes and 100 nodes added by aliases, the added share may be at
// most 99% of the expanded tree up to 400,000 nodes, falling linearly to 10%
// at 4,000,000 and beyond.  Ordinary anchors (shared defaults, a list reused a
// few times) stay far below it; a tree that expands a hundredfold and more,
// or contains itself, is refused.

constexpr uint64_t kEndless = uint64_t(1) << 62;  // sizes saturate here

uint64_t add_sizes(uint64_t a, uint64_t b) { return a >= kEndless - b ? kEndless : a + b; }

struct Expansion {
    // Expanded size of every container met, by identity; kWalking while its
    // own contents are being measured, so that a container met again inside
    // itself is a cycle.
    std::unordered_map<PyObject *, uint64_t> sizes;
    uint64_t as_loaded = 1;  // the document's root
    bool cyclic = false;
};
constexpr uint64_t kWalking = ~uint64_t(0);

// Adds the expanded size of `node` to `total`; -1 with RecursionError when the
// document is deeper than the C stack allows.  Only reads the document: no
// code of the caller's runs, so the containers cannot change meanwhile.
int measure(Expansion &e, PyObject *node, uint64_t &total) {
    bool dict = PyDict_Check(node), list = PyList_Check(node), tuple = PyTuple_Check(node);
    if (!dict && !list && !tuple) {
        // A scalar, or a set of them (YAML's !!set): its elements cannot be aliases of containers.
        uint64_t own = PyAnySet_Check(node) ? 1 + static_cast<uint64_t>(PySet_GET_SIZE(node)) : 1;
        total = add_sizes(total, own);
        return 0;
    }
    auto found = e.sizes.find(node);
    if (found != e.sizes.end()) {
        if (found->second == kWalking) {
            e.cyclic = true;
            total = kEndless;
        } else {
            total = add_sizes(total, found->second);
        }
        return 0;
    }
    DeepGuard guard(" while measuring a YAML document");
    if (!guard) return -1;
    e.sizes.emplace(node, kWalking);
    uint64_t size = 1, slots = 0;
    if (dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(node, &pos, &key, &value)) {
            if (measure(e, key, size) < 0 || measure(e, value, size) < 0) return -1;
            slots += 2;
        }
    } else {
        for (Py_ssize_t i = 0; i < Py_SIZE(node); ++i) {
            PyObject *item = list ? PyList_GET_ITEM(node, i) : PyTuple_GET_ITEM(node, i);
            if (measure(e, item, size) < 0) return -1;
            ++slots;
        }
    }
    e.sizes[node] = size;
    e.as_loaded = add_sizes(e.as_loaded, slots);
    total = add_sizes(total, size);
    return 0;
}

// The share of an expanded tree of `nodes` nodes that aliases may add.
double allowed_alias_share(uint64_t nodes) {
    const double low = 400000, high = 4000000;
    if (nodes <= low) return 0.99;
    if (nodes >= high) return 0.10;
    return 0.99 - 0.89 * ((static_cast<double>(nodes) - low) / (high - low));
}

// Raises ValueError naming the file `name` when `document` expands too much
// through aliases; 0 when it may be merged.
int check_expansion(PyObject *name, PyObject *document) {
    Expansion e;
    uint64_t expanded = 0;
    if (measure(e, document, expanded) < 0) return -1;
    if (e.cyclic) {
        PyErr_Format(PyExc_ValueError, "%S: the document expands too much through aliases (it contains itself)",
                     name);
        return -1;
    }
    uint64_t added = expanded > e.as_loaded ? expanded - e.as_loaded : 0;
    if (expanded <= 1000 || added <= 100 ||
        static_cast<double>(added) <= allowed_alias_share(expanded) * static_cast<double>(expanded))
        return 0;
    if (expanded >= kEndless)
        PyErr_Format(PyExc_ValueError,
                     "%S: the document expands too much through aliases (past 2**62 nodes from %llu as loaded)",
                     name, static_cast<unsigned long long>(e.as_loaded));
    else
        PyErr_Format(PyExc_ValueError,
                     "%S: the document expands too much through aliases (%llu nodes from %llu as loaded)", name,
                     static_cast<unsigned long long>(expanded), static_cast<unsigned long long>(e.as_loaded));
    return -1;
}

// The body of `with open(name, 'r') as stream:` for load_yamls:
//     update = self.update
//     document = yaml.safe_load(stream)
//     if document is not None:
//         check_expansion(name, document)
//         update(document)
// An empty document is an empty settings file: it merges nothing.
int load_yaml_stream(PyObject *self, PyObject *name, PyObject *stream) {
    Ref update = Ref::steal(PyObject_GetAttr(self, n_update));
    if (!update) return -1;
    Ref yaml = g_yaml.get();
    if (!yaml) return -1;
    Ref safe_load = Ref::steal(PyObject_GetAttr(yaml.get(), n_safe_load));
    if (!safe_load) return -1;
    Ref document = call(safe_load.get(), stream);
    if (!document) return -1;
    if (document.get() == Py_None) return 0;
    if (check_expansion(name, document.get()) < 0) return -1;
    return call(update.get(), document.get()) ? 0 : -1;
}

// A special method (__enter__, __exit__) looked up on the type, bound to `obj`.
Ref special_method(PyObject *obj, PyObject *name) {
    PyTypeObject *t = Py_TYPE(obj);
    Ref raw = Ref::borrow(class_attribute(t, name));
    if (!raw) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    descrgetfunc get = Py_TYPE(raw.get())->tp_descr_get;
    if (!get) return raw;
    return Ref::steal(get(raw.get(), obj, reinterpret_cast<PyObject *>(t)));
}

// with open(name, 'r') as stream: load_yaml_stream(self, stream)
int load_yaml_file(PyObject *self, PyObject *name) {
    Ref open = g_open.get();
    if (!open) return -1;
    Ref manager = call(open.get(), name, state.read_mode.get());
    if (!manager) return -1;
    Ref enter = special_method(manager.get(), n___enter__);
    if (!enter) return -1;
    Ref exit = special_method(manager.get(), n___exit__);
    if (!exit) return -1;
    Ref stream = call(enter.get());
    if (!stream) return -1;
    if (load_yaml_stream(self, name, stream.get()) == 0)
        return call(exit.get(), Py_None, Py_None, Py_None) ? 0 : -1;
    // The block failed: __exit__ sees the exception, which goes on unless it
    // says to suppress it.
    Handling handling;
    PyObject *exc = handling.value();
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    Ref suppress = call(exit.get(), reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc,
                        tb ? tb.get() : Py_None);
    if (!suppress) return -1;
    int truth = PyObject_IsTrue(suppress.get());
    if (truth < 0) return -1;
    if (truth) return 0;
    handling.reraise();
    return -1;
}

// def load_yamls(self, *files):
//     loaded = []
//     for name in list(files):
//         if os.path.isfile(name):
//             with open(name, 'r') as stream: ...
//             loaded.append(name)
//     return tuple(loaded)
PyObject *Configuration_load_yamls(Call &c) {
    PyObject *self = c[0], *files = c[1];
    Ref names = Ref::steal(PySequence_List(files));
    if (!names) return nullptr;
    Ref loaded = Ref::steal(PyList_New(0));
    if (!loaded) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Ref os = g_os.get();
        if (!os) return nullptr;
        Ref path = Ref::steal(PyObject_GetAttr(os.get(), n_path));
        if (!path) return nullptr;
        Ref isfile = call_method(path.get(), n_isfile, {name.get()});
        if (!isfile) return nullptr;
        int exists = PyObject_IsTrue(isfile.get());
        if (exists < 0) return nullptr;
        if (!exists) continue;
        if (load_yaml_file(self, name.get()) < 0) return nullptr;
        if (PyList_Append(loaded.get(), name.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(loaded.get());
}

const char load_entrypoint_doc[] =
    "Populates the configuration from the entry points of a group.\n"
    "\n"
    "Configuration can so be spread over several packages and loaded when needed,\n"
    "and only if they are installed.  Each entry point must load to a\n"
    "dictionary-like or Configuration-like object, which is merged into this\n"
    "one.  A package with much configuration should keep it in a local\n"
    "configuration file of its own and load that from the entry point's module.\n"
    "\n"
    "An entry point that fails to load or merge is logged (with its traceback)\n"
    "and skipped.  Returns the list of entry points whose content was merged.\n";

// def load_entrypoint(self, group):
//     loaded_eps = []
//     for ep in iter_entry_points(group=group):
//         try:
//             self.update(ep.load())
//             loaded_eps.append(ep)
//         except Exception:
//             logger.exception("Failed to load configuration from entrypoint: %s" % ep.dist)
//     return loaded_eps
PyObject *Configuration_load_entrypoint(Call &c) {
    PyObject *self = c[0], *group = c[1];
    Ref loaded = Ref::steal(PyList_New(0));
    if (!loaded) return nullptr;
    Ref iter_entry_points = g_iter_entry_points.get();
    if (!iter_entry_points) return nullptr;
    Ref entry_points = Args({group}).call(iter_entry_points.get(), state.group_keyword.get());
    if (!entry_points) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(entry_points.get()));
    if (!it) return nullptr;
    while (Ref ep = Ref::steal(PyIter_Next(it.get()))) {
        Ref merged;
        if (Ref update = Ref::steal(PyObject_GetAttr(self, n_update))) {
            if (Ref content = call_method(ep.get(), n_load)) merged = call(update.get(), content.get());
        }
        if (merged) {
            if (PyList_Append(loaded.get(), ep.get()) < 0) return nullptr;
            continue;
        }
        if (!error_is(PyExc_Exception)) return nullptr;
        Handling handling;
        Ref logger = g_logger.get();
        if (!logger) return nullptr;
        Ref log = Ref::steal(PyObject_GetAttr(logger.get(), n_exception));
        if (!log) return nullptr;
        Ref dist = Ref::steal(PyObject_GetAttr(ep.get(), n_dist));
        if (!dist) return nullptr;
        Ref message = Ref::steal(
            PyUnicode_FromFormat("Failed to load configuration from entrypoint: %S", dist.get()));
        if (!message || !call(log.get(), message.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return loaded.release();
}

// ------------------------------------------------------------------ module level

int make_constants() {
    Ref equals = Ref::steal(Py_BuildValue("(s)", "="));
    Ref hash = Ref::steal(Py_BuildValue("(s)", "#"));
    if (!equals || !hash) return -1;
    state.parser_options.set(Ref::steal(PyTuple_Pack(2, equals.get(), hash.get())));
    state.parser_keywords.set(Ref::steal(Py_BuildValue("(ss)", "delimiters", "comment_prefixes")));
    state.group_keyword.set(Ref::steal(Py_BuildValue("(s)", "group")));
    state.read_mode.set(Ref::steal(PyUnicode_InternFromString("r")));
    return state.parser_options && state.parser_keywords && state.group_keyword &&
                   state.read_mode
               ? 0
               : -1;
}

int exec(Module &m) {
    if (make_constants() < 0) return -1;
    // import os, yaml, logging, configparser
    if (m.import("os") < 0 || m.import("yaml") < 0 || m.import("logging") < 0 ||
        m.import("configparser") < 0)
        return -1;
    // from pkg_resources import iter_entry_points
    if (m.from_import("pkg_resources", {"iter_entry_points"}) < 0) return -1;
    // from collections.abc import Mapping
    if (m.from_import("collections.abc", {"Mapping"}) < 0) return -1;
    // from .coffer import NestedCoffer
    if (m.from_import("coffer", {"NestedCoffer"}, 1) < 0) return -1;
    // from orvane.utils.strings import typecast_str
    if (m.from_import("orvane.utils.strings", {"typecast_str"}) < 0) return -1;

    // logger = logging.getLogger(__name__)
    Ref logging = m.get("logging"), name = m.get("__name__");
    if (!logging || !name) return -1;
    Ref get_logger = Ref::steal(PyObject_GetAttr(logging.get(), n_getLogger));
    if (!get_logger || m.set("logger", call(get_logger.get(), name.get())) < 0) return -1;

    // class Configuration(NestedCoffer)
    Ref nested = m.get("NestedCoffer");
    if (!nested) return -1;
    Ref configuration = m.define_class("Configuration", {nested.get()}, nullptr, {
        method("copy", Configuration_copy, {"self"}, copy_doc),
        method("__setitem__", Configuration_setitem, {"self", "key", "value"}),
        method("load_cfgs", Configuration_load_cfgs, {"self", "*files"}),
        method("load_yamls", Configuration_load_yamls, {"self", "*files"}),
        method("load_entrypoint", Configuration_load_entrypoint, {"self", "group"}, load_entrypoint_doc),
    });
    if (!configuration) return -1;

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(configuration, "orvane.tessel.configuration", nullptr, exec)
