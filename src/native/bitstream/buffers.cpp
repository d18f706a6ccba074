// Byte buffers that grow at their end and shrink at their front. A buffer that only the instance
// dict holds is changed in place (compat/inplace.hpp) instead of being copied whole: the window is
// grown with spare room behind its visible end, which later polls fill without reallocating, so
// reading a long stream stays linear. Portable builds copy.

#include "bitstream.hpp"

#include <cstring>

namespace qelo::bitstream {

namespace {

// Below this size a copy is cheaper than taking the buffer out of the dict and putting it back.
constexpr Py_ssize_t kInPlaceMinimum = 4096;

// Above this size a dropped front is given back to the allocator (a new, exact object) rather than
// kept as unused room behind a shrunk one.
constexpr Py_ssize_t kShrinkInPlaceMaximum = 65536;

bool fits_in_place(PyObject* buffer, Py_ssize_t extra) {
    return compat::kInPlace && PyBytes_CheckExact(buffer) && extra > 0 && PyBytes_GET_SIZE(buffer) >= kInPlaceMinimum &&
           extra <= PY_SSIZE_T_MAX - PyBytes_GET_SIZE(buffer) - 64;
}

// Room for the window to grow into: remapping the whole allocation at every poll would make reading
// a long stream quadratic, growing it by half its size each time keeps that linear.
Py_ssize_t grown_capacity(Py_ssize_t needed) {
    const Py_ssize_t room = needed / 2;
    return needed > PY_SSIZE_T_MAX - 64 - room ? needed : needed + room;
}

// self.<name> = value after a failure, with the exception kept (an unshared buffer taken out of the
// dict goes back unchanged).
// Always false: the exception reported is the failure's, and a failure to put the value back (which
// does not happen: replacing the value of a key the dict holds does not allocate) is dropped.
bool restore_after_failure(const Attrs& self, Name name, PyObject* value) {
    compat::SavedError saved;
    if (!self.set(name, value)) PyErr_Clear();
    return false;
}

// Appends `tail` to the window by copying it into the spare room of its allocation, when the window
// is the object this instance grew, the plain dict binds it, nobody else holds it (the dict, the
// growth record and the caller's `window`), and the room suffices. The dict binds the same object.
bool append_within_capacity(const Attrs& self, PyObject* window, const char* tail, Py_ssize_t n) {
    const GrownWindow& grown = self.grown();
    if (grown.bytes == nullptr || window != grown.bytes) return false;
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return false;
    if (self.peek(dict, kRwbuffer) != window) return false;
    return compat::bytes_append_in_dict(dict, window, 3, grown.capacity, tail, n, self.own_watcher());
}

// The exact bytes `a` followed by the n bytes at `tail`, a new object (a itself when n is 0).
Ref joined_with_span(PyObject* a, const char* tail, Py_ssize_t n) {
    const Py_ssize_t left = PyBytes_GET_SIZE(a);
    if (n == 0) return Ref::borrow(a);
    if (n > PY_SSIZE_T_MAX - left) return Ref(PyErr_NoMemory());
    Ref joined(PyBytes_FromStringAndSize(nullptr, left + n));
    if (!joined) return Ref();
    char* out = PyBytes_AS_STRING(joined.get());
    std::memcpy(out, PyBytes_AS_STRING(a), static_cast<size_t>(left));
    std::memcpy(out + left, tail, static_cast<size_t>(n));
    return joined;
}

// self.<name> = current + tail, where tail is the exact bytes `tail_obj` or, when that is null, the
// n bytes at `tail` (which must stay valid: nothing here runs Python code before they are copied).
bool store_joined(const Attrs& self, Name name, Ref current, PyObject* tail_obj, const char* tail, Py_ssize_t n) {
    const bool window = name == kRwbuffer;
    const bool in_place = (tail_obj == nullptr || PyBytes_CheckExact(tail_obj)) && fits_in_place(current.get(), n);
    if (window) {
        if (in_place && append_within_capacity(self, current.get(), tail, n)) return true;
        // Whatever happens next, the record must not count as a holder of the current window.
        forget_grown(self.self());
    }
    if (in_place && self.take_unshared_bytes(name, current)) {
        const Py_ssize_t needed = PyBytes_GET_SIZE(current.get()) + n;
        const Py_ssize_t capacity = window ? grown_capacity(needed) : needed;
        switch (compat::bytes_append_owned(current, tail, n, capacity)) {
        case Fast::Done:
            break;
        case Fast::Failed:
            return restore_after_failure(self, name, current.get());
        case Fast::Declined: {
            // A build that keeps books on every object: joined by copying.
            Ref joined = joined_with_span(current.get(), tail, n);
            if (!joined) return restore_after_failure(self, name, current.get());
            return self.set(name, joined.get());
        }
        }
        if (!self.set(name, current.get())) return false;
        if (capacity > needed) {
            GrownWindow& grown = self.grown();
            Py_XSETREF(grown.bytes, Ref::borrow(current.get()).release());
            grown.capacity = capacity;
        }
        return true;
    }
    Ref joined;
    if (tail_obj != nullptr) {
        joined = concatenate(current.get(), tail_obj);
    } else if (PyBytes_CheckExact(current.get())) {
        joined = joined_with_span(current.get(), tail, n);
    } else {
        // Not bytes: the interpreter's own concatenation, with the span as a bytes object.
        Ref piece(PyBytes_FromStringAndSize(tail, n));
        if (!piece) return false;
        joined = add(current.get(), piece.get());
    }
    return joined && self.set(name, joined.get());
}

}  // namespace

Ref concatenate(PyObject* a, PyObject* b) {
    if (!PyBytes_CheckExact(a) || !PyBytes_CheckExact(b)) return add(a, b);
    const Py_ssize_t left = PyBytes_GET_SIZE(a);
    const Py_ssize_t right = PyBytes_GET_SIZE(b);
    // An empty side gives the other object itself, as the interpreter's concatenation does.
    if (left == 0) return Ref::borrow(b);
    if (right == 0) return Ref::borrow(a);
    if (right > PY_SSIZE_T_MAX - left) return add(a, b);  // the interpreter's error
    Ref joined(PyBytes_FromStringAndSize(nullptr, left + right));
    if (!joined) return Ref();
    char* out = PyBytes_AS_STRING(joined.get());
    std::memcpy(out, PyBytes_AS_STRING(a), static_cast<size_t>(left));
    std::memcpy(out + left, PyBytes_AS_STRING(b), static_cast<size_t>(right));
    return joined;
}

bool store_concatenation(const Attrs& self, Name name, Ref current, PyObject* tail) {
    if (!PyBytes_CheckExact(tail)) {
        Ref joined = concatenate(current.get(), tail);
        return joined && self.set(name, joined.get());
    }
    return store_joined(self, name, std::move(current), tail, PyBytes_AS_STRING(tail), PyBytes_GET_SIZE(tail));
}

bool store_span_appended(const Attrs& self, Name name, Ref current, const char* tail, Py_ssize_t n) {
    return store_joined(self, name, std::move(current), nullptr, tail, n);
}

bool store_tail(const Attrs& self, Name name, PyObject* removed) {
    // The trimmed window is reallocated to its exact size (or replaced): it has no spare room left.
    if (name == kRwbuffer) forget_grown(self.self());
    Ref current = self.get(name);
    if (!current) return false;
    Py_ssize_t drop = 0;
    if (compat::kInPlace && index_of(removed, &drop) && PyBytes_CheckExact(current.get()) && drop > 0 &&
        drop < PyBytes_GET_SIZE(current.get()) && self.take_unshared_bytes(name, current)) {
        if (compat::bytes_drop_front_owned(current, drop)) return self.set(name, current.get());
        Ref kept(PyBytes_FromStringAndSize(PyBytes_AS_STRING(current.get()) + drop, PyBytes_GET_SIZE(current.get()) - drop));
        if (!kept) return restore_after_failure(self, name, current.get());
        return self.set(name, kept.get());
    }
    Ref kept = slice(current.get(), removed, nullptr);
    if (!kept) return false;
    return self.set(name, kept.get());
}

bool store_dropped_front(const Attrs& self, PyObject* dict, Name name, PyObject* buffer, Py_ssize_t drop) {
    const Py_ssize_t size = PyBytes_GET_SIZE(buffer);
    if (size <= kShrinkInPlaceMaximum && compat::bytes_drop_front_in_dict(dict, buffer, drop, self.own_watcher())) return true;
    Ref rest(PyBytes_FromStringAndSize(PyBytes_AS_STRING(buffer) + drop, size - drop));
    return rest && self.store(dict, name, rest.get());
}

}  // namespace qelo::bitstream
