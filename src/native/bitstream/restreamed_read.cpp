// RestreamedBytesIO.read: the decoder rounds, and the routes that stand in for them where they give
// the same result (rbuffer alone, one bulk round, the steady read that looks nothing up twice),
// tried in turn by read_count.

#include "restreamed.hpp"

#include <cstring>

namespace qelo::bitstream {

namespace {

const char* const kCountParam[] = {"count"};
const qelo::Signature kReadSig{"RestreamedBytesIO.read", kCountParam, 1, 0, true};

// ---------------------------------------------------------------------------------------------
// Reading, one decoder round at a time

// self.substream.read(self.decoderunit)
Ref read_unit(const Attrs& self) {
    PyObject* read_name = self.state()->names[kRead];
    Ref substream = self.get(kSubstream);
    if (!substream) return Ref();
    if (PyObject* dict = self.plain_dict()) {
        // Reading decoderunit from the dict runs no code once the substream is held, so looking
        // `read` up after it is the same as before it, and the call needs no bound method object.
        PyObject* found = nullptr;
        const int got = self.lookup(dict, kDecoderunit, &found);
        if (got < 0) return Ref();
        if (got > 0) {
            Ref unit = Ref::borrow(found);
            PyObject* args[] = {substream.get(), unit.get()};
            return Ref(PyObject_VectorcallMethod(read_name, args, 2, nullptr));
        }
    }
    Ref reader(PyObject_GetAttr(substream.get(), read_name));
    if (!reader) return Ref();
    Ref unit = self.get(kDecoderunit);
    if (!unit) return Ref();
    return call1(reader.get(), unit.get());
}

// Whether decoder(data) is data itself, with nothing else happening: bytes() of an exact bytes
// object returns that object (its __bytes__ is the C method that does so).
bool decodes_to_itself(PyObject* decoder, PyObject* data) {
    return decoder == reinterpret_cast<PyObject*>(&PyBytes_Type) && PyBytes_CheckExact(data);
}

// Reads one unit from the substream into rbuffer through the decoder. 1: decoded, 0: the
// substream had nothing (None or empty), -1: error.
int fill_once(const Attrs& self) {
    Ref data = read_unit(self);
    if (!data) return -1;
    if (data.get() == Py_None) return 0;
    const Py_ssize_t size = PyObject_Size(data.get());
    if (size < 0) return -1;
    if (size == 0) return 0;
    Ref rbuffer = self.get(kRbuffer);
    if (!rbuffer) return -1;
    Ref decoder = self.get(kDecoder);
    if (!decoder) return -1;
    Ref decoded = decodes_to_itself(decoder.get(), data.get()) ? std::move(data) : call1(decoder.get(), data.get());
    if (!decoded) return -1;
    return store_concatenation(self, kRbuffer, std::move(rbuffer), decoded.get()) ? 1 : -1;
}

// ---------------------------------------------------------------------------------------------
// Bulk decoding. When the substream is exactly io.BytesIO reading through its own C read, and the
// decoder is `bytes` or qelo.lib.binary's own bytes2bits taking its kernel, k rounds of
// "read(decoderunit), decode, append" run no Python code in between, and give what one
// read(k * decoderunit) decoded at once and appended gives: the same bytes leave the substream (it
// returns fewer only at its end, where the rounds would have read the same bytes as full units and
// one short unit), decoding is byte-wise (bytes: the identity on exact bytes), and the appends add
// up. So the rounds a request still needs are done in one.

// Source bytes read in one bulk round at most (a bounded piece of work and memory).
constexpr Py_ssize_t kBulkSourceBytes = 65536;

// What the decoder does to exact bytes of about `work` bytes, as far as a bulk round may stand in.
Coder bulk_decoder_of(ModuleState* st, PyObject* decoder, Py_ssize_t work, const qelo::BinaryKernels** lent) {
    if (decoder == reinterpret_cast<PyObject*>(&PyBytes_Type)) return Coder::kIdentity;
    PyObject* module = nullptr;
    const qelo::BinaryKernels* kernels = kernels_of(st, decoder, &module);
    // Rebinding a helper or the table of qelo.lib.binary takes bytes2bits off its kernel: asked anew
    // at every round, unless the module's ready stamp has not moved since it last answered ready.
    if (kernels == nullptr || PyCFunction_GET_FUNCTION(decoder) != kernels->bytes2bits) return Coder::kNone;
    const std::uint64_t stamp = kernels->ready_stamp(module);
    if (stamp == 0 || stamp != st->bytes2bits_ready_at) {
        st->bytes2bits_ready_at = 0;
        if (kernels->bytes2bits_ready(module, work) != 1) return Coder::kNone;
        st->bytes2bits_ready_at = stamp;
    }
    *lent = kernels;
    return Coder::kBits;
}

// What a bulk round of reading works with, when one may stand in for the rounds.
struct BulkRead {
    Ref substream, decoderunit, rbuffer;
    Py_ssize_t unit = 0;
    Coder kind = Coder::kNone;
    const qelo::BinaryKernels* kernels = nullptr;
    Py_ssize_t decoded_per_unit() const { return kind == Coder::kBits ? 8 * unit : unit; }
};

// Whether a bulk round may stand in for the rounds (no exception either way: a lookup that raised
// leaves the question to the rounds, which raise it again).
bool plan_bulk_read(const Attrs& self, BulkRead& plan) {
    ModuleState* st = self.state();
    PyObject* dict = self.plain_dict();
    if (dict == nullptr || st->bytesio_read == nullptr) return false;
    plan.substream = self.held(dict, kSubstream);
    Ref decoder = self.held(dict, kDecoder);
    plan.decoderunit = self.held(dict, kDecoderunit);
    plan.rbuffer = self.held(dict, kRbuffer);
    if (!plan.substream || !decoder || !plan.rbuffer || !PyBytes_CheckExact(plan.rbuffer.get()) ||
        !index_of(plan.decoderunit.get(), &plan.unit) || plan.unit < 1 || plan.unit > kBulkSourceBytes / 2 ||
        !is_plain_bytesio(st, plan.substream.get())) {
        return false;
    }
    const Py_ssize_t most_units = kBulkSourceBytes / plan.unit;
    plan.kind = bulk_decoder_of(st, decoder.get(), most_units * plan.unit, &plan.kernels);
    return plan.kind != Coder::kNone;
}

// Reads `units` units at once through io.BytesIO's own read (called through its descriptor, without
// looking it up again). Null with the read's exception, which the first round's read raises too.
Ref read_units(const Attrs& self, BulkRead& plan, Py_ssize_t units) {
    // A single round asks with decoderunit itself, as the round does.
    Ref size = units == 1 ? Ref::borrow(plan.decoderunit.get()) : Ref(PyLong_FromSsize_t(units * plan.unit));
    if (!size) return Ref();
    PyObject* call_args[] = {plan.substream.get(), size.get()};
    Ref data(PyObject_Vectorcall(self.state()->bytesio_read, call_args, 2, nullptr));
    if (data && !PyBytes_CheckExact(data.get())) {
        PyErr_SetString(PyExc_SystemError, "io.BytesIO.read returned no bytes");
        return Ref();
    }
    return data;
}

// Decodes `data` after `prefix` bytes already in `out` (which holds prefix + decoded length).
void decode_into(const BulkRead& plan, PyObject* data, char* out) {
    const Py_ssize_t got = PyBytes_GET_SIZE(data);
    if (plan.kind == Coder::kBits) {
        plan.kernels->bytes_to_bits(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)), static_cast<std::size_t>(got),
                                    reinterpret_cast<unsigned char*>(out));
    } else {
        std::memcpy(out, PyBytes_AS_STRING(data), static_cast<size_t>(got));
    }
}

