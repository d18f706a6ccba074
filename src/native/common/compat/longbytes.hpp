// Python ints to and from big-endian byte buffers, without the argument parsing of int.from_bytes
// and int.to_bytes.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

#include <cstring>

namespace qelo::compat {

namespace detail {

// int.from_bytes(view of the buffer, "big", signed=is_signed): the public way before 3.13. Up to
// 8 bytes fit a machine word, which PyLong_From(Unsigned)LongLong convert without the call.
inline PyObject* from_bytes_method(const unsigned char* p, size_t n, bool is_signed) {
    if (n <= 8) {
        unsigned long long word = 0;
        for (size_t i = 0; i < n; ++i) word = word << 8 | p[i];
        if (!is_signed || n == 0 || p[0] < 0x80) return PyLong_FromUnsignedLongLong(word);
        if (n < 8) word |= ~0ULL << (8 * n);  // sign-extend
        return PyLong_FromLongLong(static_cast<long long>(word));
    }
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref view(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<unsigned char*>(p)),
                                     static_cast<Py_ssize_t>(n), PyBUF_READ));
    Ref method(PyUnicode_InternFromString("from_bytes"));
    Ref order(PyUnicode_InternFromString("big"));
    Ref keyword(PyUnicode_InternFromString("signed"));
    if (!view || !method || !order || !keyword) return nullptr;
    Ref kwnames(PyTuple_Pack(1, keyword.get()));
    if (!kwnames) return nullptr;
    PyObject* args[] = {reinterpret_cast<PyObject*>(&PyLong_Type), view.get(), order.get(),
                        is_signed ? Py_True : Py_False};
    return PyObject_VectorcallMethod(method.get(), args, 3, kwnames.get());
}

// v & ((1 << 8 * n) - 1), an int >= 0 that fits n bytes unsigned.
inline Ref low_bytes_as_int(PyObject* v, size_t n) {
    Ref one(PyLong_FromLong(1));
    Ref bits(PyLong_FromUnsignedLongLong(8ULL * n));
    if (!one || !bits) return Ref();
    Ref limit(PyNumber_Lshift(one.get(), bits.get()));
    if (!limit) return Ref();
    Ref mask(PyNumber_Subtract(limit.get(), one.get()));
    if (!mask) return Ref();
    return Ref(PyNumber_And(v, mask.get()));
}

}  // namespace detail

// The int that the n bytes at p spell, big-endian, in two's complement when `is_signed`; a new
// reference, or null with an exception set.
//
// 3.13+: PyLong_FromNativeBytes / PyLong_FromUnsignedNativeBytes (public).
// Trick (3.11/3.12): `_PyLong_FromByteArray`, the conversion int.from_bytes runs once its
// arguments are parsed (same result, none of the call's overhead).
// Public before 3.13: a machine word up to 8 bytes, else int.from_bytes over a read-only memoryview
// of the buffer.
inline PyObject* long_from_big_endian(const unsigned char* p, size_t n, bool is_signed) {
#if PY_VERSION_HEX >= QELO_PY313
    return is_signed ? PyLong_FromNativeBytes(p, n, Py_ASNATIVEBYTES_BIG_ENDIAN)
                     : PyLong_FromUnsignedNativeBytes(p, n, Py_ASNATIVEBYTES_BIG_ENDIAN);
#elif QELO_TRICKS
    return _PyLong_FromByteArray(p, n, 0, is_signed ? 1 : 0);
#else
    return detail::from_bytes_method(p, n, is_signed);
#endif
}

// Writes the low n bytes of the two's complement of `v` (an exact int) to `out`, big-endian: what a
// C cast to an n-byte integer keeps. False with an exception set.
//
// 3.13+: PyLong_AsNativeBytes, which truncates exactly so (public).
// Trick (3.11/3.12): `_PyLong_AsByteArray`, the conversion behind int.to_bytes; it refuses a value
// that does not fit (OverflowError), and then v & ((1 << 8n) - 1), which fits, is converted.
// Public before 3.13: the low 64 bits (PyLong_AsUnsignedLongLongMask) up to 8 bytes, else
// (v & ((1 << 8n) - 1)).to_bytes(n, "big"), copied out.
inline bool long_low_bytes_big_endian(PyObject* v, unsigned char* out, size_t n) {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
#if PY_VERSION_HEX >= QELO_PY313
    return PyLong_AsNativeBytes(v, out, static_cast<Py_ssize_t>(n), Py_ASNATIVEBYTES_BIG_ENDIAN) >= 0;
#elif QELO_TRICKS
    auto* number = reinterpret_cast<PyLongObject*>(v);
    if (_PyLong_AsByteArray(number, out, n, 0, 1) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    Ref masked = detail::low_bytes_as_int(v, n);
    return masked && _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(masked.get()), out, n, 0, 0) == 0;
#else
    if (n <= 8) {  // the low 64 bits of the two's complement hold them
        const unsigned long long word = PyLong_AsUnsignedLongLongMask(v);
        if (word == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        for (size_t i = 0; i < n; ++i) out[n - 1 - i] = static_cast<unsigned char>(word >> (8 * i));
        return true;
    }
    Ref masked = detail::low_bytes_as_int(v, n);
    if (!masked) return false;
    Ref method(PyUnicode_InternFromString("to_bytes"));
    Ref length(PyLong_FromSize_t(n));
    Ref order(PyUnicode_InternFromString("big"));
    if (!method || !length || !order) return false;
    PyObject* args[] = {masked.get(), length.get(), order.get()};
    Ref bytes(PyObject_VectorcallMethod(method.get(), args, 3, nullptr));
    if (!bytes) return false;
    if (!PyBytes_Check(bytes.get()) || static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())) != n) {
        PyErr_SetString(PyExc_SystemError, "int.to_bytes gave an unexpected result");
        return false;
    }
    std::memcpy(out, PyBytes_AS_STRING(bytes.get()), n);
    return true;
#endif
}

}  // namespace qelo::compat
