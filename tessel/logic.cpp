// logic.cpp — composable tests on items (And, Or, Not) and their text form.
//
// A logic object holds a list of expressions, compiled patterns and callables,
// and answers whether items satisfy all, some or none of them.  Printed, it is
// a call such as Or(And('a', 'b'), Not('c')); logic_str reads that text back
// with a small parser of its own, so that reading a text never runs code.
#include "tessel.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace tessel;

namespace {

Name n_expressions("expressions"), n_compile("compile"), n_append("append"), n_search("search"),
    n_pattern("pattern"), n___name__("__name__"), n___doc__("__doc__"), n_getLogger("getLogger"),
    n_Pattern("Pattern"), n_normalize("normalize"), n_NFKC("NFKC"), n___repr__("__repr__"),
    n___str__("__str__"), n___call__("__call__");
Global g_re("re"), g_BaseLogic("BaseLogic");

// Which of BaseLogic's printing functions str() and repr() of a class reach
// (see print_nested): null members where they reach something else.
struct Printing {
    PyObject *str_fn = nullptr;   // BaseLogic.__str__, when str() runs it
    PyObject *repr_fn = nullptr;  // BaseLogic.__repr__, when repr() runs it as well
};

// Which of the rules' __call__ functions calling an instance of a class
// reaches (see call_nested): null when none of them.
struct Calling {
    PyObject *fn = nullptr;
    PyObject *(*body)(PyObject *self, PyObject *items) = nullptr;
};

struct State {
    // Constants made at import.
    Held fmt_quoted, fmt_not_logic;
    // The compiled-pattern type of `re`, for the shortcut of pattern search;
    // nothing else depends on it.
    Held pattern_type;
    // The interpreter's slots that look __str__, __repr__ and __call__ up on
    // the class, as the classes made at import got them (plain function
    // pointers: the slots of a class whose method is one of ours).
    reprfunc str_slot = nullptr, repr_slot = nullptr;
    ternaryfunc call_slot = nullptr;
    // What printing and calling a class's instances reach, per class.
    ClassMemo<Printing> printing;
    ClassMemo<Calling> calling;
} state;

// ------------------------------------------------------------------ iteration

// Runs `step(item)` for each item of `iterable` as a for loop would: a list is
// read by index with its length re-read at every step (what a list iterator
// does), so a list changed by a step is seen as it changes.  `step` returns 1
// to go on, 0 to stop, -1 on error.  Returns -1 on error, 0 otherwise.
template <typename Step>
int for_each(PyObject *iterable, Step step) {
    if (fast_paths && PyList_CheckExact(iterable)) {
        Ref list = Ref::borrow(iterable);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
            int r = step(item.get());
            if (r <= 0) return r;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        int r = step(item.get());
        if (r <= 0) return r;
    }
}

// ------------------------------------------------------------------ BaseLogic

const char BaseLogic_doc[] =
    "Base class of the logic classes.\n"
    "\n"
    "It is kept only to share the code common to And, Or and Not (construction,\n"
    "printing, equality) and does no meaningful logical testing by itself.\n";

const char BaseLogic_init_doc[] =
    "built-in __init__\n"
    "\n"
    "Instantiates the object with a list of expressions (checks) from the user,\n"
    "which the call uses to validate its input.  A string expression is\n"
    "compiled into a regular-expression search; any other expression must be\n"
    "callable.\n";

const char BaseLogic_call_doc[] =
    "built-in __call__\n"
    "\n"
    "The call that the logic classes provide: the items given to the call are\n"
    "fed to each expression.  For an expression given as a string, each item is\n"
    "converted to its string form and searched.  When several items are given,\n"
    "one item that tests true is enough for that expression.\n";

const char BaseLogic_str_doc[] =
    "built-in __str__\n"
    "\n"
    "Returns the string format of this expression logic.\n";

const char BaseLogic_repr_doc[] =
    "built-in __repr__\n"
    "\n"
    "ditto.\n";

const char BaseLogic_eq_doc[] =
    "built-in __eq__\n"
    "\n"
    "Expressions are equal when their types are equal and their contained\n"
    "expressions are equal.\n";

// def __init__(self, *expressions)
PyObject *BaseLogic_init(Call &c) {
    PyObject *self = c[0], *expressions = c[1];
    // self.expressions = []
    {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyObject_SetAttr(self, n_expressions, list.get()) < 0) return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(expressions); ++i) {
        Ref expr = Ref::borrow(PyTuple_GET_ITEM(expressions, i));
        int is_str = PyObject_IsInstance(expr.get(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
        if (is_str < 0) return nullptr;
        if (is_str) {
            // expr = re.compile(expr)
            Ref re = g_re.get();
            if (!re) return nullptr;
            expr = call_method(re.get(), n_compile, {expr.get()});
            if (!expr) return nullptr;
        } else if (!PyCallable_Check(expr.get())) {
            Ref message = Ref::steal(PyUnicode_FromFormat(
                "Expression only accepts str and callable. Got: %S (%S)", expr.get(),
                reinterpret_cast<PyObject *>(Py_TYPE(expr.get()))));
            if (message) PyErr_SetObject(PyExc_TypeError, message.get());
            return nullptr;
        }
        // self.expressions.append(expr)
        Ref list = Ref::steal(PyObject_GetAttr(self, n_expressions));
        if (!list) return nullptr;
        if (fast_paths && PyList_CheckExact(list.get())) {
            // An exact list's append is list.append: nothing can override it.
            if (PyList_Append(list.get(), expr.get()) < 0) return nullptr;
        } else if (!call_method(list.get(), n_append, {expr.get()})) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// def __call__(self): raise NotImplementedError
PyObject *BaseLogic_call(Call &) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// type(obj).__name__
Ref type_name(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    // With `type` itself as metaclass, __name__ of a heap type is its ht_name.
    if (fast_paths && Py_TYPE(type) == &PyType_Type && (type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return Ref::borrow(reinterpret_cast<PyHeapTypeObject *>(type)->ht_name);
    return Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(type), n___name__));
}

PyObject *BaseLogic_str(Call &c);
PyObject *BaseLogic_repr(Call &c);

// Whether str() and repr() of the class's instances run BaseLogic's own
// __str__ and __repr__: the class's slots are the ones that look the method
// up, and the lookups find our functions.
Printing printing_of(PyTypeObject *type) {
    Printing p;
    PyObject *str = class_attribute(type, n___str__);
    if (!state.str_slot || type->tp_str != state.str_slot || !str || !is_function(str, BaseLogic_str))
        return p;
    p.str_fn = str;
    PyObject *repr = class_attribute(type, n___repr__);
    if (state.repr_slot && type->tp_repr == state.repr_slot && repr && is_function(repr, BaseLogic_repr))
        p.repr_fn = repr;
    return p;
}

PyObject *print_logic(PyObject *self);

// repr(expr) for a callable expression.  When expr's type uses BaseLogic's
// own __repr__ and __str__, their bodies are run here as the interpreter's
// slots would run them (the same lookups found the same functions), without
// the trips through the slots; a failure gets the same traceback entries.
Ref print_nested(PyObject *expr) {
    Printing p = state.printing.get(Py_TYPE(expr), printing_of);
    if (!p.repr_fn) return Ref::steal(PyObject_Repr(expr));
    // Held: printing runs code that may take them out of their class.
    Ref str_fn = Ref::borrow(p.str_fn), repr_fn = Ref::borrow(p.repr_fn);
    if (PyErr_CheckSignals()) return {};  // as repr() does
    DeepGuard guard(" while getting the repr of an object");
    if (!guard) return {};
    Ref text = Ref::steal(print_logic(expr));
    if (!text) {
        add_traceback_of(str_fn.get());
        add_traceback_of(repr_fn.get());
    }
    return text;
}

// def __str__(self)
PyObject *BaseLogic_str(Call &c) { return print_logic(c[0]); }

// One part of a printed form: a str, and whether it is written in quotes.
struct Part {
    Ref text;
    bool quote;
};

// name + "(" + ", ".join(parts) + ")", in one new str.
PyObject *print_form(PyObject *name, const std::vector<Part> &parts) {
    if (compat::str_ready(name) < 0) return nullptr;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name) + 2;
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(name);
    for (size_t i = 0; i < parts.size(); ++i) {
        PyObject *text = parts[i].text.get();
        if (compat::str_ready(text) < 0) return nullptr;
        length += PyUnicode_GET_LENGTH(text) + (parts[i].quote ? 2 : 0) + (i ? 2 : 0);
        if (PyUnicode_MAX_CHAR_VALUE(text) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(text);
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    if (!out) return nullptr;
    int kind = PyUnicode_KIND(out.get());
    void *data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    auto put = [&](PyObject *text) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_CopyCharacters(out.get(), at, text, 0, n) < 0) return false;
        at += n;
        return true;
    };
    auto put_char = [&](Py_UCS4 ch) { PyUnicode_WRITE(kind, data, at++, ch); };
    if (!put(name)) return nullptr;
    put_char('(');
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) {
            put_char(',');
            put_char(' ');
        }
        if (parts[i].quote) put_char('\'');
        if (!put(parts[i].text.get())) return nullptr;
        if (parts[i].quote) put_char('\'');
    }
    put_char(')');
    return out.release();
}

// The printed form of `self`.
PyObject *print_logic(PyObject *self) {
    // Every way back into printing passes here (a subclass's own __str__, a
    // callable whose repr prints a logic object): the C stack is watched at
    // each level, not only the interpreter's count of them.
    if (!stack_has_room(" while getting the str of an object")) return nullptr;
    Ref expressions = Ref::steal(PyObject_GetAttr(self, n_expressions));
    if (!expressions) return nullptr;
    // parts = [repr(expr) if callable(expr) else "'%s'" % expr.pattern for expr in ...];
    // a pattern text that is a str is kept unquoted and quoted when written.
    std::vector<Part> parts;
    if (PyList_CheckExact(expressions.get()))
        parts.reserve(static_cast<size_t>(PyList_GET_SIZE(expressions.get())));
    int r = for_each(expressions.get(), [&](PyObject *expr) -> int {
        Ref text;
        bool quote = false;
        if (PyCallable_Check(expr)) {
            text = print_nested(expr);
        } else {
            Ref pattern = Ref::steal(PyObject_GetAttr(expr, n_pattern));
            if (!pattern) return -1;
            if (fast_paths && PyUnicode_CheckExact(pattern.get())) {
                text = std::move(pattern);
                quote = true;
            } else {
                // The "%" operator: a str subclass's own __rmod__ comes first.
                text = Ref::steal(PyNumber_Remainder(state.fmt_quoted.get(), pattern.get()));
            }
        }
        if (!text) return -1;
        parts.push_back(Part{std::move(text), quote});
        return 1;
    });
    if (r < 0) return nullptr;
    // "%s(%s)" % (type(self).__name__, ", ".join(parts))
    Ref name = type_name(self);
    if (!name) return nullptr;
    for (size_t i = 0; i < parts.size(); ++i) {
        PyObject *text = parts[i].text.get();
        if (!PyUnicode_Check(text)) {  // a part made by a pattern's own "%"
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         static_cast<Py_ssize_t>(i), Py_TYPE(text)->tp_name);
            return nullptr;
        }
    }
    if (!PyUnicode_CheckExact(name.get())) {
        name = Ref::steal(PyObject_Str(name.get()));
        if (!name) return nullptr;
    }
    return print_form(name.get(), parts);
}