// One bulk round of reading: `wanted` decoded bytes are still missing (-1: read until the
// substream ends). Done with `*filled` what fill_once answers (1: decoded, 0: the substream had
// nothing), Declined with nothing changed (the rounds run), or Failed.
Fast fill_bulk(const Attrs& self, Py_ssize_t wanted, int* filled) {
    BulkRead plan;
    if (!plan_bulk_read(self, plan)) return Fast::Declined;
    const Py_ssize_t most_units = kBulkSourceBytes / plan.unit;
    // Units the rounds would read: until `wanted` more decoded bytes are there.
    const Py_ssize_t per_unit = plan.decoded_per_unit();
    Py_ssize_t units = most_units;
    if (wanted >= 0 && wanted / per_unit < most_units) units = wanted / per_unit + (wanted % per_unit != 0 ? 1 : 0);
    if (units < 1) return Fast::Declined;  // how much is missing is not known in C
    const Py_ssize_t request = units * plan.unit;
    // Everything that may fail for want of memory before the substream is touched: then the rounds run.
    Ref bits = plan.kind == Coder::kBits ? Ref(PyBytes_FromStringAndSize(nullptr, 8 * request)) : Ref();
    if (plan.kind == Coder::kBits && !bits) {
        PyErr_Clear();
        return Fast::Declined;
    }
    Ref data = read_units(self, plan, units);
    if (!data) return Fast::Failed;
    const Py_ssize_t got = PyBytes_GET_SIZE(data.get());
    *filled = got == 0 ? 0 : 1;
    if (got == 0) return Fast::Done;
    Ref decoded;
    if (plan.kind == Coder::kBits) {
        decode_into(plan, data.get(), PyBytes_AS_STRING(bits.get()));
        // Short only at the end of the substream: the value is shorter than the allocation.
        if (got < request && !compat::bytes_truncate(bits.get(), 8 * got)) {
            bits = Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(bits.get()), 8 * got));
            if (!bits) return Fast::Failed;
        }
        decoded = std::move(bits);
    } else {
        decoded = std::move(data);
    }
    plan.rbuffer = Ref();  // read again: only what the dict holds may be grown in place
    Ref current = self.get(kRbuffer);
    if (!current) return Fast::Failed;
    return store_concatenation(self, kRbuffer, std::move(current), decoded.get()) ? Fast::Done : Fast::Failed;
}

