// RestreamedBytesIO's writing: the encoder rounds, and the bulk encoding that stands in for them
// where it gives the same result.

#include "restreamed.hpp"

namespace qelo::bitstream {

// ---------------------------------------------------------------------------------------------
// Writing, one encoder round at a time

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

namespace {

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

}  // namespace

// The whole units of wbuffer at once (see above; what it answers is told in restreamed.hpp).
Fast flush_bulk(const Attrs& self, bool* front_left, PyObject* pending, PyObject* encoderunit) {
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

}  // namespace qelo::bitstream
