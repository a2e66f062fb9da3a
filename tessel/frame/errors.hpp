// errors.hpp — how failures leave a function: traceback entries and replaced errors.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <type_traits>

// Checks of the frame's invariants, on in the debug build (make debug, and
// the sanitizer build): a failed one prints where and aborts.
#ifndef TESSEL_CHECKS
#define TESSEL_CHECKS 0
#endif
#define TESSEL_CHECK(cond)                                                                      \
    do {                                                                                        \
        if constexpr (TESSEL_CHECKS)                                                            \
            if (!(cond)) ::tessel::check_failed(#cond, __FILE__, __LINE__);                     \
    } while (0)

namespace tessel {

[[noreturn, gnu::cold]] inline void check_failed(const char *what, const char *file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: frame check failed: %s\n", file, line, what);
    std::abort();
}

// Where the interpreter calls in: runs `f` and turns a C++ failure into a
// Python error, so that no C++ exception crosses into the interpreter.
// std::bad_alloc (a container of ours could not grow) becomes MemoryError;
// any other exception is a fault of ours, reported as SystemError.  Every
// slot and entry point of the frame's types runs its work through this, and
// so do the few slots a module defines itself; `failure` is what the slot
// returns with the error set.
template <typename R, typename F>
R at_boundary(R failure, F &&f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error");
    }
    return failure;
}

// A slot for a type or method table: `Fn` run at the boundary, returning
// null (for a pointer) or -1 on a C++ failure; void slots (deallocation,
// finalisation) run as they are and must not throw.
//     t.tp_repr = slot<gen_repr>;
template <auto Fn>
struct Slot;
template <typename R, typename... A, R (*Fn)(A...)>
struct Slot<Fn> {
    static R run(A... a) noexcept {
        if constexpr (std::is_void_v<R>) {
            at_boundary(0, [&] {
                Fn(a...);
                return 0;
            });
        } else if constexpr (std::is_pointer_v<R>) {
            return at_boundary<R>(nullptr, [&] { return Fn(a...); });
        } else {
            return at_boundary<R>(static_cast<R>(-1), [&] { return Fn(a...); });
        }
    }
};
template <auto Fn>
inline constexpr auto slot = &Slot<Fn>::run;

// Where a function or generator body lives, for the traceback entry that a
// failure adds on its way out.  The code object is made on first use and kept.
class Site {
public:
    Site(std::string qualified_name, const char *file, int line)
        : name_(std::move(qualified_name)), file_(file), line_(line) {}
    // Adds the entry to the pending exception.
    void add_traceback();
    // The code object ("gi_code"), made on first use; borrowed.
    PyObject *code();
    const std::string &name() const { return name_; }

private:
    std::string name_;  // e.g. "orvane.tessel.coffer.Coffer.__init__"
    const char *file_;
    int line_;
    PyCodeObject *code_ = nullptr;  // process lifetime
};

// Raises `type(message)` in place of the pending exception, which becomes the
// new exception's __context__ (as `raise` inside `except` does).  Returns nullptr.
PyObject *replace_error(PyObject *type, PyObject *message);
PyObject *replace_error(PyObject *type, const char *message);

// Like PyErr_Format; returns nullptr so that it can end a function.
PyObject *raise(PyObject *type, const char *format, ...);

// True if the pending exception is an instance of `type`.
inline bool error_is(PyObject *type) { return PyErr_ExceptionMatches(type) != 0; }

// Guards C++ recursion that data can drive: deep or cyclic input ends in
// RecursionError instead of a stack overflow.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) : ok_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() { if (ok_) Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    explicit operator bool() const { return ok_; }

private:
    bool ok_;
};

// Whether the running thread's C stack still has room for another level of a
// deep recursion; if not, raises RecursionError ("maximum recursion depth
// exceeded" + where) and returns false.  For recursion whose levels take more
// stack than the interpreter's limit allows for: newer interpreters count C
// levels separately and allow thousands of them.
namespace detail {
// The lowest stack address a deep recursion may reach on this thread: the
// stack's end plus a margin for raising and reporting the error (0: not
// learnt yet; 1: unknown).
[[gnu::tls_model("initial-exec")]] extern thread_local uintptr_t stack_floor;
}  // namespace detail
bool stack_check_slow(const char *where);
[[gnu::always_inline]] inline bool stack_has_room(const char *where) {
    // The frame's own address, not a local's: under AddressSanitizer locals
    // may live on a separate heap-allocated stack.
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > detail::stack_floor && detail::stack_floor)
        return true;
    return stack_check_slow(where);
}

// A RecursionGuard that also watches the C stack itself.
class DeepGuard {
public:
    explicit DeepGuard(const char *where) : guard_(where), ok_(guard_ && stack_has_room(where)) {}
    DeepGuard(const DeepGuard &) = delete;
    DeepGuard &operator=(const DeepGuard &) = delete;
    explicit operator bool() const { return ok_; }

private:
    RecursionGuard guard_;
    bool ok_;
};

// The body of an `except` block: takes the pending exception and makes it the
// one being handled for the life of the scope, so that sys.exc_info() shows it
// and every exception raised meanwhile gets it as __context__.  The exception
// handled before is restored at the end of the scope.
class Handling {
public:
    Handling() {
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
        PyErr_GetExcInfo(&old_type_, &old_value_, &old_tb_);
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(tb_);
        PyErr_SetExcInfo(type_, value_, tb_);  // steals
    }
    ~Handling() {
        PyErr_SetExcInfo(old_type_, old_value_, old_tb_);  // steals
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

    PyObject *value() const { return value_; }  // borrowed
    // A bare `raise`: the handled exception becomes pending again.  Returns nullptr.
    PyObject *reraise() const {
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(tb_);
        PyErr_Restore(type_, value_, tb_);
        return nullptr;
    }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
    PyObject *old_type_ = nullptr, *old_value_ = nullptr, *old_tb_ = nullptr;
};

}  // namespace tessel
