// Module-namespace helpers: names resolved at call time, interned name tables kept in module
// state, and the star import of a helper module.
#pragma once

#include "outcome.hpp"
#include "ref.hpp"

#include <array>
#include <cstddef>

namespace qelo {

// Interned strings for the names a module resolves at call time. Lives in module state.
template <std::size_t N>
struct NameTable {
    std::array<PyObject*, N> items{};

    bool init(const std::array<const char*, N>& texts) {
        for (std::size_t i = 0; i < N; ++i) {
            items[i] = PyUnicode_InternFromString(texts[i]);
            if (items[i] == nullptr) return false;
        }
        return true;
    }
    int traverse(visitproc visit, void* arg) {
        for (PyObject* o : items) Py_VISIT(o);
        return 0;
    }
    void clear() {
        for (PyObject*& o : items) Py_CLEAR(o);
    }
    PyObject* operator[](std::size_t i) const { return items[i]; }
};

// What a global name means inside a function of the module: the module dict first, then the
// builtins. Returns a new reference, or null with NameError (or the lookup's own error) set.
inline Ref lookup_global(PyObject* module_dict, PyObject* name) {
    Ref found;
    if (const int got = dict_get(module_dict, name, found); got != 0) return got > 0 ? std::move(found) : Ref();
    if (PyObject* builtins = PyEval_GetBuiltins(); builtins != nullptr) {
        if (const int got = dict_get(builtins, name, found); got != 0) return got > 0 ? std::move(found) : Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// `from <source> import *` into module_dict: the names of __all__ when the source has it,
// otherwise every name not starting with an underscore.
inline bool star_import(PyObject* module_dict, const char* source) {
    Ref module(PyImport_ImportModule(source));
    if (!module) return false;
    Ref all(PyObject_GetAttrString(module.get(), "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        PyObject* source_dict = PyModule_GetDict(module.get());
        if (source_dict == nullptr) return false;
        Ref keys(PyDict_Keys(source_dict));
        if (!keys) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            if (!PyUnicode_Check(key) || PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) == '_') {
                continue;
            }
            Ref value(PyObject_GetAttr(module.get(), key));
            if (!value || PyDict_SetItem(module_dict, key, value.get()) < 0) return false;
        }
        return true;
    }
    Ref iter(PyObject_GetIter(all.get()));
    if (!iter) return false;
    Ref key;
    int got;
    while ((got = next_item(iter.get(), key)) > 0) {
        Ref value(PyObject_GetAttr(module.get(), key.get()));
        if (!value || PyDict_SetItem(module_dict, key.get(), value.get()) < 0) return false;
    }
    return got == 0;
}

}  // namespace qelo