// def __repr__(self): return str(self)
PyObject *BaseLogic_repr(Call &c) {
    PyObject *self = c[0];
    Printing p = state.printing.get(Py_TYPE(self), printing_of);
    if (!p.str_fn) return PyObject_Str(self);
    Ref str_fn = Ref::borrow(p.str_fn);  // held, as in print_nested
    DeepGuard guard(" while getting the str of an object");
    if (!guard) return nullptr;
    PyObject *text = print_logic(self);
    if (!text) add_traceback_of(str_fn.get());
    return text;
}

// def __eq__(self, other)
PyObject *BaseLogic_eq(Call &c) {
    PyObject *self = c[0], *other = c[1];
    if (Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_FALSE;
    Ref mine = Ref::steal(PyObject_GetAttr(self, n_expressions));
    if (!mine) return nullptr;
    Ref theirs = Ref::steal(PyObject_GetAttr(other, n_expressions));
    if (!theirs) return nullptr;
    DeepGuard guard(" in comparison");
    if (!guard) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

// ------------------------------------------------------------------ And, Or, Not

const char And_doc[] =
    "Logical And\n"
    "\n"
    "True when all expressions are satisfied, False otherwise.  With several\n"
    "items, True as long as each expression tests true against one of the items.\n";

const char Or_doc[] =
    "Logical Or\n"
    "\n"
    "True when one or more expressions are satisfied, False when none is.  With\n"
    "several items, True as long as one expression tests true against one of the\n"
    "items.\n";

const char Not_doc[] =
    "Logical Not\n"
    "\n"
    "True when no expression is satisfied.  With several items, True only when\n"
    "all items test false.\n";

// The results of one expression over the items, as the list
// [expr(item) for item in items] holds them; released last to first, as a
// list releases its items.
class Results {
public:
    explicit Results(Py_ssize_t n) : n_(n) {
        if (n > kInline) heap_.resize(static_cast<size_t>(n));
    }
    ~Results() {
        if (n_ > kInline)
            for (Py_ssize_t i = n_; i-- > 0;) heap_[static_cast<size_t>(i)].reset();
    }
    Ref &operator[](Py_ssize_t i) {
        return n_ > kInline ? heap_[static_cast<size_t>(i)] : inline_[i];
    }

private:
    static constexpr Py_ssize_t kInline = 8;
    Py_ssize_t n_;
    Ref inline_[kInline];  // destroyed last to first
    std::vector<Ref> heap_;
};

// any(results): the truth test of each result in turn, up to the first true.
int any(Results &results, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        int t = PyObject_IsTrue(results[i].get());
        if (t != 0) return t;
    }
    return 0;
}

// The three rules differ only in what a satisfied expression decides.
enum class Rule { And, Or, Not };

template <Rule rule>
PyObject *test_items(PyObject *self, PyObject *items);

template <Rule rule>
PyObject *logic_call(Call &c);

// Which rule's __call__ calling the class's instances runs: the class's slot
// is the one that looks __call__ up, and the lookup finds one of our three.
Calling calling_of(PyTypeObject *type) {
    PyObject *fn = class_attribute(type, n___call__);
    if (!state.call_slot || type->tp_call != state.call_slot || !fn) return {};
    if (is_function(fn, logic_call<Rule::And>)) return {fn, test_items<Rule::And>};
    if (is_function(fn, logic_call<Rule::Or>)) return {fn, test_items<Rule::Or>};
    if (is_function(fn, logic_call<Rule::Not>)) return {fn, test_items<Rule::Not>};
    return {};
}

// expr(*items) for a nested logic object.  When expr's type calls one of our
// own __call__ functions (the lookup the interpreter's call slot makes finds
// it), its body runs here without the trip through the slot and the argument
// binder; a failure gets the same traceback entry.
Ref call_nested(PyObject *expr, PyObject *items) {
    Calling target = state.calling.get(Py_TYPE(expr), calling_of);
    if (!target.body) return Ref::steal(PyObject_Call(expr, items, nullptr));
    Ref fn = Ref::borrow(target.fn);  // the call may take it out of its class
    Ref result = Ref::steal(target.body(expr, items));
    if (!result) add_traceback_of(fn.get());
    return result;
}

// Whether the items satisfy one expression: 1, 0, or -1 on error.
int satisfied(PyObject *expr, PyObject *items) {
    // isinstance(expr, BaseLogic): the nested object gets all the items at once.
    Ref base = g_BaseLogic.get();
    if (!base) return -1;
    int nested = PyObject_IsInstance(expr, base.get());
    if (nested < 0) return -1;
    if (nested) {
        DeepGuard guard(" while testing a nested logic object");
        if (!guard) return -1;
        Ref result = call_nested(expr, items);
        if (!result) return -1;
        return PyObject_IsTrue(result.get());
    }

    Py_ssize_t n = PyTuple_GET_SIZE(items);
    Results results(n);
    if (PyCallable_Check(expr)) {
        // any([expr(item) for item in items])
        for (Py_ssize_t i = 0; i < n; ++i) {
            results[i] = call(expr, PyTuple_GET_ITEM(items, i));
            if (!results[i]) return -1;
        }
        return any(results, n);
    }
    // any([expr.search(str(item)) for item in items])
    bool is_pattern = fast_paths && Py_TYPE(expr) == reinterpret_cast<PyTypeObject *>(state.pattern_type.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items, i);
        if (is_pattern) {
            // A compiled pattern's `search` is its type's method: looking it
            // up after str(item) instead of before cannot be told apart.
            Ref text = Ref::steal(PyObject_Str(item));
            if (!text) return -1;
            results[i] = call_method(expr, n_search, {text.get()});
        } else {
            Ref search = Ref::steal(PyObject_GetAttr(expr, n_search));
            if (!search) return -1;
            Ref text = Ref::steal(PyObject_Str(item));
            if (!text) return -1;
            results[i] = call(search.get(), text.get());
        }
        if (!results[i]) return -1;
    }
    return any(results, n);
}