// read(count) when rbuffer holds less than `count` bytes and one bulk round brings the rest: what
// the rounds and the final cut give, with the result and the new rbuffer cut straight from what was
// read. Everything that may fail for want of memory is allocated before the substream is touched.
// Done with `*result` (b'' when the substream had nothing); Declined when nothing changed, or when
// the substream ended short and what the rounds decode before its end was appended to rbuffer (the
// state the rounds leave there): the rounds go on from it either way; Failed.
Fast read_through(const Attrs& self, Py_ssize_t count, PyObject** result) {
    BulkRead plan;
    if (!plan_bulk_read(self, plan)) return Fast::Declined;
    const Py_ssize_t have = PyBytes_GET_SIZE(plan.rbuffer.get());
    const Py_ssize_t per_unit = plan.decoded_per_unit();
    if (count <= have || (count - have) / per_unit >= kBulkSourceBytes / plan.unit) return Fast::Declined;
    const Py_ssize_t units = (count - have + per_unit - 1) / per_unit;
    const Py_ssize_t total = have + units * per_unit;  // when the substream has every unit
    Ref head(PyBytes_FromStringAndSize(nullptr, count));
    Ref rest(total > count ? PyBytes_FromStringAndSize(nullptr, total - count) : PyBytes_FromStringAndSize(nullptr, 0));
    Ref scratch(total > count ? PyBytes_FromStringAndSize(nullptr, total) : nullptr);
    if (!head || !rest || (total > count && !scratch)) {
        PyErr_Clear();
        return Fast::Declined;
    }
    Ref data = read_units(self, plan, units);
    if (!data) return Fast::Failed;
    if (PyBytes_GET_SIZE(data.get()) < units * plan.unit) {
        // The substream ended: the rounds keep what they decoded and go on to its end.
        if (PyBytes_GET_SIZE(data.get()) == 0) {
            *result = empty_bytes().release();
            return *result != nullptr ? Fast::Done : Fast::Failed;
        }
        plan.rbuffer = Ref();
        Ref decoded = plan.kind == Coder::kBits ? Ref(PyBytes_FromStringAndSize(nullptr, 8 * PyBytes_GET_SIZE(data.get()))) : std::move(data);
        if (!decoded) return Fast::Failed;
        if (plan.kind == Coder::kBits) decode_into(plan, data.get(), PyBytes_AS_STRING(decoded.get()));
        Ref current = self.get(kRbuffer);
        if (!current) return Fast::Failed;
        return store_concatenation(self, kRbuffer, std::move(current), decoded.get()) ? Fast::Declined : Fast::Failed;
    }
    char* joined = total > count ? PyBytes_AS_STRING(scratch.get()) : PyBytes_AS_STRING(head.get());
    std::memcpy(joined, PyBytes_AS_STRING(plan.rbuffer.get()), static_cast<size_t>(have));
    decode_into(plan, data.get(), joined + have);
    if (total > count) {
        std::memcpy(PyBytes_AS_STRING(head.get()), joined, static_cast<size_t>(count));
        std::memcpy(PyBytes_AS_STRING(rest.get()), joined + count, static_cast<size_t>(total - count));
    }
    // The rounds' rbuffer holds `total` bytes; the cut leaves `rest` and counts `count`.
    plan = BulkRead();
    Ref amount(PyLong_FromSsize_t(count));
    if (!amount || !self.set(kRbuffer, rest.get()) || !add_to_counter(self, kSincereadwritten, amount.get())) {
        return Fast::Failed;
    }
    *result = head.release();
    return Fast::Done;
}

