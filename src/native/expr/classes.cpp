// qelo.expr: whose state a class has, and whether one of the module's own classes is still plain.
#include "state.hpp"
#include "classes.hpp"

#include <array>
#include <cstddef>

namespace qelo::expr {

namespace {

// The state of `module` when it is an instance of this module; null (no error) otherwise.
ModuleState* state_if_ours(PyObject* module) {
    if (module == nullptr || !PyModule_Check(module)) return nullptr;
    return PyModule_GetDef(module) == &module_def ? state_of(module) : nullptr;
}

struct OriginalSlots {
    ternaryfunc call;
    initproc init;
    getattrofunc getattro;
};
const OriginalSlots& original_slots(Kind kind) {
    static const std::array<OriginalSlots, kKindCount> table{{
        {nullptr, nullptr, PyObject_GenericGetAttr},
        {uniexpr_call, uniexpr_init, PyObject_GenericGetAttr},
        {binexpr_call, binexpr_init, PyObject_GenericGetAttr},
        {path_call, path_init, path_getattro},
        {path2_call, path2_init, PyObject_GenericGetAttr},
        {funcpath_call, funcpath_init, PyObject_GenericGetAttr},
    }};
    return table[kind];
}

bool is_data_descriptor(PyObject* attr) { return attr != nullptr && Py_TYPE(attr)->tp_descr_set != nullptr; }

// A version tag for `tp`, so that a later change to the class shows as a different tag.
unsigned int assign_version_tag(ModuleState* st, PyTypeObject* tp) {
    return compat::type_version_assigned(tp, st->name(kDunderGetattr));
}

}  // namespace

bool verify_plain(ModuleState* st, Kind kind) {
    PyTypeObject* tp = st->types[kind];
    // Taken first: a change made while the class is checked leaves the check unremembered.
    const unsigned int tag = assign_version_tag(st, tp);
    const OriginalSlots& slots = original_slots(kind);
    if (tp->tp_call != slots.call || tp->tp_init != slots.init || tp->tp_getattro != slots.getattro ||
        tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_dictoffset != static_cast<Py_ssize_t>(offsetof(ExprObject, dict))) {
        return false;
    }
    const Fields& fields = kFields[kind];
    for (std::size_t i = 0; i < fields.count; ++i) {
        if (is_data_descriptor(compat::type_lookup(tp, st->name(fields.names[i])))) return false;
    }
    // Attribute access of a plain Path derives paths without looking its __getattr__ up again.
    if (kind == kPathKind && compat::type_lookup(tp, st->name(kDunderGetattr)) != st->path_getattr) return false;
    st->plain_classes[kind].record(tp, tag);
    return true;
}

ModuleState* state_of_type_general(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        ModuleState* st = state_if_ours(compat::type_module(type));
        if (st != nullptr) return st;
    }
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_HasFeature(reinterpret_cast<PyTypeObject*>(base), Py_TPFLAGS_HEAPTYPE)) continue;
        ModuleState* st = state_if_ours(compat::type_module(reinterpret_cast<PyTypeObject*>(base)));
        if (st != nullptr) return st;
    }
    return nullptr;
}

}  // namespace qelo::expr
