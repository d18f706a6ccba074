// bytes2bits, bits2bytes, swapbytes, swapbytesinbits, swapbitsinbytes, hexlify, unhexlify.
//
// Each general path does what the documented algorithm says: one lookup per byte (or group) in the
// table bound in the namespace at that moment, then one b"".join. The kernels stand in for it only
// on exact bytes, with the original iterateints and the import-time table still untouched.
#include "state.hpp"

#include "args.hpp"
#include "kernels.hpp"

namespace qelo::binary {
namespace {

const char* const kData[] = {"data"};
const Signature kBytes2bitsSig{"bytes2bits", kData, 1, 1};
const Signature kBits2bytesSig{"bits2bytes", kData, 1, 1};
const Signature kSwapbytesSig{"swapbytes", kData, 1, 1};
const Signature kSwapbytesinbitsSig{"swapbytesinbits", kData, 1, 1};
const Signature kSwapbitsinbytesSig{"swapbitsinbytes", kData, 1, 1};
const Signature kHexlifySig{"hexlify", kData, 1, 1};
const Signature kUnhexlifySig{"unhexlify", kData, 1, 1};

PyObject* single_arg(PyObject* module, const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* data;
    return parse_args(sig, args, nargs, kwnames, &data) && state_alive(module) ? data : nullptr;
}

const unsigned char* bytes_data(PyObject* b) { return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b)); }
unsigned char* bytes_buffer(PyObject* b) { return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b)); }

// 1 when the byte-wise kernel may replace "table[b] for b in iterateints(data)": data is exact
// bytes, iterateints is the original iter and the namespace binds the untouched import-time table.
int per_byte_kernel_applies(PyObject* module, PyObject* data, Table table) {
    if (!PyBytes_CheckExact(data)) return 0;
    const Bindings* bindings = bindings_of(module);
    if (bindings == nullptr) return -1;
    return bindings->original(kIterHelper) && bindings->table_bound(table) &&
           table_is_pristine(state_of(module), table, PyBytes_GET_SIZE(data));
}

// b"".join(table[b] for b in iterateints(data)), the table looked up by name for every element.
PyObject* lookup_each_byte(PyObject* module, PyObject* data, Name table_name) {
    ModuleState* st = state_of(module);
    Ref iterateints = resolve(module, kIterateints);
    if (!iterateints) return nullptr;
    Ref iterable = call_one(iterateints.get(), data);
    if (!iterable) return nullptr;
    Ref iterator(PyObject_GetIter(iterable.get()));
    if (!iterator) return nullptr;
    Ref pieces(PyList_New(0));
    if (!pieces) return nullptr;
    Ref b;
    int got;
    while ((got = next_item(iterator.get(), b)) > 0) {
        Ref table = resolve(module, table_name);
        if (!table) return nullptr;
        Ref piece(PyObject_GetItem(table.get(), b.get()));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    }
    if (got < 0) return nullptr;
    return join_pieces(st, pieces.get()).release();
}

// data[start:start + 8]
Ref group_at(PyObject* data, Py_ssize_t start) {
    Ref lo(PyLong_FromSsize_t(start));
    Ref hi(PyLong_FromSsize_t(start + 8));
    if (!lo || !hi) return Ref();
    Ref slice(PySlice_New(lo.get(), hi.get(), nullptr));
    if (!slice) return Ref();
    return Ref(PyObject_GetItem(data, slice.get()));
}

// len(data), which must be a multiple of 8 (else ValueError with `message`); -1 on error.
Py_ssize_t length_in_groups_of_8(PyObject* data, const char* message) {
    const Py_ssize_t length = PyObject_Size(data);
    if (length < 0) return -1;
    if (length % 8 != 0) {
        PyErr_SetString(PyExc_ValueError, message);
        return -1;
    }
    return length;
}

PyObject* bits2bytes_general(PyObject* module, PyObject* data, Py_ssize_t length) {
    ModuleState* st = state_of(module);
    Ref pieces(PyList_New(0));
    if (!pieces) return nullptr;
    for (Py_ssize_t i = 0; i < length; i += 8) {
        Ref table = resolve(module, kBits2bytesCache);
        if (!table) return nullptr;
        Ref group = group_at(data, i);
        if (!group) return nullptr;
        Ref piece(PyObject_GetItem(table.get(), group.get()));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    }
    return join_pieces(st, pieces.get()).release();
}

// binascii.hexlify of exact bytes: two lower-case digits per byte.
PyObject* hex_of(PyObject* data) {
    static constexpr char digits[] = "0123456789abcdef";
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n > PY_SSIZE_T_MAX / 2) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, 2 * n);
    if (out == nullptr) return nullptr;
    const unsigned char* in = bytes_data(data);
    unsigned char* p = bytes_buffer(out);
    for (Py_ssize_t i = 0; i < n; ++i) {
        p[2 * i] = static_cast<unsigned char>(digits[in[i] >> 4]);
        p[2 * i + 1] = static_cast<unsigned char>(digits[in[i] & 15]);
    }
    return out;
}

