// qelo.expr: the caches of module globals, operator functions and node fields.
#include "fields.hpp"

#include <array>
#include <cstdint>

namespace qelo::expr {

Ref module_global(ModuleState* st, Name name) {
    PyObject* dict = module_dict(st);
    auto& memo = st->global_values;
    const std::uint64_t stamp = globals_stamp(st);
    if (!memo.current(dict, stamp)) {
        memo.renew(dict, stamp);
    } else if (memo.holds(memo.bit(name))) {
        return Ref::borrow(memo.values[name]);
    }
    Ref found;
    const int got = dict_get(dict, st->name(name), found);
    if (got < 0) return Ref();
    if (got > 0) {
        // Remembered (borrowed, as the dict holds it) only when the lookup itself changed nothing.
        if (stamp != 0 && globals_stamp(st) == stamp) memo.put(name, found.get());
        return found;
    }
    return lookup_global(dict, st->name(name));
}

Ref operator_function(ModuleState* st, Op op) {
    // Module globals unchanged since `operator` was found to be the plain module owning the memo's
    // dict: that module (which keeps its dict for life) is still the one bound.
    if (PyObject* cached = peek_operator_function(st, op)) return Ref::borrow(cached);
    // Taken before the lookup: should that run code that rebinds names, nothing is remembered.
    const std::uint64_t before = globals_stamp(st);
    Ref module = module_global(st, kOperator);
    if (!module) return Ref();
    PyObject* attribute = st->name(kOps[op].attribute);
    // A plain module has no descriptor of these names: its dict answers as getattr would.
    if (Py_IS_TYPE(module.get(), &PyModule_Type)) {
        PyObject* dict = PyModule_GetDict(module.get());
        auto& memo = st->operator_functions;
        // Only a dict in the namespace domain is ever the memo's.
        if (dict != memo.dict) memo.renew(st->namespaces.watch(dict) ? dict : nullptr, 0);
        const bool unchanged = memo.dict == dict && before != 0 && globals_stamp(st) == before;
        const std::uint64_t stamp = unchanged ? globals_stamp_with(st, dict) : 0;
        if (!memo.current(dict, stamp)) memo.renew(memo.dict, stamp);
        Ref found;
        const int got = dict_get(dict, attribute, found);
        if (got < 0) return Ref();
        if (got > 0) {
            if (stamp != 0 && globals_stamp_with(st, dict) == stamp) memo.put(op, found.get());
            return found;
        }
    }
    return Ref(PyObject_GetAttr(module.get(), attribute));
}

FieldsRead refresh_fields(ModuleState* st, PyObject* self, Kind kind) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    st->nodes.note_refill();
    node->fields.forget();
    PyObject* dict = node->dict;
    if (dict == nullptr || !PyDict_CheckExact(dict)) return {Fast::Declined, nullptr};
    const bool watched = watch_fields(st, dict);
    if (watched) node->watched_dict = dict;
    const std::uint64_t stamp = watched ? field_stamp(st, dict) : 0;
    if (stamp == 0) return {Fast::Declined, nullptr};  // no stamps in this build: read the general way
    // Filled only for the exact class the fields are read for, and remembered under it.
    PyTypeObject* type = st->types[kind];
    if (Py_TYPE(self) != type) return {Fast::Declined, nullptr};
    const Fields& fields = kFields[kind];
    std::array<Ref, 3> found;
    for (std::size_t i = 0; i < fields.count; ++i) {
        const int got = dict_get(dict, st->name(fields.names[i]), found[i]);
        if (got < 0) return {Fast::Failed, nullptr};
        if (got == 0) return {Fast::Declined, nullptr};  // missing: getattr answers
    }
    // A lookup compares keys and so may run code: the values are trusted only when the dict is
    // provably the same afterwards (it then still holds them); otherwise the caller reads the
    // general way.
    if (node->dict != dict || Py_TYPE(self) != type || field_stamp(st, dict) != stamp) return {Fast::Declined, nullptr};
    PyObject* values[3] = {found[0].get(), found[1].get(), found[2].get()};
    node->fields.fill(dict, stamp, type, values, fields.count);
    return {Fast::Done, node->fields.values.data()};
}

Ref read_slot(ModuleState* st, PyObject* self, Kind kind, int index, bool direct) {
    PyObject* name = st->name(kFields[kind].names[index]);
    if (direct) {
        PyObject* const* fields = nullptr;
        const Fast cached = plain_fields(st, self, kind, fields);
        if (cached == Fast::Done) return Ref::borrow(fields[index]);
        if (cached == Fast::Failed) return Ref();
        // Not cached (a field missing, or no stamps in this build): the instance dict answers
        // first for a plain class, where no data descriptor shadows a field.
        PyObject* dict = reinterpret_cast<ExprObject*>(self)->dict;
        if (dict != nullptr && PyDict_CheckExact(dict)) {
            Ref value;
            const int got = dict_get(dict, name, value);
            if (got != 0) return value;  // found, or null with the exception set
        }
    }
    return Ref(PyObject_GetAttr(self, name));
}

}  // namespace qelo::expr
