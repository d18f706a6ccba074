// qelo.expr: module state, shared type plumbing and the import-time work.
#include "expr.hpp"
#include "members.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace qelo::expr {

namespace {

constexpr std::array<const char*, N_COUNT> kNameTexts{
    "BinExpr", "UniExpr", "Path", "Path2", "FuncPath", "operator", "opnames",
    "add", "sub", "mul", "div", "floordiv", "mod", "pow", "xor", "lshift", "rshift", "and_", "or_",
    "not_", "neg", "pos", "contains", "gt", "ge", "lt", "le", "eq", "ne", "truediv",
    "op", "lhs", "rhs", "operand", "_Path__name", "_Path__field", "_Path__parent", "_Path2__name",
    "_Path2__index", "_Path2__parent", "_FuncPath__func", "_FuncPath__operand",
    "__name__", "__dict__", "__class__", "__slots__", "__base__", "__getattr__", "__iter__", "items", "update",
};

// The words an instance keeps its weak reference list and its dict (or a tagged pointer to values
// not yet in a dict) in: where the type's offsets say, the dict three words before the object
// when the interpreter manages it.
PyObject* weakref_word(PyObject* self) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Py_TYPE(self)->tp_weaklistoffset);
}
PyObject* dict_word(PyObject* self) {
#if PY_VERSION_HEX >= 0x030C0000
    return reinterpret_cast<PyObject**>(self)[-3];
#else
    return reinterpret_cast<ExprObject*>(self)->dict;
#endif
}

ExprState* state_of_module(PyObject* module) { return static_cast<ExprState*>(PyModule_GetState(module)); }

void check_module_head(PyObject* module) {
    const auto* head = reinterpret_cast<const ModuleHead*>(module);
    if (Py_IS_TYPE(module, &PyModule_Type) && head->md_dict == PyModule_GetDict(module) &&
        head->md_def == PyModule_GetDef(module) && head->md_state == PyModule_GetState(module)) {
        module_head_checked.store(true, std::memory_order_relaxed);
    }
}

// The state of `module` when it is an instance of this module; null (no error) otherwise.
ExprState* state_if_ours(PyObject* module) {
    if (module == nullptr) return nullptr;
    if (ExprState* st = state_if_checked_module(module)) return st;
    return PyModule_GetDef(module) == &module_def ? state_of_module(module) : nullptr;
}

struct OriginalSlots {
    ternaryfunc call;
    initproc init;
    getattrofunc getattro;
};
const OriginalSlots& original_slots(Kind kind) {
    static const std::array<OriginalSlots, KIND_COUNT> table{{
        {nullptr, nullptr, node_getattro},
        {uniexpr_call, uniexpr_init, node_getattro},
        {binexpr_call, binexpr_init, node_getattro},
        {path_call, path_init, path_getattro},
        {path2_call, path2_init, node_getattro},
        {funcpath_call, funcpath_init, node_getattro},
    }};
    return table[kind];
}

bool is_data_descriptor(PyObject* attr) { return attr != nullptr && Py_TYPE(attr)->tp_descr_set != nullptr; }

}  // namespace

bool verify_plain(ExprState* st, Kind kind) {
    PyTypeObject* tp = st->types[kind];
    const OriginalSlots& slots = original_slots(kind);
    if (tp->tp_call != slots.call || tp->tp_init != slots.init || tp->tp_getattro != slots.getattro ||
        tp->tp_setattro != node_setattro || tp->tp_new != PyBaseObject_Type.tp_new) {
        return false;
    }
    const Fields& fields = kFields[kind];
    for (std::size_t i = 0; i < fields.count; ++i) {
        if (is_data_descriptor(_PyType_Lookup(tp, st->name(fields.names[i])))) return false;
    }
    // Attribute access of a plain Path derives paths without looking its __getattr__ up again.
    if (kind == PATH && _PyType_Lookup(tp, st->name(N___getattr__)) != st->path_getattr) return false;
    st->verified_tag[kind] = tp->tp_version_tag;
    return true;
}


std::atomic<bool> module_head_checked{false};

ExprState* state_of_type_general(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        ExprState* st = state_if_ours(reinterpret_cast<PyHeapTypeObject*>(type)->ht_module);
        if (st != nullptr) return st;
    }
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_HasFeature(reinterpret_cast<PyTypeObject*>(base), Py_TPFLAGS_HEAPTYPE)) continue;
        ExprState* st = state_if_ours(reinterpret_cast<PyHeapTypeObject*>(base)->ht_module);
        if (st != nullptr) return st;
    }
    return nullptr;
}

