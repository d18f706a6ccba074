// Text and byte-string helpers whose C API differs between releases.
#pragma once

#include "config.hpp"

#include "../ref.hpp"

namespace qelo::compat {

// Makes the str's characters addressable through PyUnicode_DATA / PyUnicode_KIND.
// 3.11: a str made through the legacy wstr API may still need PyUnicode_READY. From 3.12 every
// str is ready (the call is gone from the API's intent and deprecated), so nothing is done.
inline bool unicode_ready(PyObject* text) {
#if PY_VERSION_HEX < QELO_PY312
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

// Cuts a bytes object that the caller has just created, and that nothing else has seen, to its
// first `size` bytes; takes over the reference and returns the result (null on failure).
// Every release: _PyBytes_Resize, the documented (if underscored) way to shrink a new bytes in
// place. A portable build copies the bytes into a new object of the right size instead.
inline PyObject* shrink_new_bytes(PyObject* bytes, Py_ssize_t size) {
    if (PyBytes_GET_SIZE(bytes) == size) return bytes;
#if QELO_TRICKS
    if (_PyBytes_Resize(&bytes, size) < 0) return nullptr;
    return bytes;
#else
    Ref whole(bytes);
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes), size);
#endif
}

// The exception being raised, taken out of the thread state as one normalised object (the
// caller then owns it and no exception is set). 3.12+: PyErr_GetRaisedException. 3.11:
// PyErr_Fetch and PyErr_NormalizeException, with the traceback attached to the value.
inline Ref take_raised_exception() {
#if PY_VERSION_HEX >= QELO_PY312
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

}  // namespace qelo::compat
