// An object's life: reusing the memory of a freed object for a new one of the same class, and
// freeing deep chains of objects without deep C recursion.
#pragma once

#include "config.hpp"

namespace qelo::compat {

// Whether instances of `type` may be kept when freed and revived later as new instances with
// revive_object, saving the allocator round trip. Asked once per class.
// Trick (3.11-3.15): the instances are collector objects freed by PyObject_GC_Del, with no
// finalizer and no items, so a kept one is nothing but memory in the collector's layout that
// PyObject_Init can make an object again. Public: false (nothing is ever kept or revived).
inline bool object_reuse_possible([[maybe_unused]] const PyTypeObject* type) {
#if QELO_TRICKS
    return type != nullptr && PyType_HasFeature(const_cast<PyTypeObject*>(type), Py_TPFLAGS_HAVE_GC) &&
           type->tp_itemsize == 0 && type->tp_finalize == nullptr && type->tp_free == PyObject_GC_Del;
#else
    return false;
#endif
}

// Makes `memory`, an instance of `type` that was emptied, untracked and kept instead of being freed
// (only where object_reuse_possible(type)), a new instance again: reference count 1 and a new
// reference to its class, exactly as tp_alloc leaves an object (the caller resets its own fields,
// and tracks it once they are filled in). Trick: PyObject_Init on the kept memory. Public: never
// called; gives null with SystemError set.
inline PyObject* revive_object(PyObject* memory, PyTypeObject* type) {
#if QELO_TRICKS
    return PyObject_Init(memory, type);
#else
    (void)memory, (void)type;
    PyErr_SetString(PyExc_SystemError, "qelo: an object was kept for reuse in a build that reuses none");
    return nullptr;
#endif
}

// Runs `release` (the body of the deallocator `dealloc` of `self`'s class, everything but freeing
// the memory when it calls tp_free itself), keeping the C stack flat when freeing `self` frees a
// long chain of nested objects: the interpreter's trashcan defers the levels beyond its limit.
// Trick (3.11, 3.12, where the trashcan costs two calls at every level and only counts nesting):
// the first `limit` levels, counted in `*depth` (the caller's counter, which may only overstate a
// thread's depth; null: none), run directly, and only deeper ones through the trashcan.
// Public (and 3.13+, where the trashcan is cheap): the trashcan at every level.
template <typename Release>
inline void release_nested([[maybe_unused]] PyObject* self, [[maybe_unused]] destructor dealloc,
                           [[maybe_unused]] int* depth, [[maybe_unused]] int limit, Release&& release) {
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY313)
    if (depth != nullptr && *depth < limit) {
        ++*depth;
        release();
        --*depth;
        return;
    }
#endif
    Py_TRASHCAN_BEGIN(self, dealloc)
    release();
    Py_TRASHCAN_END
}

}  // namespace qelo::compat
