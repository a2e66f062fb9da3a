// ref.hpp — owning handles for interpreter objects.
//
// `Ref` owns one reference: every new reference goes into one at once, so that
// every path, failure paths included, releases what it took.  A raw PyObject*
// in this code base is always borrowed.  `Held` is a reference kept for the life
// of the process (module constants); it is never released, because static
// destructors run after the interpreter is gone.
#pragma once

#include "compat.hpp"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tessel {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref &other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    // Takes the new value before the old one is released: the release may run
    // arbitrary code that reads this handle.
    Ref &operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref &other) noexcept { std::swap(p_, other.p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

class Held;
// Every Held of the library, for the frame to visit (see visit_held).
void register_held(Held *held);

// A reference held for the life of the process.  A module keeps its Held
// objects (and the caches of its fast paths) as members of its one `State`
// struct; each registers itself with the frame, which visits them all.
class Held {
public:
    Held() noexcept { register_held(this); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    void set(Ref r) noexcept { if (!p_) p_ = r.release(); }
    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// Calls with positional arguments only, through vectorcall.
template <typename... A>
Ref call(PyObject *callable, A... args) {
    PyObject *argv[sizeof...(A) + 1] = {nullptr, args...};
    return Ref::steal(compat::vectorcall(callable, argv + 1,
                                         sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The arguments of one call, laid out for vectorcall with two free slots in
// front: one for an object to prepend (a method's self) and the one that
// PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use.  Any number of them.
class Args {
public:
    explicit Args(std::initializer_list<PyObject *> args) : Args(args.begin(), args.size()) {}
    // The `n` arguments at `args` (a count known only at run time).
    Args(PyObject *const *args, size_t n) : n_(n) {
        PyObject **p = inline_;
        if (n_ + 2 > kInline) {
            heap_.resize(n_ + 2);
            p = heap_.data();
        }
        std::copy(args, args + n, p + 2);
        base_ = p;
    }
    Args(const Args &) = delete;
    Args &operator=(const Args &) = delete;

    // callable(*args), the last len(kwnames) arguments passed by those names.
    Ref call(PyObject *callable, PyObject *kwnames = nullptr) const {
        return Ref::steal(compat::vectorcall(callable, base_ + 2, positional(kwnames) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             kwnames));
    }
    // callable(self, *args): a method descriptor called without binding.
    Ref call_with_self(PyObject *callable, PyObject *self, PyObject *kwnames = nullptr) const {
        base_[1] = self;
        return Ref::steal(compat::vectorcall(callable, base_ + 1,
                                             (positional(kwnames) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

private:
    size_t positional(PyObject *kwnames) const {
        return n_ - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    }
    static constexpr size_t kInline = 8;
    size_t n_;
    PyObject *inline_[kInline];
    std::vector<PyObject *> heap_;
    PyObject **base_;
};

}  // namespace tessel
