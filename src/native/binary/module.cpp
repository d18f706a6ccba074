// qelo.lib.binary: conversions between integers, byte strings and bit strings, with import-time
// lookup tables. The import runs its steps in a fixed order: the star import of the compatibility
// helpers, binascii, then functions and tables alternately, each table built by calling functions
// already bound in the namespace.
#include "state.hpp"

#include "args.hpp"
#include "binarykernels.hpp"
#include "kernels.hpp"
#include "originals.hpp"

#include <algorithm>
#include <cstring>

namespace qelo::binary {
namespace {

// Bound from the exec function in this order, so the tables in between can call them by name.
PyMethodDef integer_functions[] = {
    {"integer2bits", as_cfunction(integer2bits), kFastcall,
     "integer2bits($module, /, number, width)\n--\n\n"
     "Converts an integer into a bit string of width bytes, one byte 0x00 or 0x01 per bit, most\n"
     "significant bit first, in two's complement. A wider width sign-extends; a narrower one trims\n"
     "the representation to its low width bits.\n\n"
     "Example: integer2bits(19, 8) == b'\\x00\\x00\\x00\\x01\\x00\\x00\\x01\\x01'"},
    {"integer2bytes", as_cfunction(integer2bytes), kFastcall,
     "integer2bytes($module, /, number, width)\n--\n\n"
     "Converts an integer into a big-endian byte string of width bytes, negative numbers in two's\n"
     "complement.\n\n"
     "Example: integer2bytes(19, 4) == b'\\x00\\x00\\x00\\x13'"},
    {"bits2integer", as_cfunction(bits2integer), kFastcall,
     "bits2integer($module, /, data, signed=False)\n--\n\n"
     "Converts a bit string (one byte 0x00 or 0x01 per bit, most significant first) into an\n"
     "integer. With signed true, the bits are read as a two's complement number.\n\n"
     "Example: bits2integer(b'\\x01\\x00\\x00\\x01\\x01') == 19"},
    {"bytes2integer", as_cfunction(bytes2integer), kFastcall,
     "bytes2integer($module, /, data, signed=False)\n--\n\n"
     "Converts a big-endian byte string into an integer. With signed true, the bytes are read as a\n"
     "two's complement number.\n\n"
     "Example: bytes2integer(b'\\x00\\x00\\x00\\x13') == 19"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef bytes2bits_function[] = {
    {"bytes2bits", as_cfunction(bytes2bits), kFastcall,
     "bytes2bits($module, /, data)\n--\n\n"
     "Converts a byte string into a bit string: eight bytes 0x00 or 0x01 per byte, most significant\n"
     "bit first.\n\n"
     "Example: bytes2bits(b'ab') == "
     "b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01\\x00\\x01\\x01\\x00\\x00\\x00\\x01\\x00'"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef group_functions[] = {
    {"bits2bytes", as_cfunction(bits2bytes), kFastcall,
     "bits2bytes($module, /, data)\n--\n\n"
     "Converts a bit string (length a multiple of 8) back into a byte string, one byte per 8 bits.\n\n"
     "Example: bits2bytes(b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01') == b'a'"},
    {"swapbytes", as_cfunction(swapbytes), kFastcall,
     "swapbytes($module, /, data)\n--\n\n"
     "Reverses the order of the items of a sequence (bytes, str, list, ...), keeping its type.\n\n"
     "Example: swapbytes(b'abcd') == b'dcba'"},
    {"swapbytesinbits", as_cfunction(swapbytesinbits), kFastcall,
     "swapbytesinbits($module, /, data)\n--\n\n"
     "Reverses the order of the 8-byte groups of a bit string, keeping each group as it is. The\n"
     "length of data must be a multiple of 8.\n\n"
     "Example: swapbytesinbits(b'0000000011111111') == b'1111111100000000'"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef final_functions[] = {
    {"swapbitsinbytes", as_cfunction(swapbitsinbytes), kFastcall,
     "swapbitsinbytes($module, /, data)\n--\n\n"
     "Reverses the order of the bits inside every byte, keeping the order of the bytes.\n\n"
     "Example: swapbitsinbytes(b'\\xf0') == b'\\x0f'"},
    {"hexlify", as_cfunction(hexlify), kFastcall,
     "hexlify($module, /, data)\n--\n\nReturns binascii.hexlify(data)."},
    {"unhexlify", as_cfunction(unhexlify), kFastcall,
     "unhexlify($module, /, data)\n--\n\nReturns binascii.unhexlify(data)."},
    {nullptr, nullptr, 0, nullptr},
};

bool init_constants(ModuleState* st) {
    if (!st->names.init(kNameTexts)) return false;
    Ref start(PyLong_FromLong(0));
    Ref stop(PyLong_FromLong(1));
    Ref step(PyLong_FromLong(-1));
    if (!start || !stop || !step) return false;
    st->empty_bytes = PyBytes_FromStringAndSize("", 0);
    st->zero_byte = PyBytes_FromStringAndSize("\0", 1);
    st->head_slice = PySlice_New(start.get(), stop.get(), nullptr);
    st->reverse_slice = PySlice_New(nullptr, nullptr, step.get());
    st->int_zero = PyLong_FromLong(0);
    st->int_one = PyLong_FromLong(1);
    st->int_eight = PyLong_FromLong(8);
    st->int_255 = PyLong_FromLong(255);
    return st->empty_bytes && st->zero_byte && st->head_slice && st->reverse_slice && st->int_zero && st->int_one &&
           st->int_eight && st->int_255;
}

// Keeps the star-imported helper bound to `name` in `*slot` when `recognise` says it is the
// original C-level callable a direct route stands in for.
template <class Recognise>
bool capture_if(ModuleState* st, PyObject* ns, Name name, PyObject** slot, Recognise recognise) {
    Ref held;  // strong: the recogniser may run code that rebinds the name
    const int found = dict_get(ns, st->names[name], held);
    if (found <= 0) return found == 0;
    const int recognised = recognise(held.get());
    if (recognised < 0) return false;
    if (recognised) *slot = held.release();
    return true;
}

bool capture_original_helpers(ModuleState* st, PyObject* ns) {
    if (!capture_if(st, ns, kIterateints, &st->original_iter, originals::is_builtin_iter) ||
        !capture_if(st, ns, kByte2int, &st->original_byte2int, originals::is_int_from_bytes) ||
        !capture_if(st, ns, kInt2byte, &st->original_int2byte,
                    [](PyObject* f) { return originals::is_struct_pack(f, ">B"); })) {
        return false;
    }
    if (st->original_int2byte != nullptr && !st->int2byte_format.capture(PyCFunction_GET_SELF(st->original_int2byte))) {
        return false;
    }
    return true;
}

// binascii.hexlify and binascii.unhexlify, when they are the module's own C functions.
bool capture_binascii(ModuleState* st, PyObject* binascii) {
    st->original_binascii = Ref::borrow(binascii).release();
    const struct {
        Name name;
        const char* text;
        PyObject** slot;
    } functions[] = {{kHexlify, "hexlify", &st->original_hexlify}, {kUnhexlify, "unhexlify", &st->original_unhexlify}};
    for (const auto& f : functions) {
        Ref found(PyObject_GetAttr(binascii, st->names[f.name]));
        if (!found) return false;
        const int recognised = originals::is_module_function(found.get(), binascii, f.text);
        if (recognised < 0) return false;
        if (recognised) *f.slot = found.release();
    }
    return true;
}

// name = {v: value_of(v) for v in range(256)} with each piece computed by calling, through the
// namespace, functions bound in earlier steps.
template <class KeyFn, class ValueFn>
PyObject* build_table(KeyFn key_of, ValueFn value_of) {
    Ref table(PyDict_New());
    if (!table) return nullptr;
    for (long v = 0; v < 256; ++v) {
        Ref key = key_of(v);
        if (!key) return nullptr;
        Ref value = value_of(v);
        if (!value || PyDict_SetItem(table.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return table.release();
}

bool bind_table(PyObject* module, Table slot, Name name, PyObject* table) {
    ModuleState* st = state_of(module);
    st->tables[slot] = table;  // owns it
    return PyDict_SetItem(namespace_of(module), st->names[name], table) == 0;
}

Ref call_by_name(PyObject* module, Name name, PyObject* arg) {
    Ref fn = resolve(module, name);
    if (!fn) return Ref();
    return call_one(fn.get(), arg);
}

Ref int2byte_of(PyObject* module, long v) {
    Ref number(PyLong_FromLong(v));
    if (!number) return Ref();
    return call_by_name(module, kInt2byte, number.get());
}

// bytes2bits(int2byte(v)): the name bytes2bits is resolved before int2byte, as Python would.
Ref bits_of(PyObject* module, long v) {
    Ref bytes2bits_fn = resolve(module, kBytes2bits);
    if (!bytes2bits_fn) return Ref();
    Ref byte = int2byte_of(module, v);
    if (!byte) return Ref();
    return call_one(bytes2bits_fn.get(), byte.get());
}

extern PyModuleDef module_def;

int kernel_ready_for(PyObject* module, Py_ssize_t work) {
    if (module == nullptr || !PyModule_Check(module) || PyModule_GetDef(module) != &module_def) return 0;
    return bytes2bits_kernel_ready(module, work);
}

void spread_bytes(const unsigned char* in, std::size_t n, unsigned char* out) { kernels::bytes_to_bits(in, n, out); }

// What bits2bytes checks before its kernel, for a caller holding exact bytes.
int bits2bytes_ready_for(PyObject* module, Py_ssize_t work) {
    if (module == nullptr || !PyModule_Check(module) || PyModule_GetDef(module) != &module_def) return 0;
    ModuleState* st = state_of(module);
    if (st == nullptr || st->empty_bytes == nullptr) return 0;
    const Bindings* bindings = bindings_of(module);
    if (bindings == nullptr) {
        PyErr_Clear();  // bits2bytes itself reports the failed lookup
        return 0;
    }
    return bindings->table_bound(kBitsToBytesTable) && table_is_pristine(st, kBitsToBytesTable, work);
}

bool pack_groups(const unsigned char* in, std::size_t n_groups, unsigned char* out) {
    return kernels::bits_to_bytes(in, n_groups, out);
}

// The namespace and the tables are the only inputs of the two answers once the module is armed
// (bindings_of and table_is_pristine read them again whenever their stamps move). On the watcher
// route one count stamps all four. On the tags route each dict's tag is the value a global counter
// had at its last change, so the largest of the four grows with every change of any of them.
std::uint64_t ready_stamp_for(PyObject* module) {
    if (module == nullptr || !PyModule_Check(module) || PyModule_GetDef(module) != &module_def) return 0;
    const ModuleState* st = state_of(module);
    if (st == nullptr || st->empty_bytes == nullptr || !st->stamped || !st->armed) return 0;
    std::uint64_t stamp = st->stamp_of(st->ns);
    if constexpr (Namespaces::kRoute == memo::Route::kTags) {
        for (PyObject* table : st->tables) stamp = std::max(stamp, st->stamp_of(table));
    }
    return stamp;
}

const BinaryKernels lent_kernels = {as_cfunction(bytes2bits), kernel_ready_for,     spread_bytes,   as_cfunction(bits2bytes),
                                    bits2bytes_ready_for,     pack_groups,          ready_stamp_for};

// The private `_kernels` attribute: one capsule per module object, each module object checked by
// its own state.
bool add_kernels_capsule(PyObject* module) {
    Ref capsule(PyCapsule_New(const_cast<BinaryKernels*>(&lent_kernels), kBinaryKernelsCapsule, nullptr));
    return capsule && PyModule_AddObjectRef(module, "_kernels", capsule.get()) == 0;
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    PyObject* ns = namespace_of(module);
    // The state is zeroed memory, never constructed: open() sets the domain's watcher id.
    if (ns == nullptr || !st->namespaces.open() || !init_constants(st)) return -1;
    st->ns = ns;

    // 1. Every public name of the compatibility helpers; 2. binascii.
    if (!star_import(ns, "qelo.lib.py3compat")) return -1;
    if (!capture_original_helpers(st, ns)) return -1;
    Ref binascii(PyImport_ImportModule("binascii"));
    if (!binascii || PyDict_SetItem(ns, st->names[kBinascii], binascii.get()) < 0) return -1;
    if (!capture_binascii(st, binascii.get())) return -1;

    // 3. The integer functions; 4. BYTES2BITS_CACHE = {v: integer2bits(v, 8)}.
    if (PyModule_AddFunctions(module, integer_functions) < 0) return -1;
    Ref eight(PyLong_FromLong(8));
    if (!eight) return -1;
    PyObject* table = build_table([](long v) { return Ref(PyLong_FromLong(v)); },
                                  [&](long v) -> Ref {
                                      Ref fn = resolve(module, kInteger2bits);
                                      Ref number(PyLong_FromLong(v));
                                      if (!fn || !number) return Ref();
                                      PyObject* call_args[] = {number.get(), eight.get()};
                                      return Ref(PyObject_Vectorcall(fn.get(), call_args, 2, nullptr));
                                  });
    if (table == nullptr || !bind_table(module, kBytesToBitsTable, kBytes2bitsCache, table)) return -1;

    // 5. bytes2bits; 6. BITS2BYTES_CACHE = {bytes2bits(int2byte(v)): int2byte(v)}.
    if (PyModule_AddFunctions(module, bytes2bits_function) < 0) return -1;
    Ref own_bytes2bits;
    const int found = dict_get(ns, st->names[kBytes2bits], own_bytes2bits);
    if (found <= 0) {
        if (found == 0) PyErr_SetObject(PyExc_KeyError, st->names[kBytes2bits]);  // bound just now
        return -1;
    }
    st->original_bytes2bits = own_bytes2bits.release();
    table = build_table([&](long v) { return bits_of(module, v); }, [&](long v) { return int2byte_of(module, v); });
    if (table == nullptr || !bind_table(module, kBitsToBytesTable, kBits2bytesCache, table)) return -1;

    // 7. bits2bytes, swapbytes, swapbytesinbits;
    // 8. SWAPBITSINBYTES_CACHE = {v: bits2bytes(bytes2bits(int2byte(v))[::-1])}.
    if (PyModule_AddFunctions(module, group_functions) < 0) return -1;
    table = build_table([](long v) { return Ref(PyLong_FromLong(v)); },
                        [&](long v) -> Ref {
                            Ref bits2bytes_fn = resolve(module, kBits2bytes);
                            if (!bits2bytes_fn) return Ref();
                            Ref bits = bits_of(module, v);
                            if (!bits) return Ref();
                            Ref reversed(PyObject_GetItem(bits.get(), st->reverse_slice));
                            if (!reversed) return Ref();
                            return call_one(bits2bytes_fn.get(), reversed.get());
                        });
    if (table == nullptr || !bind_table(module, kSwapBitsTable, kSwapbitsinbytesCache, table)) return -1;

    // 9. swapbitsinbytes, hexlify, unhexlify.
    if (PyModule_AddFunctions(module, final_functions) < 0) return -1;
    if (!add_kernels_capsule(module)) return -1;
    arm_table_guards(st, ns);
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    if (int r = st->names.traverse(visit, arg)) return r;
    int result = 0;
    st->for_each_object([&](PyObject** slot) {
        if (result == 0 && *slot != nullptr) result = visit(*slot, arg);
    });
    if (result == 0) result = st->int2byte_format.traverse(visit, arg);
    return result;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->armed = false;
    st->stamped = false;
    st->bindings = Bindings{};
    for (memo::Memo<bool, 1>& pristine : st->pristine) pristine = {};
    st->ns = nullptr;
    st->for_each_object([](PyObject** slot) { Py_CLEAR(*slot); });
    st->int2byte_format.clear();
    st->names.clear();
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= QELO_PY312
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qelo.lib.binary",
    "Conversions between integers, byte strings and bit strings (one byte 0x00/0x01 per bit), with\n"
    "byte and bit swaps and lookup tables built at import.",
    sizeof(ModuleState),
    nullptr,  // every function is bound from the exec function, in order
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace qelo::binary

PyMODINIT_FUNC PyInit_binary(void) {
    return PyModuleDef_Init(&qelo::binary::module_def);
}
