// Module state of qelo.lib.binary and what the function files share.
#pragma once

#include "compat.hpp"
#include "memo.hpp"
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

// The helper names whose originals a direct route stands in for.
enum Helper : std::size_t {
    kIterHelper,
    kInt2byteHelper,
    kByte2intHelper,
    kBytes2bitsHelper,
    kBinasciiHelper,
    kHelperCount,
};

// One value per helper, then one per table.
inline constexpr std::size_t kBindingCount = std::size_t{kHelperCount} + kTableCount;

// What the namespace bound when last read: whether each helper name still holds its original and
// each table name the import-time dict. A Memo under the namespace's stamp, read whole again once
// the stamp moved; when the namespace cannot be stamped, read on every call (and never current).
struct Bindings : memo::Memo<bool, kBindingCount> {
    bool original(Helper helper) const { return values[helper]; }
    bool table_bound(Table table) const { return values[std::size_t{kHelperCount} + table]; }
};

// The dicts stamped together: the namespace and the three tables.
using Namespaces = memo::Domain<memo::Namespaces>;

struct ModuleState {
    NameTable<kNameCount> names;
    // Helpers as star-imported at import, kept only when recognised as the C-level callable that
    // does exactly the job (otherwise null, and every call takes the general path).
    PyObject* original_iter = nullptr;            // builtins.iter
    PyObject* original_int2byte = nullptr;        // struct.Struct('>B').pack
    // Tells when that Struct is re-initialised: an identity check made on every call (the format
    // object the Struct keeps), not a remembered value.
    compat::StructFormatWatch int2byte_format;
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
    // The tables as built at import (strong), and per table whether it still holds exactly what
    // the import put there: a content check kept under the table's stamp.
    PyObject* tables[kTableCount] = {};
    memo::Memo<bool, 1> pristine[kTableCount];
    PyObject* ns = nullptr;  // borrowed: the module's own dict, which lives as long as the module
    // Opened at exec. The memos are trusted only once `stamped`: the namespace and every table
    // are in the domain (false without a watcher slot or on a portable 3.11 build).
    Namespaces namespaces;
    bool stamped = false;  // never without `armed`
    bool armed = false;    // set once every table is built
    Bindings bindings;

    // The stamp of the namespace or a table; 0 (never current) when they are not stamped.
    [[gnu::always_inline]] std::uint64_t stamp_of(PyObject* dict) const {
        return stamped ? namespaces.stamp(dict) : 0;
    }

    template <class F>
    void for_each_object(F&& f) {
        for (PyObject** slot : {&original_iter, &original_int2byte, &original_byte2int,
                                &original_bytes2bits, &original_binascii, &original_hexlify,
                                &original_unhexlify, &empty_bytes, &zero_byte, &head_slice, &reverse_slice,
                                &int_zero, &int_one, &int_eight, &int_255}) {
            f(slot);
        }
        for (PyObject*& table : tables) f(&table);
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

// What the checks below do when their record is not current (guards.cpp): read every binding again
// (null with an exception set on a lookup error), look up one helper, check a table's contents.
const Bindings* read_bindings_again(PyObject* module, ModuleState* st, std::uint64_t now);
int helper_bound_now(PyObject* module, Helper helper);
bool check_table_again(ModuleState* st, Table table, Py_ssize_t work, std::uint64_t now);

// The namespace's current bindings; null with an exception set on a lookup error. Before the
// guards are armed (during the import) every entry is false.
[[gnu::always_inline]] inline const Bindings* bindings_of(PyObject* module) {
    ModuleState* st = state_of(module);
    const std::uint64_t now = st->stamp_of(st->ns);
    if (st->bindings.current(st->ns, now)) return &st->bindings;
    return read_bindings_again(module, st, now);
}

// bindings_of(module)->original(helper), without re-reading every binding when the namespace cannot
// be stamped. -1 with an exception set.
[[gnu::always_inline]] inline int helper_is_original(PyObject* module, Helper helper) {
    const ModuleState* st = state_of(module);
    if (st->stamped || !st->armed) {
        const Bindings* bindings = bindings_of(module);
        return bindings == nullptr ? -1 : bindings->original(helper);
    }
    // Unstamped: one lookup for the one name, not a re-read of every binding.
    return helper_bound_now(module, helper);
}

// Whether an import-time table still holds exactly what the import put there. `work` is the number
// of elements the caller is about to process: without a cheap guard the contents are only checked
// when the input is large enough to pay for it.
[[gnu::always_inline]] inline bool table_is_pristine(ModuleState* st, Table table, Py_ssize_t work) {
    const memo::Memo<bool, 1>& pristine = st->pristine[table];
    const std::uint64_t now = st->stamp_of(st->tables[table]);
    if (pristine.current(st->tables[table], now)) return pristine.values[0];
    return check_table_again(st, table, work, now);
}

// Sets up the guards once every table is built (guards.cpp): puts the namespace and the tables in
// the domain, and the memos are used from then on.
void arm_table_guards(ModuleState* st, PyObject* ns);

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
