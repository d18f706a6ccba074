// Guards that tell whether the namespace still binds the original helpers and tables, and whether
// a lookup table still holds exactly what the import built, so that the direct routes may stand in
// for the per-name lookups and per-byte table lookups. Tables and namespace are ordinary dicts,
// guarded through compat::watch_dict/dict_stamp: bindings and tables are re-read (a table holds 256
// entries) the first time they are used after their stamp moved. When the dicts cannot be stamped
// (no watcher slot free, or a portable 3.11 build), the bindings are read on every call and a
// table's contents are checked only for inputs large enough to pay for it.
#include "state.hpp"

#include "kernels.hpp"

#include <cstring>

namespace qelo::binary {
namespace {

// Without a cheap guard, a full check per call pays off only from this many elements on.
constexpr Py_ssize_t kCheckPerCallFrom = 2048;

// Exact int in 0..255, or -1.
long small_key(PyObject* key) {
    if (!PyLong_CheckExact(key)) return -1;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(key, &overflow);
    if (overflow != 0 || v < 0 || v > 255) return -1;
    return v;
}

bool is_bytes_equal(PyObject* value, const void* expected, Py_ssize_t size) {
    return PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) == size &&
           std::memcmp(PyBytes_AS_STRING(value), expected, static_cast<size_t>(size)) == 0;
}

// The checks below read only exact ints and exact bytes, so no Python code runs during them. With
// 256 distinct keys of the expected kind, every key a kernel stands in for is present, and a
// lookup of such a key can meet no other key's __eq__.
bool holds_bytes_to_bits(PyObject* table) {
    if (PyDict_GET_SIZE(table) != 256) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        const long v = small_key(key);
        if (v < 0) return false;
        unsigned char expected[8];
        kernels::spread_byte(static_cast<unsigned char>(v), expected);
        if (!is_bytes_equal(value, expected, 8)) return false;
    }
    return true;
}

bool holds_bits_to_bytes(PyObject* table) {
    if (PyDict_GET_SIZE(table) != 256) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyBytes_CheckExact(key) || PyBytes_GET_SIZE(key) != 8) return false;
        const auto* bits = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(key));
        const std::uint64_t w = kernels::load_le64(bits);
        if (!kernels::is_bit_group(w)) return false;
        const unsigned char expected = kernels::pack_bit_group(w);
        if (!is_bytes_equal(value, &expected, 1)) return false;
    }
    return true;
}

bool holds_swapped_bits(PyObject* table) {
    if (PyDict_GET_SIZE(table) != 256) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        const long v = small_key(key);
        if (v < 0) return false;
        const unsigned char expected = kernels::kReversed[static_cast<size_t>(v)];
        if (!is_bytes_equal(value, &expected, 1)) return false;
    }
    return true;
}

bool holds_original_contents(Table table, PyObject* dict) {
    switch (table) {
        case kBytesToBitsTable: return holds_bytes_to_bits(dict);
        case kBitsToBytesTable: return holds_bits_to_bytes(dict);
        case kSwapBitsTable: return holds_swapped_bits(dict);
        case kTableCount: break;
    }
    return false;
}

bool armed(const ModuleState* st) { return st->guards[0].armed; }

// The namespace name of each helper and the state slot of the original it must bind.
constexpr struct {
    Name name;
    PyObject* ModuleState::*original;
} kHelpers[kHelperCount] = {
    {kIterateints, &ModuleState::original_iter},   {kInt2byte, &ModuleState::original_int2byte},
    {kByte2int, &ModuleState::original_byte2int},  {kBytes2bits, &ModuleState::original_bytes2bits},
    {kBinascii, &ModuleState::original_binascii},
};

int helper_bound(PyObject* module, const ModuleState* st, std::size_t helper) {
    return bound_to_original(module, kHelpers[helper].name, st->*kHelpers[helper].original);
}

bool read_bindings(PyObject* module, Bindings* out) {
    ModuleState* st = state_of(module);
    for (std::size_t h = 0; h < kHelperCount; ++h) {
        const int bound = helper_bound(module, st, h);
        if (bound < 0) return false;
        out->original[h] = bound != 0;
    }
    const Name table_names[kTableCount] = {kBytes2bitsCache, kBits2bytesCache, kSwapbitsinbytesCache};
    for (std::size_t t = 0; t < kTableCount; ++t) {
        const int bound = bound_to_original(module, table_names[t], st->guards[t].table);
        if (bound < 0) return false;
        out->table_bound[t] = bound != 0;
    }
    return true;
}

}  // namespace

const Bindings* bindings_of(PyObject* module) {
    ModuleState* st = state_of(module);
    Bindings& cached = st->bindings;
    if (!armed(st)) return &cached;  // all false
    const std::uint64_t now = st->stamped ? compat::dict_stamp(st->ns) : 0;
    if (st->stamped && cached.known && cached.stamp == now) return &cached;
    cached.known = false;
    if (!read_bindings(module, &cached)) return nullptr;
    cached.known = st->stamped;
    cached.stamp = now;
    return &cached;
}

int helper_is_original(PyObject* module, Helper helper) {
    ModuleState* st = state_of(module);
    if (st->stamped || !armed(st)) {
        const Bindings* bindings = bindings_of(module);
        return bindings == nullptr ? -1 : bindings->original[helper];
    }
    // Unstamped: one lookup for the one name, not a re-read of every binding.
    return helper_bound(module, st, helper);
}

bool table_is_pristine(ModuleState* st, Table table, Py_ssize_t work) {
    TableGuard& guard = st->guards[table];
    if (!guard.armed) return false;
    if (!st->stamped) return work >= kCheckPerCallFrom && holds_original_contents(table, guard.table);
    const std::uint64_t now = compat::dict_stamp(guard.table);
    if (!guard.known || guard.stamp != now) {
        guard.pristine = holds_original_contents(table, guard.table);
        guard.stamp = now;
        guard.known = true;
    }
    return guard.pristine;
}

bool arm_table_guards(ModuleState* st, PyObject* ns) {
    bool stamped = true;
    for (PyObject* dict : {ns, st->guards[0].table, st->guards[1].table, st->guards[2].table}) {
        const int watched = compat::watch_dict(dict);
        if (watched < 0) return false;
        stamped = stamped && watched == 1;
    }
    st->stamped = stamped;
    for (TableGuard& guard : st->guards) guard.armed = true;
    return true;
}

}  // namespace qelo::binary
