// arbel.cpp — named tree nodes whose string form draws their subtree the way
// the `tree` command draws directories.
#include "tessel.hpp"

#include <cstring>
#include <string>
#include <vector>

using namespace tessel;

namespace {

Name n_name("name"), n_children("children"), n_append("append"), n___str__("__str__"), n_split("split"),
    n_newline("\n");

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

// What lookups on the exact Arbel class find (see arbel_view_of).
struct ArbelView {
    bool own_str = false;  // its __str__ is Arbel_str
};

struct State {
    // Constants made at import.
    Held all_but_last;  // slice(None, -1)
    Held all_but_first; // slice(1, None)
    Held minus_one;     // -1
    Held zero;          // 0
    Held empty;         // ''
    // The class created by the exec step.
    Held arbel_class;
    // What its lookups find, while it keeps its version tag.
    ClassMemo<ArbelView, 4> arbel_view;
} state;

// ------------------------------------------------------------------ the class, seen from inside

PyObject *Arbel_str(Call &c);

ArbelView arbel_view_of(PyTypeObject *type) {
    ArbelView v;
    PyObject *str = class_attribute(type, n___str__);
    v.own_str = str && is_function(str, Arbel_str);
    return v;
}

// True when str(obj) would run Arbel_str on obj itself: obj is an exact Arbel.
bool drawn_in_place(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    return reinterpret_cast<PyObject *>(type) == state.arbel_class.get() &&
           state.arbel_view.get(type, arbel_view_of).own_str;
}

// obj.<attr> (attr is `name` or `children`), read once per read of the
// Python line.  Always the interpreter's own lookup: looking in the instance
// dict first and then asking the interpreter when the name is missing would
// search that dict twice, and a key of the dict whose __eq__ runs code would
// see it.
Ref read(PyObject *obj, PyObject *attr) { return Ref::steal(PyObject_GetAttr(obj, attr)); }

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
    if (fast_paths && PyList_CheckExact(children.get())) {
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
// function would only run this code again, so it is drawn "in place": its
// lines go straight into the parent's output, behind the prefixes of all the
// levels above at once (a stack of prefixes), and the drawing costs the size
// of its output.  Every other child, subclasses of Arbel included, goes
// through str() as written.  The steps that Python code could observe
// (attribute reads, truth tests, slicing, iteration, str() of other children,
// a name's own "+") run in the same order either way.
//
// A name that is not an exact str meets "+" once before the text is a str:
// `name + "\n|-- " + first line of the first child`, called once the first
// child is drawn.  Until then the node's first lines are unknown, so what
// follows is kept as records (pieces of text, and the prefix stack's pushes
// and pops) and written out once every name above is known.  When that "+"
// gives an exact str, the rest is str concatenation, which nothing can
// observe; when it gives anything else, the node's text is built as written.
//
// Levels deeper than kStreamDepth are kept as records too, until the drawing
// is back above that depth: a node that contains itself fails at the
// recursion limit having kept a few records per level, not text whose size
// grows with the square of the depth.

Ref draw(PyObject *node, Ref name);

Name n___class_getitem__("__class_getitem__");

constexpr size_t kStreamDepth = 1024;

// children[:-1], failing as a slice of an unsliceable object fails.
Ref without_last(PyObject *children) {
    PyMappingMethods *mapping = Py_TYPE(children)->tp_as_mapping;
    if (mapping && mapping->mp_subscript)
        return Ref::steal(PyObject_GetItem(children, state.all_but_last.get()));
    if (PyType_Check(children)) {
        // A class is subscripted through its __class_getitem__, if it has one.
        PyObject *method = nullptr;
        if (compat::lookup_attr(children, n___class_getitem__, &method) < 0) return {};
        if (method) {
            Ref held = Ref::steal(method);
            return call(held.get(), state.all_but_last.get());
        }
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(children)->tp_name);
    return {};
}

// Calls line(start, end) for every line of the str `text`, split at "\n"
// only.  The caller holds `text`.
template <typename F>
int each_line(PyObject *text, F &&line) {
    if (compat::str_ready(text) < 0) return -1;
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

// The first line of the str `text`.
Ref first_line(PyObject *text) {
    Ref line;
    bool done = false;
    if (each_line(text, [&](Py_ssize_t start, Py_ssize_t end) {
            if (done) return 0;
            done = true;
            line = Ref::steal(PyUnicode_Substring(text, start, end));
            return line ? 0 : -1;
        }) < 0)
        return {};
    return line;
}

[[gnu::cold]] int not_a_string(PyObject *text) {
    PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)", Py_TYPE(text)->tp_name);
    return -1;
}

// Whether `text += piece` on a str text is str concatenation, which runs no
// code: the piece is a str whose class has no "+" of its own.
bool plain_piece(PyObject *piece) {
    if (PyUnicode_CheckExact(piece)) return true;
    if (!PyUnicode_Check(piece)) return false;
    PyNumberMethods *number = Py_TYPE(piece)->tp_as_number;
    return !number || !number->nb_add;
}

// `lines = text.split("\n")` for a child's text (a str).  An exact str is
// split here: nothing can tell.  Any other str is split by its own `split`,
// looked up as Python looks it up; when that gives what str.split gives (an
// exact list of exact strs without line breaks), the lines are joined again
// into `joined`, whose lines are then the very same.  Otherwise `pieces`
// gets the list of what the Python line adds to its text, made in its order:
// connector + lines[0], then continuation + line for each of lines[1:].
struct Split {
    Ref joined;
    Ref pieces;
};

int split_text(PyObject *text, const Branch &branch, Split &out) {
    if (PyUnicode_CheckExact(text)) {
        out.joined = Ref::borrow(text);
        return 0;
    }
    Ref lines = call_method(text, n_split, {n_newline});
    if (!lines) return -1;
    if (PyList_CheckExact(lines.get()) && PyList_GET_SIZE(lines.get()) > 0) {
        bool plain = true;
        for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(lines.get()); ++i) {
            PyObject *line = PyList_GET_ITEM(lines.get(), i);
            plain = PyUnicode_CheckExact(line) && PyUnicode_FindChar(line, '\n', 0, PyUnicode_GET_LENGTH(line), 1) == -1;
        }
        if (plain) {
            out.joined = Ref::steal(PyUnicode_Join(n_newline, lines.get()));
            return out.joined ? 0 : -1;
        }
    }
    out.pieces = Ref::steal(PyList_New(0));
    if (!out.pieces) return -1;
    Ref first = Ref::steal(PyObject_GetItem(lines.get(), state.zero.get()));
    if (!first) return -1;
    Ref piece = Ref::steal(PyNumber_Add(branch.first_piece, first.get()));
    if (!piece || PyList_Append(out.pieces.get(), piece.get()) < 0) return -1;
    Ref rest = Ref::steal(PyObject_GetItem(lines.get(), state.all_but_first.get()));
    if (!rest) return -1;
    Ref it = Ref::steal(PyObject_GetIter(rest.get()));
    if (!it) return -1;
    while (Ref line = Ref::steal(PyIter_Next(it.get()))) {
        piece = Ref::steal(PyNumber_Add(branch.more_piece, line.get()));
        if (!piece || PyList_Append(out.pieces.get(), piece.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// str(child).
Ref child_text(PyObject *child) {
    if (!drawn_in_place(child)) return Ref::steal(PyObject_Str(child));
    DeepGuard guard(kWhileStr);
    if (!guard) return {};
    Ref name = read(child, n_name);
    if (!name) return {};
    Ref text = draw(child, std::move(name));
    if (text && !PyUnicode_Check(text.get())) {
        not_a_string(text.get());
        return {};
    }
    return text;
}

// `text += piece` as written, for a text that is not (yet) an exact str and
// whose "+=" may be anything (a list name is extended, as Python's += does).
// Once the text is an exact str, what follows is str concatenation, which
// nothing can observe: it goes into one growing buffer.
class Concatenation {
public:
    explicit Concatenation(Ref text) : text_(std::move(text)) {}
    Concatenation(const Concatenation &) = delete;
    Concatenation &operator=(const Concatenation &) = delete;

    // text += (first ? branch.first : branch.more) + line, for every line of `s`.
    int add_lines(PyObject *s, const Branch &branch, bool skip_first = false) {
        Split split;
        if (split_text(s, branch, split) < 0) return -1;
        if (split.pieces) return add_pieces(split.pieces.get(), skip_first ? 1 : 0);
        s = split.joined.get();
        bool first = true;
        return each_line(s, [&](Py_ssize_t start, Py_ssize_t end) {
            bool is_first = first;
            first = false;
            if (is_first && skip_first) return 0;
            return add(is_first ? branch.first_piece : branch.more_piece, s, start, end);
        });
    }

    int add(PyObject *connector, PyObject *s, Py_ssize_t start, Py_ssize_t end) {
        if (writing_)
            return out_.str(connector) < 0 || out_.substring(s, start, end) < 0 ? -1 : 0;
        Ref line = Ref::steal(PyUnicode_Substring(s, start, end));
        if (!line) return -1;
        Ref piece = Ref::steal(PyUnicode_Concat(connector, line.get()));
        if (!piece) return -1;
        return add_piece(piece.get());
    }

    // text += pieces[i] for every piece from `from` on.
    int add_pieces(PyObject *pieces, Py_ssize_t from) {
        for (Py_ssize_t i = from; i < PyList_GET_SIZE(pieces); ++i) {
            Ref piece = Ref::borrow(PyList_GET_ITEM(pieces, i));
            if (add_piece(piece.get()) < 0) return -1;
        }
        return 0;
    }

    // text += piece
    int add_piece(PyObject *piece) {
        if (writing_) {
            if (plain_piece(piece)) return out_.str(piece);
            // Its "+" sees the text so far.
            writing_ = false;
            text_ = Ref::steal(out_.finish());
            if (!text_) return -1;
        }
        text_ = Ref::steal(PyNumber_InPlaceAdd(text_.get(), piece));
        if (!text_) return -1;
        if (PyUnicode_CheckExact(text_.get())) {
            if (out_.str(text_.get()) < 0) return -1;
            writing_ = true;
        }
        return 0;
    }

    Ref finish() {
        if (!writing_) return std::move(text_);
        writing_ = false;
        return Ref::steal(out_.finish());
    }

    // A text that became an exact str is in the buffer, not here.
    PyObject *text() const { return writing_ ? nullptr : text_.get(); }

    // Whether the text is a str whose "+" with a str is str's own: what
    // follows is then str concatenation too, which nothing can observe.
    bool plain_from_here() const {
        if (writing_) return true;
        PyTypeObject *type = Py_TYPE(text_.get());
        if (!PyUnicode_Check(text_.get())) return false;
        PyNumberMethods *number = type->tp_as_number;
        PySequenceMethods *sequence = type->tp_as_sequence;
        return (!number || (!number->nb_add && !number->nb_inplace_add)) && sequence &&
               !sequence->sq_inplace_concat && sequence->sq_concat == PyUnicode_Type.tp_as_sequence->sq_concat;
    }

private:
    Ref text_;
    TextWriter out_;
    bool writing_ = false;
};

// Draws a node and every in-place child below it into one output, without C
// recursion: each level of the tree is one entry of a stack, and counts as
// one level of the interpreter's recursion limit (as the str() call it stands
// for would), so a node that contains itself ends in RecursionError.
class Drawing {
public:
    Drawing() = default;
    Drawing(const Drawing &) = delete;
    Drawing &operator=(const Drawing &) = delete;
    ~Drawing() {
        while (!stack_.empty()) {
            if (stack_.back().counted) Py_LeaveRecursiveCall();
            stack_.pop_back();
        }
    }

    Ref run(PyObject *root, Ref name) {
        stack_.reserve(16);
        stack_.emplace_back(Ref::borrow(root), nullptr, false);
        int r = begin_level(std::move(name));
        if (r < 0) return {};
        if (result_) return std::move(result_);  // a leaf: its name, the very object
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
                child = Ref::steal(PyObject_GetItem(children.get(), state.minus_one.get()));
                if (!child) return {};
                branch = &last;
            } else {
                if (end_level() < 0) return {};
                continue;
            }
            if (!top.first_branch) top.first_branch = branch;
            size_t depth = stack_.size();
            if (draw_child(child.get(), *branch) < 0) return {};
            if (stack_.size() == depth && child_done() < 0) return {};
        }
        if (result_) return std::move(result_);
        if (flush() < 0) return {};
        return Ref::steal(out_.finish());
    }

private:
    struct Level {
        Level(Ref n, const Branch *branch, bool c) : node(std::move(n)), own(branch), counted(c) {}
        Ref node;
        const Branch *own;         // how the node hangs from its parent; null for the root
        bool counted;              // took a level of the recursion limit
        bool entered = false;      // its children's prefix is pushed
        bool last_drawn = false;   // node.children[-1] is drawn (or being drawn)
        Ref rest;                  // node.children[:-1] (or an iterator over it), null once exhausted
        Py_ssize_t index = 0;      // the next position in `rest` when it is an exact list
        const Branch *first_branch = nullptr;  // how its first child hangs from it
        Ref name;                  // a name that is no exact str, until its "+" is made
        size_t header = 0;         // then: the record of its first lines
    };

    // Output kept for later: a piece of text (the lines of one child, or of
    // the root), the pieces a child's own split gave (see split_text), or a
    // push or pop of the prefix stack.
    struct Record {
        enum Kind : unsigned char { Lines, Pieces, Push, Pop } kind;
        bool skip_first;       // Lines, Pieces: its first line (piece) went into a parent's "+"
        const Branch *branch;  // Lines: null for the root's text, written as it is; Push: the piece
        Ref text;              // Pieces: the list of pieces, each a str whose "+" is str's
    };

    // Reads node.children: 1 when there are children to draw, 0 for a leaf.
    int open(Level &level) {
        Ref children = read(level.node.get(), n_children);
        if (!children) return -1;
        int any = PyObject_IsTrue(children.get());
        if (any <= 0) return any;
        // self.children is read again for the slice: the truth test may have
        // run code that replaced it.
        children = read(level.node.get(), n_children);
        if (!children) return -1;
        Ref rest = without_last(children.get());
        if (!rest) return -1;
        // A new exact list is ours alone: read it by position (bounds-checked
        // at each step all the same); anything else is iterated.
        level.rest = fast_paths && PyList_CheckExact(rest.get()) ? rest
                                                                  : Ref::steal(PyObject_GetIter(rest.get()));
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

    // The level on top of the stack has just been pushed and its name read:
    // reads its children and puts out its first lines.
    int begin_level(Ref name) {
        Level &level = stack_.back();
        int r = open(level);
        if (r < 0) return -1;
        bool root = stack_.size() == 1;
        if (r == 0) {  // a leaf: its text is its name
            if (root) {
                result_ = std::move(name);
                return 0;
            }
            if (!PyUnicode_Check(name.get())) return not_a_string(name.get());
            if (lines(std::move(name), level.own) < 0) return -1;
            return leave();
        }
        if (PyUnicode_CheckExact(name.get())) {
            if (lines(std::move(name), level.own) < 0) return -1;
        } else {
            // Its first lines wait for its first child.
            ++deferred_;
            record_from_here();
            level.name = std::move(name);
            level.header = records_.size();
            records_.push_back(Record{Record::Lines, false, level.own, {}});
        }
        level.entered = true;
        return push(level.own);
    }

    int draw_child(PyObject *child, const Branch &branch) {
        if (!drawn_in_place(child)) {
            Ref text = Ref::steal(PyObject_Str(child));
            return text ? lines(std::move(text), &branch) : -1;
        }
        Ref name = read(child, n_name);
        if (!name) return -1;
        // The interpreter counts C levels against a limit of their own from
        // 3.12 on, far above the recursion limit; the levels of a drawing are
        // held to the recursion limit itself, as the str() calls they stand
        // for would be (and a node that contains itself fails just as soon).
        if (static_cast<long>(stack_.size()) > Py_GetRecursionLimit()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhileStr);
            return -1;
        }
        // Room first: once the level is entered, pushing it must not throw.
        if (stack_.size() == stack_.capacity()) stack_.reserve(2 * stack_.size());
        if (Py_EnterRecursiveCall(kWhileStr)) return -1;
        stack_.emplace_back(Ref::borrow(child), &branch, true);
        return begin_level(std::move(name));
    }

    // The level on top has drawn its last child.
    int end_level() {
        if (leave() < 0) return -1;
        return stack_.empty() ? 0 : child_done();
    }

    // Takes the top level off the stack.
    int leave() {
        Level &level = stack_.back();
        bool entered = level.entered;
        if (level.counted) Py_LeaveRecursiveCall();
        stack_.pop_back();
        if (entered && pop() < 0) return -1;
        return recording_ && !wants_records() ? flush() : 0;
    }

    // A child of the level on top is drawn.  The first one completes the
    // first lines of a level whose name is no exact str; when its "+" gives
    // no str, that level is drawn as written and ends here, and its parent
    // has a child drawn in turn.
    int child_done() {
        while (!stack_.empty() && stack_.back().name) {
            int r = make_first_lines();
            if (r <= 0) return r;
        }
        return 0;
    }

    // text = name; text += "\n|-- " + lines[0] (for the first child).
    // 0 when the text is an exact str from there on, 1 when the level was
    // drawn as written instead, -1 on error.
    int make_first_lines() {
        Level &level = stack_.back();
        size_t first = level.header + 2;  // the level's push, then its first child's lines
        const bool as_pieces = records_[first].kind == Record::Pieces;
        Concatenation text(std::move(level.name));
        if (as_pieces) {
            if (text.add_piece(PyList_GET_ITEM(records_[first].text.get(), 0)) < 0) return -1;
        } else {
            Ref line = first_line(records_[first].text.get());
            if (!line) return -1;
            if (text.add(level.first_branch->first_piece, line.get(), 0, PyUnicode_GET_LENGTH(line.get())) < 0)
                return -1;
        }
        --deferred_;
        // (The root's text is the result itself, whose type shows.)
        if (!text.text() || (stack_.size() > 1 && text.plain_from_here())) {
            records_[level.header].text = text.finish();
            if (!records_[level.header].text) return -1;
            records_[first].skip_first = true;
            return recording_ && !wants_records() ? flush() : 0;
        }
        // The first child's text in full, then the rest as written.
        if (as_pieces) {
            Ref held = records_[first].text;
            if (text.add_pieces(held.get(), 1) < 0) return -1;
        } else {
            Ref first_text = render_alone(first);
            if (!first_text || text.add_lines(first_text.get(), *level.first_branch, true) < 0) return -1;
        }
        records_.resize(level.header);
        while (level.rest) {
            Ref child = next_of(level);
            if (!child) {
                if (PyErr_Occurred()) return -1;
                level.rest.reset();
                break;
            }
            Ref s = child_text(child.get());
            if (!s || text.add_lines(s.get(), middle) < 0) return -1;
        }
        if (!level.last_drawn) {
            level.last_drawn = true;
            Ref children = read(level.node.get(), n_children);
            if (!children) return -1;
            Ref final_child = Ref::steal(PyObject_GetItem(children.get(), state.minus_one.get()));
            if (!final_child) return -1;
            Ref s = child_text(final_child.get());
            if (!s || text.add_lines(s.get(), last) < 0) return -1;
        }
        Ref made = text.finish();
        if (!made) return -1;
        const Branch *own = level.own;
        level.entered = false;  // its push went with the records
        if (stack_.size() == 1) {
            result_ = std::move(made);
            return leave() < 0 ? -1 : 1;
        }
        if (!PyUnicode_Check(made.get())) return not_a_string(made.get());
        if (leave() < 0 || lines(std::move(made), own) < 0) return -1;
        return 1;
    }

    // ---- output: written at once, or kept as records

    bool wants_records() const { return deferred_ > 0 || stack_.size() > kStreamDepth; }

    void record_from_here() {
        if (recording_) return;
        recording_ = true;
        if (records_.capacity() == 0) records_.reserve(64);
    }

    // The lines of one child (or the root's text, for a null branch).
    int lines(Ref text, const Branch *branch) {
        if (branch) {
            Split split;
            if (split_text(text.get(), *branch, split) < 0) return -1;
            if (split.pieces) return pieces(std::move(split.pieces));
            text = std::move(split.joined);
        }
        if (!recording_ && wants_records()) record_from_here();
        if (recording_) {
            records_.push_back(Record{Record::Lines, false, branch, std::move(text)});
            return 0;
        }
        return write(out_, line_start_, text.get(), branch, false);
    }

    // What a child's own split gave: each piece goes onto the level's text.
    // A piece whose "+=" onto a str is not str's own is given that "+=" here,
    // in order, onto an empty text (the level's text so far is not at hand).
    int pieces(Ref list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject *piece = PyList_GET_ITEM(list.get(), i);
            if (plain_piece(piece)) continue;
            Ref made = Ref::steal(PyNumber_InPlaceAdd(state.empty.get(), piece));
            if (!made) return -1;
            if (!plain_piece(made.get())) return not_a_string(made.get());
            if (PyList_SetItem(list.get(), i, made.release()) < 0) return -1;
        }
        if (!recording_ && wants_records()) record_from_here();
        if (recording_) {
            records_.push_back(Record{Record::Pieces, false, nullptr, std::move(list)});
            return 0;
        }
        return write_pieces(out_, line_start_, list.get(), false);
    }

    // Writes pieces of a level's text: each line break in them starts a line
    // behind the prefix.
    static int write_pieces(TextWriter &out, std::string &prefix, PyObject *list, bool skip_first) {
        for (Py_ssize_t i = skip_first ? 1 : 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *piece = PyList_GET_ITEM(list, i);
            bool first = true;
            int r = each_line(piece, [&](Py_ssize_t start, Py_ssize_t end) {
                if (!first && out.ascii(prefix.data(), static_cast<Py_ssize_t>(prefix.size())) < 0) return -1;
                first = false;
                return out.substring(piece, start, end);
            });
            if (r < 0) return -1;
        }
        return 0;
    }

    int push(const Branch *branch) {
        if (recording_) {
            records_.push_back(Record{Record::Push, false, branch, {}});
            return 0;
        }
        marks_.push_back(line_start_.size());
        if (branch) line_start_ += branch->more;
        return 0;
    }

    int pop() {
        if (recording_) {
            records_.push_back(Record{Record::Pop, false, nullptr, {}});
            return 0;
        }
        line_start_.resize(marks_.back());
        marks_.pop_back();
        return 0;
    }

    // Writes the lines of `text`: the first behind the prefix and the
    // branch's connector, the others behind the prefix and its continuation.
    static int write(TextWriter &out, std::string &prefix, PyObject *text,
                     const Branch *branch, bool skip_first) {
        if (!branch) return out.str(text);
        bool first = true;
        return each_line(text, [&](Py_ssize_t start, Py_ssize_t end) {
            bool is_first = first;
            first = false;
            if (is_first && skip_first) return 0;
            size_t n = prefix.size();
            prefix.append(is_first ? branch->first : branch->more, kBranchWidth);
            int r = out.ascii(prefix.data(), static_cast<Py_ssize_t>(prefix.size()));
            prefix.resize(n);
            if (r < 0) return -1;
            return out.substring(text, start, end);
        });
    }

    // Plays records [begin, end) into `out`, from the prefix stack given.
    int replay(size_t begin, size_t end, TextWriter &out, std::string &prefix,
               std::vector<size_t> &marks) const {
        for (size_t i = begin; i < end; ++i) {
            const Record &r = records_[i];
            switch (r.kind) {
            case Record::Lines:
                if (write(out, prefix, r.text.get(), r.branch, r.skip_first) < 0) return -1;
                break;
            case Record::Pieces:
                if (write_pieces(out, prefix, r.text.get(), r.skip_first) < 0) return -1;
                break;
            case Record::Push:
                marks.push_back(prefix.size());
                if (r.branch) prefix += r.branch->more;
                break;
            case Record::Pop:
                prefix.resize(marks.back());
                marks.pop_back();
                break;
            }
        }
        return 0;
    }

    // Writes out every record kept.
    int flush() {
        if (!recording_) return 0;
        recording_ = false;
        int r = replay(0, records_.size(), out_, line_start_, marks_);
        records_.clear();
        return r;
    }

    // The text of the child whose records start at `first`, as str() of it
    // alone gives it: its own first lines as they are, the prefixes of the
    // levels above it left out.
    Ref render_alone(size_t first) {
        TextWriter out;
        std::string prefix = "\n";
        std::vector<size_t> marks;
        const Record &head = records_[first];
        if (out.str(head.text.get()) < 0) return {};
        size_t begin = first + 1;
        if (begin < records_.size() && records_[begin].kind == Record::Push) {
            marks.push_back(prefix.size());  // its own children hang from it directly
            ++begin;
        }
        if (replay(begin, records_.size(), out, prefix, marks) < 0) return {};
        return Ref::steal(out.finish());
    }

    TextWriter out_;
    std::string line_start_ = "\n";  // a line break and the prefix of the innermost level
    std::vector<size_t> marks_;      // line_start_'s length below each level's part
    std::vector<Level> stack_;
    std::vector<Record> records_;
    bool recording_ = false;
    int deferred_ = 0;               // levels whose first lines wait for a "+"
    Ref result_;                     // a text made as written, or a leaf's name
};

// The drawing of `node`, whose name is already read.
Ref draw(PyObject *node, Ref name) {
    Drawing drawing;
    return drawing.run(node, std::move(name));
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
    state.minus_one.set(Ref::steal(PyLong_FromLong(-1)));
    if (!state.minus_one) return -1;
    state.all_but_last.set(Ref::steal(PySlice_New(Py_None, state.minus_one.get(), Py_None)));
    if (!state.all_but_last) return -1;
    state.zero.set(Ref::steal(PyLong_FromLong(0)));
    if (!state.zero) return -1;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return -1;
    state.all_but_first.set(Ref::steal(PySlice_New(one.get(), Py_None, Py_None)));
    state.empty.set(Ref::steal(PyUnicode_FromString("")));
    if (!state.all_but_first || !state.empty) return -1;

    // class Arbel(object)
    Ref arbel = m.define_class("Arbel", {m.builtin("object")}, Arbel_doc, {
        method("__init__", Arbel_init, {"self", "name", "children"}, Arbel_init_doc,
               defaults({none()})),
        method("add_child", Arbel_add_child, {"self", "item"}, Arbel_add_child_doc),
        method("__str__", Arbel_str, {"self"}, Arbel_str_doc),
    });
    if (!arbel) return -1;
    state.arbel_class.set(arbel);

    return m.set_test({});
}

}  // namespace

TESSEL_MODULE(arbel, "orvane.tessel.arbel", nullptr, exec)
