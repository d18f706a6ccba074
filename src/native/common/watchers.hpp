// Dict and type watchers (3.12+), registered once per interpreter.
#pragma once

#include <Python.h>

#include <climits>

#include "compat/config.hpp"
#include "outcome.hpp"
#include "ref.hpp"

namespace qelo {

#if PY_VERSION_HEX >= QELO_PY312
// The id of the watcher `add(callback)` registers, registered by the first call in this
// interpreter. Watchers are scarce (8 of each kind per interpreter, some taken by CPython), so the
// id is kept in the interpreter's dict under `name` and the callback's address: every instance of
// the calling module and every re-import share it, and each extension library (its own copy of
// the callback, hidden from the others) has its own. 1 with `id` set, 0 when there is none to be
// had (no interpreter dict, every slot taken; no exception), -1 with an exception set.
template <typename Callback>
int find_interpreter_watcher(const char* name, Callback callback, int (*add)(Callback), int (*clear)(int), int& id) {
    id = -1;
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interp_dict == nullptr) return 0;
    Ref key(PyUnicode_FromFormat("%s.%p", name, reinterpret_cast<void*>(callback)));
    if (!key) return -1;
    Ref known;
    const int found = dict_get(interp_dict, key.get(), known);
    if (found < 0) return -1;
    if (found > 0) {
        // Only this function stores under the key, an exact int that is a watcher id.
        if (!PyLong_CheckExact(known.get())) {
            PyErr_Format(PyExc_TypeError, "%s: the interpreter's watcher id is not an int", name);
            return -1;
        }
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(known.get(), &overflow);  // an exact int: never raises
        if (overflow != 0 || value < 0 || value > INT_MAX) return 0;
        id = static_cast<int>(value);
        return 1;
    }
    const int added = add(callback);
    if (added < 0) {
        PyErr_Clear();
        return 0;
    }
    Ref value(PyLong_FromLong(added));
    if (!value || PyDict_SetItem(interp_dict, key.get(), value.get()) < 0) {
        clear(added);
        return -1;
    }
    id = added;
    return 1;
}
#endif

}  // namespace qelo