// def __call__(self, *items)
template <Rule rule>
PyObject *logic_call(Call &c) {
    return test_items<rule>(c[0], c[1]);
}

template <Rule rule>
PyObject *test_items(PyObject *self, PyObject *items) {
    // As for printing: a plain callable expression may call a logic object
    // in turn, a level that the nested-object guard does not see.
    if (!stack_has_room(" while calling a Python object")) return nullptr;
    Ref expressions = Ref::steal(PyObject_GetAttr(self, n_expressions));
    if (!expressions) return nullptr;
    bool decided = false;
    int r = for_each(expressions.get(), [&](PyObject *expr) -> int {
        int s = satisfied(expr, items);
        if (s < 0) return -1;
        decided = rule == Rule::And ? s == 0 : s == 1;
        return decided ? 0 : 1;
    });
    if (r < 0) return nullptr;
    // And: False at the first unsatisfied expression, else True.
    // Or: True at the first satisfied one, else False.
    // Not: False at the first satisfied one, else True.
    bool answer = rule == Rule::Or ? decided : !decided;
    return boolean(answer).release();
}

// ------------------------------------------------------------------ logic_str

const char logic_str_doc[] =
    "Logic String Conversion\n"
    "\n"
    "Converts a logic form string to objects, mostly for command-line parsing\n"
    "of arguments.\n"
    "\n"
    "Example:\n"
    "    >>> logic = logic_str(\"And('a', 'b')\")\n"
    "    >>> logic('ab')\n"
    "    True\n"
    "\n"
    "The text is read by a parser, never evaluated, so reading it runs no code\n"
    "but the constructors of the logic classes it names.  The parser accepts\n"
    "exactly the printed forms of logic objects:\n"
    "\n"
    "- a call of a name that this module's globals bind to a subclass of\n"
    "  BaseLogic when the text is read (And, Or, Not, BaseLogic, or a subclass\n"
    "  put into the module), with positional arguments only, separated by\n"
    "  commas; a trailing comma is allowed;\n"
    "- each argument is a string literal, another such call, or the name\n"
    "  string, which stands for the argument of logic_str itself;\n"
    "- string literals are written as in Python source for str: single,\n"
    "  double or triple quotes, the prefixes r and u in either case, every\n"
    "  escape sequence Python allows (a backslash that starts none stays, with\n"
    "  the warning that Python's compiler gives), and adjacent literals\n"
    "  concatenated; bytes literals and f-strings are refused;\n"
    "- names are read as Python reads them (non-ASCII letters normalised);\n"
    "  Python's keywords are no names;\n"
    "- white space (spaces, tabs, form feeds and line breaks) may stand\n"
    "  before, after and between the tokens.\n"
    "\n"
    "Every name is checked before any class is called, so a text that names\n"
    "anything else makes no object at all.  The classes receive the values of\n"
    "the literals exactly as Python would pass them, so wherever Python reads\n"
    "the text, the result equals what it gives as an expression in this\n"
    "module; and the result must be a logic object (checked always).  The\n"
    "argument may be a str, or UTF-8 text in bytes or another bytes-like\n"
    "object.\n"
    "\n"
    "Anything else (other names, attribute access, keywords, numbers,\n"
    "operators, comments, a text that is no call, an empty text, bytes that\n"
    "are not UTF-8, a code object), a constructor that fails, a result that\n"
    "is no logic object, and calls nested deeper than the interpreter's\n"
    "recursion limit (a RecursionError) raise ValueError \"Not a properly\n"
    "formatted logic string: ...\" with the argument inserted.  It is raised\n"
    "while handling the original error, which stays attached as its context\n"
    "and tells what was wrong and at which column; a constructor's own error\n"
    "is attached as it was raised.\n"
    "\n"
    "Args:\n"
    "    string: the string form of the input logic.\n"
    "\n"
    "Returns:\n"
    "    A logic expression object.\n";

constexpr Py_UCS4 kEnd = 0xFFFFFFFF;

// "U+00A0": a character as messages name it.
struct CodePoint {
    explicit CodePoint(Py_UCS4 ch) { std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(ch)); }
    char text[16];
};

