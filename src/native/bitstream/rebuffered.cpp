// RebufferedBytesIO: a window of the data already read from a forward-only substream, with
// seeking inside it; polls of 131072 bytes grow it, the optional cut-off trims its front.

#include "bitstream.hpp"

namespace qelo::bitstream {

namespace {

const char* const kInitParams[] = {"substream", "tailcutoff"};
const qelo::Signature kInitSig{"RebufferedBytesIO.__init__", kInitParams, 2, 1, true};
const char* const kCountParam[] = {"count"};
const qelo::Signature kReadSig{"RebufferedBytesIO.read", kCountParam, 1, 0, true};
const char* const kDataParam[] = {"data"};
const qelo::Signature kWriteSig{"RebufferedBytesIO.write", kDataParam, 1, 1, true};
const char* const kSeekParams[] = {"at", "whence"};
const qelo::Signature kSeekSig{"RebufferedBytesIO.seek", kSeekParams, 2, 1, true};

bool call_sleep(ModuleState* st) {
    Ref sleep = module_global(st, st->names[kSleep]);
    if (!sleep) return false;
    return static_cast<bool>(call1(sleep.get(), st->zero));
}

// self.substream.read(131072), with BlockingIOError (as the module namespace names it) taken as
// None: whichever step of the expression raises it, the lookup of self.substream included.
Ref poll_substream(const Attrs& self, bool blocking_is_none) {
    ModuleState* st = self.state();
    Ref data;
    if (Ref substream = self.get(kSubstream)) {
        PyObject* call_args[] = {substream.get(), st->poll_size};
        data = Ref(PyObject_VectorcallMethod(st->names[kRead], call_args, 2, nullptr));
    }
    if (data || !blocking_is_none) return data;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref held_type(type), held_value(value), held_traceback(traceback);
    Ref blocking = module_global(st, st->names[kBlockingIOError]);
    if (!blocking) return Ref();
    const int matches = PyErr_GivenExceptionMatches(type, blocking.get());
    PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
    if (!matches) return Ref();
    PyErr_Clear();
    return Ref::borrow(Py_None);
}

// A poll of read from an exact io.BytesIO whose buffer can be read directly (compat/bytesio.hpp):
// the bytes its read would return are appended to the window straight from its buffer. Only when
// the memo vouches for the substream and the window, so that nothing runs between taking the bytes
// and copying them. Done with `*polled` what poll_for_read answers (1: appended, 0: the substream
// has ended); Declined: nothing changed; Failed.
Fast poll_bytesio_directly(const Attrs& self, int* polled) {
    ModuleState* st = self.state();
    PyObject* dict = st->bytesio_direct ? self.plain_dict() : nullptr;
    PyObject* const* known = dict == nullptr ? nullptr : self.fetch(dict, bit_of(kSubstream) | bit_of(kRwbuffer));
    if (known == nullptr || known[kSubstream] == nullptr || known[kRwbuffer] == nullptr ||
        !is_plain_bytesio(st, known[kSubstream])) {
        return Fast::Declined;
    }
    Ref window = Ref::borrow(known[kRwbuffer]);
    const char* span = nullptr;
    Py_ssize_t got = 0;
    if (!compat::bytesio_read_span(known[kSubstream], kPollSize, &span, &got)) return Fast::Declined;
    *polled = got == 0 ? 0 : 1;
    if (got == 0) return Fast::Done;
    return store_span_appended(self, kRwbuffer, std::move(window), span, got) ? Fast::Done : Fast::Failed;
}

// One poll of read: appends what the substream gives; None or BlockingIOError mean "nothing yet"
// (sleep(0) and poll again); any other empty answer means the substream has ended. 1: polled
// (appended, or nothing yet), 0: the substream has ended, -1: error.
int poll_for_read(const Attrs& self) {
    int polled = 0;
    switch (poll_bytesio_directly(self, &polled)) {
    case Fast::Done:
        return polled;
    case Fast::Failed:
        return -1;
    case Fast::Declined:
        break;
    }
    Ref data = poll_substream(self, true);
    if (!data) return -1;
    if (data.get() == Py_None) return call_sleep(self.state()) ? 1 : -1;
    const int nonempty = PyObject_IsTrue(data.get());
    if (nonempty <= 0) return nonempty;
    Ref window = self.get(kRwbuffer);
    if (!window) return -1;
    return store_concatenation(self, kRwbuffer, std::move(window), data.get()) ? 1 : -1;
}

// One poll of write, which appends what the substream gives: BlockingIOError propagates, None
// fails the concatenation with TypeError, and an empty answer means the substream ended before the
// write's start.
bool poll_for_write(const Attrs& self) {
    Ref data = poll_substream(self, false);
    if (!data) return false;
    if (data.get() != Py_None) {
        const int nonempty = PyObject_IsTrue(data.get());
        if (nonempty < 0) return false;
        if (!nonempty) {
            PyErr_SetString(PyExc_OSError, "could not write because the stream ended before the write's start");
            return false;
        }
    }
    Ref window = self.get(kRwbuffer);
    if (!window) return false;
    return store_concatenation(self, kRwbuffer, std::move(window), data.get());
}

// self.moved + len(self.rwbuffer) < position
int window_ends_before(const Attrs& self, PyObject* position) {
    Ref moved = self.get(kMoved);
    if (!moved) return -1;
    Ref window = self.get(kRwbuffer);
    if (!window) return -1;
    const Py_ssize_t size = PyObject_Size(window.get());
    if (size < 0) return -1;
    if (PyLong_CheckExact(moved.get()) && PyLong_CheckExact(position)) {
        int overflow_a = 0, overflow_b = 0;
        const long long start = PyLong_AsLongLongAndOverflow(moved.get(), &overflow_a);
        const long long wanted = PyLong_AsLongLongAndOverflow(position, &overflow_b);
        long long end = 0;
        if (overflow_a == 0 && overflow_b == 0 && !__builtin_add_overflow(start, static_cast<long long>(size), &end)) {
            return end < wanted ? 1 : 0;
        }
    }
    Ref size_obj(PyLong_FromSsize_t(size));
    if (!size_obj) return -1;
    Ref end = add(moved.get(), size_obj.get());
    if (!end) return -1;
    return compare(end.get(), position, Py_LT);
}

// Refuses a start before the first position still held.
bool refuse_cut_tail(const Attrs& self, PyObject* startsat, const char* message) {
    Ref moved = self.get(kMoved);
    if (!moved) return false;
    const int before = compare(startsat, moved.get(), Py_LT);
    if (before < 0) return false;
    if (before) {
        PyErr_SetString(PyExc_OSError, message);
        return false;
    }
    return true;
}

// Drops the window's bytes more than tailcutoff before offset.
bool apply_cutoff(const Attrs& self) {
    Ref tailcutoff = self.get(kTailcutoff);
    if (!tailcutoff) return false;
    if (tailcutoff.get() == Py_None) return true;
    Ref moved = self.get(kMoved);
    if (!moved) return false;
    Ref offset = self.get(kOffset);
    if (!offset) return false;
    Ref keep_from = subtract(offset.get(), tailcutoff.get());
    if (!keep_from) return false;
    const int behind = compare(moved.get(), keep_from.get(), Py_LT);
    if (behind <= 0) return behind == 0;
    Ref removed = subtract(keep_from.get(), moved.get());
    if (!removed) return false;
    Ref new_moved = add(moved.get(), removed.get());
    if (!new_moved || !self.set(kMoved, new_moved.get())) return false;
    return store_tail(self, kRwbuffer, removed.get());
}

// read(count) served from the window alone: the offset moves (in place when only the dict holds
// it) and the cut-off runs. Declined when a precondition does not hold (then nothing changed).
Fast read_cached(const Attrs& self, Py_ssize_t count, PyObject** result) {
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return Fast::Declined;
    // Strong references when looked up (a later lookup may run code that rebinds a name), none
    // when all four are remembered for the dict's current tag: then no code runs before their use.
    Ref window_held, moved_held, tailcutoff_held;
    PyObject *window, *moved_obj, *tailcutoff, *offset_obj;
    if (PyObject* const* known = self.remembered(dict, bit_of(kRwbuffer) | bit_of(kMoved) | bit_of(kTailcutoff) | bit_of(kOffset))) {
        window = known[kRwbuffer];
        moved_obj = known[kMoved];
        tailcutoff = known[kTailcutoff];
        offset_obj = known[kOffset];
    } else {
        window_held = self.held(dict, kRwbuffer);
        moved_held = self.held(dict, kMoved);
        tailcutoff_held = self.held(dict, kTailcutoff);
        window = window_held.get();
        moved_obj = moved_held.get();
        tailcutoff = tailcutoff_held.get();
        // The offset last, borrowed: it may be moved in place, and no code runs after its lookup.
        offset_obj = window && moved_obj && tailcutoff ? self.peek(dict, kOffset) : nullptr;
    }
    Py_ssize_t offset = 0, moved = 0, endsat = 0, keep = 0, keep_from = PY_SSIZE_T_MIN;
    const bool handled =
        offset_obj != nullptr && window != nullptr && PyBytes_CheckExact(window) && index_of(offset_obj, &offset) &&
        index_of(moved_obj, &moved) && !__builtin_add_overflow(offset, count, &endsat) && offset >= moved &&
        endsat - moved <= PyBytes_GET_SIZE(window) && tailcutoff != nullptr &&
        (tailcutoff == Py_None || (index_of(tailcutoff, &keep) && !__builtin_sub_overflow(endsat, keep, &keep_from)));
    if (!handled) return Fast::Declined;
    const Py_ssize_t size = PyBytes_GET_SIZE(window);
    Ref data = (offset == moved && count == size)
                   ? Ref::borrow(window)
                   : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(window) + (offset - moved), count));
    window_held = Ref();  // so that an unshared window (and moved) can be changed in place by the cut-off
    moved_held = Ref();
    if (!data || !store_index_over(self, dict, kOffset, offset_obj, endsat)) return Fast::Failed;
    if (moved < keep_from) {
        Ref removed(PyLong_FromSsize_t(keep_from - moved));
        if (!removed || !store_index(self, dict, kMoved, keep_from) || !store_tail(self, kRwbuffer, removed.get())) {
            return Fast::Failed;
        }
    }
    *result = data.release();
    return Fast::Done;
}

