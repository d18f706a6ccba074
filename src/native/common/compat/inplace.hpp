// Changing a bytes or int object in place instead of building a new one, and the arguments that
// make it sound: nobody else can see the object (its reference count), and nobody is owed an event
// when a dict keeps binding it (no dict watcher). A buffer that grows or shrinks at one end is then
// not copied whole, and a counter moves without a new int.
//
// Each function either does its job and returns true, or changes nothing and returns false, and the
// caller then builds a new object: copy instead of rewriting. The public versions (portable builds,
// releases this layer does not know) always return false, so the callers' copying route is the
// behaviour and the trick only its speed.
#pragma once

#include "config.hpp"
#include "refcount.hpp"
#include "../outcome.hpp"
#include "../ref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qelo::compat {

// Whether this build changes objects in place at all (tests and benchmarks report it).
inline constexpr bool kInPlace = QELO_TRICKS != 0;

// True when provably no dict watcher (anybody's) watches `dict`: a watcher is told of every value
// that a key of the dict is bound to, so a change in place of a bound object would go unseen.
// `own_watcher` (a watcher id of the caller's, or -1) is left out of the question: a caller whose
// watcher only needs to hear of rebound keys (not of changed values) may change values in place.
// Trick: the watcher bits (the low byte) of `ma_version_tag` (3.12, 3.13) and of its successor
// `_ma_watcher_tag` (3.14, 3.15), where PyDict_Watch sets bit `id` for watcher `id`; 3.11 has no
// watchers. Public: false (there is no public way to ask).
inline bool dict_unwatched([[maybe_unused]] PyObject* dict, [[maybe_unused]] int own_watcher = -1) {
#if QELO_TRICKS_FOR(QELO_PY311, QELO_PY312)
    return true;
#else
    [[maybe_unused]] const std::uint64_t others =
        0xFF & ~(own_watcher >= 0 && own_watcher < 8 ? std::uint64_t{1} << own_watcher : std::uint64_t{0});
#if QELO_TRICKS_FOR(QELO_PY312, QELO_PY314)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return (reinterpret_cast<PyDictObject*>(dict)->ma_version_tag & others) == 0;
#pragma GCC diagnostic pop
#elif QELO_TRICKS_FOR(QELO_PY314, QELO_PY316)
    return (reinterpret_cast<PyDictObject*>(dict)->_ma_watcher_tag & others) == 0;
#else
    return false;
#endif
#endif
}

namespace detail {

#if QELO_TRICKS
// Gives the exact bytes `obj` the visible length `size` (at most what its allocation holds), with
// the terminating NUL and the (reset) cached hash of the value it then holds: the fields that
// PyBytes_FromStringAndSize sets. Layout of PyBytesObject (ob_size, ob_shash, ob_sval), unchanged
// from 3.11 to 3.15.
inline void set_bytes_length(PyObject* obj, Py_ssize_t size) {
    PyBytes_AS_STRING(obj)[size] = '\0';
    Py_SET_SIZE(obj, size);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(obj)->ob_shash = -1;
#pragma GCC diagnostic pop
}
#endif

}  // namespace detail

// Shortens the exact bytes `obj` to its first `size` bytes, when the caller holds its only
// reference (a new object it has not shown to anybody, or one it took out of a dict). The
// allocation keeps its room. Trick (3.11-3.15): the length fields. Public: false.
inline bool bytes_truncate([[maybe_unused]] PyObject* obj, [[maybe_unused]] Py_ssize_t size) {
#if QELO_TRICKS
    if (!PyBytes_CheckExact(obj) || size < 0 || size > PyBytes_GET_SIZE(obj) || !owned_only_by(obj, 1)) return false;
    detail::set_bytes_length(obj, size);
    return true;
#else
    return false;
#endif
}

// Drops the first `drop` bytes (0 < drop < length) of the exact bytes `obj`, which a dict binds and
// nothing else references (its count is 1: the dict's), when the dict is not watched. The dict
// keeps binding the same object. Trick (3.11-3.15): memmove and the length fields. Public: false.
inline bool bytes_drop_front_in_dict([[maybe_unused]] PyObject* dict, [[maybe_unused]] PyObject* obj,
                                     [[maybe_unused]] Py_ssize_t drop, [[maybe_unused]] int own_watcher = -1) {
#if QELO_TRICKS
    const Py_ssize_t size = PyBytes_CheckExact(obj) ? PyBytes_GET_SIZE(obj) : 0;
    if (drop <= 0 || drop >= size || !owned_only_by(obj, 1) || !dict_unwatched(dict, own_watcher)) return false;
    char* bytes = PyBytes_AS_STRING(obj);
    std::memmove(bytes, bytes + drop, static_cast<size_t>(size - drop));
    detail::set_bytes_length(obj, size - drop);
    return true;
#else
    return false;
#endif
}

