// Guards that tell whether the namespace still binds the original helpers and tables, and whether
// a lookup table still holds exactly what the import built, so that the direct routes may stand in
// for the per-name lookups and per-byte table lookups. Tables and namespace are ordinary dicts.
//
// 3.12+: one dict watcher for the whole package per interpreter, on the tables and the namespace.
// Its callback only bumps a process-wide epoch; bindings and tables are re-read (a table holds 256
// entries) the first time they are used after any event on any watched dict. The events come before
// the change, which is fine: the re-read happens later, at the next call. 3.11: a dict's
// ma_version_tag changes on every modification.
#include "state.hpp"

#include "dictversion.hpp"

#include "kernels.hpp"

#include <atomic>
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

#if PY_VERSION_HEX >= 0x030C0000
// Shared by every interpreter and every instance of the module; holds no Python object.
std::atomic<std::uint64_t> table_epoch{1};

int on_table_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    table_epoch.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// The package registers one watcher per interpreter; its id lives in the interpreter's dict so that
// a re-import (a new module instance) reuses it instead of taking another of the scarce slots.
// Returns the id, -1 when none is free (no exception), or -2 with an exception set.
int package_watcher_id() {
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interp_dict == nullptr) return -1;
    Ref key(PyUnicode_FromString("qelo.dict_watcher"));
    if (!key) return -2;
    PyObject* known = PyDict_GetItemWithError(interp_dict, key.get());
    if (known != nullptr) return static_cast<int>(PyLong_AsLong(known));
    if (PyErr_Occurred()) return -2;
    const int id = PyDict_AddWatcher(on_table_event);
    if (id < 0) {
        PyErr_Clear();  // all slots taken: the functions fall back to checking per call
        return -1;
    }
    Ref value(PyLong_FromLong(id));
    if (!value || PyDict_SetItem(interp_dict, key.get(), value.get()) < 0) {
        PyDict_ClearWatcher(id);
        return -2;
    }
    return id;
}
#endif

}  // namespace

namespace {

bool armed(const State* st) { return st->guards[0].armed; }

// The stamp that changes whenever a watched dict (3.12+) or the namespace (3.11) may have changed.
std::uint64_t namespace_stamp([[maybe_unused]] PyObject* ns) {
#if PY_VERSION_HEX >= 0x030C0000
    return table_epoch.load(std::memory_order_acquire);
#else
    return qelo::dict_version(ns);
#endif
}

bool read_bindings(PyObject* module, Bindings* out) {
    State* st = state_of(module);
    const struct {
        Name name;
        PyObject* original;
    } helpers[kHelperCount] = {
        {kIterateints, st->original_iter},
        {kInt2byte, st->original_int2byte},
        {kByte2int, st->original_byte2int},
        {kBytes2bits, st->original_bytes2bits},
        {kBinascii, st->original_binascii},
    };
    for (std::size_t h = 0; h < kHelperCount; ++h) {
        const int bound = bound_to_original(module, helpers[h].name, helpers[h].original);
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
    State* st = state_of(module);
    Bindings& cached = st->bindings;
    if (!armed(st)) return &cached;  // all false
#if PY_VERSION_HEX >= 0x030C0000
    const bool stampable = st->watcher_id >= 0;
#else
    const bool stampable = true;
#endif
    const std::uint64_t now = namespace_stamp(st->ns);
    if (stampable && cached.known && cached.stamp == now) return &cached;
    cached.known = false;
    if (!read_bindings(module, &cached)) return nullptr;
    cached.known = stampable;
    cached.stamp = now;
    return &cached;
}

bool table_is_pristine(State* st, Table table, Py_ssize_t work) {
    TableGuard& guard = st->guards[table];
    if (!guard.armed) return false;
#if PY_VERSION_HEX >= 0x030C0000
    if (st->watcher_id < 0) return work >= kCheckPerCallFrom && holds_original_contents(table, guard.table);
    const std::uint64_t now = table_epoch.load(std::memory_order_acquire);
#else
    (void)work;
    const std::uint64_t now = qelo::dict_version(guard.table);
#endif
    if (!guard.known || guard.stamp != now) {
        guard.pristine = holds_original_contents(table, guard.table);
        guard.stamp = now;
        guard.known = true;
    }
    return guard.pristine;
}

bool arm_table_guards(State* st, [[maybe_unused]] PyObject* ns) {
#if PY_VERSION_HEX >= 0x030C0000
    const int id = package_watcher_id();
    if (id == -2) return false;
    st->watcher_id = id;
    if (id >= 0) {
        for (TableGuard& guard : st->guards) {
            if (PyDict_Watch(id, guard.table) < 0) return false;
        }
        if (PyDict_Watch(id, ns) < 0) return false;
    }
#endif
    for (TableGuard& guard : st->guards) guard.armed = true;
    return true;
}

}  // namespace qelo::binary