// One round of reading into rbuffer, or as many as a bulk round stands in for. 1: decoded, 0: the
// substream had nothing, -1: error.
int fill(const Attrs& self, Py_ssize_t wanted) {
    int filled = 0;
    switch (fill_bulk(self, wanted, &filled)) {
    case Fast::Done:
        return filled;
    case Fast::Failed:
        return -1;
    case Fast::Declined:
        break;
    }
    return fill_once(self);
}

// len(self.rbuffer) < count
int rbuffer_short_of(const Attrs& self, PyObject* count) {
    Ref rbuffer = self.get(kRbuffer);
    if (!rbuffer) return -1;
    const Py_ssize_t size = PyObject_Size(rbuffer.get());
    if (size < 0) return -1;
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long long wanted = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow != 0) return overflow > 0 ? 1 : 0;
        return static_cast<long long>(size) < wanted ? 1 : 0;
    }
    Ref have(PyLong_FromSsize_t(size));
    if (!have) return -1;
    return compare(have.get(), count, Py_LT);
}

// count - len(rbuffer) when both are known without running code; 0 (no bulk round) when not. An
// exact int beyond the Py_ssize_t range asks for more than any stream can give.
Py_ssize_t missing_bytes(const Attrs& self, PyObject* count) {
    PyObject* dict = self.plain_dict();
    PyObject* rbuffer = dict == nullptr ? nullptr : self.peek(dict, kRbuffer);
    if (rbuffer == nullptr || !PyBytes_CheckExact(rbuffer) || !PyLong_CheckExact(count)) return 0;
    Py_ssize_t wanted = 0;
    if (!index_of(count, &wanted)) return compare(count, self.state()->zero, Py_GT) > 0 ? PY_SSIZE_T_MAX : 0;
    return wanted > PyBytes_GET_SIZE(rbuffer) ? wanted - PyBytes_GET_SIZE(rbuffer) : 0;
}