// The window (rwbuffer) and where [startsat, endsat) lies in it: rwbuffer, then
// startsat - moved and endsat - moved, read and computed in that order.
struct WindowSpan {
    Ref window, lo, hi;

    bool locate(const Attrs& attrs, PyObject* startsat, PyObject* endsat) {
        window = attrs.get(kRwbuffer);
        if (!window) return false;
        Ref moved = attrs.get(kMoved);
        if (!moved) return false;
        lo = subtract(startsat, moved.get());
        if (!lo) return false;
        hi = subtract(endsat, moved.get());
        return static_cast<bool>(hi);
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Methods

int rebuffered_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return qelo::with_fastcall(args, kwargs, [self](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) -> int {
        PyObject* a[2];
        if (!qelo::parse_args(kInitSig, stack, nargs, kwnames, a)) return -1;
        ModuleState* st = instance_state(self);
        if (st == nullptr) return -1;
        const Attrs attrs(st, self, kRebuffered);
        Ref empty = empty_bytes();
        if (!empty) return -1;
        PyObject* tailcutoff = a[1] == nullptr ? Py_None : a[1];
        const bool ok = attrs.set(kSubstream, a[0]) && attrs.set(kOffset, st->zero) && attrs.set(kRwbuffer, empty.get()) &&
                        attrs.set(kMoved, st->zero) && attrs.set(kTailcutoff, tailcutoff);
        return ok ? 0 : -1;
    });
}

PyObject* rebuffered_read(PyObject* self, ModuleState* st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* count = nullptr;
    if (!parse_one(kReadSig, args, nargs, kwnames, &count)) return nullptr;
    if (count == nullptr || count == Py_None) {
        PyErr_SetString(PyExc_ValueError, "count must be integer, reading until EOF not supported");
        return nullptr;
    }
    const Attrs attrs(st, self, kRebuffered);
    Py_ssize_t wanted = 0;
    if (index_of(count, &wanted) && wanted >= 0) {
        PyObject* result = nullptr;
        const Fast served = read_cached(attrs, wanted, &result);
        if (served == Fast::Failed) return nullptr;
        if (served == Fast::Done) return result;
    }
    const int negative = compare(count, st->zero, Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return nullptr;
    }
    Ref startsat = attrs.get(kOffset);
    if (!startsat) return nullptr;
    Ref endsat = add(startsat.get(), count);
    if (!endsat) return nullptr;
    if (!refuse_cut_tail(attrs, startsat.get(), "could not read because tail was cut off")) return nullptr;
    for (;;) {
        const int short_of = window_ends_before(attrs, endsat.get());
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        const int polled = poll_for_read(attrs);
        if (polled < 0) return nullptr;
        if (polled == 0) break;
    }
    WindowSpan span;
    if (!span.locate(attrs, startsat.get(), endsat.get())) return nullptr;
    Ref data = slice(span.window.get(), span.lo.get(), span.hi.get());
    if (!data) return nullptr;
    span.window = Ref();  // so an unshared window can be trimmed in place by the cut-off
    if (!increment(attrs, kOffset, count) || !apply_cutoff(attrs)) return nullptr;
    Ref got = length_of(data.get());
    if (!got) return nullptr;
    const int short_read = compare(got.get(), count, Py_LT);
    if (short_read < 0) return nullptr;
    if (short_read) {
        PyErr_SetString(PyExc_OSError, "could not read enough bytes, something went wrong");
        return nullptr;
    }
    return data.release();
}

PyObject* rebuffered_write(PyObject* self, ModuleState* st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!qelo::parse_args(kWriteSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const Attrs attrs(st, self, kRebuffered);
    Ref startsat = attrs.get(kOffset);
    if (!startsat) return nullptr;
    Ref datalen = length_of(data);
    if (!datalen) return nullptr;
    Ref endsat = add(startsat.get(), datalen.get());
    if (!endsat) return nullptr;
    if (!refuse_cut_tail(attrs, startsat.get(), "could not write because tail was cut off")) return nullptr;
    for (;;) {
        const int short_of = window_ends_before(attrs, startsat.get());
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        if (!poll_for_write(attrs)) return nullptr;
    }
    WindowSpan span;
    if (!span.locate(attrs, startsat.get(), endsat.get())) return nullptr;
    Ref head = slice(span.window.get(), nullptr, span.lo.get());
    if (!head) return nullptr;
    Ref tail = slice(span.window.get(), span.hi.get(), nullptr);
    if (!tail) return nullptr;
    Ref front = add(head.get(), data);
    if (!front) return nullptr;
    Ref spliced = add(front.get(), tail.get());
    if (!spliced || !attrs.set(kRwbuffer, spliced.get())) return nullptr;
    if (!attrs.set(kOffset, endsat.get()) || !apply_cutoff(attrs)) return nullptr;
    return datalen.release();
}

PyObject* rebuffered_seek(PyObject* self, ModuleState* st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!qelo::parse_args(kSeekSig, args, nargs, kwnames, a)) return nullptr;
    const Attrs attrs(st, self, kRebuffered);
    PyObject* at = a[0];
    PyObject* whence = a[1] == nullptr ? st->zero : a[1];
    const int absolute = compare(whence, st->zero, Py_EQ);
    if (absolute < 0) return nullptr;
    if (absolute) {
        if (!attrs.set(kOffset, at)) return nullptr;
        return attrs.get(kOffset).release();
    }
    const int relative = compare(whence, st->one, Py_EQ);
    if (relative < 0) return nullptr;
    if (relative) {
        if (!increment(attrs, kOffset, at)) return nullptr;
        return attrs.get(kOffset).release();
    }
    PyErr_SetString(PyExc_ValueError, "this class seeks only with whence: 0 and 1 (excluded 2)");
    return nullptr;
}

PyObject* rebuffered_cachedto(PyObject* self, ModuleState* st, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args("RebufferedBytesIO.cachedto", nargs, kwnames)) return nullptr;
    const Attrs attrs(st, self, kRebuffered);
    Ref moved = attrs.get(kMoved);
    if (!moved) return nullptr;
    Ref window = attrs.get(kRwbuffer);
    if (!window) return nullptr;
    Ref size = length_of(window.get());
    if (!size) return nullptr;
    return add(moved.get(), size.get()).release();
}

}  // namespace qelo::bitstream