Ref module_global(ExprState* st, Name name) {
    PyObject* dict = module_dict(st);
    const std::uint64_t version = dict_version(dict);
    if (version != st->globals_version) {
        st->globals_version = version;
        st->global_values.fill(nullptr);
    } else if (st->global_values[name] != nullptr) {
        return Ref::borrow(st->global_values[name]);
    }
    PyObject* found = PyDict_GetItemWithError(dict, st->name(name));
    if (found != nullptr) {
        st->global_values[name] = found;
        return Ref::borrow(found);
    }
    if (PyErr_Occurred()) return Ref();
    return lookup_global(dict, st->name(name));
}

Ref operator_function(ExprState* st, Op op) {
    // Module globals unchanged since `operator` was found to be the plain module owning
    // operator_dict: that module (which keeps its dict for life) is still the one bound.
    if (PyObject* cached = peek_operator_function(st, op)) return Ref::borrow(cached);
    // Taken before the lookup: should that run code that rebinds names, the cache never matches.
    const std::uint64_t globals_version = dict_version(module_dict(st));
    Ref module = module_global(st, N_operator);
    if (!module) return Ref();
    PyObject* attribute = st->name(kOps[op].attribute);
    // A plain module has no descriptor of these names: its dict answers as getattr would.
    if (Py_IS_TYPE(module.get(), &PyModule_Type)) {
        PyObject* dict = PyModule_GetDict(module.get());
        const std::uint64_t version = dict_version(dict);
        st->operator_globals_version = globals_version;
        if (dict != st->operator_dict || version != st->operator_version) {
            st->operator_dict = dict;
            st->operator_version = version;
            st->operator_functions.fill(nullptr);
        } else if (st->operator_functions[op] != nullptr) {
            return Ref::borrow(st->operator_functions[op]);
        }
        PyObject* found = PyDict_GetItemWithError(dict, attribute);
        if (found != nullptr) {
            st->operator_functions[op] = found;
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) return Ref();
    }
    return Ref(PyObject_GetAttr(module.get(), attribute));
}

Ref construct(ExprState* st, Kind kind, PyObject* cls, std::initializer_list<PyObject*> args) {
    PyTypeObject* tp = st->types[kind];
    if (cls == reinterpret_cast<PyObject*>(tp) && is_plain(st, kind)) {
        // What type.__call__ would do: object.__new__, then __init__ storing the fields in order.
        // The fields stay in the node until the instance dict is asked for (see materialize).
        // A spare node is tracked by the collector only once it is filled in.
        PyObject* spare = reuse_spare(st, kind);
        PyObject* self = spare != nullptr ? spare : tp->tp_alloc(tp, 0);
        if (self == nullptr) return Ref();
        auto* node = reinterpret_cast<ExprObject*>(self);
        PyObject* const* values = args.begin();
        for (std::size_t i = 0; i < args.size(); ++i) node->live[i] = Py_NewRef(values[i]);
        node->live_kind = static_cast<signed char>(kind);
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

Ref read_slot_general(ExprState* st, PyObject* self, Kind kind, int index, bool direct) {
    PyObject* name = st->name(kFields[kind].names[index]);
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (node->live_kind != EXPRMIXIN && !materialize(self)) return Ref();
    if (!direct) return Ref(PyObject_GetAttr(self, name));
    PyObject* dict = instance_dict(self);
    if (dict == nullptr) return Ref(PyObject_GetAttr(self, name));
    const bool remember = may_remember(self);
    const std::uint64_t version = dict_version(dict);
    const bool same = remember && node->seen_dict == dict && node->seen_version == version;
    if (same && node->seen_fields[index] != nullptr) return Ref::borrow(node->seen_fields[index]);
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) return Ref();
        return Ref(PyObject_GetAttr(self, name));
    }
    if (remember) {
        if (!same) {
            node->seen_dict = dict;
            node->seen_version = version;
            node->seen_fields[0] = node->seen_fields[1] = node->seen_fields[2] = nullptr;
        }
        node->seen_fields[index] = value;
    }
    return Ref::borrow(value);
}

