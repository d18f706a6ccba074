// integer2bits, integer2bytes, bits2integer, bytes2integer.
//
// The general path of each function follows the documented algorithm step by step with Python
// operations on whatever the module namespace binds at the time. The direct route is taken only
// when every name it stands in for is bound to the original helper and the inputs have exact
// built-in types, so the result is the same.
#include "state.hpp"

#include "args.hpp"
#include "kernels.hpp"

#include <algorithm>
#include <cstring>

namespace qelo::binary {
namespace {

const char* const kNumberWidth[] = {"number", "width"};
const char* const kDataSigned[] = {"data", "signed"};
const Signature kInteger2bitsSig{"integer2bits", kNumberWidth, 2, 2};
const Signature kInteger2bytesSig{"integer2bytes", kNumberWidth, 2, 2};
const Signature kBits2integerSig{"bits2integer", kDataSigned, 2, 1};
const Signature kBytes2integerSig{"bytes2integer", kDataSigned, 2, 1};

// PyMem buffer released on every path.
class TempBuffer {
public:
    explicit TempBuffer(size_t size) : data_(static_cast<unsigned char*>(PyMem_Calloc(size ? size : 1, 1))) {
        if (data_ == nullptr) PyErr_NoMemory();
    }
    TempBuffer(const TempBuffer&) = delete;
    TempBuffer& operator=(const TempBuffer&) = delete;
    ~TempBuffer() { PyMem_Free(data_); }
    unsigned char* get() const { return data_; }

private:
    unsigned char* data_;
};

bool is_plain_int(PyObject* o) { return PyLong_CheckExact(o) || PyBool_Check(o); }

// Step 1 of both integer functions, before anything is done with `number`. Sets *fast_width to
// the width when it is a plain int that fits in Py_ssize_t (else -1). Returns false with the error.
bool check_width(ModuleState* st, PyObject* width, Py_ssize_t* fast_width) {
    *fast_width = -1;
    int negative;
    if (is_plain_int(width)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(width, &overflow);
        negative = overflow < 0 || (overflow == 0 && v < 0);
        if (overflow == 0 && v >= 0 && static_cast<unsigned long long>(v) <= PY_SSIZE_T_MAX) {
            *fast_width = static_cast<Py_ssize_t>(v);
        }
    } else {
        negative = PyObject_RichCompareBool(width, st->int_zero, Py_LT);
        if (negative < 0) return false;
    }
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "width must be non-negative");
        return false;
    }
    return true;
}

// Steps 3 to 7 of integer2bits (per bit) and integer2bytes (per byte), literally.
PyObject* fixed_width_general(PyObject* module, Ref number, PyObject* width, bool per_byte) {
    ModuleState* st = state_of(module);
    const int negative = PyObject_RichCompareBool(number.get(), st->int_zero, Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
        Ref count = per_byte ? Ref(PyNumber_Multiply(width, st->int_eight)) : Ref::borrow(width);
        if (!count) return nullptr;
        Ref bias(PyNumber_Lshift(st->int_one, count.get()));
        if (!bias) return nullptr;
        number = Ref(PyNumber_InPlaceAdd(number.get(), bias.get()));
        if (!number) return nullptr;
    }
    Ref one_zero_byte(PyList_New(1));
    if (!one_zero_byte) return nullptr;
    PyList_SET_ITEM(one_zero_byte.get(), 0, Ref::borrow(st->zero_byte).release());
    Ref acc(PyNumber_Multiply(one_zero_byte.get(), width));
    if (!acc) return nullptr;
    Ref i(PyNumber_Subtract(width, st->int_one));
    if (!i) return nullptr;
    PyObject* const unit_mask = per_byte ? st->int_255 : st->int_one;
    PyObject* const unit_shift = per_byte ? st->int_eight : st->int_one;
    for (;;) {
        // integer2bits runs while number is non-zero. integer2bytes does the same (`!= 0` where the
        // original test was `> 0`): a number still negative after the bias then yields the low
        // bytes of its two's complement instead of zero bytes.
        const int more = per_byte ? PyObject_RichCompareBool(number.get(), st->int_zero, Py_NE)
                                  : PyObject_IsTrue(number.get());
        if (more < 0) return nullptr;
        if (!more) break;
        const int in_range = PyObject_RichCompareBool(i.get(), st->int_zero, Py_GE);
        if (in_range < 0) return nullptr;
        if (!in_range) break;
        Ref int2byte = resolve(module, kInt2byte);
        if (!int2byte) return nullptr;
        Ref unit(PyNumber_And(number.get(), unit_mask));
        if (!unit) return nullptr;
        Ref piece = call_one(int2byte.get(), unit.get());
        if (!piece || PyObject_SetItem(acc.get(), i.get(), piece.get()) < 0) return nullptr;
        number = Ref(PyNumber_InPlaceRshift(number.get(), unit_shift));
        if (!number) return nullptr;
        i = Ref(PyNumber_InPlaceSubtract(i.get(), st->int_one));
        if (!i) return nullptr;
    }
    return join_pieces(st, acc.get()).release();
}

