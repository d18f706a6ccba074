// qelo.expr: building nodes directly, and their traversal, clearing and freeing, with the pool of freed nodes.
#include "lifecycle.hpp"
#include "fields.hpp"
#include "plan.hpp"
#include "members.hpp"

#include <cstddef>
#include <cstring>
#include <utility>

namespace qelo::expr {

Ref construct(ModuleState* st, Kind kind, PyObject* cls, std::initializer_list<PyObject*> args) {
    PyTypeObject* tp = st->types[kind];
    if (cls == reinterpret_cast<PyObject*>(tp) && is_plain(st, kind)) {
        // What type.__call__ would do: object.__new__, then __init__ storing the fields in order
        // into the instance dict: a new one, or the empty one a spare node kept. Nothing here
        // runs code: the keys are the interned field names.
        // A spare node is tracked by the collector only once it is filled in.
        PyObject* spare = reuse_spare(st, kind);
        Ref dict;
        if (spare != nullptr) dict = Ref(std::exchange(reinterpret_cast<ExprObject*>(spare)->dict, nullptr));
        if (!dict) dict = Ref(PyDict_New());
        const Fields& fields = kFields[kind];
        PyObject* const* values = args.begin();
        bool filled = static_cast<bool>(dict);
        for (std::size_t i = 0; filled && i < fields.count; ++i) {
            filled = PyDict_SetItem(dict.get(), st->name(fields.names[i]), values[i]) == 0;
        }
        PyObject* self = spare;
        if (filled && self == nullptr) self = tp->tp_alloc(tp, 0);
        if (!filled || self == nullptr) {
            Py_XDECREF(spare);  // an empty node: freed (or kept again) as any node is
            return Ref();
        }
        auto* node = reinterpret_cast<ExprObject*>(self);
#if PY_VERSION_HEX < QELO_PY312
        // The node's fields are known and its dict needs no watching: its cache starts valid.
        // (From 3.12 on the dict is put under the field watcher only once the node is first
        // evaluated or shown: a node that is only built and freed never pays for it.)
        if (const std::uint64_t stamp = field_stamp(st, dict.get()); stamp != 0) {
            node->fields.fill(dict.get(), stamp, tp, values, fields.count);
        }
#endif
        node->dict = dict.release();
        if (spare != nullptr) PyObject_GC_Track(spare);
        return Ref(self);
    }
    // The call runs code, which may drop what the caller only borrowed.
    Ref held_cls = Ref::borrow(cls);
    std::array<Ref, 3> held_args;
    std::size_t i = 0;
    for (PyObject* value : args) held_args[i++] = Ref::borrow(value);
    return Ref(PyObject_Vectorcall(cls, args.begin(), args.size(), nullptr));
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ExprObject*>(self)->dict);
    return 0;
}

int node_clear(PyObject* self) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    node->fields.forget();
    if (Plan* plan = std::exchange(node->plan, nullptr)) free_plan(plan);
    if (node->dict != nullptr) {
        // A node's own dict leaves the field watcher with the node, so that freeing trees does not
        // count as a change of every other node's dict. A dict something else still holds (another
        // node it was given to, say) stays watched: its changes must still be seen.
        if (node->watched_dict == node->dict && compat::owned_only_by(node->dict, 1)) {
            unwatch_fields(instance_state(self), node->dict);
        }
        node->watched_dict = nullptr;
        Py_CLEAR(node->dict);
    }
    return 0;
}

// Reuse needs every instance of the six classes to have the same size and the dict and weak
// reference list at the offsets ExprObject gives them.
bool spare_layout_holds(const ModuleState* st) {
    constexpr Py_ssize_t kDictOffset = offsetof(ExprObject, dict);
    constexpr Py_ssize_t kWeaklistOffset = offsetof(ExprObject, weakrefs);
    for (const PyTypeObject* tp : st->types) {
        if (tp == nullptr || tp->tp_basicsize != static_cast<Py_ssize_t>(sizeof(ExprObject)) || tp->tp_itemsize != 0 ||
            tp->tp_dictoffset != kDictOffset || tp->tp_weaklistoffset != kWeaklistOffset ||
            !compat::object_reuse_possible(tp)) {
            return false;
        }
    }
    return true;
}