// read(count) served from rbuffer alone: the front of rbuffer is cut off (in place when only the
// dict holds it) and the counter moves (in place when only the dict holds it). Nothing in it runs
// Python code. Declined when a precondition does not hold (then nothing changed).
Fast read_buffered(const Attrs& self, Py_ssize_t count, PyObject** result) {
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return Fast::Declined;
    // Looked up right before it is cut: no code runs in between (a held reference would make it
    // look shared).
    PyObject* rbuffer = self.peek(dict, kRbuffer);
    if (rbuffer == nullptr || !PyBytes_CheckExact(rbuffer) || PyBytes_GET_SIZE(rbuffer) < count) return Fast::Declined;
    const Py_ssize_t size = PyBytes_GET_SIZE(rbuffer);
    Ref head = count == size ? Ref::borrow(rbuffer) : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(rbuffer), count));
    if (!head) return Fast::Failed;  // MemoryError, as the cut raises it; nothing changed
    if (count > 0 && !store_dropped_front(self, dict, kRbuffer, rbuffer, count)) return Fast::Failed;
    // Then the counter, as the general path does it (in place when only the dict holds it): an exact
    // int plus `count` is a sum that runs no code, so reading it once is reading it at its use.
    PyObject* counter = nullptr;
    if (self.lookup(dict, kSincereadwritten, &counter) < 0) return Fast::Failed;
    Py_ssize_t before = 0, after = 0;
    if (index_of(counter, &before) && !__builtin_add_overflow(before, count, &after)) {
        if (!store_index_over(self, dict, kSincereadwritten, counter, after)) return Fast::Failed;
    } else {
        Ref amount(PyLong_FromSsize_t(count));
        if (!amount || !add_to_counter(self, kSincereadwritten, amount.get())) return Fast::Failed;
    }
    *result = head.release();
    return Fast::Done;
}

// ---------------------------------------------------------------------------------------------
// The steady read: read(count) of an exact count >= 0 on a plain instance whose memo vouches for
// its state, with nothing looked up twice and no Python code run from the first look to the last
// store: rbuffer serves it, or, when rbuffer holds too little, one bulk round (see above) brings
// the units the rounds would read. What it returns and leaves is what the rounds and the cut give.
// Done with `*result`; Declined when not handled (nothing changed) or when the substream ended
// short and its last units were appended as the rounds append them: the general path goes on from
// the state left; Failed.

// The counter moves by `count` after the cut (in place when only the dict holds it); `head` is the
// result.
Fast count_and_return(const Attrs& self, PyObject* dict, Py_ssize_t count, Ref head, PyObject** result) {
    Py_ssize_t before = 0, after = 0;
    if (PyObject* const* known = self.remembered(dict, bit_of(kSincereadwritten))) {
        PyObject* counter = known[kSincereadwritten];
        if (index_of(counter, &before) && !__builtin_add_overflow(before, count, &after)) {
            if (!store_index_over(self, dict, kSincereadwritten, counter, after)) return Fast::Failed;
            *result = head.release();
            return Fast::Done;
        }
    }
    Ref amount(PyLong_FromSsize_t(count));
    if (!amount || !add_to_counter(self, kSincereadwritten, amount.get())) return Fast::Failed;
    *result = head.release();
    return Fast::Done;
}

// Writes the decoding of the `n` source bytes `in` into `head` (room for `head_room` decoded bytes)
// and what comes after them into `rest`.
void split_decoded(Coder kind, const qelo::BinaryKernels* kernels, const char* source, Py_ssize_t n, char* head,
                   Py_ssize_t head_room, char* rest) {
    const auto* in = reinterpret_cast<const unsigned char*>(source);
    if (kind == Coder::kIdentity) {
        std::memcpy(head, in, static_cast<size_t>(head_room));
        std::memcpy(rest, in + head_room, static_cast<size_t>(n - head_room));
        return;
    }
    // Eight decoded bytes per source byte: whole source bytes into head, the one straddling the
    // cut through a scratch group, the others into rest.
    const Py_ssize_t whole = head_room / 8, part = head_room % 8;
    kernels->bytes_to_bits(in, static_cast<std::size_t>(whole), reinterpret_cast<unsigned char*>(head));
    Py_ssize_t next = whole;
    if (part != 0) {
        unsigned char group[8];
        kernels->bytes_to_bits(in + whole, 1, group);
        std::memcpy(head + 8 * whole, group, static_cast<size_t>(part));
        std::memcpy(rest, group + part, static_cast<size_t>(8 - part));
        rest += 8 - part;
        ++next;
    }
    kernels->bytes_to_bits(in + next, static_cast<std::size_t>(n - next), reinterpret_cast<unsigned char*>(rest));
}

