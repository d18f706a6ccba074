// qelo.expr: module state, shared type plumbing and the import-time work.
#include "expr.hpp"
#include "plan.hpp"
#include "members.hpp"
#include "watchers.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

namespace qelo::expr {

namespace {

constexpr std::array<const char*, kNameCount> kNameTexts{
    "BinExpr", "UniExpr", "Path", "Path2", "FuncPath", "operator", "opnames",
    "add", "sub", "mul", "div", "floordiv", "mod", "pow", "xor", "lshift", "rshift", "and_", "or_",
    "not_", "neg", "pos", "contains", "gt", "ge", "lt", "le", "eq", "ne", "truediv",
    "op", "lhs", "rhs", "operand", "_Path__name", "_Path__field", "_Path__parent", "_Path2__name",
    "_Path2__index", "_Path2__parent", "_FuncPath__func", "_FuncPath__operand",
    "__name__", "__dict__", "__class__", "__slots__", "__base__", "__getattr__", "__iter__", "items", "update",
};

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
    st->verified_tag[kind] = tag;
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

Ref module_global(ModuleState* st, Name name) {
    PyObject* dict = module_dict(st);
    const std::uint64_t stamp = st->globals_watched ? compat::dict_stamp(dict) : 0;
    if (stamp != st->globals_stamp) {
        st->globals_stamp = stamp;
        st->global_values.fill(nullptr);
    } else if (stamp != 0 && st->global_values[name] != nullptr) {
        return Ref::borrow(st->global_values[name]);
    }
    Ref found;
    const int got = dict_get(dict, st->name(name), found);
    if (got < 0) return Ref();
    if (got > 0) {
        // Remembered (borrowed, as the dict holds it) only when the lookup itself changed nothing.
        if (stamp != 0 && compat::dict_stamp(dict) == stamp) st->global_values[name] = found.get();
        return found;
    }
    return lookup_global(dict, st->name(name));
}

Ref operator_function(ModuleState* st, Op op) {
    // Module globals unchanged since `operator` was found to be the plain module owning
    // operator_dict: that module (which keeps its dict for life) is still the one bound.
    if (PyObject* cached = peek_operator_function(st, op)) return Ref::borrow(cached);
    // Taken before the lookup: should that run code that rebinds names, the cache never matches.
    const std::uint64_t globals_stamp = st->globals_watched ? compat::dict_stamp(module_dict(st)) : 0;
    Ref module = module_global(st, kOperator);
    if (!module) return Ref();
    PyObject* attribute = st->name(kOps[op].attribute);
    // A plain module has no descriptor of these names: its dict answers as getattr would.
    if (Py_IS_TYPE(module.get(), &PyModule_Type)) {
        PyObject* dict = PyModule_GetDict(module.get());
        if (dict != st->operator_dict) {
            st->operator_dict = nullptr;
            const int watched = compat::watch_dict(dict);
            if (watched < 0) return Ref();
            if (watched == 1) st->operator_dict = dict;
            st->operator_stamp = 0;
        }
        const std::uint64_t stamp = st->operator_dict != nullptr ? compat::dict_stamp(dict) : 0;
        if (stamp != st->operator_stamp || globals_stamp != st->operator_globals_stamp) {
            st->operator_stamp = stamp;
            st->operator_globals_stamp = globals_stamp;
            st->operator_functions.fill(nullptr);
        }
        Ref found;
        const int got = dict_get(dict, attribute, found);
        if (got < 0) return Ref();
        if (got > 0) {
            if (stamp != 0 && compat::dict_stamp(dict) == stamp) st->operator_functions[op] = found.get();
            return found;
        }
    }
    return Ref(PyObject_GetAttr(module.get(), attribute));
}

#if PY_VERSION_HEX >= QELO_PY312
std::atomic<std::uint64_t> field_epoch{1};
#endif

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
            node->seen_dict = dict.get();
            node->seen_type = tp;
            node->seen_stamp = stamp;
            for (std::size_t i = 0; i < fields.count; ++i) node->seen_fields[i] = values[i];
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

Fast refresh_fields(ModuleState* st, PyObject* self, Kind kind, PyObject* const*& out) {
    out = nullptr;
    auto* node = reinterpret_cast<ExprObject*>(self);
    ++st->field_refreshes;
    node->seen_stamp = 0;
    PyObject* dict = node->dict;
    if (dict == nullptr || !PyDict_CheckExact(dict)) return Fast::Declined;
    const bool watched = watch_fields(st, dict);
    if (watched) node->watched_dict = dict;
    const std::uint64_t stamp = watched ? field_stamp(st, dict) : 0;
    if (stamp == 0) return Fast::Declined;  // no stamps in this build: read the general way
    // Filled only for the exact class the fields are read for, and remembered under it.
    PyTypeObject* type = st->types[kind];
    if (Py_TYPE(self) != type) return Fast::Declined;
    const Fields& fields = kFields[kind];
    std::array<Ref, 3> found;
    for (std::size_t i = 0; i < fields.count; ++i) {
        const int got = dict_get(dict, st->name(fields.names[i]), found[i]);
        if (got < 0) return Fast::Failed;
        if (got == 0) return Fast::Declined;  // missing: getattr answers
    }
    // A lookup compares keys and so may run code: the values are trusted only when the dict is
    // provably the same afterwards (it then still holds them); otherwise the caller reads the
    // general way.
    if (node->dict != dict || Py_TYPE(self) != type || field_stamp(st, dict) != stamp) return Fast::Declined;
    node->seen_dict = dict;
    node->seen_type = type;
    node->seen_stamp = stamp;
    for (std::size_t i = 0; i < fields.count; ++i) node->seen_fields[i] = found[i].get();
    out = node->seen_fields;
    return Fast::Done;
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

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ExprObject*>(self)->dict);
    return 0;
}

int node_clear(PyObject* self) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    node->seen_stamp = 0;
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

namespace {

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
    node->seen_stamp = 0;
    PyDict_Clear(dict);
    return dict;
}

void free_spares(ModuleState* st) {
    for (ModuleState::Spares& spares : st->spares) {
        while (spares.count > 0) {
            PyObject* self = spares.items[--spares.count];
            Py_CLEAR(reinterpret_cast<ExprObject*>(self)->dict);  // empty: no code runs
            PyObject_GC_Del(self);
        }
    }
}

}  // namespace

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
    if (result == 0) field_epoch.fetch_add(1, std::memory_order_relaxed);
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