bool is_blank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\f'; }
bool is_space(Py_UCS4 c) { return is_blank(c) || c == '\n' || c == '\r'; }
bool is_name_start(Py_UCS4 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 128 && c != kEnd);
}
bool is_name_char(Py_UCS4 c) { return is_name_start(c) || (c >= '0' && c <= '9'); }
bool is_quote(Py_UCS4 c) { return c == '\'' || c == '"'; }

// Names that Python reads as keywords, never as names (sorted, for bsearch).
bool is_keyword(const char *s) {
    static const char *const keywords[] = {
        "False", "None", "True", "and", "as", "assert", "async", "await", "break", "class",
        "continue", "def", "del", "elif", "else", "except", "finally", "for", "from", "global",
        "if", "import", "in", "is", "lambda", "nonlocal", "not", "or", "pass", "raise",
        "return", "try", "while", "with", "yield"};
    return std::binary_search(std::begin(keywords), std::end(keywords), s,
                              [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
}

// One step of the program that the parser makes of a text and then runs, in
// the order in which Python evaluates the expression: the class of a call is
// looked up, then its arguments are made, then it is called.
struct Op {
    enum Kind { Load, Push, PushArgument, Call } kind;
    Ref value;           // Load: the name; Push: the literal's value
    Py_ssize_t pos;      // where the construct starts in the text
    Py_ssize_t nargs;    // Call: the number of arguments
};

// Counts nesting levels against the interpreter's recursion limit, without
// recursing in C: the parser keeps its own stack.
class Depth {
public:
    Depth() = default;
    Depth(const Depth &) = delete;
    Depth &operator=(const Depth &) = delete;
    ~Depth() { leave_all(); }
    void leave_all() {
        while (n_ > 0) leave();
    }
    bool enter() {
        if (Py_EnterRecursiveCall(" while parsing a logic string")) return false;
        ++n_;
        return true;
    }
    void leave() {
        Py_LeaveRecursiveCall();
        --n_;
    }

private:
    Py_ssize_t n_ = 0;
};

class Parser {
public:
    // `stripped`: whether the text's first spaces and tabs go, as eval()
    // strips them from the start of a text.
    Parser(PyObject *text, bool stripped)
        : text_(text), kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)),
          len_(PyUnicode_GET_LENGTH(text)), stripped_(stripped) {
        ops_.reserve(16);
        frames_.reserve(4);
    }

    int parse();
    Ref run(PyObject *argument);

private:
    struct Frame {
        Py_ssize_t start;             // where the call's name starts
        Py_ssize_t nargs = 0;
        bool after_argument = false;  // expects ',' or ')'
    };
    // A failure: null as a Ref, -1 as a status.
    struct Failed {
        operator Ref() const { return {}; }
        operator int() const { return -1; }
    };

    Py_UCS4 at(Py_ssize_t i) const {
        return i < len_ ? PyUnicode_READ(kind_, data_, i) : kEnd;
    }
    // Inside brackets: white space and line breaks alike.
    void skip_space() {
        while (is_space(at(pos_))) ++pos_;
    }
    // Outside brackets, where a line break would end the expression: the
    // rest of the line only.
    void skip_blanks() {
        while (is_blank(at(pos_))) ++pos_;
    }
    bool line_break() {
        Py_UCS4 ch = at(pos_);
        if (ch != '\n' && ch != '\r') return false;
        pos_ += ch == '\r' && at(pos_ + 1) == '\n' ? 2 : 1;
        return true;
    }
    // Spaces, tabs and form feeds at the start of a line: whether they indent
    // it (a form feed takes the column back to 0, as the tokenizer counts).
    bool indentation() {
        bool indented = false;
        for (; is_blank(at(pos_)); ++pos_) indented = at(pos_) != '\f';
        return indented;
    }
    int leading();
    int trailing();

    // "column C", or "line L, column C" in a text of several lines.
    Ref where(Py_ssize_t at_pos, Py_ssize_t *line_out = nullptr, Py_ssize_t *col_out = nullptr,
              Ref *line_text = nullptr) const;
    Ref describe(Py_ssize_t i) const;
    Failed syntax_error(Py_ssize_t at_pos, const char *format, ...);
    Failed unexpected(Py_ssize_t at_pos, const char *expected);

    int literal_prefix(Py_ssize_t i, bool *raw, bool *bytes, bool *formatted) const;
    bool literal_starts(Py_ssize_t i) const;
    Ref literals();
    Ref literal();
    Ref decode(Py_ssize_t begin, Py_ssize_t end, bool escapes, bool carriage);
    int warn_escape(Py_ssize_t at_pos, PyObject *category, PyObject *message);
    Ref name(Py_ssize_t *start);
    int call_head(Ref name, Py_ssize_t start);
    int argument();
    int close();
    Ref logic_class(PyObject *name, Py_ssize_t at_pos) const;

    PyObject *text_;  // borrowed from the caller
    int kind_;
    const void *data_;
    Py_ssize_t len_;
    Py_ssize_t pos_ = 0;
    bool stripped_;
    std::vector<Op> ops_;
    std::vector<Frame> frames_;
    Depth depth_;
};

Ref Parser::where(Py_ssize_t at_pos, Py_ssize_t *line_out, Py_ssize_t *col_out,
                  Ref *line_text) const {
    Py_ssize_t line = 1, line_start = 0;
    bool several = false;
    for (Py_ssize_t i = 0; i < len_; ++i) {
        Py_UCS4 ch = at(i);
        if (ch != '\n' && ch != '\r') continue;
        if (ch == '\r' && at(i + 1) == '\n') ++i;
        if (i + 1 >= len_) break;  // a final line break starts no line
        several = true;
        if (i < at_pos) {
            ++line;
            line_start = i + 1;
        }
    }
    Py_ssize_t col = at_pos - line_start + 1;
    if (line_out) *line_out = line;
    if (col_out) *col_out = col;
    if (line_text) {
        Py_ssize_t end = line_start;
        while (end < len_ && at(end) != '\n' && at(end) != '\r') ++end;
        *line_text = Ref::steal(PyUnicode_Substring(text_, line_start, end));
        if (!*line_text) return {};
    }
    if (several) return Ref::steal(PyUnicode_FromFormat("line %zd, column %zd", line, col));
    return Ref::steal(PyUnicode_FromFormat("column %zd", col));
}

// The character at `i` as messages show it.
Ref Parser::describe(Py_ssize_t i) const {
    Py_UCS4 ch = at(i);
    if (ch == kEnd) return Ref::steal(PyUnicode_FromString("the end of the text"));
    if (ch < 0x20 || ch == 0x7f || (ch >= 0x80 && !Py_UNICODE_ISPRINTABLE(ch)))
        return Ref::steal(PyUnicode_FromFormat("character %s", CodePoint(ch).text));
    return Ref::steal(PyUnicode_FromFormat("'%c'", static_cast<int>(ch)));
}

