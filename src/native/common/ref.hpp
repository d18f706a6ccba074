// Owned references and small RAII helpers shared by every qelo extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qelo {

// Owns one strong reference (or none). Move-only; the destructor drops it. Borrowed pointers stay
// plain PyObject* and must not outlive the Ref they were taken from.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    static Ref steal(PyObject* owned) noexcept { return Ref(owned); }
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (typically as a function's return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // Replaces the owned reference; the old one is dropped after the new one is stored, so a
    // destructor that runs Python code never sees a half-updated owner.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, owned);
        Py_XDECREF(old);
    }
    Ref dup() const noexcept { return borrow(obj_); }

private:
    PyObject* obj_ = nullptr;
};

// Pairs Py_EnterRecursiveCall with Py_LeaveRecursiveCall on every path. Check it before use:
// a false guard means RecursionError is set.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace qelo