// The low `width` bits of number's two's complement as a bit string (number is an exact int).
PyObject* low_bits_direct(PyObject* number, Py_ssize_t width) {
    Ref out(PyBytes_FromStringAndSize(nullptr, width));
    if (!out) return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    const size_t w = static_cast<size_t>(width);
    if (w <= 64) {
        kernels::low_bits_of_word(PyLong_AsUnsignedLongLongMask(number), w, p);
        return out.release();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow == 0) {  // fits a machine word: the bits above it are the sign
        std::memset(p, v < 0 ? 1 : 0, w - 64);
        kernels::low_bits_of_word(static_cast<std::uint64_t>(v), 64, p + (w - 64));
        return out.release();
    }
    const size_t nbytes = (w + 7) / 8;
    TempBuffer buffer(nbytes);
    if (buffer.get() == nullptr || !compat::long_low_bytes_big_endian(number, buffer.get(), nbytes)) return nullptr;
    kernels::bytes_to_bits_skipping(buffer.get(), nbytes, 8 * nbytes - w, p);
    return out.release();
}

// The low `width` bytes of number's two's complement, big-endian (number is an exact int).
PyObject* low_bytes_direct(PyObject* number, Py_ssize_t width) {
    Ref out(PyBytes_FromStringAndSize(nullptr, width));
    if (!out) return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    const size_t w = static_cast<size_t>(width);
    if (w <= 8) {
        kernels::low_bytes_of_word(PyLong_AsUnsignedLongLongMask(number), w, p);
        return out.release();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow == 0) {
        std::memset(p, v < 0 ? 0xFF : 0, w - 8);
        kernels::low_bytes_of_word(static_cast<std::uint64_t>(v), 8, p + (w - 8));
        return out.release();
    }
    return compat::long_low_bytes_big_endian(number, p, w) ? out.release() : nullptr;
}

PyObject* to_fixed_width(PyObject* module, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, bool per_byte) {
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a) || !state_alive(module)) return nullptr;
    ModuleState* st = state_of(module);
    Py_ssize_t fast_width;
    if (!check_width(st, a[1], &fast_width)) return nullptr;
    Ref number(PyNumber_Long(a[0]));
    if (!number) return nullptr;
    if (fast_width >= 0) {
        const int original = int2byte_is_original(module);
        if (original < 0) return nullptr;
        if (original) {
            return per_byte ? low_bytes_direct(number.get(), fast_width) : low_bits_direct(number.get(), fast_width);
        }
    }
    return fixed_width_general(module, std::move(number), a[1], per_byte);
}

// number = (number << shift) | b for each b of iterateints(data), literally.
Ref fold_general(PyObject* module, PyObject* data, PyObject* shift) {
    ModuleState* st = state_of(module);
    Ref iterateints = resolve(module, kIterateints);
    if (!iterateints) return Ref();
    Ref iterable = call_one(iterateints.get(), data);
    if (!iterable) return Ref();
    Ref iterator(PyObject_GetIter(iterable.get()));
    if (!iterator) return Ref();
    Ref number = Ref::borrow(st->int_zero);
    Ref b;
    int got;
    while ((got = next_item(iterator.get(), b)) > 0) {
        Ref shifted(PyNumber_Lshift(number.get(), shift));
        if (!shifted) return Ref();
        number = Ref(PyNumber_Or(shifted.get(), b.get()));
        if (!number) return Ref();
    }
    if (got < 0) return Ref();
    return number;
}

