// arbel.cpp — named tree nodes whose string form draws their subtree the way
// the `tree` command draws directories.
#include "tessel.hpp"

#include <cstring>
#include <new>
#include <string>
#include <vector>

using namespace tessel;

namespace {

Name n_name("name"), n_children("children"), n_append("append"), n___str__("__str__");

// What str() says when the recursion limit stops it.
const char kWhileStr[] = " while getting the str of an object";

// The connector of a child's first line and the prefix of its further lines,
// for the children before the last and for the last one.
Name n_middle_first("\n|-- "), n_middle_more("\n|   "), n_last_first("\n`-- "),
    n_last_more("\n    ");
struct Branch {
    const char *first;
    const char *more;
    const Name &first_piece, &more_piece;  // the same with the line break in front
};
const Branch middle{"|-- ", "|   ", n_middle_first, n_middle_more};
const Branch last{"`-- ", "    ", n_last_first, n_last_more};
constexpr Py_ssize_t kBranchWidth = 4;

Held all_but_last;  // slice(None, -1)
Held minus_one;     // -1
Held arbel_class;   // the class created by the exec step

// ------------------------------------------------------------------ the class, seen from inside

PyObject *Arbel_str(Call &c);

// What lookups on the exact Arbel class find, decided again whenever the
// class's version tag changes (the interpreter gives a class a new tag when
// it or one of its bases is modified).
struct ClassView {
    unsigned int version = 0;  // the class's tag when decided; 0: undecided
    bool own_str = false;      // its __str__ is Arbel_str
    bool plain_attrs = false;  // no class attribute `name` or `children`
};
ClassView arbel_view;

const ClassView &view_of_arbel(PyTypeObject *type) {
    ClassView &v = arbel_view;
    unsigned int version = compat::type_version(type, n___str__);
    if (version && version == v.version) return v;
    PyObject *str = compat::type_lookup(type, n___str__);  // borrowed
    v.own_str = str && Py_TYPE(str) == &FunctionType &&
                reinterpret_cast<Function *>(str)->spec->body == Arbel_str;
    v.plain_attrs = !compat::type_lookup(type, n_name) && !compat::type_lookup(type, n_children);
    v.version = compat::type_version(type, n___str__);
    return v;
}

// True when str(obj) would run Arbel_str on obj itself: obj is an exact Arbel.
bool drawn_in_place(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    return reinterpret_cast<PyObject *>(type) == arbel_class.get() && view_of_arbel(type).own_str;
}

// obj.<attr> (attr is `name` or `children`).  For an exact Arbel whose class
// has no attribute of that name and the generic lookup, that lookup can only
// find it in the instance dict, so look there first.
Ref read(PyObject *obj, PyObject *attr) {
    PyTypeObject *type = Py_TYPE(obj);
    if (reinterpret_cast<PyObject *>(type) == arbel_class.get() &&
        type->tp_getattro == PyObject_GenericGetAttr && view_of_arbel(type).plain_attrs) {
        PyObject **dict = compat::dict_ptr(obj);
        if (dict && *dict) {
            PyObject *value = PyDict_GetItemWithError(*dict, attr);  // borrowed
            if (value) return Ref::borrow(value);
            if (PyErr_Occurred()) return {};
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, attr));
}

// ------------------------------------------------------------------ Arbel

const char Arbel_doc[] =
    "A named tree node that mimics the printing behaviour of the Linux\n"
    "tree command: the string form of a node draws its whole subtree, one node\n"
    "per line.  Any object can be a child; it is drawn through its own string\n"
    "form.\n"
    "\n"
    "A family of three generations:\n"
    "\n"
    "    >>> ida = Arbel('Ida', [Arbel('Tom'), Arbel('Vera')])\n"
    "    >>> greta = Arbel('Greta')\n"
    "    >>> greta.add_child(ida)\n"
    "    >>> greta.add_child(Arbel('Otto', [Arbel('Lena')]))\n"
    "    >>> print(greta)\n"
    "    Greta\n"
    "    |-- Ida\n"
    "    |   |-- Tom\n"
    "    |   `-- Vera\n"
    "    `-- Otto\n"
    "        `-- Lena\n";

const char Arbel_init_doc[] =
    "Arbel(name, children=None)\n"
    "\n"
    ":param name: the name of the node (a string)\n"
    ":param children: the list of child nodes; the node keeps this very list\n";

// def __init__(self, name, children=None)
PyObject *Arbel_init(Call &c) {
    PyObject *self = c[0], *name = c[1];
    Ref children = Ref::borrow(c[2]);
    // if not children: children = []
    int given = PyObject_IsTrue(children.get());
    if (given < 0) return nullptr;
    if (!given) {
        children = Ref::steal(PyList_New(0));
        if (!children) return nullptr;
    }
    // self.name = name; self.children = children
    if (PyObject_SetAttr(self, n_name, name) < 0) return nullptr;
    if (PyObject_SetAttr(self, n_children, children.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

const char Arbel_add_child_doc[] =
    "Add children\n"
    "\n"
    "Adds a child node to this node.\n";

// def add_child(self, item)
PyObject *Arbel_add_child(Call &c) {
    PyObject *self = c[0], *item = c[1];
    // self.children.append(item)
    Ref children = read(self, n_children);
    if (!children) return nullptr;
    if (PyList_CheckExact(children.get())) {
        // An exact list's append is list.append: nothing can override it.
        if (PyList_Append(children.get(), item) < 0) return nullptr;
    } else if (!call_method(children.get(), n_append, {item})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ drawing
//
// def __str__(self):
//     text = self.name
//     if not self.children: return text
//     for child in self.children[:-1]:
//         lines = str(child).split("\n")
//         text += "\n|-- " + lines[0]
//         for line in lines[1:]: text += "\n|   " + line
//     (the same for self.children[-1] with "\n`-- " and "\n    ")
//     return text
//
// Written that way, every line of a subtree is split off and re-prefixed once
// per level above it.  An exact Arbel child whose type's __str__ is this very
// function and whose name is an exact str would only run this code again, so
// its lines go straight into the parent's output instead, behind the prefixes
// of all the levels above at once (a stack of prefixes): the drawing then
// costs the size of its output.  Every other child, subclasses of Arbel included,
// goes through str() as written.  The steps that Python code could observe
// (attribute reads, truth tests, slicing, iteration, str() of other children)
// run in the same order either way.

Ref draw(PyObject *node, Ref name);

Name n___class_getitem__("__class_getitem__");

// children[:-1], failing as a slice of an unsliceable object fails.
Ref without_last(PyObject *children) {
    PyMappingMethods *mapping = Py_TYPE(children)->tp_as_mapping;
    if (mapping && mapping->mp_subscript)
        return Ref::steal(PyObject_GetItem(children, all_but_last.get()));
    if (PyType_Check(children)) {
        // A class is subscripted through its __class_getitem__, if it has one.
        PyObject *method = nullptr;
        if (compat::lookup_attr(children, n___class_getitem__, &method) < 0) return {};
        if (method) {
            Ref held = Ref::steal(method);
            return call(held.get(), all_but_last.get());
        }
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(children)->tp_name);
    return {};
}

// Calls line(start, end) for every line of the str `text`, split at "\n"
// only.  The caller holds `text`.
template <typename F>
int each_line(PyObject *text, F &&line) {
    if (PyUnicode_READY(text) < 0) return -1;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    auto next_break = [&](Py_ssize_t from) -> Py_ssize_t {
        if (kind == PyUnicode_1BYTE_KIND) {
            const void *hit = std::memchr(static_cast<const char *>(data) + from, '\n',
                                          static_cast<size_t>(length - from));
            return hit ? static_cast<const char *>(hit) - static_cast<const char *>(data) : length;
        }
        while (from < length && PyUnicode_READ(kind, data, from) != '\n') ++from;
        return from;
    };
    Py_ssize_t start = 0;
    for (;;) {
        Py_ssize_t end = next_break(start);
        if (line(start, end) < 0) return -1;
        if (end == length) return 0;
        start = end + 1;
    }
}

// str(obj) of a value that __str__ returned.
PyObject *checked_str(Ref text) {
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)",
                     Py_TYPE(text.get())->tp_name);
        return nullptr;
    }
    return text.release();
}

// str(child).
Ref child_text(PyObject *child) {
    if (!drawn_in_place(child)) return Ref::steal(PyObject_Str(child));
    DeepGuard guard(kWhileStr);
    if (!guard) return {};
    Ref name = read(child, n_name);
    if (!name) return {};
    return Ref::steal(checked_str(draw(child, std::move(name))));
}

// The drawing exactly as written, one `text += piece` per line: for a name
// that is not a str, whose "+" may be anything.  A text whose type can change
// in place (a list name, say) is concatenated instead, so that drawing never
// alters the caller's name.
Ref draw_by_concatenation(PyObject *node, Ref text) {
    auto add = [&](PyObject *piece) {
        PyTypeObject *type = Py_TYPE(text.get());
        bool changes_in_place = (type->tp_as_number && type->tp_as_number->nb_inplace_add) ||
                                (type->tp_as_sequence && type->tp_as_sequence->sq_inplace_concat);
        text = Ref::steal(changes_in_place ? PyNumber_Add(text.get(), piece)
                                           : PyNumber_InPlaceAdd(text.get(), piece));
        return text ? 0 : -1;
    };
    auto add_lines = [&](PyObject *child_str, const Branch &branch) {
        bool first = true;
        return each_line(child_str, [&](Py_ssize_t start, Py_ssize_t end) {
            Ref line = Ref::steal(PyUnicode_Substring(child_str, start, end));
            if (!line) return -1;
            Ref piece = Ref::steal(
                PyUnicode_Concat(first ? branch.first_piece : branch.more_piece, line.get()));
            first = false;
            if (!piece) return -1;
            return add(piece.get());
        });
    };

    Ref children = read(node, n_children);
    if (!children) return {};
    int any = PyObject_IsTrue(children.get());
    if (any <= 0) return any < 0 ? Ref() : text;
    // self.children is read again for the slice: the truth test may have run
    // code that replaced it.
    children = read(node, n_children);
    if (!children) return {};
    Ref rest = without_last(children.get());
    if (!rest) return {};
    Ref it = Ref::steal(PyObject_GetIter(rest.get()));
    if (!it) return {};
    while (Ref child = Ref::steal(PyIter_Next(it.get()))) {
        Ref s = child_text(child.get());
        if (!s || add_lines(s.get(), middle) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    children = read(node, n_children);
    if (!children) return {};
    Ref final_child = Ref::steal(PyObject_GetItem(children.get(), minus_one.get()));
    if (!final_child) return {};
    Ref s = child_text(final_child.get());
    if (!s || add_lines(s.get(), last) < 0) return {};
    return text;
}

// Draws a node whose name is a str, and every in-place child below it, into
// one output, without C recursion: each level of the tree is one entry of a
// stack, and counts as one level of the interpreter's recursion limit (as the
// str() call it stands for would), so a node that contains itself ends in
// RecursionError.
class Drawing {
public:
    Drawing() = default;
    Drawing(const Drawing &) = delete;
    Drawing &operator=(const Drawing &) = delete;
    ~Drawing() {
        while (!stack_.empty()) pop();
    }

    Ref run(PyObject *root, Ref name) {
        // text = self.name
        if (out_.str(name.get()) < 0) return {};
        stack_.push_back(Level{Ref::borrow(root), {}, 0, false, line_start_.size(), false});
        int r = open(stack_.back());
        if (r < 0) return {};
        if (r == 0) return name;  // a leaf: its name, the very object
        while (!stack_.empty()) {
            Level &top = stack_.back();
            Ref child;
            const Branch *branch = &middle;
            if (top.rest) {
                // for child in self.children[:-1]
                child = next_of(top);
                if (!child) {
                    if (PyErr_Occurred()) return {};
                    top.rest.reset();
                    continue;
                }
            } else if (!top.last_drawn) {
                // self.children[-1]
                top.last_drawn = true;
                Ref children = read(top.node.get(), n_children);
                if (!children) return {};
                child = Ref::steal(PyObject_GetItem(children.get(), minus_one.get()));
                if (!child) return {};
                branch = &last;
            } else {
                pop();
                continue;
            }
            if (draw_child(child.get(), *branch) < 0) return {};
        }
        return Ref::steal(out_.finish());
    }

private:
    struct Level {
        Ref node;
        Ref rest;          // node.children[:-1] (or an iterator over it), null once exhausted
        Py_ssize_t index;  // the next position in `rest` when it is an exact list
        bool last_drawn;   // node.children[-1] is drawn (or being drawn)
        size_t prefix;     // length of line_start_ before this level's part
        bool counted;      // took a level of the recursion limit
    };

    // Reads node.children: 1 when there are children to draw, 0 for a leaf.
    int open(Level &level) {
        Ref children = read(level.node.get(), n_children);
        if (!children) return -1;
        int any = PyObject_IsTrue(children.get());
        if (any <= 0) return any;
        // Read again for the slice, as in draw_by_concatenation.
        children = read(level.node.get(), n_children);
        if (!children) return -1;
        Ref rest = without_last(children.get());
        if (!rest) return -1;
        // A new exact list is ours alone: read it by position (bounds-checked
        // at each step all the same); anything else is iterated.
        level.rest =
            PyList_CheckExact(rest.get()) ? rest : Ref::steal(PyObject_GetIter(rest.get()));
        return level.rest ? 1 : -1;
    }

    // The next of the children before the last, or null (with an error set, or
    // none when they are exhausted).
    static Ref next_of(Level &level) {
        PyObject *rest = level.rest.get();
        if (!PyList_CheckExact(rest)) return Ref::steal(PyIter_Next(rest));
        if (level.index >= PyList_GET_SIZE(rest)) return {};
        return Ref::borrow(PyList_GET_ITEM(rest, level.index++));
    }

    void pop() {
        Level &level = stack_.back();
        line_start_.resize(level.prefix);
        if (level.counted) Py_LeaveRecursiveCall();
        stack_.pop_back();
    }

    // Writes the lines of `text` as the lines of one child.
    int write_lines(PyObject *text, const Branch &branch) {
        bool first = true;
        return each_line(text, [&](Py_ssize_t start, Py_ssize_t end) {
            size_t n = line_start_.size();
            line_start_.append(first ? branch.first : branch.more, kBranchWidth);
            int r = out_.ascii(line_start_.data(), static_cast<Py_ssize_t>(line_start_.size()));
            line_start_.resize(n);
            if (r < 0) return -1;
            first = false;
            return out_.substring(text, start, end);
        });
    }

    int draw_child(PyObject *child, const Branch &branch) {
        if (!drawn_in_place(child)) {
            Ref text = Ref::steal(PyObject_Str(child));
            return text ? write_lines(text.get(), branch) : -1;
        }
        Ref name = read(child, n_name);
        if (!name) return -1;
        if (!PyUnicode_CheckExact(name.get())) {
            DeepGuard guard(kWhileStr);
            if (!guard) return -1;
            Ref text = Ref::steal(checked_str(draw_by_concatenation(child, std::move(name))));
            return text ? write_lines(text.get(), branch) : -1;
        }
        // The interpreter counts C levels against a limit of their own from
        // 3.12 on, far above the recursion limit; the levels of a drawing are
        // held to the recursion limit itself, as the str() calls they stand
        // for would be (and a node that contains itself fails just as soon).
        if (static_cast<long>(stack_.size()) > Py_GetRecursionLimit()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhileStr);
            return -1;
        }
        // Room first: once the level is entered, pushing it must not throw.
        if (stack_.size() == stack_.capacity()) stack_.reserve(2 * stack_.size() + 16);
        if (Py_EnterRecursiveCall(kWhileStr)) return -1;
        stack_.push_back(Level{Ref::borrow(child), {}, 0, false, line_start_.size(), true});
        if (write_lines(name.get(), branch) < 0) return -1;
        line_start_ += branch.more;
        int r = open(stack_.back());
        if (r == 0) pop();
        return r < 0 ? -1 : 0;
    }

    compat::TextWriter out_;
    std::string line_start_ = "\n";  // a line break and the prefix of the innermost level
    std::vector<Level> stack_;
};

// The drawing of `node`, whose name is already read.
Ref draw(PyObject *node, Ref name) {
    if (!PyUnicode_CheckExact(name.get())) return draw_by_concatenation(node, std::move(name));
    try {
        Drawing drawing;
        return drawing.run(node, std::move(name));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return {};
    }
}

const char Arbel_str_doc[] =
    "String formatter\n"
    "\n"
    "Returns the tree formatted as a string.\n";

// def __str__(self)
PyObject *Arbel_str(Call &c) {
    PyObject *self = c[0];
    // Subclasses and other children are drawn through str(), one C level
    // each: under a raised recursion limit the stack may end first.
    if (!stack_has_room(kWhileStr)) return nullptr;
    Ref name = read(self, n_name);
    if (!name) return nullptr;
    return draw(self, std::move(name)).release();
}

// ------------------------------------------------------------------ module level

int exec(Module &m) {
    minus_one.set(Ref::steal(PyLong_FromLong(-1)));
    if (!minus_one) return -1;
    all_but_last.set(Ref::steal(PySlice_New(Py_None, minus_one.get(), Py_None)));
    if (!all_but_last) return -1;

    // class Arbel(object)
    Ref arbel = m.define_class("Arbel", {m.builtin("object")}, Arbel_doc, {
        method("__init__", Arbel_init, {"self", "name", "children"}, Arbel_init_doc,
               defaults({none()})),
        method("add_child", Arbel_add_child, {"self", "item"}, Arbel_add_child_doc),
        method("__str__", Arbel_str, {"self"}, Arbel_str_doc),
    });
    if (!arbel) return -1;
    arbel_class.set(arbel);

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(arbel, "orvane.tessel.arbel", nullptr, exec)
