// errors.cpp — traceback entries and replaced errors.
#include "errors.hpp"

#include "module.hpp"

#include <cstdarg>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace tessel {

PyObject *Site::code() {
    if (!code_) code_ = PyCode_NewEmpty(file_, name_.c_str(), line_);
    return reinterpret_cast<PyObject *>(code_);
}

void Site::add_traceback() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *c = code();
    PyObject *globals = module_globals();
    Ref empty;
    if (!globals) {
        empty = Ref::steal(PyDict_New());
        globals = empty.get();
    }
    if (!c || !globals) {  // out of memory: keep the original error, not ours
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_Restore(type, value, tb);
    compat::traceback_here(reinterpret_cast<PyCodeObject *>(c), globals);
}

PyObject *replace_error(PyObject *type, PyObject *message) {
    PyObject *old_type, *old_value, *old_tb;
    PyErr_Fetch(&old_type, &old_value, &old_tb);
    PyErr_NormalizeException(&old_type, &old_value, &old_tb);
    if (old_tb && old_value) PyException_SetTraceback(old_value, old_tb);
    Ref held_type = Ref::steal(old_type), held_tb = Ref::steal(old_tb);
    Ref old = Ref::steal(old_value);

    PyErr_SetObject(type, message);
    if (!old) return nullptr;
    PyObject *new_type, *new_value, *new_tb;
    PyErr_Fetch(&new_type, &new_value, &new_tb);
    PyErr_NormalizeException(&new_type, &new_value, &new_tb);
    if (new_value) PyException_SetContext(new_value, old.release());  // steals
    PyErr_Restore(new_type, new_value, new_tb);
    return nullptr;
}

PyObject *replace_error(PyObject *type, const char *message) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return nullptr;
    return replace_error(type, text.get());
}

PyObject *raise(PyObject *type, const char *format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    return nullptr;
}

namespace {

uintptr_t find_stack_floor() {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void *low = nullptr;
    size_t size = 0;
    int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (failed || !low || !size) return 0;
    size_t margin = size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
    return reinterpret_cast<uintptr_t>(low) + margin;
#else
    return 0;
#endif
}

}  // namespace

namespace detail {
// Initial-exec: read with one instruction relative to the thread pointer,
// not through a call; eight bytes of each library's static TLS.
[[gnu::tls_model("initial-exec")]] thread_local uintptr_t stack_floor = 0;
}  // namespace detail

bool stack_check_slow(const char *where) {
    // The bounds come from the thread itself (pthread_getattr_np): the main
    // thread's stack as its resource limit lets it grow, any other thread's
    // as it was made (threading.stack_size included).  Learnt once per
    // thread; 1 where they cannot be had (no check then).
    if (!detail::stack_floor) {
        uintptr_t floor = find_stack_floor();
        detail::stack_floor = floor ? floor : 1;
        if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > detail::stack_floor) return true;
    }
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

}  // namespace tessel