// 1 when data is exact bytes and iterateints is the original iter (ints 0..255 in order).
int iterates_bytes_directly(PyObject* module, PyObject* data) {
    if (!PyBytes_CheckExact(data)) return 0;
    return helper_is_original(module, kIterHelper);
}

const unsigned char* bytes_data(PyObject* b) { return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b)); }

Ref fold_bits_direct(PyObject* data) {
    const unsigned char* p = bytes_data(data);
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(data));
    if (n <= 56) return Ref(PyLong_FromUnsignedLongLong(kernels::fold_bits_short(p, n)));
    // Usually a bit string proper: pack it 8 bits at a time. Bytes above 1 spill into higher bits,
    // which the byte-at-a-time fold below reproduces.
    const size_t packed_size = (n + 7) / 8;
    {
        TempBuffer packed(packed_size);
        if (packed.get() == nullptr) return Ref();
        if (kernels::pack_bit_string(p, n, packed.get())) {
            return Ref(compat::long_from_big_endian(packed.get(), packed_size, false));
        }
    }
    const size_t size = n / 8 + 2;
    TempBuffer buffer(size);
    if (buffer.get() == nullptr) return Ref();
    kernels::fold_bits_into(p, n, buffer.get());
    std::reverse(buffer.get(), buffer.get() + size);  // little-endian to big-endian
    return Ref(compat::long_from_big_endian(buffer.get(), size, false));
}

// `signed` tested for truth, after the fold (an absent argument is False).
int signed_requested(PyObject* is_signed) { return is_signed == nullptr ? 0 : PyObject_IsTrue(is_signed); }

// number - (1 << (len(data) * bits_per_item)).
PyObject* minus_bias(ModuleState* st, PyObject* number, PyObject* data, bool per_byte) {
    const Py_ssize_t length = PyObject_Size(data);
    if (length < 0) return nullptr;
    Ref count(PyLong_FromSsize_t(length));
    if (!count) return nullptr;
    if (per_byte) {
        count = Ref(PyNumber_Multiply(count.get(), st->int_eight));
        if (!count) return nullptr;
    }
    Ref bias(PyNumber_Lshift(st->int_one, count.get()));
    if (!bias) return nullptr;
    return PyNumber_Subtract(number, bias.get());
}

