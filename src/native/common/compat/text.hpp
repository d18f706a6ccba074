// Building one str from many pieces without a temporary object per piece.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

#include <cstring>

namespace qelo::compat {

// Appends str objects and ASCII text and hands back one str, as "".join(pieces) would.
//
// 3.14+: the public PyUnicodeWriter. Trick (3.11-3.13): its predecessor `_PyUnicodeWriter`, the
// interpreter's own writer behind str.format and %-formatting (a struct on the stack, declared in
// the cpython/ headers of those releases). Public before 3.14: a list of pieces joined at the end.
// Every call returns false with an exception set on failure; after that, only destruction.
class TextWriter {
public:
// `expected` is a guess of the final length, allocated up front.
#if PY_VERSION_HEX >= QELO_PY314
    explicit TextWriter(Py_ssize_t expected = 0) noexcept : writer_(PyUnicodeWriter_Create(expected)) {}
    ~TextWriter() {
        if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
    }
    bool ok() const noexcept { return writer_ != nullptr; }
    // `text` must be an exact str.
    bool write_str(PyObject* text) noexcept { return PyUnicodeWriter_WriteStr(writer_, text) == 0; }
    bool write_ascii(const char* text, Py_ssize_t size) noexcept {
        return PyUnicodeWriter_WriteASCII(writer_, text, size) == 0;
    }
    PyObject* finish() noexcept {
        PyObject* result = PyUnicodeWriter_Finish(writer_);
        writer_ = nullptr;
        return result;
    }

private:
    PyUnicodeWriter* writer_;
#elif QELO_TRICKS
    explicit TextWriter(Py_ssize_t expected = 0) noexcept {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
        writer_.min_length = expected;
    }
    ~TextWriter() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }
    bool ok() const noexcept { return true; }
    bool write_str(PyObject* text) noexcept { return _PyUnicodeWriter_WriteStr(&writer_, text) == 0; }
    bool write_ascii(const char* text, Py_ssize_t size) noexcept {
        return _PyUnicodeWriter_WriteASCIIString(&writer_, text, size) == 0;
    }
    PyObject* finish() noexcept {
        finished_ = true;
        return _PyUnicodeWriter_Finish(&writer_);
    }

private:
    _PyUnicodeWriter writer_;
    bool finished_ = false;
#else
    explicit TextWriter(Py_ssize_t = 0) noexcept : pieces_(PyList_New(0)) {}
    bool ok() const noexcept { return static_cast<bool>(pieces_); }
    bool write_str(PyObject* text) noexcept { return PyList_Append(pieces_.get(), text) == 0; }
    bool write_ascii(const char* text, Py_ssize_t size) noexcept {
        Ref piece(PyUnicode_FromStringAndSize(text, size));
        return piece && PyList_Append(pieces_.get(), piece.get()) == 0;
    }
    PyObject* finish() noexcept {
        Ref empty(PyUnicode_FromStringAndSize("", 0));
        if (!empty) return nullptr;
        return PyUnicode_Join(empty.get(), pieces_.get());
    }

private:
    Ref pieces_;
#endif
public:
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    bool write_ascii(const char* text) noexcept { return write_ascii(text, static_cast<Py_ssize_t>(std::strlen(text))); }
};

}  // namespace qelo::compat