int hex_digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// binascii.unhexlify of exact bytes into `result`; declined when the digits are not valid (the
// original function then raises its own error).
Fast bytes_from_hex(PyObject* data, Ref& result) {
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n % 2 != 0) return Fast::Declined;
    Ref out(PyBytes_FromStringAndSize(nullptr, n / 2));
    if (!out) return Fast::Failed;
    const unsigned char* in = bytes_data(data);
    unsigned char* p = bytes_buffer(out.get());
    for (Py_ssize_t i = 0; i < n / 2; ++i) {
        const int hi = hex_digit_value(in[2 * i]), lo = hex_digit_value(in[2 * i + 1]);
        if (hi < 0 || lo < 0) return Fast::Declined;
        p[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    result = std::move(out);
    return Fast::Done;
}

// binascii.<function>(data), both names looked up when called. With the original binascii module
// and its own C function still bound there, exact bytes are converted here.
PyObject* forward_to_binascii(PyObject* module, PyObject* data, Name function) {
    ModuleState* st = state_of(module);
    const int original = helper_is_original(module, kBinasciiHelper);
    if (original < 0) return nullptr;
    Ref binascii = original ? Ref::borrow(st->original_binascii) : resolve(module, kBinascii);
    if (!binascii) return nullptr;
    Ref callable;
    if (PyModule_CheckExact(binascii.get())) {
        // A plain module's attributes are its dict entries (ModuleType has no attribute of this
        // name that could take precedence); anything else goes through getattr for the usual error.
        if (dict_get(PyModule_GetDict(binascii.get()), st->names[function], callable) < 0) return nullptr;
    }
    if (!callable) callable = Ref(PyObject_GetAttr(binascii.get(), st->names[function]));
    if (!callable) return nullptr;
    if (PyBytes_CheckExact(data)) {
        if (function == kHexlify && callable.get() == st->original_hexlify) return hex_of(data);
        if (function == kUnhexlify && callable.get() == st->original_unhexlify) {
            Ref converted;
            switch (bytes_from_hex(data, converted)) {
                case Fast::Done: return converted.release();
                case Fast::Failed: return nullptr;
                case Fast::Declined: break;
            }
        }
    }
    return PyObject_CallOneArg(callable.get(), data);
}

}  // namespace

PyObject* bytes2bits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kBytes2bitsSig, args, nargs, kwnames);
    if (data == nullptr) return nullptr;
    const int direct = per_byte_kernel_applies(module, data, kBytesToBitsTable);
    if (direct < 0) return nullptr;
    if (!direct) return lookup_each_byte(module, data, kBytes2bitsCache);
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n > PY_SSIZE_T_MAX / 8) return PyErr_NoMemory();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n * 8);
    if (out == nullptr) return nullptr;
    kernels::bytes_to_bits(bytes_data(data), static_cast<size_t>(n), bytes_buffer(out));
    return out;
}

int bytes2bits_kernel_ready(PyObject* module, Py_ssize_t work) {
    ModuleState* st = state_of(module);
    if (st == nullptr || st->empty_bytes == nullptr) return 0;
    const Bindings* bindings = bindings_of(module);
    if (bindings == nullptr) {
        PyErr_Clear();  // bytes2bits itself reports the failed lookup
        return 0;
    }
    return bindings->original(kIterHelper) && bindings->table_bound(kBytesToBitsTable) &&
           table_is_pristine(st, kBytesToBitsTable, work);
}

PyObject* bits2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kBits2bytesSig, args, nargs, kwnames);
    if (data == nullptr) return nullptr;
    const Py_ssize_t length = length_in_groups_of_8(data, "data length must be a multiple of 8");
    if (length < 0) return nullptr;
    if (PyBytes_CheckExact(data)) {
        const Bindings* bindings = bindings_of(module);
        if (bindings == nullptr) return nullptr;
        if (bindings->table_bound(kBitsToBytesTable) &&
            table_is_pristine(state_of(module), kBitsToBytesTable, length / 8)) {
            Ref out(PyBytes_FromStringAndSize(nullptr, length / 8));
            if (!out) return nullptr;
            if (kernels::bits_to_bytes(bytes_data(data), static_cast<size_t>(length / 8), bytes_buffer(out.get()))) {
                return out.release();
            }
            // A group that is not a bit string: the lookups raise the table's KeyError for it.
        }
    }
    return bits2bytes_general(module, data, length);
}

PyObject* swapbytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kSwapbytesSig, args, nargs, kwnames);
    if (data == nullptr) return nullptr;
    return PyObject_GetItem(data, state_of(module)->reverse_slice);
}

PyObject* swapbytesinbits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kSwapbytesinbitsSig, args, nargs, kwnames);
    if (data == nullptr) return nullptr;
    const Py_ssize_t length = length_in_groups_of_8(data, "data length must be multiple of 8");
    if (length < 0) return nullptr;
    if (PyBytes_CheckExact(data)) {  // slicing and joining exact bytes only moves the groups
        PyObject* out = PyBytes_FromStringAndSize(nullptr, length);
        if (out == nullptr) return nullptr;
        kernels::swap_groups_of_8(bytes_data(data), static_cast<size_t>(length / 8), bytes_buffer(out));
        return out;
    }
    Ref pieces(PyList_New(0));
    if (!pieces) return nullptr;
    for (Py_ssize_t i = length - 8; i >= 0; i -= 8) {
        Ref group = group_at(data, i);
        if (!group || PyList_Append(pieces.get(), group.get()) < 0) return nullptr;
    }
    return join_pieces(state_of(module), pieces.get()).release();
}

PyObject* swapbitsinbytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kSwapbitsinbytesSig, args, nargs, kwnames);
    if (data == nullptr) return nullptr;
    const int direct = per_byte_kernel_applies(module, data, kSwapBitsTable);
    if (direct < 0) return nullptr;
    if (!direct) return lookup_each_byte(module, data, kSwapbitsinbytesCache);
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, n);
    if (out == nullptr) return nullptr;
    kernels::swap_bits_in_bytes(bytes_data(data), static_cast<size_t>(n), bytes_buffer(out));
    return out;
}

PyObject* hexlify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kHexlifySig, args, nargs, kwnames);
    return data == nullptr ? nullptr : forward_to_binascii(module, data, kHexlify);
}

PyObject* unhexlify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* data = single_arg(module, kUnhexlifySig, args, nargs, kwnames);
    return data == nullptr ? nullptr : forward_to_binascii(module, data, kUnhexlify);
}

}  // namespace qelo::binary