// byte2int(data[0:1]), or byte2int(bytes2bits(data[0:1])[0:1]) for bytes, tested for truth.
int sign_test_general(PyObject* module, PyObject* data, bool per_byte) {
    ModuleState* st = state_of(module);
    Ref byte2int = resolve(module, kByte2int);
    if (!byte2int) return -1;
    Ref head;
    if (per_byte) {
        Ref bytes2bits_fn = resolve(module, kBytes2bits);
        if (!bytes2bits_fn) return -1;
        Ref first(PyObject_GetItem(data, st->head_slice));
        if (!first) return -1;
        Ref bits = call_one(bytes2bits_fn.get(), first.get());
        if (!bits) return -1;
        head = Ref(PyObject_GetItem(bits.get(), st->head_slice));
    } else {
        head = Ref(PyObject_GetItem(data, st->head_slice));
    }
    if (!head) return -1;
    Ref value = call_one(byte2int.get(), head.get());
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// The sign test on exact bytes when byte2int is int.from_bytes: the first byte's truth for bits.
// For bytes it also needs bytes2bits and its table untouched: then it is the first byte's top bit.
// Done with `negative` set to 1 or 0; declined when the direct test does not apply.
Fast sign_test_direct(PyObject* module, PyObject* data, bool per_byte, int& negative) {
    // Read now, not before: testing `signed` may have run Python code that rebound names.
    const Bindings* bindings = bindings_of(module);
    if (bindings == nullptr) return Fast::Failed;
    if (!bindings->original(kByte2intHelper)) return Fast::Declined;
    if (per_byte && !(bindings->original(kBytes2bitsHelper) && bindings->original(kIterHelper) &&
                      bindings->table_bound(kBytesToBitsTable) &&
                      table_is_pristine(state_of(module), kBytesToBitsTable, 1))) {
        return Fast::Declined;
    }
    const unsigned char first = PyBytes_GET_SIZE(data) == 0 ? 0 : bytes_data(data)[0];  // int.from_bytes(b"") == 0
    negative = per_byte ? (first >> 7) : (first != 0);
    return Fast::Done;
}

// The sign test, directly where it may be (`direct`: data is exact bytes and iterateints the
// original), else literally; 1 or 0, -1 with an exception set. `*read_directly` tells which.
int sign_test(PyObject* module, PyObject* data, bool per_byte, bool direct, bool* read_directly = nullptr) {
    int negative = 0;
    const Fast fast = direct ? sign_test_direct(module, data, per_byte, negative) : Fast::Declined;
    if (read_directly != nullptr) *read_directly = fast == Fast::Done;
    switch (fast) {
        case Fast::Done: return negative;
        case Fast::Failed: return -1;
        case Fast::Declined: break;
    }
    return sign_test_general(module, data, per_byte);
}

// Exact bytes with the original iterateints: the fold has no side effects and cannot fail (beyond
// memory), so the sign is settled first and the bytes are converted once, signed or not.
PyObject* bytes_to_integer_direct(PyObject* module, PyObject* data, PyObject* is_signed) {
    ModuleState* st = state_of(module);
    const int wants_sign = signed_requested(is_signed);
    if (wants_sign < 0) return nullptr;
    int negative = 0;
    bool sign_read_directly = true;
    if (wants_sign) {
        negative = sign_test(module, data, true, true, &sign_read_directly);
        if (negative < 0) return nullptr;
    }
    const Py_ssize_t size = PyBytes_GET_SIZE(data);
    const auto n = static_cast<size_t>(size);
    if (sign_read_directly) return compat::long_from_big_endian(bytes_data(data), n, negative != 0);
    Ref number(compat::long_from_big_endian(bytes_data(data), n, false));
    if (!number || !negative) return number.release();
    return minus_bias(st, number.get(), data, true);
}

PyObject* to_integer(PyObject* module, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, bool per_byte) {
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a) || !state_alive(module)) return nullptr;
    PyObject* data = a[0];
    ModuleState* st = state_of(module);
    const int direct = iterates_bytes_directly(module, data);
    if (direct < 0) return nullptr;
    if (direct && per_byte) return bytes_to_integer_direct(module, data, a[1]);
    Ref number = direct ? fold_bits_direct(data) : fold_general(module, data, per_byte ? st->int_eight : st->int_one);
    if (!number) return nullptr;
    const int wants_sign = signed_requested(a[1]);
    if (wants_sign <= 0) return wants_sign < 0 ? nullptr : number.release();
    const int negative = sign_test(module, data, per_byte, direct != 0);
    if (negative < 0) return nullptr;
    if (!negative) return number.release();
    return minus_bias(st, number.get(), data, per_byte);
}

}  // namespace

int int2byte_is_original(PyObject* module) {
    const int bound = helper_is_original(module, kInt2byteHelper);
    if (bound <= 0) return bound;
    ModuleState* st = state_of(module);
    return st->int2byte_format.unchanged(PyCFunction_GET_SELF(st->original_int2byte));
}

PyObject* integer2bits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return to_fixed_width(module, kInteger2bitsSig, args, nargs, kwnames, false);
}

PyObject* integer2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return to_fixed_width(module, kInteger2bytesSig, args, nargs, kwnames, true);
}

PyObject* bits2integer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return to_integer(module, kBits2integerSig, args, nargs, kwnames, false);
}

PyObject* bytes2integer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return to_integer(module, kBytes2integerSig, args, nargs, kwnames, true);
}

}  // namespace qelo::binary
