// One argument parser for METH_FASTCALL | METH_KEYWORDS functions and vectorcall slots.
// Positional or keyword arguments under the contract's parameter names, defaults left to the
// caller (a slot stays null), and TypeError texts worded as the interpreter words them for a
// Python function of the same signature.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <initializer_list>
#include <type_traits>

namespace qelo {

// A METH_FASTCALL | METH_KEYWORDS function and what a PyMethodDef holds for it.
using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// The one cast of such a function to the PyCFunction type a PyMethodDef declares (the interpreter
// calls it by its flags), through a plain function pointer so that compilers see it is meant.
inline PyCFunction as_cfunction(FastcallFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

struct Signature {
    const char* name;             // display name, e.g. "integer2bits" or "RestreamedBytesIO.read"
    const char* const* params;    // parameter names after any implicit self
    Py_ssize_t nparams;
    Py_ssize_t nrequired;         // the first nrequired parameters have no default
    bool is_method = false;       // counts self in the "takes N positional arguments" message
    bool extra_positional = false;  // a trailing *args: surplus positional arguments are accepted
};

namespace detail {

inline bool name_equals(PyObject* key, const char* name) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return static_cast<size_t>(len) == std::strlen(name) && std::memcmp(text, name, len) == 0;
}

inline void raise_too_many(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t self = sig.is_method ? 1 : 0;
    const Py_ssize_t lo = sig.nrequired + self, hi = sig.nparams + self, got = given + self;
    const char* were = got == 1 ? "was" : "were";
    if (lo == hi) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.name, hi,
                     hi == 1 ? "" : "s", got, were);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                     sig.name, lo, hi, got, were);
    }
}

inline void raise_missing(const Signature& sig, PyObject* const* out) {
    Ref names(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < sig.nrequired; ++i) {
        if (out[i] != nullptr) continue;
        Ref quoted(PyUnicode_FromFormat("'%s'", sig.params[i]));
        if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return;
    }
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text;
    if (n == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        Ref head(PyList_GetSlice(names.get(), 0, n - 1));
        Ref comma(PyUnicode_FromString(", "));
        if (!head || !comma) return;
        Ref joined(PyUnicode_Join(comma.get(), head.get()));
        if (!joined) return;
        // The interpreter writes "'a' and 'b'" for two names and "'a', 'b', and 'c'" for more.
        text = Ref(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", joined.get(),
                                        PyList_GET_ITEM(names.get(), n - 1)));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", sig.name, n,
                 n == 1 ? "" : "s", text.get());
}

}  // namespace detail

// Fills out[0 .. sig.nparams) with borrowed pointers (null where an optional argument was not
// given). Returns false with TypeError set on a bad call.
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) out[i] = nullptr;
    if (nargs > sig.nparams && !sig.extra_positional) {
        detail::raise_too_many(sig, nargs);
        return false;
    }
    const Py_ssize_t npos = nargs < sig.nparams ? nargs : sig.nparams;
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t slot = -1;
            // Parameter names are short ASCII, so a length check plus memcmp is all it costs.
            for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
                if (detail::name_equals(key, sig.params[i])) {
                    slot = i;
                    break;
                }
            }
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
                return false;
            }
            if (out[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                             sig.params[slot]);
                return false;
            }
            out[slot] = args[nargs + k];
        }
    }
    for (Py_ssize_t i = 0; i < sig.nrequired; ++i) {
        if (out[i] == nullptr) {
            detail::raise_missing(sig, out);
            return false;
        }
    }
    return true;
}

// Refuses any argument: for methods that take only self.
inline bool parse_no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames, bool is_method = true) {
    nargs = PyVectorcall_NARGS(nargs);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", name,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    if (nargs > 0) {
        const Py_ssize_t self = is_method ? 1 : 0;
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", name, self,
                     self == 1 ? "" : "s", nargs + self, nargs + self == 1 ? "was" : "were");
        return false;
    }
    return true;
}

}  // namespace qelo

namespace qelo {

namespace detail {
template <typename Result>
constexpr Result call_failed() {
    if constexpr (std::is_pointer_v<Result>) return nullptr;
    else if constexpr (std::is_same_v<Result, bool>) return false;
    else return -1;
}
}  // namespace detail

// The one adapter from a tp_call/tp_init call (an argument tuple and an optional keyword dict) to
// the vectorcall layout the parser and the fastcall entries take: body(stack, nargs, kwnames).
// Without keywords the tuple's own items are the stack. With keywords, the keys and values are
// held in tuples of their own for the whole call, so nothing the body runs can free them. A
// failure here gives the body's failure value (null, false or -1) with the exception set.
template <typename Body>
auto with_fastcall(PyObject* args, PyObject* kwargs, Body&& body) -> decltype(body(nullptr, 0, nullptr)) {
    using Result = decltype(body(nullptr, 0, nullptr));
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return body(nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, nullptr);
    Ref stack(PyTuple_New(nargs + nkw));
    Ref kwnames(PyTuple_New(nkw));
    if (!stack || !kwnames) return detail::call_failed<Result>();
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.get(), i, Ref::borrow(PyTuple_GET_ITEM(args, i)).release());
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Ref::borrow(key).release());
        PyTuple_SET_ITEM(stack.get(), nargs + k, Ref::borrow(value).release());
        ++k;
    }
    return body(&PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get());
}

}  // namespace qelo