Fast read_steady(const Attrs& self, Py_ssize_t count, PyObject** result) {
    PyObject* dict = self.plain_dict();
    if (dict == nullptr) return Fast::Declined;
    PyObject* const* known = self.fetch(dict, bit_of(kRbuffer));
    PyObject* rbuffer = known == nullptr ? nullptr : known[kRbuffer];
    if (rbuffer == nullptr || !PyBytes_CheckExact(rbuffer)) return Fast::Declined;
    const Py_ssize_t have = PyBytes_GET_SIZE(rbuffer);
    if (count <= have) {
        Ref head = count == have ? Ref::borrow(rbuffer) : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(rbuffer), count));
        if (!head) return Fast::Failed;  // MemoryError, as the cut raises it; nothing changed
        if (count > 0 && !store_dropped_front(self, dict, kRbuffer, rbuffer, count)) return Fast::Failed;
        return count_and_return(self, dict, count, std::move(head), result);
    }
    ModuleState* st = self.state();
    known = self.fetch(dict, bit_of(kRbuffer) | bit_of(kSubstream) | bit_of(kDecoder) | bit_of(kDecoderunit));
    if (known == nullptr || st->bytesio_read == nullptr) return Fast::Declined;
    PyObject* substream = known[kSubstream];
    PyObject* decoder = known[kDecoder];
    PyObject* unit_obj = known[kDecoderunit];
    Py_ssize_t unit = 0;
    if (substream == nullptr || decoder == nullptr || !index_of(unit_obj, &unit) || unit < 1 || unit > kBulkSourceBytes / 2 ||
        !is_plain_bytesio(st, substream)) {
        return Fast::Declined;
    }
    const Py_ssize_t most_units = kBulkSourceBytes / unit;
    const qelo::BinaryKernels* kernels = nullptr;
    const Coder kind = bulk_decoder_of(st, decoder, most_units * unit, &kernels);
    if (kind == Coder::kNone) return Fast::Declined;
    const Py_ssize_t per_unit = kind == Coder::kBits ? 8 * unit : unit;
    if ((count - have) / per_unit >= most_units) return Fast::Declined;
    const Py_ssize_t units = (count - have + per_unit - 1) / per_unit;
    const Py_ssize_t total = have + units * per_unit;  // when the substream has every unit
    // Everything that may fail for want of memory before the substream is touched: then the rounds run.
    Ref head(PyBytes_FromStringAndSize(nullptr, count));
    Ref rest(PyBytes_FromStringAndSize(nullptr, total - count));
    Ref size = units == 1 ? Ref::borrow(unit_obj) : Ref(PyLong_FromSsize_t(units * unit));
    if (!head || !rest || !size) {
        PyErr_Clear();
        return Fast::Declined;
    }
    // io.BytesIO's own read runs no Python code: what the memo vouched for still holds after it.
    // Where its layout is known, the bytes are taken from its buffer as read would return them.
    const char* source = nullptr;
    Py_ssize_t got = 0;
    Ref data;
    if (!st->bytesio_direct || !compat::bytesio_read_span(substream, units * unit, &source, &got)) {
        PyObject* call_args[] = {substream, size.get()};
        data = Ref(PyObject_Vectorcall(st->bytesio_read, call_args, 2, nullptr));
        if (!data) return Fast::Failed;  // what the first round's read raises; nothing changed
        if (!PyBytes_CheckExact(data.get())) {
            PyErr_SetString(PyExc_SystemError, "io.BytesIO.read returned no bytes");
            return Fast::Failed;
        }
        source = PyBytes_AS_STRING(data.get());
        got = PyBytes_GET_SIZE(data.get());
    }
    if (got < units * unit) {
        // The substream ended: the rounds append what they decoded (a short unit included), then
        // cut when that is enough, else return b'' at its end. The general path takes it from there.
        if (got == 0) {
            *result = empty_bytes().release();
            return *result != nullptr ? Fast::Done : Fast::Failed;
        }
        Ref decoded(PyBytes_FromStringAndSize(kind == Coder::kBits ? nullptr : source, kind == Coder::kBits ? 8 * got : got));
        if (!decoded) return Fast::Failed;
        if (kind == Coder::kBits) {
            kernels->bytes_to_bits(reinterpret_cast<const unsigned char*>(source), static_cast<std::size_t>(got),
                                   reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(decoded.get())));
        }
        return store_concatenation(self, kRbuffer, Ref::borrow(rbuffer), decoded.get()) ? Fast::Declined : Fast::Failed;
    }
    char* out = PyBytes_AS_STRING(head.get());
    std::memcpy(out, PyBytes_AS_STRING(rbuffer), static_cast<size_t>(have));
    split_decoded(kind, kernels, source, got, out + have, count - have, PyBytes_AS_STRING(rest.get()));
    // The rounds' rbuffer holds `total` bytes; the cut leaves `rest` and counts `count`.
    if (!self.store(dict, kRbuffer, rest.get())) return Fast::Failed;
    return count_and_return(self, dict, count, std::move(head), result);
}

