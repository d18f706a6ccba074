// Reference-count arguments about objects the caller did not create: "nobody else can see this
// object", the premise of every in-place change to a bytes or int object.
#pragma once

#include "config.hpp"

namespace qelo::compat {

// True when `obj` is referenced exactly `owned` times and the caller knows where each of those
// references is (its own, a dict slot it just read ...), so no other code can observe the object.
// 3.14+: PyUnstable_Object_IsUniquelyReferenced for the single-owner case (public; it also knows
// about immortal and shared objects). Before: Py_REFCNT, which for an immortal object (3.12+)
// is far above any count a caller can account for.
inline bool owned_only_by(PyObject* obj, Py_ssize_t owned) {
#if PY_VERSION_HEX >= QELO_PY314
    if (owned == 1) return PyUnstable_Object_IsUniquelyReferenced(obj) != 0;
#endif
    return Py_REFCNT(obj) == owned;
}

}  // namespace qelo::compat
