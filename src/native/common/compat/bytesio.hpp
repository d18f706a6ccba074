// Reading from an exact io.BytesIO without calling its read method: what read(size) returns is a
// span of the stream's buffer, so a caller that only copies (or converts) those bytes can take them
// straight from the buffer and move the position itself, saving the call and the bytes object read
// builds (most of the cost of a small read).
//
// The public version always declines, and callers then call read: the call is the behaviour and
// the trick only its speed.
#pragma once

#include "config.hpp"
#include "../ref.hpp"

#include <cstddef>

namespace qelo::compat {

#if QELO_TRICKS
namespace detail {

// The head of the instance layout of the C class _io.BytesIO (Modules/_io/bytesio.c), the same
// from 3.5 through 3.15: the data is buf[0:string_size] (buf an exact bytes object, null once the
// stream is closed), and read(size) returns buf[pos:pos + size], clipped to the data, and adds
// the length returned to pos.
struct BytesIOHead {
    PyObject_HEAD
    PyObject* buf;
    Py_ssize_t pos;
    Py_ssize_t string_size;
    PyObject* dict;
    PyObject* weakreflist;
};

}  // namespace detail
#endif

// Whether instances of `type` (io.BytesIO as imported) have the layout bytesio_read_span assumes.
// Asked once, at import; never raises. Trick (3.11-3.15): the type's own record of where the dict
// and the weak-reference list of its instances live must be where that layout puts them, and a
// probe instance must show the fields the layout names holding what its constructor, a read and
// close give them (its buffer the very bytes object it was made from, the position and the size
// of the data after a read, no buffer after close). Public: false.
inline bool bytesio_layout_verified([[maybe_unused]] PyObject* type) {
#if QELO_TRICKS
    using Head = detail::BytesIOHead;
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    if (!PyType_Check(type) || cls->tp_dictoffset != static_cast<Py_ssize_t>(offsetof(Head, dict)) ||
        cls->tp_weaklistoffset != static_cast<Py_ssize_t>(offsetof(Head, weakreflist)) ||
        cls->tp_basicsize < static_cast<Py_ssize_t>(sizeof(Head))) {
        return false;
    }
    Ref initial(PyBytes_FromString("qelo: a probe of io.BytesIO"));
    Ref probe = initial ? Ref(PyObject_CallOneArg(type, initial.get())) : Ref();
    Ref head = probe ? Ref(PyObject_CallMethod(probe.get(), "read", "n", Py_ssize_t{3})) : Ref();
    const auto* fields = reinterpret_cast<const Head*>(probe.get());
    bool verified = head && PyBytes_CheckExact(head.get()) && PyBytes_GET_SIZE(head.get()) == 3 &&
                    fields->buf == initial.get() && fields->pos == 3 &&
                    fields->string_size == PyBytes_GET_SIZE(initial.get());
    if (verified) {
        Ref closed(PyObject_CallMethod(probe.get(), "close", nullptr));
        verified = closed && fields->buf == nullptr;
    }
    PyErr_Clear();
    return verified;
#else
    return false;
#endif
}

// read(size) (size >= 0) of `obj`, an exact io.BytesIO whose type bytesio_layout_verified
// accepted: true with *data pointing at the bytes read (inside the stream's buffer: valid until
// code runs) and *got their count, the position moved as read moves it. False, with nothing changed,
// when the stream is closed (its read raises then: call it). Trick (3.11-3.15): the fields of the
// layout above. Public: false.
inline bool bytesio_read_span([[maybe_unused]] PyObject* obj, [[maybe_unused]] Py_ssize_t size,
                              [[maybe_unused]] const char** data, [[maybe_unused]] Py_ssize_t* got) {
#if QELO_TRICKS
    auto* fields = reinterpret_cast<detail::BytesIOHead*>(obj);
    if (fields->buf == nullptr || !PyBytes_CheckExact(fields->buf) || size < 0) return false;
    const Py_ssize_t left = fields->string_size - fields->pos;
    if (size > left) size = left < 0 ? 0 : left;
    *data = PyBytes_AS_STRING(fields->buf) + (size > 0 ? fields->pos : 0);
    *got = size;
    fields->pos += size;
    return true;
#else
    return false;
#endif
}

}  // namespace qelo::compat
