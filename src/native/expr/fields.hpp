// qelo.expr: the field caches of nodes and the caches of module globals.
#pragma once

#include "state.hpp"
#include "outcome.hpp"

#include <cstdint>

namespace qelo::expr {

// Field caches. A node remembers the values its fields had in its instance dict (ExprObject::
// fields) under the dict's stamp in the node-dict domain (ModuleState::nodes):
//   3.12+: a dict watcher of this module's own watches every node dict the module reads or makes,
//          and counts every event of every one of them. Node dicts change rarely (an attribute
//          written, a dict freed with its node), so the count stands still while trees are
//          evaluated.
//   3.11:  the dict's own version tag, never 0 and never repeated.
inline std::uint64_t field_stamp(const ModuleState* st, PyObject* dict) { return st->nodes.stamp(dict); }

// Puts `dict` in the node-dict domain, so that its stamps can be trusted. False when the dict
// cannot be (then no stamp of it is used); never raises.
inline bool watch_fields(const ModuleState* st, PyObject* dict) { return st->nodes.watch(dict); }
inline void unwatch_fields(const ModuleState* st, PyObject* dict) {
    if (st != nullptr) st->nodes.unwatch(dict);
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
    if (node->fields.current_in(st->nodes, node->dict, st->types[kind])) {
        out = node->fields.values.data();
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

// The stamp the caches of module globals are kept under, and the one of getattr(operator, ...)
// and of opnames' symbols (the namespace and that dict together); 0 when not stamped. Only the
// caches' fills ask whether the namespace is watched: a memo never filled is never current.
inline std::uint64_t globals_stamp(const ModuleState* st) {
    return st->globals_watched ? st->namespaces.stamp(st->globals) : 0;
}
inline std::uint64_t globals_stamp_with(const ModuleState* st, PyObject* dict) {
    return st->globals_watched ? st->namespaces.stamp(st->globals, dict) : 0;
}

// What module_global and operator_function would answer from their caches, while the dicts they
// came from are unchanged; null (no error) when they must be asked. Borrowed: valid until code runs.
[[gnu::always_inline]] inline PyObject* peek_global(ModuleState* st, Name name) {
    const auto& memo = st->global_values;
    if (!memo.holds(memo.bit(name)) || !memo.current(st->globals, st->namespaces.stamp(st->globals))) return nullptr;
    return memo.values[name];
}
[[gnu::always_inline]] inline PyObject* peek_operator_function(ModuleState* st, Op op) {
    const auto& memo = st->operator_functions;
    if (!memo.holds(memo.bit(op)) || !memo.current(memo.dict, st->namespaces.stamp(st->globals, memo.dict))) {
        return nullptr;
    }
    return memo.values[op];
}

}  // namespace qelo::expr
