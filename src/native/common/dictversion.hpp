// The version tag of a dict, for caches keyed on "this dict has not changed since".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace qelo {

// Every dict gets a fresh tag from an interpreter-wide counter when it is created and whenever a
// mutation through it changes its contents (storing the value a key already holds is not a
// change), so an equal (dict pointer, tag) pair means the same keys bound to the same objects.
// The field is deprecated from 3.12 on but still maintained through 3.13.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline std::uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#pragma GCC diagnostic pop

}  // namespace qelo