// Raises SyntaxError "<message> at column C", located in the text as the
// interpreter locates its own (line, offset and the line's text).
Parser::Failed Parser::syntax_error(Py_ssize_t at_pos, const char *format, ...) {
    va_list va;
    va_start(va, format);
    Ref what = Ref::steal(PyUnicode_FromFormatV(format, va));
    va_end(va);
    if (!what) return {};
    Py_ssize_t line, col;
    Ref line_text;
    Ref place = where(at_pos, &line, &col, &line_text);
    if (!place) return {};
    Ref message = Ref::steal(PyUnicode_FromFormat("%U at %U", what.get(), place.get()));
    if (!message) return {};
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_SyntaxError, "O(snnO)", message.get(),
                                                 "<logic string>", line, col, line_text.get()));
    if (error) PyErr_SetObject(PyExc_SyntaxError, error.get());
    return {};
}

Parser::Failed Parser::unexpected(Py_ssize_t at_pos, const char *expected) {
    Ref found = describe(at_pos);
    if (!found) return {};
    return syntax_error(at_pos, "expected %s, found %U", expected, found.get());
}

// The prefix of a string literal starting at `i`: its length (0 for none), or
// -1 when no literal starts there.  Prefixes as Python's tokenizer reads them:
// b, r, u, f, and br, rb, fr, rf, in either case.
int Parser::literal_prefix(Py_ssize_t i, bool *raw, bool *bytes, bool *formatted) const {
    bool b = false, r = false, u = false, f = false;
    int n = 0;
    for (;; ++n) {
        Py_UCS4 ch = at(i + n);
        if (is_quote(ch)) break;
        if (n == 2) return -1;
        if ((ch == 'b' || ch == 'B') && !(b || u || f)) b = true;
        else if ((ch == 'u' || ch == 'U') && !(b || u || r || f)) u = true;
        else if ((ch == 'r' || ch == 'R') && !(r || u)) r = true;
        else if ((ch == 'f' || ch == 'F') && !(f || b || u)) f = true;
        else return -1;
    }
    if (raw) *raw = r;
    if (bytes) *bytes = b;
    if (formatted) *formatted = f;
    return n;
}

bool Parser::literal_starts(Py_ssize_t i) const {
    return literal_prefix(i, nullptr, nullptr, nullptr) >= 0;
}

// One or more adjacent string literals, concatenated (joined once at the
// end, so that a long run of literals costs time in proportion to its length).
Ref Parser::literals() {
    Ref value = literal();
    if (!value) return {};
    skip_space();
    if (!literal_starts(pos_)) return value;
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces || PyList_Append(pieces.get(), value.get()) < 0) return {};
    do {
        Ref more = literal();
        if (!more || PyList_Append(pieces.get(), more.get()) < 0) return {};
        skip_space();
    } while (literal_starts(pos_));
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return {};
    return Ref::steal(PyUnicode_Join(empty.get(), pieces.get()));
}

Ref Parser::literal() {
    Py_ssize_t start = pos_;
    bool raw, bytes, formatted;
    pos_ += literal_prefix(pos_, &raw, &bytes, &formatted);
    if (bytes) return syntax_error(start, "bytes literals are not accepted, only str literals");
    if (formatted) return syntax_error(start, "f-strings are not accepted: they run code");
    Py_UCS4 quote = at(pos_);
    bool triple = at(pos_ + 1) == quote && at(pos_ + 2) == quote;
    Py_ssize_t begin = pos_ + (triple ? 3 : 1);
    bool escapes = false, carriage = false;
    Py_ssize_t i = begin;
    // Finds the closing quote as the tokenizer does: a backslash always takes
    // the next character with it, in raw literals too.
    for (;;) {
        Py_UCS4 ch = at(i);
        if (ch == kEnd)
            return syntax_error(start, triple ? "unterminated triple-quoted string literal"
                                              : "unterminated string literal");
        if (ch == 0) return syntax_error(i, "null character in a string literal");
        if (Py_UNICODE_IS_SURROGATE(ch))
            return syntax_error(i, "surrogate %s in a string literal", CodePoint(ch).text);
        if (ch == '\n' || ch == '\r') {
            if (!triple)
                return syntax_error(start, "unterminated string literal (a line break inside "
                                           "single quotes)");
            carriage |= ch == '\r';
            ++i;
            continue;
        }
        if (ch == '\\') {
            escapes = true;
            Py_UCS4 next = at(i + 1);
            if (next == kEnd) {  // reported as unterminated at the next step
                ++i;
                continue;
            }
            if (next == 0) return syntax_error(i + 1, "null character in a string literal");
            if (Py_UNICODE_IS_SURROGATE(next))
                return syntax_error(i + 1, "surrogate %s in a string literal",
                                    CodePoint(next).text);
            if (next == '\r') {
                carriage = true;
                i += at(i + 2) == '\n' ? 3 : 2;
            } else {
                i += 2;
            }
            continue;
        }
        if (ch == quote && (!triple || (at(i + 1) == quote && at(i + 2) == quote))) break;
        ++i;
    }
    pos_ = i + (triple ? 3 : 1);
    return decode(begin, i, escapes && !raw, carriage);
}

