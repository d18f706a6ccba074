// Attribute and class-dict lookups without the cost of raising and clearing AttributeError.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

namespace qelo::compat {

// Sets the pending exception aside for its lifetime and restores it afterwards.
class SavedError {
public:
#if PY_VERSION_HEX >= QELO_PY312
    SavedError() noexcept : error_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(error_); }
#else
    SavedError() noexcept { PyErr_Fetch(&type_, &error_, &traceback_); }
    ~SavedError() { PyErr_Restore(type_, error_, traceback_); }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX < QELO_PY312
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* error_ = nullptr;
};

// What `name` finds in the class dicts along `type`'s MRO, as a borrowed reference, or null (with
// no exception set, as the interpreter's own lookup behaves: a failing lookup counts as absent).
// The object is kept alive by the class; use it before running any Python code.
//
// Trick (3.11-3.15): `_PyType_Lookup`, which answers from the per-type method cache.
// Public: the MRO tuple and each class's dict (PyType_GetDict from 3.12; `tp_dict` before).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if QELO_TRICKS
    return _PyType_Lookup(type, name);
#else
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) return nullptr;
    SavedError saved;  // a pending exception survives, as with the private call
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n && found == nullptr; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= QELO_PY312
        Ref dict(PyType_GetDict(base));
#else
        Ref dict = Ref::borrow(base->tp_dict);
#endif
        if (!dict) continue;
        found = PyDict_GetItemWithError(dict.get(), name);  // borrowed: the class keeps its dict
        if (found == nullptr) PyErr_Clear();
    }
    return found;
#endif
}

// getattr(obj, name) that tells "absent" apart without raising: 1 found (`out` holds it), 0 absent
// (AttributeError swallowed, `out` empty), -1 another error.
// 3.13+: PyObject_GetOptionalAttr (public). Trick (3.11/3.12): its predecessor
// `_PyObject_LookupAttr`. Public before 3.13: PyObject_GetAttr and clearing AttributeError.
inline int get_optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= QELO_PY313
    const int found = PyObject_GetOptionalAttr(obj, name, &value);
#elif QELO_TRICKS
    const int found = _PyObject_LookupAttr(obj, name, &value);
#else
    value = PyObject_GetAttr(obj, name);
    int found = value != nullptr ? 1 : -1;
    if (found < 0 && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        found = 0;
    }
#endif
    out = Ref(value);
    return found;
}

}  // namespace qelo::compat