bool materialize(PyObject* self) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (node->live_kind == EXPRMIXIN) return true;
    ExprState* st = require_state(self);
    if (st == nullptr) return false;
    Ref dict(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return false;
    // Still live: building the dict runs no code of ours or the user's.
    const Fields& fields = kFields[node->live_kind];
    for (std::size_t i = 0; i < fields.count; ++i) {
        if (PyDict_SetDefault(dict.get(), st->name(fields.names[i]), node->live[i]) == nullptr) return false;
    }
    // Every value is in the dict now; only then let go of the node's own references.
    node->live_kind = EXPRMIXIN;
    for (std::size_t i = 0; i < fields.count; ++i) Py_CLEAR(node->live[i]);
    return true;
}

namespace {

// The index of `name` among a class's fields, or -1.
int field_index(ExprState* st, Kind kind, PyObject* name) {
    const Fields& fields = kFields[kind];
    for (std::size_t i = 0; i < fields.count; ++i) {
        if (st->name(fields.names[i]) == name) return static_cast<int>(i);
    }
    // Interned strings are equal only when identical (the field names are interned).
    if (!PyUnicode_Check(name) || (PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))) return -1;
    for (std::size_t i = 0; i < fields.count; ++i) {
        if (PyUnicode_Compare(st->name(fields.names[i]), name) == 0) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

PyObject* live_attribute(ExprState* st, PyObject* self, PyObject* name) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (instance_dict(self) != nullptr) {
        // A dict written behind the class's back: merge, then answer from it.
        materialize(self);
        return nullptr;
    }
    const int index = field_index(st, static_cast<Kind>(node->live_kind), name);
    if (index < 0) return nullptr;  // the instance dict would not hold it either
    // A data descriptor of the class answers before the instance dict does.
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(self), name);
    if (descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set != nullptr) {
        materialize(self);
        return nullptr;
    }
    return Ref::borrow(node->live[index]).release();
}

PyObject* node_getattro(PyObject* self, PyObject* name) {
    if (is_live(self)) {
        ExprState* st = require_state(self);
        if (st == nullptr) return nullptr;
        PyObject* found = live_attribute(st, self, name);
        if (found != nullptr || PyErr_Occurred()) return found;
    }
    return PyObject_GenericGetAttr(self, name);
}

int node_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!materialize(self)) return -1;
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* node_get_dict(PyObject* self, void* closure) {
    if (!materialize(self)) return nullptr;
    return PyObject_GenericGetDict(self, closure);
}

int node_set_dict(PyObject* self, PyObject* value, void* closure) {
    if (!materialize(self)) return -1;
    return PyObject_GenericSetDict(self, value, closure);
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (node->live_kind != EXPRMIXIN) {
        for (std::size_t i = 0; i < kFields[node->live_kind].count; ++i) Py_VISIT(node->live[i]);
    }
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_VisitManagedDict(self, visit, arg);
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyObject_VisitManagedDict(self, visit, arg);
#else
    Py_VISIT(reinterpret_cast<ExprObject*>(self)->dict);
    return 0;
#endif
}

int node_clear(PyObject* self) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (node->live_kind != EXPRMIXIN) {
        const std::size_t count = kFields[node->live_kind].count;
        node->live_kind = EXPRMIXIN;
        for (std::size_t i = 0; i < count; ++i) Py_CLEAR(node->live[i]);
    }
#if PY_VERSION_HEX >= 0x030D0000
    // Nothing to clear while no dict was made, unless the values live inline.
    if (dict_word(self) != nullptr || PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_INLINE_VALUES)) {
        PyObject_ClearManagedDict(self);
    }
#elif PY_VERSION_HEX >= 0x030C0000
    if (dict_word(self) != nullptr) _PyObject_ClearManagedDict(self);
#else
    Py_CLEAR(reinterpret_cast<ExprObject*>(self)->dict);
#endif
    return 0;
}

