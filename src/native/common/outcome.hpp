// How every C++ function of qelo reports failure, and how a fast path says "not here".
//
// Failure is reported the interpreter's way, with the exception set, by the return value alone:
//   * a pointer (PyObject*, Ref, a plain pointer): null;
//   * int: -1. An int that answers a question is 1 (yes) or 0 (no) otherwise, as PyObject_IsTrue
//     is; one that looks something up is 1 (found: the result is in its out-parameter) or 0 (absent),
//     as PyDict_GetItemRef is;
//   * bool: false.
// Null, -1 and false mean that and nothing else, and never come without an exception, so no caller
// asks PyErr_Occurred() what a result meant. A function that cannot fail (it answers from memory,
// or swallows what it may not raise) says so beside its declaration; its bool or int is an answer.
//
// A fast path, which stands in for the general path only where it gives the same result, returns
// Fast (with its result in an out-parameter when it has one):
//   * Done:     the job is done;
//   * Declined: nothing observable was done and no exception is set: take the general path, which
//               then gives the result (or the error) the input deserves;
//   * Failed:   the exception is set, as with null, -1 or false.
//
// The interpreter's own calls whose null does not always carry an exception (a dict lookup, the
// next item of an iterator) are used through the two functions below, which follow the rule.
#pragma once

#include "compat/config.hpp"
#include "ref.hpp"

namespace qelo {

enum class Fast { Done, Declined, Failed };

// dict[key], where a missing key is no error: 1 with `out` holding the value (a strong reference),
// 0 when the key is absent, -1 with an exception set (a key's __eq__ or __hash__ raised).
// 3.13+: PyDict_GetItemRef. Before: PyDict_GetItemWithError.
inline int dict_get(PyObject* dict, PyObject* key, Ref& out) {
#if PY_VERSION_HEX >= QELO_PY313
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(dict, key, &value);
    out = Ref(value);
    return found;
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    out = Ref::borrow(value);
    if (value != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// dict[key] borrowed, for hot paths that use the value before any code can run: 1 with `out`
// pointing at the value (valid only while the dict keeps it), 0 when the key is absent, -1 with an
// exception set. The one place that tells PyDict_GetItemWithError's null apart.
inline int dict_peek(PyObject* dict, PyObject* key, PyObject*& out) {
    out = PyDict_GetItemWithError(dict, key);
    if (out != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// The next item of `iterator` (an iterator, as PyObject_GetIter gives): 1 with `out` holding it, 0
// when the iterator is exhausted, -1 with an exception set.
// 3.14+: PyIter_NextItem. Before: PyIter_Next, whose null is an error only with an exception set.
inline int next_item(PyObject* iterator, Ref& out) {
#if PY_VERSION_HEX >= QELO_PY314
    PyObject* item = nullptr;
    const int got = PyIter_NextItem(iterator, &item);
    out = Ref(item);
    return got;
#else
    out = Ref(PyIter_Next(iterator));
    if (out) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace qelo
