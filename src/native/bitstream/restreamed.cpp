// RestreamedBytesIO: reading decodes units of `decoderunit` bytes from the substream, writing
// encodes units of `encoderunit` bytes to it; partial units wait in rbuffer and wbuffer.

#include "restreamed.hpp"

namespace qelo::bitstream {

namespace {

const char* const kInitParams[] = {"substream", "decoder", "decoderunit", "encoder", "encoderunit"};
const qelo::Signature kInitSig{"RestreamedBytesIO.__init__", kInitParams, 5, 5, true};
const char* const kSeekParams[] = {"at", "whence"};
const qelo::Signature kSeekSig{"RestreamedBytesIO.seek", kSeekParams, 2, 1, true};

constexpr const char kEncoderunitMessage[] = "encoderunit must be at least 1";

// 1 when `unit` is refused as an encoder unit (below 1), 0 when accepted, -1 on error.
int refuses_encoderunit(ModuleState* st, PyObject* unit) {
    Py_ssize_t exact = 0;
    if (index_of(unit, &exact)) return exact < 1 ? 1 : 0;  // the comparison of exact ints runs no code
    return compare(unit, st->one, Py_LT);
}

}  // namespace

Ref checked_encoderunit(const Attrs& self) {
    Ref unit = self.get(kEncoderunit);
    if (!unit) return Ref();
    const int refused = refuses_encoderunit(self.state(), unit.get());
    if (refused < 0) return Ref();
    if (refused) {
        PyErr_SetString(PyExc_ValueError, kEncoderunitMessage);
        return Ref();
    }
    return unit;
}

namespace {

// The leftover check of close: raises when the buffer `name` still holds bytes, naming the unit
// `unit_name` (read only then).
bool refuse_leftover(const Attrs& attrs, Name name, Name unit_name, const char* format) {
    Ref buffer = attrs.get(name);
    if (!buffer) return false;
    const int nonempty = PyObject_IsTrue(buffer.get());
    if (nonempty < 0) return false;
    if (!nonempty) return true;
    // The pair (len(buffer), unit), built left to right: a buffer without a length fails before
    // the unit is looked up.
    Ref size = length_of(buffer.get());
    if (!size) return false;
    Ref unit = attrs.get(unit_name);
    if (!unit) return false;
    Ref values(PyTuple_Pack(2, size.get(), unit.get()));
    Ref text(PyUnicode_FromString(format));
    if (!values || !text) return false;
    Ref message(PyUnicode_Format(text.get(), values.get()));
    if (!message) return false;
    PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Methods

int restreamed_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return qelo::with_fastcall(args, kwargs, [self](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) -> int {
        PyObject* a[5];
        if (!qelo::parse_args(kInitSig, stack, nargs, kwnames, a)) return -1;
        ModuleState* st = instance_state(self);
        if (st == nullptr) return -1;
        PyObject* encoderunit = a[4];
        // A unit below 1 would make write loop forever; refuse it now. A unit that does not compare
        // with ints at all is left for write to report (a read-only instance never uses it).
        const int refused = refuses_encoderunit(st, encoderunit);
        if (refused < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
            PyErr_Clear();
        } else if (refused) {
            PyErr_SetString(PyExc_ValueError, kEncoderunitMessage);
            return -1;
        }
        const Attrs attrs(st, self, kRestreamed);
        Ref empty = empty_bytes();
        if (!empty) return -1;
        const bool ok = attrs.set(kSubstream, a[0]) && attrs.set(kEncoder, a[3]) && attrs.set(kEncoderunit, encoderunit) &&
                        attrs.set(kDecoder, a[1]) && attrs.set(kDecoderunit, a[2]) && attrs.set(kRbuffer, empty.get()) &&
                        attrs.set(kWbuffer, empty.get()) && attrs.set(kSincereadwritten, st->zero);
        return ok ? 0 : -1;
    });
}

PyObject* restreamed_close(PyObject* self, ModuleState* st, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!qelo::parse_no_args("RestreamedBytesIO.close", nargs, kwnames)) return nullptr;
    const Attrs attrs(st, self, kRestreamed);
    if (!refuse_leftover(attrs, kRbuffer, kDecoderunit, "closing stream but %d unread bytes remain, %d is decoded unit") ||
        !refuse_leftover(attrs, kWbuffer, kEncoderunit, "closing stream but %d unwritten bytes remain, %d is encoded unit")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* restreamed_seek(PyObject*, ModuleState*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!qelo::parse_args(kSeekSig, args, nargs, kwnames, a)) return nullptr;
    PyErr_SetNone(PyExc_OSError);
    return nullptr;
}

}  // namespace qelo::bitstream