namespace {

// Reuse needs every instance of the six classes to have the same size and the dict and weak
// reference list where dict_word and weakref_word look.
bool spare_layout_holds(const ExprState* st) {
#if defined(Py_GIL_DISABLED)
    (void)st;
    return false;
#else
#if PY_VERSION_HEX >= 0x030C0000
    constexpr Py_ssize_t kDictOffset = -1;  // managed by the interpreter
    constexpr Py_ssize_t kWeaklistOffset = -4 * static_cast<Py_ssize_t>(sizeof(PyObject*));
#else
    constexpr Py_ssize_t kDictOffset = offsetof(ExprObject, dict);
    constexpr Py_ssize_t kWeaklistOffset = offsetof(ExprObject, weakrefs);
#endif
    for (const PyTypeObject* tp : st->types) {
        if (tp == nullptr || tp->tp_basicsize != static_cast<Py_ssize_t>(sizeof(ExprObject)) || tp->tp_itemsize != 0 ||
            tp->tp_dictoffset != kDictOffset || tp->tp_weaklistoffset != kWeaklistOffset ||
            tp->tp_finalize != nullptr || tp->tp_free != PyObject_GC_Del) {
            return false;
        }
    }
    return true;
#endif
}

// The module state and class kind of a node whose class is exactly one of the module's own.
ExprState* exact_owner(PyTypeObject* tp, Kind& kind) {
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    ExprState* st = state_if_ours(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module);
    if (st == nullptr) return nullptr;
    for (int k = UNIEXPR; k < KIND_COUNT; ++k) {
        if (st->types[k] == tp) {
            kind = static_cast<Kind>(k);
            return st;
        }
    }
    return nullptr;
}

// Keeps an emptied, untracked node of an exact class for construct to reuse instead of freeing it.
bool keep_spare(ExprState* st, Kind kind, PyObject* self) {
    if (st == nullptr || !st->spares_enabled) return false;
    if (dict_word(self) != nullptr || weakref_word(self) != nullptr) return false;
    ExprState::Spares& spares = st->spares[kind];
    if (spares.count == ExprState::Spares::kCapacity) return false;
    spares.items[spares.count++] = self;
    return true;
}

void free_spares(ExprState* st) {
    for (ExprState::Spares& spares : st->spares) {
        while (spares.count > 0) PyObject_GC_Del(spares.items[--spares.count]);
    }
}

}  // namespace

PyObject* reuse_spare(ExprState* st, Kind kind) {
    ExprState::Spares& spares = st->spares[kind];
    if (spares.count == 0) return nullptr;
    PyObject* self = spares.items[--spares.count];
    auto* node = reinterpret_cast<ExprObject*>(self);
    // As fresh from tp_alloc: all zero past the header but the vectorcall pointer, which is the
    // class's own (spares are kept per class).
    const vectorcallfunc vectorcall = node->vectorcall;
    std::memset(reinterpret_cast<char*>(self) + sizeof(PyObject), 0, sizeof(ExprObject) - sizeof(PyObject));
    node->vectorcall = vectorcall;
    return PyObject_Init(self, st->types[kind]);
}

namespace {

// Everything but letting go of the class, which may be the last thing keeping the module alive.
void release_node(PyObject* self, PyTypeObject* tp, ExprState* st, Kind kind) {
    if (tp->tp_weaklistoffset != 0 && weakref_word(self) != nullptr) PyObject_ClearWeakRefs(self);
    node_clear(self);
    if (!keep_spare(st, kind, self)) tp->tp_free(self);
}

}  // namespace

void node_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Kind kind = EXPRMIXIN;
    ExprState* st = exact_owner(tp, kind);
    // Deep trees free through their fields and dicts; the trashcan keeps that off the C stack.
#if PY_VERSION_HEX < 0x030D0000 && !defined(Py_GIL_DISABLED)
    // Before 3.13 the trashcan costs two calls per object and only counts nested releases, which
    // a count of our own does as well: the first levels run directly, deeper ones through it.
    // (The count is the module's, not the thread's: it can only overstate a thread's depth.)
    if (st != nullptr && st->direct_releases < ExprState::kDirectReleases) {
        ++st->direct_releases;
        release_node(self, tp, st, kind);
        --st->direct_releases;
        Py_DECREF(tp);
        return;
    }
