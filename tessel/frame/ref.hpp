// ref.hpp — owning handles for interpreter objects.
//
// `Ref` owns one reference: every new reference goes into one at once, so that
// every path, failure paths included, releases what it took.  A raw PyObject*
// in this code base is always borrowed.  `Held` is a reference kept for the life
// of the process (module constants); it is never released, because static
// destructors run after the interpreter is gone.
#pragma once

#include "compat.hpp"

#include <utility>

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

// A reference held for the life of the process.
class Held {
public:
    constexpr Held() noexcept = default;
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

}  // namespace tessel
