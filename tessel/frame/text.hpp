// text.hpp — building a str piece by piece.
//
// The characters go into one growing buffer of one byte each while they all
// fit (the common case: ASCII and Latin-1 text), and are widened to four
// bytes each at the first one that does not; finish() makes the str in one
// step.  Only the public str API is used.  Growing the buffer may throw
// std::bad_alloc, which the frame turns into MemoryError where the
// interpreter called in.
#pragma once

#include "ref.hpp"

#include <string>

namespace tessel {

class TextWriter {
public:
    TextWriter() = default;
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;

    // Each returns 0, or -1 with an error set.
    int ascii(const char *text, Py_ssize_t n) {
        if (wide_) {
            for (Py_ssize_t i = 0; i < n; ++i) wide_text_.push_back(static_cast<unsigned char>(text[i]));
        } else {
            narrow_.append(text, static_cast<size_t>(n));
        }
        return 0;
    }
    int str(PyObject *s) { return substring(s, 0, PyUnicode_GET_LENGTH(s)); }
    int substring(PyObject *s, Py_ssize_t start, Py_ssize_t end) {
        if (compat::str_ready(s) < 0) return -1;
        int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        if (kind == PyUnicode_1BYTE_KIND && !wide_) {
            narrow_.append(static_cast<const char *>(data) + start, static_cast<size_t>(end - start));
            return 0;
        }
        if (!wide_ && PyUnicode_MAX_CHAR_VALUE(s) > 0xff) widen();
        for (Py_ssize_t i = start; i < end; ++i) {
            Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (wide_) {
                wide_text_.push_back(ch);
            } else if (ch <= 0xff) {
                narrow_.push_back(static_cast<char>(ch));
            } else {
                widen();
                wide_text_.push_back(ch);
            }
        }
        return 0;
    }
    // The text written so far, as a new str (null with an error set).
    PyObject *finish() {
        if (wide_)
            return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_text_.data(),
                                             static_cast<Py_ssize_t>(wide_text_.size()));
        return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, narrow_.data(),
                                         static_cast<Py_ssize_t>(narrow_.size()));
    }

private:
    void widen() {
        wide_text_.reserve(narrow_.size() * 2 + 16);
        for (unsigned char c : narrow_) wide_text_.push_back(c);
        std::string().swap(narrow_);
        wide_ = true;
    }

    std::string narrow_;
    std::u32string wide_text_;
    bool wide_ = false;
};

}  // namespace tessel