// Gives the exact bytes object `buffer`, whose only reference `buffer` is, an allocation of
// `capacity` bytes (not less than its length); its value stays. realloc extends a large block in
// place or remaps its pages. Unlike _PyBytes_Resize, which frees the object when the reallocation
// fails, a failure leaves `buffer` as it was: Failed with MemoryError set when the allocator
// refused, Declined when the trick does not apply. Trick (3.11-3.15): the whole object is one block from
// the object allocator (reference count, type, length and hash move with it). Not in builds that
// keep books on every object (debug builds, a reference tracer from 3.13 on): there the move is
// an object's death and birth they would not be told of. Public: Declined.
inline Fast bytes_reserve([[maybe_unused]] Ref& buffer, [[maybe_unused]] Py_ssize_t capacity) {
#if QELO_TRICKS && !defined(Py_TRACE_REFS) && !defined(Py_REF_DEBUG)
    PyObject* obj = buffer.get();
    if (!PyBytes_CheckExact(obj) || capacity < PyBytes_GET_SIZE(obj) || !owned_only_by(obj, 1)) return Fast::Declined;
#if PY_VERSION_HEX >= QELO_PY313
    void* tracer_data = nullptr;
    if (PyRefTracer_GetTracer(&tracer_data) != nullptr) return Fast::Declined;
#endif
    constexpr Py_ssize_t kHeader = static_cast<Py_ssize_t>(offsetof(PyBytesObject, ob_sval)) + 1;
    if (capacity > PY_SSIZE_T_MAX - kHeader) return Fast::Declined;
    void* moved = PyObject_Realloc(obj, static_cast<size_t>(kHeader + capacity));
    if (moved == nullptr) {
        PyErr_NoMemory();
        return Fast::Failed;
    }
    (void)buffer.release();  // the old address is no longer an object
    buffer = Ref(static_cast<PyObject*>(moved));
    return Fast::Done;
#else
    return Fast::Declined;
#endif
}

// Appends `n` bytes to the exact bytes `obj` inside the room of its allocation (`capacity` bytes,
// as bytes_reserve gave it), when a dict binds it and the caller knows every other reference it has
// (`owned` in all, the dict's included) and the dict is not watched. The dict keeps binding the same
// object. Trick (3.11-3.15): memcpy and the length fields. Public: false.
inline bool bytes_append_in_dict([[maybe_unused]] PyObject* dict, [[maybe_unused]] PyObject* obj,
                                 [[maybe_unused]] Py_ssize_t owned, [[maybe_unused]] Py_ssize_t capacity,
                                 [[maybe_unused]] const char* tail, [[maybe_unused]] Py_ssize_t n,
                                 [[maybe_unused]] int own_watcher = -1) {
#if QELO_TRICKS
    if (!PyBytes_CheckExact(obj) || n > capacity - PyBytes_GET_SIZE(obj) || !owned_only_by(obj, owned) ||
        !dict_unwatched(dict, own_watcher)) {
        return false;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(obj);
    std::memcpy(PyBytes_AS_STRING(obj) + size, tail, static_cast<size_t>(n));
    detail::set_bytes_length(obj, size + n);
    return true;
#else
    return false;
#endif
}

// Appends `n` bytes to the exact bytes object `buffer` that the caller alone holds, growing its
// allocation to `capacity` (at least the joined length) with bytes_reserve. Done; Declined (no
// exception, `buffer` unchanged) when the trick does not apply; Failed with MemoryError set and
// `buffer` unchanged when the allocator refused.
inline Fast bytes_append_owned([[maybe_unused]] Ref& buffer, [[maybe_unused]] const char* tail,
                               [[maybe_unused]] Py_ssize_t n, [[maybe_unused]] Py_ssize_t capacity) {
#if QELO_TRICKS
    const Py_ssize_t size = PyBytes_GET_SIZE(buffer.get());
    if (n > capacity - size) return Fast::Declined;
    const Fast reserved = bytes_reserve(buffer, capacity);
    if (reserved != Fast::Done) return reserved;
    std::memcpy(PyBytes_AS_STRING(buffer.get()) + size, tail, static_cast<size_t>(n));
    detail::set_bytes_length(buffer.get(), size + n);
    return Fast::Done;
#else
    return Fast::Declined;
#endif
}

// Drops the first `drop` bytes (0 < drop < length) of the exact bytes object `buffer`, which the
// caller alone holds, and gives the freed room back to the allocator where it can (bytes_reserve).
// Trick (3.11-3.15): memmove and the length fields. Public: false.
inline bool bytes_drop_front_owned(Ref& buffer, Py_ssize_t drop) {
#if QELO_TRICKS
    PyObject* obj = buffer.get();
    const Py_ssize_t size = PyBytes_CheckExact(obj) ? PyBytes_GET_SIZE(obj) : 0;
    if (drop <= 0 || drop >= size || !owned_only_by(obj, 1)) return false;
    char* bytes = PyBytes_AS_STRING(obj);
    std::memmove(bytes, bytes + drop, static_cast<size_t>(size - drop));
    detail::set_bytes_length(obj, size - drop);
    // Giving the room back is optional: if even that fails, the object keeps it.
    if (bytes_reserve(buffer, size - drop) == Fast::Failed) PyErr_Clear();
    return true;
#else
    (void)buffer, (void)drop;
    return false;
#endif
}

// The value of an exact int, when it fits a Py_ssize_t; false otherwise (no exception either way).
// 3.12+: PyUnstable_Long_IsCompact / PyUnstable_Long_CompactValue (public, unstable tier) for ints
// of one digit. Trick (3.11): the sign-and-size field and the first digit. Larger ints (and the
// public version) go through PyLong_AsLongLongAndOverflow.
inline bool exact_int_value(PyObject* value, Py_ssize_t* out) {
    if (value == nullptr || !PyLong_CheckExact(value)) return false;
#if PY_VERSION_HEX >= QELO_PY312
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(number)) {
        *out = PyUnstable_Long_CompactValue(number);
        return true;
    }
#elif QELO_TRICKS
    const Py_ssize_t digits = Py_SIZE(value);
    if (digits >= -1 && digits <= 1) {
        *out = digits * static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || n > PY_SSIZE_T_MAX || n < PY_SSIZE_T_MIN) {
        PyErr_Clear();
        return false;
    }
    *out = static_cast<Py_ssize_t>(n);
    return true;
}