#endif
    Py_TRASHCAN_BEGIN(self, node_dealloc)
    release_node(self, tp, st, kind);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyMemberDef node_members[] = {
#if PY_VERSION_HEX < 0x030C0000
    {"__dictoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, dict), QELO_READONLY, nullptr},
    {"__weaklistoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, weakrefs), QELO_READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef callable_node_members[] = {
#if PY_VERSION_HEX < 0x030C0000
    {"__dictoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, dict), QELO_READONLY, nullptr},
    {"__weaklistoffset__", QELO_T_PYSSIZET, offsetof(ExprObject, weakrefs), QELO_READONLY, nullptr},
#endif
    {"__vectorcalloffset__", QELO_T_PYSSIZET, offsetof(ExprObject, vectorcall), QELO_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

namespace {

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ExprState* st = state_of_module(module);
    if (st == nullptr) return 0;
    st->names.traverse(visit, arg);
    for (PyTypeObject* tp : st->types) Py_VISIT(tp);
    Py_VISIT(st->operator_module);
    for (PyObject* fn : st->originals) Py_VISIT(fn);
    Py_VISIT(st->path_getattr);
    Py_VISIT(st->path_missing_name);
    Py_VISIT(st->builtin_len);
    Py_VISIT(st->builtin_abs);
    return 0;
}

int module_clear(PyObject* module) {
    ExprState* st = state_of_module(module);
    if (st == nullptr) return 0;
    st->names.clear();
    // Spares are freed while their classes, which size them, are still held.
    st->spares_enabled = false;
    free_spares(st);
    for (PyTypeObject*& tp : st->types) Py_CLEAR(tp);
    Py_CLEAR(st->operator_module);
    for (PyObject*& fn : st->originals) Py_CLEAR(fn);
    Py_CLEAR(st->path_getattr);
    Py_CLEAR(st->path_missing_name);
    Py_CLEAR(st->builtin_len);
    Py_CLEAR(st->builtin_abs);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

bool bind(PyObject* dict, PyObject* name, PyObject* value) { return PyDict_SetItem(dict, name, value) == 0; }

// Steps 1 and 2: `operator`, with `div` added for the whole process when it is missing.
bool import_operator(ExprState* st, PyObject* dict) {
    Ref op(PyImport_ImportModule("operator"));
    if (!op || !bind(dict, st->name(N_operator), op.get())) return false;
    PyObject* div = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(op.get(), st->name(N_div), &div) < 0) return false;
#else
    if (_PyObject_LookupAttr(op.get(), st->name(N_div), &div) < 0) return false;
#endif
    Ref existing(div);
    if (!existing) {
        Ref truediv(PyObject_GetAttr(op.get(), st->name(N_truediv)));
        if (!truediv || PyObject_SetAttr(op.get(), st->name(N_div), truediv.get()) < 0) return false;
    }
    st->operator_module = op.release();
    return true;
}

// Step 3: opnames, keyed by the operator functions as they are now.
bool build_opnames(ExprState* st, PyObject* dict) {
    Ref opnames(PyDict_New());
    if (!opnames) return false;
    for (int i = 0; i < OP_COUNT; ++i) {
        Ref fn(PyObject_GetAttr(st->operator_module, st->name(kOps[i].attribute)));
        if (!fn) return false;
        Ref symbol(PyUnicode_FromString(kOps[i].symbol));
        if (!symbol || PyDict_SetItem(opnames.get(), fn.get(), symbol.get()) < 0) return false;
        st->originals[i] = fn.release();
    }
    return bind(dict, st->name(N_opnames), opnames.get());
}

// A class as an ordinary class shows it: bare __name__ (which also names it in error messages).
bool make_type(PyObject* module, ExprState* st, Kind kind, PyType_Spec* type_spec, const char* short_name) {
    PyObject* bases = kind == EXPRMIXIN ? nullptr : reinterpret_cast<PyObject*>(st->types[EXPRMIXIN]);
    Ref type(PyType_FromModuleAndSpec(module, type_spec, bases));
    if (!type) return false;
    Ref name(PyUnicode_FromString(short_name));
    if (!name || PyObject_SetAttr(type.get(), st->name(N___name__), name.get()) < 0) return false;
    st->types[kind] = reinterpret_cast<PyTypeObject*>(type.get());
    Py_INCREF(type.get());
    return true;
}

// __div__, __rdiv__ and __inv__ are the very objects of their partners.
bool add_aliases(PyTypeObject* type) {
    PyObject* dict = type->tp_dict;
    const char* pairs[][2] = {{"__div__", "__floordiv__"}, {"__rdiv__", "__rfloordiv__"}, {"__inv__", "__invert__"}};
    for (auto& pair : pairs) {
        PyObject* target = PyDict_GetItemString(dict, pair[1]);
        if (target == nullptr) {
            PyErr_Format(PyExc_SystemError, "missing %s", pair[1]);
            return false;
        }
        if (PyDict_SetItemString(dict, pair[0], target) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

// Paths have item access but must not be iterable through it: `__iter__ = None`, set as on any
// class so that the slot follows.
bool refuse_iteration(ExprState* st, PyTypeObject* type) {
    return PyObject_SetAttr(reinterpret_cast<PyObject*>(type), st->name(N___iter__), Py_None) == 0;
}

// Path answers missing attributes through __getattr__ as an ordinary class would; its
// __getattribute__ stays object's.
bool finish_path(ExprState* st) {
    PyTypeObject* path = st->types[PATH];
    if (PyDict_DelItemString(path->tp_dict, "__getattribute__") < 0) return false;
    PyType_Modified(path);
    PyObject* getattr = PyDict_GetItemWithError(path->tp_dict, st->name(N___getattr__));
    if (getattr == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "Path has no __getattr__");
        return false;
    }
    st->path_getattr = Ref::borrow(getattr).release();
    return refuse_iteration(st, path);
}

bool create_types(PyObject* module, ExprState* st, PyObject* dict) {
    struct Step {
        Kind kind;
        PyType_Spec* type_spec;
        const char* name;
        Name binding;
    };
    const Step steps[] = {
        {EXPRMIXIN, &exprmixin_spec, "ExprMixin", N_COUNT}, {UNIEXPR, &uniexpr_spec, "UniExpr", N_UniExpr},
        {BINEXPR, &binexpr_spec, "BinExpr", N_BinExpr},     {PATH, &path_spec, "Path", N_Path},
        {PATH2, &path2_spec, "Path2", N_Path2},             {FUNCPATH, &funcpath_spec, "FuncPath", N_FuncPath},
    };
    for (const Step& step : steps) {
        if (!make_type(module, st, step.kind, step.type_spec, step.name)) return false;
        PyObject* type = reinterpret_cast<PyObject*>(st->types[step.kind]);
        if (step.kind == EXPRMIXIN && !add_aliases(st->types[EXPRMIXIN])) return false;
        if (step.kind == PATH && !finish_path(st)) return false;
        if (step.kind == PATH2 && !refuse_iteration(st, st->types[PATH2])) return false;
        bool ok = step.binding == N_COUNT ? PyDict_SetItemString(dict, step.name, type) == 0
                                          : bind(dict, st->name(step.binding), type);
        if (!ok) return false;
    }
    return true;
}

// Step 5: the ready-made paths, each built as calling its class builds it.
// The interpreter's own builtin function `name` (not something bound in its place before import).
bool is_genuine_builtin(PyObject* fn, PyObject* builtins, const char* name) {
    if (!PyCFunction_CheckExact(fn) || PyCFunction_GET_SELF(fn) != builtins) return false;
    return std::string_view(reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_name) == name;
}

bool bind_module_objects(ExprState* st, PyObject* dict) {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    struct Object {
        const char* name;
        Kind kind;
        const char* argument;
        bool builtin;
    };
    const Object objects[] = {
        {"this", PATH, "this", false}, {"obj_", PATH, "obj_", false}, {"list_", PATH2, "list_", false},
        {"len_", FUNCPATH, "len", true}, {"sum_", FUNCPATH, "sum", true}, {"min_", FUNCPATH, "min", true},
        {"max_", FUNCPATH, "max", true}, {"abs_", FUNCPATH, "abs", true},
    };
    for (const Object& object : objects) {
        Ref argument(object.builtin ? PyObject_GetAttrString(builtins.get(), object.argument)
                                    : PyUnicode_InternFromString(object.argument));
        if (!argument) return false;
        if (object.builtin && is_genuine_builtin(argument.get(), builtins.get(), object.argument)) {
            const std::string_view name(object.argument);
            if (name == "len") st->builtin_len = argument.dup().release();
            if (name == "abs") st->builtin_abs = argument.dup().release();
        }
        PyObject* cls = reinterpret_cast<PyObject*>(st->types[object.kind]);
        // cls(argument): the fresh classes are plain, so this is the direct build.
        Ref value = object.kind == FUNCPATH ? construct(st, FUNCPATH, cls, {argument.get(), Py_None})
                                            : construct(st, object.kind, cls, {argument.get(), Py_None, Py_None});
        if (!value || PyDict_SetItemString(dict, object.name, value.get()) < 0) return false;
    }
    return true;
}

int module_exec(PyObject* module) {
    ExprState* st = state_of_module(module);
    // A reload runs this again on the same module: start from empty state.
    module_clear(module);
    *st = ExprState{};
    st->module = module;
    st->globals = PyModule_GetDict(module);
    check_module_head(module);
    if (!st->names.init(kNameTexts)) return -1;
    PyObject* dict = PyModule_GetDict(module);
    if (!import_operator(st, dict) || !build_opnames(st, dict) || !create_types(module, st, dict)) return -1;
    st->spares_enabled = spare_layout_holds(st);
    if (!bind_module_objects(st, dict)) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qelo.expr",
    nullptr,
    sizeof(ExprState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace qelo::expr

PyMODINIT_FUNC PyInit_expr(void) { return PyModuleDef_Init(&qelo::expr::module_def); }