// The value of a literal's body [begin, end), as the compiler makes it: line
// breaks read as "\n" (the source's \r\n and \r included), then, unless the
// literal is raw, the escape sequences decoded by the interpreter's own
// decoder, fed the way the compiler feeds it.
Ref Parser::decode(Py_ssize_t begin, Py_ssize_t end, bool escapes, bool carriage) {
    if (!escapes && !carriage) return Ref::steal(PyUnicode_Substring(text_, begin, end));

    // The character at i with line breaks read as "\n"; `step` is its width.
    auto next = [&](Py_ssize_t i, Py_ssize_t *step) {
        Py_UCS4 ch = at(i);
        *step = 1;
        if (ch == '\r') {
            if (i + 1 < end && at(i + 1) == '\n') *step = 2;
            return Py_UCS4('\n');
        }
        return ch;
    };

    if (!escapes) {
        std::vector<Py_UCS4> out;
        out.reserve(static_cast<size_t>(end - begin));
        for (Py_ssize_t i = begin, step; i < end; i += step) out.push_back(next(i, &step));
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                    static_cast<Py_ssize_t>(out.size())));
    }

    // ASCII goes through unchanged, every other character as \UXXXXXXXX, and a
    // backslash before one of them (or at the end) stands for itself (\u005c).
    // `from` remembers which character each byte came from, in runs: a run
    // starts at byte `offset` with the character `src`; its bytes come from
    // src, src + 1, ... in turn, or all from src when `whole` (the escape
    // written for one character).  Runs of plain ASCII take no room.
    struct Run {
        size_t offset;
        Py_ssize_t src;
        bool whole;
    };
    std::string buffer;
    std::vector<Run> from;
    // The first escape the compiler would warn of: where, and its message.
    const compat::EscapeWarnings warnings = compat::escape_warnings();
    Py_ssize_t suspect = -1;
    Ref suspect_message;
    auto put = [&](const char *s, size_t n, Py_ssize_t src) {
        const Run *last = from.empty() ? nullptr : &from.back();
        bool continues = n == 1 && last && !last->whole &&
                         src - last->src == static_cast<Py_ssize_t>(buffer.size() - last->offset);
        if (!continues) from.push_back(Run{buffer.size(), src, n > 1});
        buffer.append(s, n);
    };
    auto put_char = [&](Py_UCS4 ch, Py_ssize_t src) {
        char escaped[11];
        std::snprintf(escaped, sizeof escaped, "\\U%08x", static_cast<unsigned>(ch));
        put(escaped, 10, src);
    };
    for (Py_ssize_t i = begin; i < end;) {
        Py_ssize_t step;
        Py_UCS4 ch = next(i, &step);
        Py_ssize_t src = i;
        if (ch == '\\') {
            i += step;
            if (i >= end) {
                put("\\u005c", 6, src);
                break;
            }
            ch = next(i, &step);
            if (ch >= '0' && ch <= '7') {
                // Up to three octal digits, decoded here: their value may
                // pass 0o377, which some versions warn of.
                Py_UCS4 value = 0;
                char digits[4] = {0, 0, 0, 0};
                for (int k = 0; k < 3 && i < end && at(i) >= '0' && at(i) <= '7'; ++k, ++i) {
                    digits[k] = static_cast<char>(at(i));
                    value = value * 8 + (at(i) - '0');
                }
                if (value > 0377 && warnings.octal && suspect < 0) {
                    suspect = src;
                    suspect_message = Ref::steal(PyUnicode_FromFormat(warnings.octal, digits));
                    if (!suspect_message) return {};
                }
                put_char(value, src);
                continue;
            }
            put("\\", 1, src);
            if (ch >= 0x80) {
                put("u005c", 5, src);
            } else if (!std::strchr("\n\\'\"abfnrtvxNuU", static_cast<int>(ch))) {
                // Not an escape: the backslash stays.  Doubled here, so that
                // the decoder keeps it without a warning of its own; the
                // warning is ours, located in the text.
                if (suspect < 0) {
                    suspect = src;
                    suspect_message = Ref::steal(PyUnicode_FromFormat(warnings.invalid, static_cast<int>(ch)));
                    if (!suspect_message) return {};
                }
                put("\\", 1, src);
            }
            src = i;
        }
        if (ch >= 0x80) {
            put_char(ch, src);
        } else {
            char c = static_cast<char>(ch);
            put(&c, 1, src);
        }
        i += step;
    }
    Ref value = Ref::steal(PyUnicode_DecodeUnicodeEscape(
        buffer.data(), static_cast<Py_ssize_t>(buffer.size()), nullptr));
    if (value) {
        if (suspect >= 0 && warn_escape(suspect, warnings.category, suspect_message.get()) < 0)
            return {};
        return value;
    }
    if (!error_is(PyExc_UnicodeDecodeError)) return value;

    // Report the bad escape where it stands in the text.
    PyObject *type, *error, *tb;
    PyErr_Fetch(&type, &error, &tb);
    PyErr_NormalizeException(&type, &error, &tb);
    Ref held_type = Ref::steal(type), held_error = Ref::steal(error), held_tb = Ref::steal(tb);
    Py_ssize_t bad = 0;
    if (!held_error || PyUnicodeDecodeError_GetStart(held_error.get(), &bad) < 0) return {};
    Ref reason = Ref::steal(PyUnicodeDecodeError_GetReason(held_error.get()));
    if (!reason) return {};
    Py_ssize_t place = begin;
    if (bad >= 0 && static_cast<size_t>(bad) < buffer.size() && !from.empty()) {
        // The last run starting at or before the bad byte.
        auto run = std::upper_bound(from.begin(), from.end(), static_cast<size_t>(bad),
                                    [](size_t b, const Run &r) { return b < r.offset; });
        if (run != from.begin()) {
            --run;
            place = run->whole ? run->src
                               : run->src + static_cast<Py_ssize_t>(static_cast<size_t>(bad) -
                                                                    run->offset);
        }
    }
    return syntax_error(place,
                        "invalid escape sequence in a string literal (%U)", reason.get());
}

// Warns of a suspect escape as the compiler does (its category, located in
// "<logic string>"); a warning turned into an error is reported as a
// SyntaxError, as the compiler reports it.
int Parser::warn_escape(Py_ssize_t at_pos, PyObject *category, PyObject *message) {
    Py_ssize_t line, col;
    if (!where(at_pos, &line, &col)) return -1;
    Ref filename = Ref::steal(PyUnicode_FromString("<logic string>"));
    if (!filename) return -1;
    if (PyErr_WarnExplicitObject(category, message, filename.get(), static_cast<int>(line),
                                 nullptr, nullptr) == 0)
        return 0;
    if (!error_is(category)) return -1;
    PyErr_Clear();
    return syntax_error(at_pos, "%U", message);
}

// A name: the characters that Python's tokenizer takes for one, checked and
// normalised (NFKC) as the compiler does.
Ref Parser::name(Py_ssize_t *start) {
    *start = pos_;
    while (is_name_char(at(pos_))) ++pos_;
    Ref raw = Ref::steal(PyUnicode_Substring(text_, *start, pos_));
    if (!raw) return {};
    if (PyUnicode_MAX_CHAR_VALUE(raw.get()) < 0x80) return raw;
    if (!PyUnicode_IsIdentifier(raw.get()))
        return syntax_error(*start, "invalid character in the name %R", raw.get());
    Ref unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
    if (!unicodedata) return {};
    return call_method(unicodedata.get(), n_normalize, {n_NFKC.get(), raw.get()});
}

// NAME '(' : the start of a call; `name` was read at `start`, and pos_ is
// past the opening parenthesis.
int Parser::call_head(Ref name, Py_ssize_t start) {
    if (!depth_.enter()) {
        // Deeper than the interpreter lets code recurse: say where, once
        // every level is left again (making the error may need some depth).
        depth_.leave_all();
        PyErr_Clear();
        Ref place = where(start);
        if (!place) return -1;
        PyErr_Format(PyExc_RecursionError,
                     "maximum recursion depth exceeded while parsing a logic string "
                     "(calls nested too deeply at %U)",
                     place.get());
        return -1;
    }
    ops_.push_back(Op{Op::Load, std::move(name), start, 0});
    frames_.push_back(Frame{start});
    return 0;
}

int Parser::close() {
    Frame frame = frames_.back();
    frames_.pop_back();
    depth_.leave();
    ++pos_;  // ')'
    ops_.push_back(Op{Op::Call, {}, frame.start, frame.nargs});
    if (!frames_.empty()) {
        ++frames_.back().nargs;
        frames_.back().after_argument = true;
    }
    return 0;
}