namespace {

// The module state and class kind of a node whose class is exactly one of the module's own.
ModuleState* exact_owner(PyTypeObject* tp, Kind& kind) {
    if (tp->tp_dealloc != node_dealloc) return nullptr;
    ModuleState* st = state_of_type(tp);
    if (st == nullptr) return nullptr;
    for (int k = kUniExprKind; k < kKindCount; ++k) {
        if (st->types[k] == tp) {
            kind = static_cast<Kind>(k);
            return st;
        }
    }
    return nullptr;
}

// Keeps an emptied, untracked node of an exact class for construct to reuse instead of freeing it,
// with `kept`, its former instance dict emptied of values (see reusable_dict), or null.
bool keep_spare(ModuleState* st, Kind kind, PyObject* self, PyObject* kept) {
    if (st == nullptr || !st->spares_enabled) return false;
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (node->dict != nullptr || node->weakrefs != nullptr) return false;
    ModuleState::Spares& spares = st->spares[kind];
    if (spares.count == ModuleState::Spares::kCapacity) return false;
    node->dict = kept;
    spares.items[spares.count++] = self;
    return true;
}

// The instance dict of a node being freed, taken from it for reuse by the next node of the same
// class: only when nothing else can see it (the node held the one reference). It is emptied now
// (dropping the field values as freeing would), after leaving the field watcher, so that this
// counts as no change of any node; filled again it is what a new dict would be. Null (the dict
// left in place) otherwise.
PyObject* reusable_dict(ModuleState* st, PyObject* self) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    PyObject* dict = node->dict;
    if (st == nullptr || !st->spares_enabled || dict == nullptr || !PyDict_CheckExact(dict) ||
        !compat::owned_only_by(dict, 1)) {
        return nullptr;
    }
    if (node->watched_dict == dict) unwatch_fields(st, dict);
    node->watched_dict = nullptr;
    node->dict = nullptr;
    node->fields.forget();
    PyDict_Clear(dict);
    return dict;
}

}  // namespace

void free_spares(ModuleState* st) {
    for (ModuleState::Spares& spares : st->spares) {
        while (spares.count > 0) {
            PyObject* self = spares.items[--spares.count];
            Py_CLEAR(reinterpret_cast<ExprObject*>(self)->dict);  // empty: no code runs
            PyObject_GC_Del(self);
        }
    }
}

PyObject* reuse_spare(ModuleState* st, Kind kind) {
    ModuleState::Spares& spares = st->spares[kind];
    if (spares.count == 0) return nullptr;
    PyObject* self = spares.items[--spares.count];
    auto* node = reinterpret_cast<ExprObject*>(self);
    // As fresh from tp_alloc: all zero past the header but the vectorcall pointer, which is the
    // class's own (spares are kept per class), and the kept dict, if any.
    const vectorcallfunc vectorcall = node->vectorcall;
    PyObject* dict = node->dict;
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0, sizeof(ExprObject) - sizeof(PyObject));
    node->vectorcall = vectorcall;
    node->dict = dict;
    return compat::revive_object(self, st->types[kind]);
}

namespace {

// Everything but letting go of the class, which may be the last thing keeping the module alive.
void release_node(PyObject* self, PyTypeObject* tp, ModuleState* st, Kind kind) {
    if (reinterpret_cast<ExprObject*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    PyObject* kept = reusable_dict(st, self);
    node_clear(self);
    if (!keep_spare(st, kind, self, kept)) {
        tp->tp_free(self);
        Py_XDECREF(kept);
    }
}

}  // namespace

void node_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Kind kind = kExprMixinKind;
    ModuleState* st = exact_owner(tp, kind);
    // Deep trees free through their fields and dicts; the trashcan keeps that off the C stack.
    compat::release_nested(self, node_dealloc, st != nullptr ? &st->direct_releases : nullptr, ModuleState::kDirectReleases,
                           [&] {
                               release_node(self, tp, st, kind);
                               Py_DECREF(tp);
                           });
}

// The instance dict and weak reference list at fixed offsets of the node, on every interpreter:
// attribute access, vars() and __dict__ assignment all go through the interpreter's own code.
PyMemberDef node_members[] = {
    {"__dictoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, dict), QELO_READONLY, nullptr},
    {"__weaklistoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, weakrefs), QELO_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

namespace {

// node.__dict__ = d, as object's own descriptor does it; from 3.12 on it also moves the field
// watcher's count, so that evaluation plans know a node changed without comparing its dict.
int set_node_dict(PyObject* self, PyObject* value, void* closure) {
    const int result = PyObject_GenericSetDict(self, value, closure);
#if PY_VERSION_HEX >= QELO_PY312
    if (result == 0) memo::Domain<memo::NodeDicts>::touch();
#endif
    return result;
}

}  // namespace

PyGetSetDef node_getset[] = {
    {"__dict__", PyObject_GenericGetDict, set_node_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef callable_node_members[] = {
    {"__dictoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, dict), QELO_READONLY, nullptr},
    {"__weaklistoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, weakrefs), QELO_READONLY, nullptr},
    {"__vectorcalloffset__", QELO_T_PYSSIZET, offsetof(ExprObject, vectorcall), QELO_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace qelo::expr
