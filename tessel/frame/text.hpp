// text.hpp — building a str piece by piece.
//
// The characters go into a list of fixed-size blocks (no block is ever
// copied to grow), one, two or four bytes each: as wide as the widest
// character written so far, which is kept exactly, so that finish() makes
// the str in its final form with one copy and no second look at the text.
// Only the public str API is used.  A new block may throw std::bad_alloc,
// which the frame turns into MemoryError where the interpreter called in.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <memory>
#include <vector>

namespace tessel {

class TextWriter {
public:
    TextWriter() = default;
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;

    // Each returns 0, or -1 with an error set.  `text` is ASCII.
    int ascii(const char *text, Py_ssize_t n) {
        if (kind_ == PyUnicode_1BYTE_KIND) {
            append(text, static_cast<size_t>(n));
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) put(static_cast<unsigned char>(text[i]));
        }
        return 0;
    }
    int str(PyObject *s) { return substring(s, 0, PyUnicode_GET_LENGTH(s)); }
    int substring(PyObject *s, Py_ssize_t start, Py_ssize_t end) {
        if (compat::str_ready(s) < 0) return -1;
        if (end <= start) return 0;
        int kind = PyUnicode_KIND(s);
        const char *data = static_cast<const char *>(PyUnicode_DATA(s));
        Py_UCS4 high = 0x7f;
        if (!PyUnicode_IS_ASCII(s))
            for (Py_ssize_t i = start; i < end; ++i) {
                Py_UCS4 ch = PyUnicode_READ(kind, data, i);
                if (ch > high) high = ch;
            }
        if (high > max_) raise_max(high);
        if (kind == kind_) {
            append(data + start * kind, static_cast<size_t>((end - start) * kind));
        } else {
            for (Py_ssize_t i = start; i < end; ++i) put(PyUnicode_READ(kind, data, i));
        }
        return 0;
    }
    // The text written so far, as a new str (or null with an error set).
    PyObject *finish() {
        Ref out = Ref::steal(PyUnicode_New(length_, max_));
        if (!out) return nullptr;
        char *to = static_cast<char *>(PyUnicode_DATA(out.get()));
        for (const Block &b : blocks_) {
            std::memcpy(to, b.bytes.get(), b.used);
            to += b.used;
        }
        return out.release();
    }

private:
    static constexpr size_t kBlock = 16384;
    struct Block {
        std::unique_ptr<char[]> bytes;
        size_t used = 0, size = 0;
    };

    void append(const char *bytes, size_t n) {
        length_ += static_cast<Py_ssize_t>(n) / kind_;
        while (n) {
            if (blocks_.empty() || blocks_.back().used == blocks_.back().size) {
                Block b;
                b.size = kBlock;
                b.bytes.reset(new char[kBlock]);
                blocks_.push_back(std::move(b));
            }
            Block &b = blocks_.back();
            size_t take = n < b.size - b.used ? n : b.size - b.used;
            std::memcpy(b.bytes.get() + b.used, bytes, take);
            b.used += take;
            bytes += take;
            n -= take;
        }
    }
    // Appends one character that fits the blocks' width.
    void put(Py_UCS4 ch) {
        if (kind_ == PyUnicode_1BYTE_KIND) {
            char c = static_cast<char>(ch);
            append(&c, 1);
        } else if (kind_ == PyUnicode_2BYTE_KIND) {
            Py_UCS2 c = static_cast<Py_UCS2>(ch);
            append(reinterpret_cast<const char *>(&c), sizeof c);
        } else {
            append(reinterpret_cast<const char *>(&ch), sizeof ch);
        }
    }
    // A character above every one so far is coming: the text's form may widen.
    void raise_max(Py_UCS4 high) {
        max_ = high;
        int kind = high > 0xffff ? PyUnicode_4BYTE_KIND : high > 0xff ? PyUnicode_2BYTE_KIND : PyUnicode_1BYTE_KIND;
        if (kind == kind_) return;
        std::vector<Block> old;
        old.swap(blocks_);
        int was = kind_;
        kind_ = kind;
        length_ = 0;
        for (const Block &b : old)
            for (size_t i = 0; i < b.used / static_cast<size_t>(was); ++i)
                put(PyUnicode_READ(was, b.bytes.get(), static_cast<Py_ssize_t>(i)));
    }

    std::vector<Block> blocks_;
    Py_ssize_t length_ = 0;
    Py_UCS4 max_ = 0x7f;  // the widest character written, at least ASCII's
    int kind_ = PyUnicode_1BYTE_KIND;
};

}  // namespace tessel