// An argument: string literals, a call, or the name `string`.
int Parser::argument() {
    Py_UCS4 ch = at(pos_);
    if (literal_starts(pos_)) {
        Ref value = literals();
        if (!value) return -1;
        ops_.push_back(Op{Op::Push, std::move(value), pos_, 0});
        ++frames_.back().nargs;
        frames_.back().after_argument = true;
        return 0;
    }
    if (!is_name_start(ch)) {
        if (ch >= '0' && ch <= '9')
            return unexpected(pos_, "an argument (numbers are not accepted)");
        return unexpected(pos_, "an argument: a string literal, a logic call or the name string");
    }
    Py_ssize_t start;
    Ref id = name(&start);
    if (!id) return -1;
    const char *text = PyUnicode_AsUTF8(id.get());
    if (!text) return -1;
    if (is_keyword(text)) return syntax_error(start, "the keyword '%s' is not accepted", text);
    skip_space();
    if (at(pos_) == '(') {
        if (std::strcmp(text, "string") == 0)
            return syntax_error(start, "the name string stands for the text itself and cannot "
                                       "be called");
        ++pos_;
        return call_head(std::move(id), start);
    }
    if (std::strcmp(text, "string") == 0) {
        ops_.push_back(Op{Op::PushArgument, {}, start, 0});
        ++frames_.back().nargs;
        frames_.back().after_argument = true;
        return 0;
    }
    if (at(pos_) == '=' && at(pos_ + 1) != '=')
        return syntax_error(start, "keyword arguments are not accepted ('%s=')", text);
    if (at(pos_) == '.')
        return syntax_error(start, "attribute access is not accepted ('%s.')", text);
    return syntax_error(start, "the name '%s' is not accepted here: an argument is a string "
                               "literal, a logic call or the name string", text);
}

// What may stand before the call, as the interpreter reads an expression:
// eval() strips the text's first spaces and tabs; blank lines may follow;
// the line of the call must not be indented.
int Parser::leading() {
    if (stripped_)
        while (at(pos_) == ' ' || at(pos_) == '\t') ++pos_;
    for (;;) {
        Py_ssize_t start = pos_;
        bool indented = indentation();
        if (line_break()) continue;  // a blank line
        if (indented && at(pos_) != kEnd)
            return syntax_error(start, "unexpected indent: the logic call must start its line");
        return 0;
    }
}

// What may follow the call: white space to the end of its line, then blank
// lines; a last line without a line break must not be indented.
int Parser::trailing() {
    skip_blanks();
    if (at(pos_) == kEnd) return 0;
    if (!line_break()) {
        Ref found = describe(pos_);
        if (!found) return -1;
        return syntax_error(pos_, "expected the end of the text after the logic call, found %U",
                            found.get());
    }
    for (;;) {
        Py_ssize_t start = pos_;
        bool indented = indentation();
        if (line_break()) continue;
        if (at(pos_) == kEnd) {
            if (!indented) return 0;
            return syntax_error(start, "unexpected indent: white space after the last line "
                                       "break");
        }
        Ref found = describe(pos_);
        if (!found) return -1;
        return syntax_error(pos_, "expected the end of the text after the logic call, found %U",
                            found.get());
    }
}

// text := call.  Inside its brackets every token may have white space and
// line breaks around it; outside them, line breaks only as leading() and
// trailing() allow.
int Parser::parse() {
    if (leading() < 0) return -1;
    if (at(pos_) == kEnd)
        return syntax_error(pos_, "empty text: expected a logic call such as And('a')");
    if (literal_starts(pos_))
        return syntax_error(pos_, "expected a logic call such as And('a'), found a string "
                                  "literal");
    if (!is_name_start(at(pos_)))
        return unexpected(pos_, "a logic call such as And('a')");
    Py_ssize_t start;
    Ref id = name(&start);
    if (!id) return -1;
    const char *text = PyUnicode_AsUTF8(id.get());
    if (!text) return -1;
    if (is_keyword(text)) return syntax_error(start, "the keyword '%s' is not accepted", text);
    skip_blanks();
    if (at(pos_) != '(') {
        Ref found = describe(pos_);
        if (!found) return -1;
        return syntax_error(pos_, "expected '(' after the name '%s', found %U", text,
                            found.get());
    }
    if (std::strcmp(text, "string") == 0)
        return syntax_error(start, "the name string stands for the text itself and cannot be "
                                   "called");
    ++pos_;
    if (call_head(std::move(id), start) < 0) return -1;

    while (!frames_.empty()) {
        skip_space();
        Py_UCS4 ch = at(pos_);
        if (ch == ')') {
            if (close() < 0) return -1;
            continue;
        }
        if (frames_.back().after_argument) {
            if (ch != ',') return unexpected(pos_, "',' or ')'");
            ++pos_;
            frames_.back().after_argument = false;
            continue;
        }
        if (ch == ',') return unexpected(pos_, "an argument or ')'");
        if (argument() < 0) return -1;
    }
    return trailing();
}

// The class that `name` is bound to in the module's globals, or null with
// NameError or TypeError (naming the place) when it is no logic class.
Ref Parser::logic_class(PyObject *name, Py_ssize_t at_pos) const {
    PyObject *globals = module_globals();
    Ref cls = Ref::borrow(globals ? PyDict_GetItemWithError(globals, name) : nullptr);
    if (!cls) {
        if (PyErr_Occurred()) return {};
        Ref place = where(at_pos);
        if (place)
            PyErr_Format(PyExc_NameError, "name '%U' at %U is not defined in the logic module",
                         name, place.get());
        return {};
    }
    Ref base = g_BaseLogic.get();
    if (!base) return {};
    int ok = PyType_Check(cls.get()) ? PyObject_IsSubclass(cls.get(), base.get()) : 0;
    if (ok > 0) return cls;
    if (ok < 0) return {};
    Ref place = where(at_pos);
    if (!place) return {};
    if (PyType_Check(cls.get()))
        PyErr_Format(PyExc_TypeError, "name '%U' at %U is class '%s', not a logic class", name,
                     place.get(), reinterpret_cast<PyTypeObject *>(cls.get())->tp_name);
    else
        PyErr_Format(PyExc_TypeError, "name '%U' at %U is a '%s' object, not a logic class",
                     name, place.get(), Py_TYPE(cls.get())->tp_name);
    return {};
}

// Runs the program.  Every name is checked before anything is called, so
// that a text naming anything but logic classes makes no object at all; then
// each class is looked up again when its call is reached (a constructor may
// have rebound a global), its arguments are made, and it is called.
Ref Parser::run(PyObject *argument) {
    for (const Op &op : ops_)
        if (op.kind == Op::Load && !logic_class(op.value.get(), op.pos)) return {};

    std::vector<Ref> stack;
    std::vector<PyObject *> args;
    stack.reserve(ops_.size());
    for (const Op &op : ops_) {
        switch (op.kind) {
        case Op::Load: {
            Ref cls = logic_class(op.value.get(), op.pos);
            if (!cls) return {};
            stack.push_back(std::move(cls));
            break;
        }
        case Op::Push:
            stack.push_back(op.value);
            break;
        case Op::PushArgument:
            stack.push_back(Ref::borrow(argument));
            break;
        case Op::Call: {
            size_t first = stack.size() - static_cast<size_t>(op.nargs);
            args.clear();
            for (size_t k = first; k < stack.size(); ++k) args.push_back(stack[k].get());
            Ref result = Args(args.data(), args.size()).call(stack[first - 1].get());
            if (!result) return {};
            // Released last to first, as the interpreter's value stack does.
            while (stack.size() >= first) stack.pop_back();
            stack.push_back(std::move(result));
            break;
        }
        }
    }
    Ref result = std::move(stack.back());
    Ref base = g_BaseLogic.get();
    if (!base) return {};
    int ok = PyObject_IsInstance(result.get(), base.get());
    if (ok < 0) return {};
    if (!ok) {
        Ref place = where(ops_.front().pos);
        if (!place) return {};
        PyErr_Format(PyExc_TypeError, "the call at %U gave a '%s' object, not a logic object",
                     place.get(), Py_TYPE(result.get())->tp_name);
        return {};
    }
    return result;
}

