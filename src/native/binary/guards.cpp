// Guards that tell whether the namespace still binds the original helpers and tables, and whether
// a lookup table still holds exactly what the import built, so that the direct routes may stand in
// for the per-name lookups and per-byte table lookups. The namespace and the tables are one
// memo::Domain (Namespaces): the bindings are a Memo under the namespace's stamp and each table's
// content check a Memo under that table's stamp, read again (a table holds 256 entries) the first
// time they are used after the stamp moved. When the dicts cannot be stamped (no watcher slot
// free, or a portable 3.11 build), the bindings are read on every call and a table's contents are
// checked only for inputs large enough to pay for it.
#include "state.hpp"

#include "kernels.hpp"

#include <array>
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

// The namespace name of each helper and the state slot of the original it must bind.
constexpr struct {
    Name name;
    PyObject* ModuleState::*original;
} kHelpers[kHelperCount] = {
    {kIterateints, &ModuleState::original_iter},   {kInt2byte, &ModuleState::original_int2byte},
    {kByte2int, &ModuleState::original_byte2int},  {kBytes2bits, &ModuleState::original_bytes2bits},
    {kBinascii, &ModuleState::original_binascii},
};

constexpr Name kTableNames[kTableCount] = {kBytes2bitsCache, kBits2bytesCache, kSwapbitsinbytesCache};

int helper_bound(PyObject* module, const ModuleState* st, std::size_t helper) {
    return bound_to_original(module, kHelpers[helper].name, st->*kHelpers[helper].original);
}

// Every binding, in the record's order (helpers, then tables). A lookup may run code (a key's
// __eq__) that rebinds names, so the caller keeps them under the stamp read before the first.
bool read_bindings(PyObject* module, std::array<bool, kBindingCount>& out) {
    ModuleState* st = state_of(module);
    for (std::size_t h = 0; h < kHelperCount; ++h) {
        const int bound = helper_bound(module, st, h);
        if (bound < 0) return false;
        out[h] = bound != 0;
    }
    for (std::size_t t = 0; t < kTableCount; ++t) {
        const int bound = bound_to_original(module, kTableNames[t], st->tables[t]);
        if (bound < 0) return false;
        out[std::size_t{kHelperCount} + t] = bound != 0;
    }
    return true;
}

}  // namespace

const Bindings* read_bindings_again(PyObject* module, ModuleState* st, std::uint64_t now) {
    Bindings& cached = st->bindings;
    if (!st->armed) return &cached;  // all false
    // Filled whole after the reads: a call made amid them (from a lookup's code) finds the record
    // not current and reads for itself, and an older `now` stored last only makes the next call
    // read again.
    cached.forget();
    std::array<bool, kBindingCount> bound{};
    if (!read_bindings(module, bound)) return nullptr;
    cached.renew(st->ns, now);
    for (std::size_t i = 0; i < bound.size(); ++i) cached.put(i, bound[i]);
    return &cached;
}

int helper_bound_now(PyObject* module, Helper helper) { return helper_bound(module, state_of(module), helper); }

bool check_table_again(ModuleState* st, Table table, Py_ssize_t work, std::uint64_t now) {
    if (!st->armed) return false;
    PyObject* dict = st->tables[table];
    if (!st->stamped) return work >= kCheckPerCallFrom && holds_original_contents(table, dict);
    // The check reads only exact ints and bytes: no code runs amid it.
    memo::Memo<bool, 1>& pristine = st->pristine[table];
    pristine.renew(dict, now);
    pristine.put(0, holds_original_contents(table, dict));
    return pristine.values[0];
}

void arm_table_guards(ModuleState* st, PyObject* ns) {
    bool stamped = true;
    for (PyObject* dict : {ns, st->tables[0], st->tables[1], st->tables[2]}) stamped = st->namespaces.watch(dict) && stamped;
    st->stamped = stamped;
    st->armed = true;
}

}  // namespace qelo::binary
