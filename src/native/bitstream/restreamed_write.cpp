// RestreamedBytesIO.write: the encoder rounds, and the bulk encoding that stands in for them where
// it gives the same result.

#include "restreamed.hpp"

namespace qelo::bitstream {

namespace {

const char* const kDataParam[] = {"data"};
const qelo::Signature kWriteSig{"RestreamedBytesIO.write", kDataParam, 1, 1, true};

// Below this size wbuffer is not grown in place (buffers.cpp): joining copies it either way.
constexpr Py_ssize_t kSmallBuffer = 4096;

// ---------------------------------------------------------------------------------------------
// Writing, one encoder round at a time

// Cuts one unit from wbuffer and writes it encoded. 1: written, 0: wbuffer holds less than a
// unit, -1: error.
int flush_unit(const Attrs& self) {
    Ref unit = checked_encoderunit(self);
    if (!unit) return -1;
    Ref wbuffer = self.get(kWbuffer);
    if (!wbuffer) return -1;
    Ref size = length_of(wbuffer.get());
    if (!size) return -1;
    const int enough = compare(size.get(), unit.get(), Py_GE);
    if (enough <= 0) return enough;
    Ref chunk = slice(wbuffer.get(), nullptr, unit.get());
    if (!chunk) return -1;
    Ref rest = slice(wbuffer.get(), unit.get(), nullptr);
    if (!rest || !self.set(kWbuffer, rest.get())) return -1;
    Ref substream = self.get(kSubstream);
    if (!substream) return -1;
    Ref writer(PyObject_GetAttr(substream.get(), self.state()->names[kWrite]));
    if (!writer) return -1;
    Ref encoder = self.get(kEncoder);
    if (!encoder) return -1;
    Ref encoded = call1(encoder.get(), chunk.get());
    if (!encoded) return -1;
    Ref ignored = call1(writer.get(), encoded.get());
    return ignored ? 1 : -1;
}

// ---------------------------------------------------------------------------------------------
// Bulk encoding. When the substream is exactly io.BytesIO writing through its own C write, and the
// encoder is `bytes` or qelo.lib.binary's own bits2bytes taking its kernel (the unit a multiple of
// 8), the rounds "cut a unit from wbuffer, encode it, write it" run no Python code, and k of them
// give what one write of the k encoded units joined gives: encoding is byte-wise, and io.BytesIO
// puts consecutive writes one after the other. Its write either takes all the bytes or fails before
// taking any (closed, an exported buffer, no memory), so a failed joined write changes nothing and
// the rounds then run one by one, failing where the first of them fails. A unit that is not a bit
// string ends the bulk work before it: the units ahead of it are written, and its round raises.

Coder bulk_encoder_of(ModuleState* st, PyObject* encoder, Py_ssize_t unit, Py_ssize_t work,
                      const qelo::BinaryKernels** lent) {
    if (encoder == reinterpret_cast<PyObject*>(&PyBytes_Type)) return Coder::kIdentity;
    if (unit % 8 != 0) return Coder::kNone;
    PyObject* module = nullptr;
    const qelo::BinaryKernels* kernels = kernels_of(st, encoder, &module);
    if (kernels == nullptr || PyCFunction_GET_FUNCTION(encoder) != kernels->bits2bytes ||
        kernels->bits2bytes_ready(module, work) != 1) {
        return Coder::kNone;
    }
    *lent = kernels;
    return Coder::kBits;
}

// The whole units of wbuffer, encoded and written at once (see above). Done: written, with
// `*front_left` false when wbuffer now holds less than a unit, true when the unit now at its front
// is left for its own round; Declined: nothing changed, the rounds run one by one; Failed.
//
// `pending` (exact bytes, or null) is what wbuffer would hold after the write's concatenation, not
// stored yet, and `encoderunit` what the write found bound to that name: a write of exact bytes
// stores only what is left after the units. Then Declined leaves storing `pending` to the caller.
Fast flush_bulk(const Attrs& self, bool* front_left, PyObject* pending = nullptr, PyObject* encoderunit = nullptr) {
    ModuleState* st = self.state();
    PyObject* dict = self.plain_dict();
    if (dict == nullptr || st->bytesio_write == nullptr) return Fast::Declined;
    Ref wbuffer_held = pending != nullptr ? Ref::borrow(pending) : self.held(dict, kWbuffer);
    Ref substream = self.held(dict, kSubstream);
    Ref encoder = self.held(dict, kEncoder);
    Ref unit_held = encoderunit != nullptr ? Ref::borrow(encoderunit) : self.held(dict, kEncoderunit);
    PyObject* wbuffer = wbuffer_held.get();
    Py_ssize_t unit = 0;
    if (!wbuffer || !substream || !encoder || !PyBytes_CheckExact(wbuffer) || !index_of(unit_held.get(), &unit) || unit < 1) {
        return Fast::Declined;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(wbuffer);
    const Py_ssize_t units = size / unit;
    if (units == 0) {
        // The round would find less than a unit and change nothing.
        *front_left = false;
        return pending == nullptr || self.store(dict, kWbuffer, pending) ? Fast::Done : Fast::Failed;
    }
    if (!is_plain_bytesio(st, substream.get())) return Fast::Declined;
    const qelo::BinaryKernels* kernels = nullptr;
    const Coder kind = bulk_encoder_of(st, encoder.get(), unit, units * (unit / 8), &kernels);
    if (kind == Coder::kNone) return Fast::Declined;
    const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(wbuffer));
    Py_ssize_t done = units;  // units encoded
    Ref encoded;
    if (kind == Coder::kBits) {
        const Py_ssize_t per_unit = unit / 8;
        encoded = Ref(PyBytes_FromStringAndSize(nullptr, units * per_unit));
        if (!encoded) {
            PyErr_Clear();
            return Fast::Declined;
        }
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(encoded.get()));
        if (!kernels->bits_to_bytes(in, static_cast<std::size_t>(units * per_unit), out)) {
            // Some unit is not a bit string: the first such one, unit by unit.
            done = 0;
            while (done < units && kernels->bits_to_bytes(in + done * unit, static_cast<std::size_t>(per_unit),
                                                          out + done * per_unit)) {
                ++done;
            }
            // The first unit's own round raises: nothing to do here.
            if (done == 0) return Fast::Declined;
            encoded = Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out), done * per_unit));
        }
    } else {
        encoded = done * unit == size ? Ref::borrow(wbuffer) : Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(wbuffer), done * unit));
    }
    Ref rest = encoded ? Ref(PyBytes_FromStringAndSize(PyBytes_AS_STRING(wbuffer) + done * unit, size - done * unit)) : Ref();
    if (!rest) {
        PyErr_Clear();
        return Fast::Declined;
    }
    PyObject* call_args[] = {substream.get(), encoded.get()};
    Ref written(PyObject_Vectorcall(st->bytesio_write, call_args, 2, nullptr));
    if (!written) {
        PyErr_Clear();  // nothing was written: the rounds run one by one and fail as they fail
        return Fast::Declined;
    }
    // Replacing the value of a key the dict holds does not allocate.
    if (!self.store(dict, kWbuffer, rest.get())) return Fast::Failed;
    *front_left = done < units;
    return Fast::Done;
}

}  // namespace

