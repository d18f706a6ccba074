// Building one str from many pieces without a temporary object per piece.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

#include <cstring>

namespace qelo::compat {

namespace detail {

// The interpreter's writer for the pieces that do not fit TextWriter's own buffer, or are not ASCII.
// 3.14+: the public PyUnicodeWriter. Trick (3.11-3.13): its predecessor `_PyUnicodeWriter`, the
// interpreter's own writer behind str.format and %-formatting (a struct on the stack, declared in
// the cpython/ headers of those releases). Public before 3.14: a list of pieces joined at the end.
// Every call returns false with an exception set on failure; after that, only destruction.
class SpillWriter {
public:
#if PY_VERSION_HEX >= QELO_PY314
    SpillWriter() noexcept = default;
    ~SpillWriter() {
        if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
    }
    bool start(Py_ssize_t expected) noexcept { return (writer_ = PyUnicodeWriter_Create(expected)) != nullptr; }
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
    PyUnicodeWriter* writer_ = nullptr;
#elif QELO_TRICKS
    SpillWriter() noexcept = default;
    ~SpillWriter() {
        if (started_ && !finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }
    bool start(Py_ssize_t expected) noexcept {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
        writer_.min_length = expected;
        started_ = true;
        return true;
    }
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
    bool started_ = false;
    bool finished_ = false;
#else
    bool start(Py_ssize_t) noexcept { return static_cast<bool>(pieces_ = Ref(PyList_New(0))); }
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
};

}  // namespace detail

// Appends str objects and ASCII text and hands back one exact str, as "".join(pieces) would.
// ASCII pieces are gathered in a buffer of the writer's own; a text that stays ASCII and short
// becomes one new str (PyUnicode_New, filled before anything else sees it: public API) without
// the interpreter's writer being involved at all. Longer or non-ASCII text goes through
// detail::SpillWriter from the first piece that does not fit.
class TextWriter {
public:
    // `expected` is a guess of the final length, allocated up front when the writer is needed.
    explicit TextWriter(Py_ssize_t expected = 0) noexcept : expected_(expected) {}
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // `text` must be a str.
    bool write_str(PyObject* text) noexcept {
        if (PyUnicode_IS_ASCII(text)) {
            const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
            if (!spilled_ && used_ + size <= kBuffer) {
                std::memcpy(buffer_ + used_, PyUnicode_1BYTE_DATA(text), static_cast<size_t>(size));
                used_ += size;
                return true;
            }
        }
        return spill() && spill_.write_str(text);
    }
    bool write_ascii(const char* text, Py_ssize_t size) noexcept {
        if (!spilled_ && used_ + size <= kBuffer) {
            std::memcpy(buffer_ + used_, text, static_cast<size_t>(size));
            used_ += size;
            return true;
        }
        return spill() && spill_.write_ascii(text, size);
    }
    bool write_ascii(const char* text) noexcept { return write_ascii(text, static_cast<Py_ssize_t>(std::strlen(text))); }

    PyObject* finish() noexcept {
        if (spilled_) return spill_.finish();
        PyObject* result = PyUnicode_New(used_, 127);
        if (result != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(result), buffer_, static_cast<size_t>(used_));
        return result;
    }

private:
    static constexpr Py_ssize_t kBuffer = 1024;

    // From now on everything goes to the interpreter's writer, the buffer first.
    bool spill() noexcept {
        if (spilled_) return true;
        spilled_ = true;
        return spill_.start(expected_ > used_ ? expected_ : used_ * 2) && spill_.write_ascii(buffer_, used_);
    }

    Py_ssize_t expected_;
    Py_ssize_t used_ = 0;
    bool spilled_ = false;
    detail::SpillWriter spill_;
    char buffer_[kBuffer];
};

}  // namespace qelo::compat