// The text of the argument: a str as it is, bytes-like objects as UTF-8.  As
// eval() reads bytes: their first spaces and tabs are stripped, then a byte
// order mark is skipped, and the text after it is not stripped again
// (`*stripped` tells the parser whether it still strips the text's start).
Ref text_of(PyObject *argument, bool *stripped) {
    *stripped = true;
    if (PyUnicode_Check(argument)) {
        if (compat::str_ready(argument) < 0) return {};
        return Ref::borrow(argument);
    }
    if (PyCode_Check(argument)) {
        PyErr_SetString(PyExc_TypeError,
                        "code objects are not accepted: a logic string is the text of a logic "
                        "expression");
        return {};
    }
    if (PyObject_CheckBuffer(argument)) {
        Py_buffer view;
        if (PyObject_GetBuffer(argument, &view, PyBUF_SIMPLE) < 0) return {};
        const char *bytes = static_cast<const char *>(view.buf);
        Py_ssize_t n = view.len, blanks = 0;
        while (blanks < n && (bytes[blanks] == ' ' || bytes[blanks] == '\t')) ++blanks;
        if (n - blanks >= 3 && std::memcmp(bytes + blanks, "\xef\xbb\xbf", 3) == 0) {
            bytes += blanks + 3;
            n -= blanks + 3;
            *stripped = false;
        }
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes, n, "strict"));
        PyBuffer_Release(&view);
        return text;
    }
    PyErr_Format(PyExc_TypeError, "a logic string must be str or UTF-8 bytes, not '%.200s'",
                 Py_TYPE(argument)->tp_name);
    return {};
}

// Raises ValueError "Not a properly formatted logic string: %s" % (argument,)
// while handling the pending exception, which becomes its context.
PyObject *not_a_logic_string(PyObject *argument) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Ref held_type = Ref::steal(type), held_tb = Ref::steal(tb);
    Ref original = Ref::steal(value);

    Ref args = Ref::steal(PyTuple_Pack(1, argument));
    Ref message = args ? Ref::steal(PyUnicode_Format(state.fmt_not_logic.get(), args.get())) : Ref();
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    // The new error (ours, or one from formatting the message) gets the
    // original as its context.
    PyObject *new_type, *new_value, *new_tb;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    if (new_value && original && new_value != original.get())
        PyException_SetContext(new_value, original.release());  // steals
    PyErr_Restore(new_type, new_value, new_tb);
    return nullptr;
}

// def logic_str(string)
PyObject *logic_str(Call &c) {
    PyObject *argument = c[0];
    Ref result;
    bool stripped;
    if (Ref text = text_of(argument, &stripped)) {
        // Running out of memory is a MemoryError here, replaced below as any
        // other error of the Exception family is.
        result = at_boundary(Ref(), [&] {
            Parser parser(text.get(), stripped);
            return parser.parse() == 0 ? parser.run(argument) : Ref();
        });
    }
    if (result) return result.release();
    // Only errors of the Exception family are replaced (not KeyboardInterrupt,
    // SystemExit and the like).
    if (!error_is(PyExc_Exception)) return nullptr;
    return not_a_logic_string(argument);
}

// ------------------------------------------------------------------ module level

int exec(Module &m) {
    // import re; import logging
    if (m.import("re") < 0 || m.import("logging") < 0) return -1;

    // __all__ = ['And', 'Or', 'Not']
    {
        Ref all = Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not"));
        if (m.set("__all__", std::move(all)) < 0) return -1;
    }
    // logger = logging.getLogger(__name__)
    {
        Ref logging = m.get("logging");
        Ref name = m.get("__name__");
        if (!logging || !name) return -1;
        if (m.set("logger", call_method(logging.get(), n_getLogger, {name.get()})) < 0) return -1;
    }

    Ref re = m.get("re");
    if (!re) return -1;
    {
        // Only the interpreter's own pattern type, whose `search` nobody can
        // change, is searched by the shortcut.
        Ref pattern = Ref::steal(PyObject_GetAttr(re.get(), n_Pattern));
        if (!pattern) return -1;
        if (!PyType_Check(pattern.get()) ||
            (reinterpret_cast<PyTypeObject *>(pattern.get())->tp_flags & Py_TPFLAGS_HEAPTYPE))
            pattern = Ref::borrow(Py_None);
        state.pattern_type.set(std::move(pattern));
    }
    state.fmt_quoted.set(Ref::steal(PyUnicode_InternFromString("'%s'")));
    state.fmt_not_logic.set(Ref::steal(PyUnicode_InternFromString("Not a properly formatted logic string: %s")));
    if (!state.pattern_type || !state.fmt_quoted || !state.fmt_not_logic) return -1;

    // class BaseLogic(object)
    Ref base = m.define_class("BaseLogic", {m.builtin("object")}, BaseLogic_doc, {
        method("__init__", BaseLogic_init, {"self", "*expressions"}, BaseLogic_init_doc),
        method("__call__", BaseLogic_call, {"self"}, BaseLogic_call_doc),
        method("__str__", BaseLogic_str, {"self"}, BaseLogic_str_doc),
        method("__repr__", BaseLogic_repr, {"self"}, BaseLogic_repr_doc),
        method("__eq__", BaseLogic_eq, {"self", "other"}, BaseLogic_eq_doc),
        self_attributes({"expressions"}),
    });
    if (!base) return -1;
    {
        // Its __str__ and __repr__ are ours: the class has the slots that look them up.
        auto *type = reinterpret_cast<PyTypeObject *>(base.get());
        if (!state.str_slot) {
            state.str_slot = type->tp_str;
            state.repr_slot = type->tp_repr;
        }
    }

    // class And(BaseLogic), class Or(BaseLogic), class Not(BaseLogic)
    const struct {
        const char *name, *doc;
        Body call;
    } testing[3] = {
        {"And", And_doc, logic_call<Rule::And>},
        {"Or", Or_doc, logic_call<Rule::Or>},
        {"Not", Not_doc, logic_call<Rule::Not>},
    };
    for (int i = 0; i < 3; ++i) {
        Ref cls = m.define_class(testing[i].name, {base.get()}, testing[i].doc, {
            method("__call__", testing[i].call, {"self", "*items"}),
        });
        if (!cls) return -1;
        // Its __call__ is ours: the class has the slot that looks it up.
        if (!state.call_slot) state.call_slot = reinterpret_cast<PyTypeObject *>(cls.get())->tp_call;
    }

    // def logic_str(string)
    if (m.define_function(function("logic_str", logic_str, {"string"}, logic_str_doc)) < 0)
        return -1;

    // __test__ = {'logic_str (line 177)': logic_str.__doc__}
    Ref fn = m.get("logic_str");
    if (!fn) return -1;
    Ref doc = Ref::steal(PyObject_GetAttr(fn.get(), n___doc__));
    if (!doc) return -1;
    return m.set_test({{"logic_str (line 177)", doc.get()}});
}

}  // namespace

TESSEL_MODULE(logic, "orvane.tessel.logic", nullptr, exec)