namespace {

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.traverse(visit, arg);
    for (PyTypeObject* tp : st->types) Py_VISIT(tp);
    Py_VISIT(st->method_type);
    Py_VISIT(st->operator_module);
    for (PyObject* fn : st->originals) Py_VISIT(fn);
    Py_VISIT(st->path_getattr);
    Py_VISIT(st->path_missing_name);
    Py_VISIT(st->builtin_len);
    Py_VISIT(st->builtin_abs);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.clear();
    // Spares are freed while their classes, which size them, are still held.
    st->spares_enabled = false;
    free_spares(st);
    for (PyTypeObject*& tp : st->types) Py_CLEAR(tp);
    Py_CLEAR(st->method_type);
    Py_CLEAR(st->operator_module);
    for (PyObject*& fn : st->originals) Py_CLEAR(fn);
    Py_CLEAR(st->path_getattr);
    Py_CLEAR(st->path_missing_name);
    Py_CLEAR(st->builtin_len);
    Py_CLEAR(st->builtin_abs);
    clear_text_caches(st);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

bool bind(PyObject* dict, PyObject* name, PyObject* value) { return PyDict_SetItem(dict, name, value) == 0; }

// Steps 1 and 2: `operator`, with `div` added for the whole process when it is missing.
bool import_operator(ModuleState* st, PyObject* dict) {
    Ref op(PyImport_ImportModule("operator"));
    if (!op || !bind(dict, st->name(kOperator), op.get())) return false;
    Ref existing;
    if (compat::get_optional_attr(op.get(), st->name(kDiv), existing) < 0) return false;
    if (!existing) {
        Ref truediv(PyObject_GetAttr(op.get(), st->name(kTruediv)));
        if (!truediv || PyObject_SetAttr(op.get(), st->name(kDiv), truediv.get()) < 0) return false;
    }
    st->operator_module = op.release();
    return true;
}

// Whether `fn` is the interpreter's own builtin function `name` of module `owner` (a C function
// bound to that module object whose name, fixed when it was defined, is `name`), whatever name it
// is bound under now.
bool is_genuine_function(PyObject* fn, PyObject* owner, const char* name) {
    if (fn == nullptr || !PyCFunction_CheckExact(fn) || PyCFunction_GET_SELF(fn) != owner) return false;
    Ref own_name(PyObject_GetAttrString(fn, "__name__"));
    if (!own_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(own_name.get()) && PyUnicode_CompareWithASCIIString(own_name.get(), name) == 0;
}

// The C operation each Op stands for, by the name the interpreter's operator functions carry.
constexpr std::array<const char*, kOpCount> kGenuineNames{
    "add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "xor", "lshift", "rshift", "and_", "or_",
    "not_", "neg", "pos", "contains", "gt", "ge", "lt", "le", "eq", "ne",
};

// The originals the evaluation may run as C operations: each taken from the interpreter's own
// operator functions and kept only when it is provably the function of that name, so that a
// function is never applied as another one (`operator.div` bound to floordiv before this import
// is floordiv here too).
bool capture_originals(ModuleState* st) {
    Ref source(PyImport_ImportModule("_operator"));
    if (!source) {
        PyErr_Clear();  // no C operator functions: everything is called as it is
        return true;
    }
    for (int i = 0; i < kOpCount; ++i) {
        Ref fn(PyObject_GetAttrString(source.get(), kGenuineNames[i]));
        if (!fn) {
            PyErr_Clear();
            continue;
        }
        if (is_genuine_function(fn.get(), source.get(), kGenuineNames[i])) st->originals[i] = fn.release();
    }
    return true;
}

// Step 3: opnames, keyed by the operator functions as they are now.
bool build_opnames(ModuleState* st, PyObject* dict) {
    Ref opnames(PyDict_New());
    if (!opnames) return false;
    for (int i = 0; i < kOpCount; ++i) {
        Ref fn(PyObject_GetAttr(st->operator_module, st->name(kOps[i].attribute)));
        if (!fn) return false;
        Ref symbol(PyUnicode_FromString(kOps[i].symbol));
        if (!symbol || PyDict_SetItem(opnames.get(), fn.get(), symbol.get()) < 0) return false;
    }
    return capture_originals(st) && bind(dict, st->name(kOpnames), opnames.get());
}

// A class as an ordinary class shows it: bare __name__ (which also names it in error messages).
bool make_type(PyObject* module, ModuleState* st, Kind kind, PyType_Spec* type_spec, const char* short_name) {
    PyObject* bases = kind == kExprMixinKind ? nullptr : reinterpret_cast<PyObject*>(st->types[kExprMixinKind]);
    Ref type(PyType_FromModuleAndSpec(module, type_spec, bases));
    if (!type) return false;
    Ref name(PyUnicode_FromString(short_name));
    if (!name || PyObject_SetAttr(type.get(), st->name(kDunderName), name.get()) < 0) return false;
    st->types[kind] = reinterpret_cast<PyTypeObject*>(type.get());
    Py_INCREF(type.get());
    return true;
}

// The class's own dict, written directly so that the slots stay as created (setting a dunder
// through setattr would replace the slot with the generic one).
Ref own_dict(PyTypeObject* type) {
    return compat::type_dict(type);
}

// __div__, __rdiv__ and __inv__ are the very objects of their partners.
bool add_aliases(PyTypeObject* type) {
    Ref dict = own_dict(type);
    if (!dict) return false;
    const char* pairs[][2] = {{"__div__", "__floordiv__"}, {"__rdiv__", "__rfloordiv__"}, {"__inv__", "__invert__"}};
    for (auto& pair : pairs) {
        PyObject* target = PyDict_GetItemString(dict.get(), pair[1]);
        if (target == nullptr) {
            PyErr_Format(PyExc_SystemError, "missing %s", pair[1]);
            return false;
        }
        if (PyDict_SetItemString(dict.get(), pair[0], target) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

// Paths have item access but must not be iterable through it: `__iter__ = None`, set as on any
// class so that the slot follows.
bool refuse_iteration(ModuleState* st, PyTypeObject* type) {
    return PyObject_SetAttr(reinterpret_cast<PyObject*>(type), st->name(kDunderIter), Py_None) == 0;
}

// Path answers missing attributes through __getattr__ as an ordinary class would; its
// __getattribute__ stays object's.
bool finish_path(ModuleState* st) {
    PyTypeObject* path = st->types[kPathKind];
    Ref dict = own_dict(path);
    if (!dict) return false;
    if (PyDict_DelItemString(dict.get(), "__getattribute__") < 0) return false;
    PyType_Modified(path);
    Ref getattr;
    const int got = dict_get(dict.get(), st->name(kDunderGetattr), getattr);
    if (got < 0) return false;
    if (got == 0) {
        PyErr_SetString(PyExc_SystemError, "Path has no __getattr__");
        return false;
    }
    st->path_getattr = getattr.release();
    return refuse_iteration(st, path);
}

bool create_types(PyObject* module, ModuleState* st, PyObject* dict) {
    struct Step {
        Kind kind;
        PyType_Spec* type_spec;
        const char* name;
        Name binding;
    };
    const Step steps[] = {
        {kExprMixinKind, &exprmixin_spec, "ExprMixin", kNameCount}, {kUniExprKind, &uniexpr_spec, "UniExpr", kUniExpr},
        {kBinExprKind, &binexpr_spec, "BinExpr", kBinExpr},     {kPathKind, &path_spec, "Path", kPath},
        {kPath2Kind, &path2_spec, "Path2", kPath2},             {kFuncPathKind, &funcpath_spec, "FuncPath", kFuncPath},
    };
    for (const Step& step : steps) {
        if (!make_type(module, st, step.kind, step.type_spec, step.name)) return false;
        PyObject* type = reinterpret_cast<PyObject*>(st->types[step.kind]);
        const MethodTable table = method_table(step.kind);
        if (!install_methods(st, st->types[step.kind], table.specs, table.count)) return false;
        if (step.kind == kExprMixinKind && !add_aliases(st->types[kExprMixinKind])) return false;
        if (step.kind == kPathKind && !finish_path(st)) return false;
        if (step.kind == kPath2Kind && !refuse_iteration(st, st->types[kPath2Kind])) return false;
        bool ok = step.binding == kNameCount ? PyDict_SetItemString(dict, step.name, type) == 0
                                          : bind(dict, st->name(step.binding), type);
        if (!ok) return false;
    }
    return true;
}

// Step 5: the ready-made paths, each built as calling its class builds it.
bool bind_module_objects(ModuleState* st, PyObject* dict) {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    struct Object {
        const char* name;
        Kind kind;
        const char* argument;
        bool builtin;
    };
    const Object objects[] = {
        {"this", kPathKind, "this", false}, {"obj_", kPathKind, "obj_", false}, {"list_", kPath2Kind, "list_", false},
        {"len_", kFuncPathKind, "len", true}, {"sum_", kFuncPathKind, "sum", true}, {"min_", kFuncPathKind, "min", true},
        {"max_", kFuncPathKind, "max", true}, {"abs_", kFuncPathKind, "abs", true},
    };
    for (const Object& object : objects) {
        Ref argument(object.builtin ? PyObject_GetAttrString(builtins.get(), object.argument)
                                    : PyUnicode_InternFromString(object.argument));
        if (!argument) return false;
        if (object.builtin && is_genuine_function(argument.get(), builtins.get(), object.argument)) {
            const std::string_view name(object.argument);
            if (name == "len") st->builtin_len = argument.dup().release();
            if (name == "abs") st->builtin_abs = argument.dup().release();
        }
        PyObject* cls = reinterpret_cast<PyObject*>(st->types[object.kind]);
        // cls(argument): the fresh classes are plain, so this is the direct build.
        Ref value = object.kind == kFuncPathKind ? construct(st, kFuncPathKind, cls, {argument.get(), Py_None})
                                            : construct(st, object.kind, cls, {argument.get(), Py_None, Py_None});
        if (!value || PyDict_SetItemString(dict, object.name, value.get()) < 0) return false;
    }
    return true;
}

#if PY_VERSION_HEX >= QELO_PY312
int on_field_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    field_epoch.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
#endif

// The field watcher of this interpreter (3.12+), shared by every instance of the module in it;
// none (field caches off, reads go to the dicts) when every watcher slot is taken.
bool register_field_watcher([[maybe_unused]] ModuleState* st) {
#if PY_VERSION_HEX >= QELO_PY312
    int id = -1;
    const int found =
        find_interpreter_watcher("qelo.expr.field_watcher", &on_field_dict_event, PyDict_AddWatcher, PyDict_ClearWatcher, id);
    if (found < 0) return false;
    st->field_watcher = id;
#endif
    return true;
}

#if PY_VERSION_HEX >= QELO_PY312
int on_class_modified(PyTypeObject*) {
    field_epoch.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
#endif

// Puts the module's classes under a type watcher of this interpreter (3.12+) that counts their
// changes into the field watcher's count: evaluation plans then need only that count to know that
// neither a node nor a class changed. Without one (every type watcher slot taken) no plans are
// made; 3.11 plans compare the classes' version tags instead.
bool watch_classes([[maybe_unused]] ModuleState* st) {
#if PY_VERSION_HEX >= QELO_PY312
    if (st->field_watcher < 0) return true;
    int id = -1;
    const int found =
        find_interpreter_watcher("qelo.expr.class_watcher", &on_class_modified, PyType_AddWatcher, PyType_ClearWatcher, id);
    if (found < 0) return false;
    if (found == 0) return true;
    for (PyTypeObject* tp : st->types) {
        if (PyType_Watch(id, reinterpret_cast<PyObject*>(tp)) < 0) {
            PyErr_Clear();
            return true;
        }
    }
    st->classes_watched = true;
#endif
    return true;
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    // A reload runs this again on the same module: start from empty state.
    module_clear(module);
    *st = ModuleState{};
    st->module = module;
    st->globals = PyModule_GetDict(module);
    if (!st->names.init(kNameTexts)) return -1;
    PyObject* dict = PyModule_GetDict(module);
    const int watched = compat::watch_dict(dict);
    if (watched < 0) return -1;
    st->globals_watched = watched == 1;
    if (!register_field_watcher(st) || !create_method_type(module, st)) return -1;
    if (!import_operator(st, dict) || !build_opnames(st, dict) || !create_types(module, st, dict)) return -1;
    if (!watch_classes(st)) return -1;
    st->spares_enabled = spare_layout_holds(st);
    if (!bind_module_objects(st, dict)) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= QELO_PY312
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qelo.expr",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace qelo::expr

PyMODINIT_FUNC PyInit_expr(void) { return PyModuleDef_Init(&qelo::expr::module_def); }