// Gives the exact int `obj`, which a dict binds and nothing else references, the value `value`, when
// the dict is not watched and both values are positive ints of one digit above the interpreter's
// shared small ints. Ints cache no hash, so nothing else describes the old value. Trick
// (3.11-3.15): the digit, and on 3.12+ the tag that says "one positive digit, not a small int".
// Public: false.
inline bool int_set_in_dict([[maybe_unused]] PyObject* dict, [[maybe_unused]] PyObject* obj,
                            [[maybe_unused]] Py_ssize_t value, [[maybe_unused]] int own_watcher = -1) {
#if QELO_TRICKS
    constexpr Py_ssize_t kLargestSharedInt = 256;
    if (obj == nullptr || value <= kLargestSharedInt || value > static_cast<Py_ssize_t>(PyLong_MASK) ||
        !PyLong_CheckExact(obj) || !owned_only_by(obj, 1) || !dict_unwatched(dict, own_watcher)) {
        return false;
    }
    auto* number = reinterpret_cast<PyLongObject*>(obj);
#if PY_VERSION_HEX >= QELO_PY312
    if (number->long_value.lv_tag != (std::uintptr_t{1} << _PyLong_NON_SIZE_BITS)) return false;
    number->long_value.ob_digit[0] = static_cast<digit>(value);
#else
    if (Py_SIZE(obj) != 1) return false;
    number->ob_digit[0] = static_cast<digit>(value);
#endif
    return true;
#else
    return false;
#endif
}

// The attribute dict an object keeps at its type's tp_dictoffset (a positive offset: the type
// declares the slot itself, as io.BytesIO does), or null when it has none yet. Borrowed.
// Trick (3.11-3.15): the slot read directly. Public: PyObject_GenericGetDict, which creates an
// empty dict when there is none (nothing observable: vars() of such an object is an empty dict).
// -1 / null with an exception only in the public version, when that creation fails.
inline PyObject* instance_dict_at_offset(PyObject* obj, Ref& holder) {
#if QELO_TRICKS
    (void)holder;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + Py_TYPE(obj)->tp_dictoffset);
#else
    holder = Ref(PyObject_GenericGetDict(obj, nullptr));
    if (!holder) PyErr_Clear();
    return holder.get();
#endif
}

}  // namespace qelo::compat
