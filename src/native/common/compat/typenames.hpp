// Whether a class (or one of its bases) defines any of several names: the check that attribute
// access on its instances reaches their own dict for those names.
#pragma once

#include "config.hpp"
#include "type.hpp"
#include "../ref.hpp"

namespace qelo::compat {

// True when the class dicts along `type`'s MRO bind none of `names[0 .. count)`. Runs no Python
// code (exact str names, class dicts are exact dicts).
// Trick (3.11-3.15): one type_lookup per name, answered from the per-type method cache.
// Public: each class dict along the MRO fetched once and asked for every name.
inline bool type_defines_none(PyTypeObject* type, PyObject* const* names, std::size_t count) {
#if QELO_TRICKS
    for (std::size_t i = 0; i < count; ++i) {
        if (type_lookup(type, names[i]) != nullptr) return false;
    }
    return true;
#else
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) return false;
    SavedError saved;
    for (Py_ssize_t m = 0, n = PyTuple_GET_SIZE(mro); m < n; ++m) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, m)));
        if (!dict) return false;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* found = PyDict_GetItemWithError(dict.get(), names[i]);
            if (found != nullptr) return false;
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
        }
    }
    return true;
#endif
}

}  // namespace qelo::compat
