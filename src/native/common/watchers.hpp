// Dict and type watchers (3.12+), registered once per interpreter.
#pragma once

#include <Python.h>

#include "compat/config.hpp"
#include "ref.hpp"

namespace qelo {

#if PY_VERSION_HEX >= QELO_PY312
// The id of the watcher `add(callback)` registers, registered by the first call in this
// interpreter. Watchers are scarce (8 of each kind per interpreter, some taken by CPython), so the
// id is kept in the interpreter's dict under `name` and the callback's address: every instance of
// the calling module and every re-import share it, and each extension library (its own copy of
// the callback, hidden from the others) has its own. -1 when there is none to be had (no
// interpreter dict, every slot taken), no exception; -2 with an exception set.
template <typename Callback>
int interpreter_watcher(const char* name, Callback callback, int (*add)(Callback), int (*clear)(int)) {
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interp_dict == nullptr) return -1;
    Ref key(PyUnicode_FromFormat("%s.%p", name, reinterpret_cast<void*>(callback)));
    if (!key) return -2;
    if (PyObject* known = PyDict_GetItemWithError(interp_dict, key.get())) {
        const long id = PyLong_AsLong(known);
        return PyErr_Occurred() ? -2 : static_cast<int>(id);
    }
    if (PyErr_Occurred()) return -2;
    const int id = add(callback);
    if (id < 0) {
        PyErr_Clear();
        return -1;
    }
    Ref value(PyLong_FromLong(id));
    if (!value || PyDict_SetItem(interp_dict, key.get(), value.get()) < 0) {
        clear(id);
        return -2;
    }
    return id;
}
#endif

}  // namespace qelo