PyObject* restreamed_write(PyObject* self, ModuleState* st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = nullptr;
    if (!parse_one(kWriteSig, args, nargs, kwnames, &data)) return nullptr;
    const Attrs attrs(st, self, kRestreamed);
    // Refused before anything changes: with a unit below 1 the unit loop could never end.
    Ref unit = checked_encoderunit(attrs);
    if (!unit) return nullptr;
    Ref wbuffer = attrs.get(kWbuffer);
    if (!wbuffer) return nullptr;
    Fast bulk = Fast::Declined;
    bool front_left = false;
    Ref datalen;
    if (PyBytes_CheckExact(data) && PyBytes_CheckExact(wbuffer.get()) && PyBytes_GET_SIZE(wbuffer.get()) < kSmallBuffer &&
        attrs.plain_dict() != nullptr) {
        // Joining two exact bytes and measuring them runs no code: the units are cut from the joined
        // value before it is stored, and only what is left is stored.
        Ref joined = concatenate(wbuffer.get(), data);
        datalen = Ref(PyLong_FromSsize_t(PyBytes_GET_SIZE(data)));
        if (!joined || !datalen) return nullptr;
        wbuffer = Ref();
        bulk = flush_bulk(attrs, &front_left, joined.get(), unit.get());
        if (bulk == Fast::Failed || (bulk == Fast::Declined && !attrs.set(kWbuffer, joined.get()))) return nullptr;
    } else {
        if (!store_concatenation(attrs, kWbuffer, std::move(wbuffer), data)) return nullptr;
        datalen = length_of(data);
        if (!datalen) return nullptr;
        bulk = flush_bulk(attrs, &front_left);
        if (bulk == Fast::Failed) return nullptr;
    }
    // The rounds, for what the bulk work did not do.
    while (bulk != Fast::Done || front_left) {
        const int flushed = flush_unit(attrs);
        if (flushed < 0) return nullptr;
        if (flushed == 0) break;
    }
    if (!add_to_counter(attrs, kSincereadwritten, datalen.get())) return nullptr;
    return datalen.release();
}

}  // namespace qelo::bitstream
