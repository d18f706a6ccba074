// What a class holds and where it comes from: attribute and class-dict lookups without the cost of
// raising and clearing AttributeError, its dict, its module, and a number that tells it unchanged.
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

// The class's own dict (a new reference; null only if the interpreter has none for it, which never
// happens for a ready class). Not a trick: the public way differs by release. 3.12+:
// PyType_GetDict (the field is no longer meant to be read, and static builtin classes keep their
// dict elsewhere). 3.11: the documented `tp_dict` slot.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= QELO_PY312
    return Ref(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// The module whose state a heap class made by PyType_FromModuleAndSpec was created with, as a
// borrowed reference (the class keeps it alive); null, with no exception set (a pending one
// survives), for any other class. Trick (3.11-3.15): the heap type's `ht_module` field, read
// inline. Public: PyType_GetModule, its TypeError for a class without a module swallowed.
inline PyObject* type_module(PyTypeObject* type) {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
#if QELO_TRICKS
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
#else
    const auto module_or_null = [type]() -> PyObject* {
        PyObject* module = PyType_GetModule(type);
        if (module == nullptr) PyErr_Clear();
        return module;
    };
    if (PyErr_Occurred()) {
        SavedError saved;
        return module_or_null();
    }
    return module_or_null();
#endif
}

// A number that changes whenever `type` or one of its bases changes, so that whatever was decided
// about the class under one non-zero number holds while the number stays. 0: cannot tell (the class
// changed since it last had one, or this build has none), then decide again every time.
// Trick (3.11-3.15): `tp_version_tag`, which the method cache uses and every change of a class
// dict along the MRO resets. Public: 0, always.
inline unsigned int type_version([[maybe_unused]] PyTypeObject* type) {
#if QELO_TRICKS
    return type->tp_version_tag;
#else
    return 0;
#endif
}

// type_version(type), given a number first if it has none: a class that changed (or was never
// looked up through the method cache) gets one now. Still 0 when the interpreter has none to give
// (its numbers ran out) or this build has none. `probe` (an exact str; 3.11 only) is a name looked up
// on the class for its side effect. Trick: 3.12+ PyUnstable_Type_AssignVersionTag (public, unstable
// tier) and the field; 3.11 has no call for it, but a lookup through the method cache assigns one.
// Public: 0, always.
inline unsigned int type_version_assigned([[maybe_unused]] PyTypeObject* type, [[maybe_unused]] PyObject* probe) {
#if QELO_TRICKS && PY_VERSION_HEX >= QELO_PY312
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return 0;
    return type->tp_version_tag;
#elif QELO_TRICKS
    if (type->tp_version_tag == 0) {
        Ref found;
        if (get_optional_attr(reinterpret_cast<PyObject*>(type), probe, found) < 0) PyErr_Clear();
    }
    return type->tp_version_tag;
#else
    return 0;
#endif
}

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
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) continue;
        found = PyDict_GetItemWithError(dict.get(), name);  // borrowed: the class keeps its dict
        if (found == nullptr) PyErr_Clear();
    }
    return found;
#endif
}

}  // namespace qelo::compat