PyObject* read_all(const Attrs& self) {
    for (;;) {
        const int filled = fill(self, -1);
        if (filled < 0) return nullptr;
        if (filled == 0) break;
    }
    Ref result = self.get(kRbuffer);
    if (!result) return nullptr;
    Ref empty = empty_bytes();
    if (!empty || !self.set(kRbuffer, empty.get())) return nullptr;
    // sincereadwritten = sincereadwritten + len(result): the counter is looked up before the length
    // is taken, which only an exact bytes result gives without running code or failing.
    if (PyBytes_CheckExact(result.get())) {
        Ref size(PyLong_FromSsize_t(PyBytes_GET_SIZE(result.get())));
        if (!size || !add_to_counter(self, kSincereadwritten, size.get())) return nullptr;
        return result.release();
    }
    Ref counter = self.get(kSincereadwritten);
    if (!counter) return nullptr;
    Ref size = length_of(result.get());
    if (!size) return nullptr;
    Ref sum = add(counter.get(), size.get());
    if (!sum || !self.set(kSincereadwritten, sum.get())) return nullptr;
    return result.release();
}

PyObject* read_count(const Attrs& self, PyObject* count) {
    // An exact int in range is compared with 0 in C: the comparison runs no code either way.
    Py_ssize_t wanted = -1;
    const bool exact = index_of(count, &wanted);
    if (exact && wanted >= 0) {
        PyObject* result = nullptr;
        Fast served = read_steady(self, wanted, &result);
        if (served == Fast::Declined) served = read_buffered(self, wanted, &result);
        if (served == Fast::Declined) served = read_through(self, wanted, &result);
        if (served == Fast::Failed) return nullptr;
        if (served == Fast::Done) return result;
    }
    const int negative = exact ? wanted < 0 : compare(count, self.state()->zero, Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return nullptr;
    }
    for (;;) {
        const int short_of = rbuffer_short_of(self, count);
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        const int filled = fill(self, missing_bytes(self, count));
        if (filled < 0) return nullptr;
        if (filled == 0) return empty_bytes().release();
    }
    if (exact) {
        PyObject* result = nullptr;
        const Fast served = read_buffered(self, wanted, &result);
        if (served == Fast::Failed) return nullptr;
        if (served == Fast::Done) return result;
    }
    Ref rbuffer = self.get(kRbuffer);
    if (!rbuffer) return nullptr;
    Ref head = slice(rbuffer.get(), nullptr, count);
    if (!head) return nullptr;
    Ref rest = slice(rbuffer.get(), count, nullptr);
    if (!rest || !self.set(kRbuffer, rest.get())) return nullptr;
    if (!increment(self, kSincereadwritten, count)) return nullptr;
    return head.release();
}

}  // namespace

PyObject* restreamed_read(PyObject* self, ModuleState* st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* count = nullptr;
    if (!parse_one(kReadSig, args, nargs, kwnames, &count)) return nullptr;
    const Attrs attrs(st, self, kRestreamed);
    if (count == nullptr || count == Py_None) return read_all(attrs);
    return read_count(attrs, count);
}

}  // namespace qelo::bitstream
