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

// Whether a dict watcher (3.12+) watches the dict: its callback runs Python code in the middle of
// a mutation, before the new tag is set, so a tag read after a write no longer proves that only
// that write happened. The low bits of the tag carry the watcher flags.
inline bool dict_is_watched([[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
    return (dict_version(dict) & 0xFF) != 0;
#else
    return false;
#endif
}

}  // namespace qelo
