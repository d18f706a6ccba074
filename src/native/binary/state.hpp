// Module state of qelo.lib.binary and what the function files share.
#pragma once

#include "compat.hpp"
#include "namespace.hpp"
#include "outcome.hpp"
#include "ref.hpp"

#include <array>
#include <cstdint>

namespace qelo::binary {

// Names the functions resolve in the module namespace when they run (plus method names).
enum Name : std::size_t {
    kIterateints,
    kInt2byte,
    kByte2int,
    kBytes2bits,
    kBits2bytes,
    kInteger2bits,
    kBytes2bitsCache,
    kBits2bytesCache,
    kSwapbitsinbytesCache,
    kBinascii,
    kHexlify,
    kUnhexlify,
    kJoin,
    kNameCount,
};

inline constexpr std::array<const char*, kNameCount> kNameTexts = {
    "iterateints", "int2byte", "byte2int", "bytes2bits", "bits2bytes", "integer2bits", "BYTES2BITS_CACHE",
    "BITS2BYTES_CACHE", "SWAPBITSINBYTES_CACHE", "binascii", "hexlify", "unhexlify", "join",
};

enum Table : std::size_t { kBytesToBitsTable, kBitsToBytesTable, kSwapBitsTable, kTableCount };

// Remembers whether a table dict still holds exactly what the import put there. `stamp` is the
// table's compat::dict_stamp when `pristine` was last decided.
struct TableGuard {
    PyObject* table = nullptr;  // the dict built at import (strong reference)
    bool armed = false;         // set once every table is built
    bool known = false;
    bool pristine = false;
    std::uint64_t stamp = 0;
};

// What the namespace bound when last looked at: which helper names still hold the originals and
// which table names the import-time dicts. Re-read whenever `stamp` no longer matches the
// namespace's compat::dict_stamp; when the dicts cannot be stamped, on every call.
enum Helper : std::size_t {
    kIterHelper,
    kInt2byteHelper,
    kByte2intHelper,
    kBytes2bitsHelper,
    kBinasciiHelper,
    kHelperCount,
};

struct Bindings {
    bool known = false;
    std::uint64_t stamp = 0;
    bool original[kHelperCount] = {};
    bool table_bound[kTableCount] = {};
};

struct ModuleState {
    NameTable<kNameCount> names;
    // Helpers as star-imported at import, kept only when recognised as the C-level callable that
    // does exactly the job (otherwise null, and every call takes the general path).
    PyObject* original_iter = nullptr;            // builtins.iter
    PyObject* original_int2byte = nullptr;        // struct.Struct('>B').pack
    compat::StructFormatWatch int2byte_format;    // tells when that Struct is re-initialised
    PyObject* original_byte2int = nullptr;        // int.from_bytes
    PyObject* original_bytes2bits = nullptr;      // this module's own bytes2bits
    PyObject* original_binascii = nullptr;        // the binascii module imported at import
    PyObject* original_hexlify = nullptr;         // its hexlify and unhexlify, if they are the C ones
    PyObject* original_unhexlify = nullptr;
    // Constants of the literal algorithms.
    PyObject* empty_bytes = nullptr;   // b""
    PyObject* zero_byte = nullptr;     // b"\x00"
    PyObject* head_slice = nullptr;    // slice(0, 1)
    PyObject* reverse_slice = nullptr; // slice(None, None, -1)
    PyObject* int_zero = nullptr;
    PyObject* int_one = nullptr;
    PyObject* int_eight = nullptr;
    PyObject* int_255 = nullptr;
    TableGuard guards[kTableCount];
    PyObject* ns = nullptr;  // borrowed: the module's own dict, which lives as long as the module
    bool stamped = false;    // compat::watch_dict armed the namespace and every table
    Bindings bindings;

    template <class F>
    void for_each_object(F&& f) {
        for (PyObject** slot : {&original_iter, &original_int2byte, &original_byte2int,
                                &original_bytes2bits, &original_binascii, &original_hexlify,
                                &original_unhexlify, &empty_bytes, &zero_byte, &head_slice, &reverse_slice,
                                &int_zero, &int_one, &int_eight, &int_255}) {
            f(slot);
        }
        for (TableGuard& g : guards) f(&g.table);
    }
};

inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }
inline PyObject* namespace_of(PyObject* module) { return PyModule_GetDict(module); }

// False with RuntimeError when the module state has already been cleared (a collected cycle or
// interpreter shutdown) while one of its functions is still called, e.g. from a finaliser.
inline bool state_alive(PyObject* module) {
    const ModuleState* st = state_of(module);
    if (st != nullptr && st->empty_bytes != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "qelo.lib.binary is no longer initialised");
    return false;
}

// The object bound to `name` in the module namespace, then the builtins; NameError otherwise.
inline Ref resolve(PyObject* module, Name name) {
    return lookup_global(namespace_of(module), state_of(module)->names[name]);
}

// 1 when the module namespace binds `name` to `original` (non-null), 0 when it does not, -1 on a
// lookup error.
inline int bound_to_original(PyObject* module, Name name, PyObject* original) {
    if (original == nullptr) return 0;
    Ref found;
    const int got = dict_get(namespace_of(module), state_of(module)->names[name], found);
    return got <= 0 ? got : found.get() == original ? 1 : 0;
}

// b"".join(pieces), through the method itself so its errors read as usual.
inline Ref join_pieces(ModuleState* st, PyObject* pieces) {
    PyObject* args[] = {st->empty_bytes, pieces};
    return Ref(PyObject_VectorcallMethod(st->names[kJoin], args, 2, nullptr));
}

inline Ref call_one(PyObject* callable, PyObject* arg) { return Ref(PyObject_CallOneArg(callable, arg)); }

// The namespace's current bindings (guards.cpp); null with an exception set on a lookup error.
// Before the guards are armed (during the import) every entry is false.
const Bindings* bindings_of(PyObject* module);

// bindings_of(module)->original[helper], without re-reading every binding when the namespace cannot
// be stamped (guards.cpp). -1 with an exception set.
int helper_is_original(PyObject* module, Helper helper);

// Whether an import-time table still holds exactly what the import put there (guards.cpp). `work`
// is the number of elements the caller is about to process: without a cheap guard the contents are
// only checked when the input is large enough to pay for it.
bool table_is_pristine(ModuleState* st, Table table, Py_ssize_t work);

// Sets up the guards once every table is built (guards.cpp). False with an exception set.
bool arm_table_guards(ModuleState* st, PyObject* ns);

// Module functions (integers.cpp, representations.cpp).
PyObject* integer2bits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* integer2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bits2integer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bytes2integer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bytes2bits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bits2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* swapbytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* swapbytesinbits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* swapbitsinbytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hexlify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unhexlify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// 1 when bytes2bits would convert exact bytes of about `work` bytes with its kernel right now
// (representations.cpp); 0 otherwise, with no exception set.
int bytes2bits_kernel_ready(PyObject* module, Py_ssize_t work);

// Whether the int2byte bound in the namespace is the original packer, still packing ">B"
// (integers.cpp). -1 with an exception set.
int int2byte_is_original(PyObject* module);

}  // namespace qelo::binary
