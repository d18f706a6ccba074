// qelo.expr: the field caches of nodes and the caches of module globals.
#pragma once

#include "state.hpp"
#include "outcome.hpp"

#include <atomic>
#include <cstdint>

namespace qelo::expr {

// Field caches. A node remembers the values its fields had in its instance dict together with a
// stamp of that dict; equal non-zero stamps mean the dict was not changed since.
//   3.12+: a dict watcher of this module's own watches every node dict the module reads or
//          makes, and counts every event of every one of them (public API). Node dicts change
//          rarely (an attribute written, a dict freed with its node), so the count stands still
//          while trees are evaluated.
//   3.11:  the dict's own version tag (compat::dict_version_tag), never 0 and never repeated.
// A node dict is never watched by the package's shared watcher, whose epoch guards namespaces.
#if PY_VERSION_HEX >= QELO_PY312
extern std::atomic<std::uint64_t> field_epoch;
#endif

inline std::uint64_t field_stamp([[maybe_unused]] const ModuleState* st, [[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= QELO_PY312
    return st->field_watcher >= 0 ? field_epoch.load(std::memory_order_relaxed) : 0;
#else
    return compat::dict_version_tag(dict);
#endif
}

// Puts `dict` under the field watcher (3.12+), so that its stamps can be trusted. False when the
// dict cannot be watched (then no stamp of it is used); never raises.
inline bool watch_fields([[maybe_unused]] const ModuleState* st, [[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= QELO_PY312
    if (st->field_watcher < 0) return false;
    if (PyDict_Watch(st->field_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    return true;
}
inline void unwatch_fields([[maybe_unused]] const ModuleState* st, [[maybe_unused]] PyObject* dict) {
#if PY_VERSION_HEX >= QELO_PY312
    if (st != nullptr && st->field_watcher >= 0 && PyDict_Unwatch(st->field_watcher, dict) < 0) PyErr_Clear();
#endif
}

// The fields of `self`, an instance of the exact, plain class `kind` (the caller checked), as
// borrowed pointers valid until code that could write to the node runs. A fast path: Done with
// the fields; Declined (no fields, no exception) when they must be read the general way (a field
// missing from the dict, no dict, no stamps in this build); Failed when a lookup raised.
// refresh_fields fills the cache; out of line, it answers by value, so that the callers' pointer
// stays in a register. plain_fields (the cache when current, else refresh_fields) and
// fields_if_plain put the fields in `out` (null unless Done).
struct FieldsRead {
    Fast fast;
    PyObject* const* fields;
};
FieldsRead refresh_fields(ModuleState* st, PyObject* self, Kind kind);
[[gnu::always_inline]] inline Fast plain_fields(ModuleState* st, PyObject* self, Kind kind, PyObject* const*& out) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    // Filled for this very class (the caller checked that the node has it): of its layout.
    if (node->seen_stamp != 0 && node->seen_type == st->types[kind] && node->seen_dict == node->dict &&
        node->seen_stamp == field_stamp(st, node->dict)) {
        out = node->seen_fields;
        return Fast::Done;
    }
    const FieldsRead read = refresh_fields(st, self, kind);
    out = read.fields;
    return read.fast;
}
// The same for any node: Declined unless its class is the exact, plain `kind`.
[[gnu::always_inline]] inline Fast fields_if_plain(ModuleState* st, PyObject* self, Kind kind, PyObject* const*& out) {
    if (!exact_plain(st, self, kind)) {
        out = nullptr;
        return Fast::Declined;
    }
    return plain_fields(st, self, kind, out);
}

// self.<field `index` of class `kind`, constructor order>, read as getattr would: from the
// field cache when `direct` says the class is the exact, plain one, else through getattr.
Ref read_slot(ModuleState* st, PyObject* self, Kind kind, int index, bool direct);

// A module-level name (BinExpr ... opnames) as the module's functions see it: the module dict, then
// the builtins, else NameError.
Ref module_global(ModuleState* st, Name name);
// getattr(<module-level operator>, <the function's name>).
Ref operator_function(ModuleState* st, Op op);

// What module_global and operator_function would answer from their caches, while the dicts they
// came from are unchanged; null (no error) when they must be asked. Borrowed: valid until code runs.
inline PyObject* peek_global(ModuleState* st, Name name) {
    if (st->globals_stamp == 0 || compat::dict_stamp(st->globals) != st->globals_stamp) return nullptr;
    return st->global_values[name];
}
inline PyObject* peek_operator_function(ModuleState* st, Op op) {
    if (st->operator_dict == nullptr || st->operator_stamp == 0 || st->operator_globals_stamp == 0 ||
        compat::dict_stamp(st->globals) != st->operator_globals_stamp ||
        compat::dict_stamp(st->operator_dict) != st->operator_stamp) {
        return nullptr;
    }
    return st->operator_functions[op];
}

}  // namespace qelo::expr
