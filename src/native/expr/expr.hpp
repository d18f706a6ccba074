// qelo.expr: declarations shared by the module's translation units.
#pragma once

#include "args.hpp"
#include "dictversion.hpp"
#include "namespace.hpp"
#include "ref.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace qelo::expr {

// Interned names the module resolves or stores at call time.
enum Name : std::size_t {
    N_BinExpr, N_UniExpr, N_Path, N_Path2, N_FuncPath, N_operator, N_opnames,
    // operator attributes, in opnames order (see kOps)
    N_add, N_sub, N_mul, N_div, N_floordiv, N_mod, N_pow, N_xor, N_lshift, N_rshift, N_and_, N_or_,
    N_not_, N_neg, N_pos, N_contains, N_gt, N_ge, N_lt, N_le, N_eq, N_ne, N_truediv,
    // stored fields
    N_op, N_lhs, N_rhs, N_operand, N_Path_name, N_Path_field, N_Path_parent, N_Path2_name, N_Path2_index,
    N_Path2_parent, N_FuncPath_func, N_FuncPath_operand,
    // attributes the state protocol and the text forms read
    N___name__, N___dict__, N___class__, N___slots__, N___base__, N___getattr__, N___iter__, N_items, N_update,
    N_COUNT
};

// The 22 operator functions, in the order opnames lists them.
enum Op : int {
    ADD, SUB, MUL, DIV, FLOORDIV, MOD, POW, XOR, LSHIFT, RSHIFT, AND, OR,
    NOT, NEG, POS, CONTAINS, GT, GE, LT, LE, EQ, NE, OP_COUNT
};

struct OpInfo {
    Name attribute;
    const char* symbol;
};
inline constexpr std::array<OpInfo, OP_COUNT> kOps{{
    {N_add, "+"}, {N_sub, "-"}, {N_mul, "*"}, {N_div, "/"}, {N_floordiv, "//"}, {N_mod, "%"},
    {N_pow, "**"}, {N_xor, "^"}, {N_lshift, "<<"}, {N_rshift, ">>"}, {N_and_, "and"}, {N_or_, "or"},
    {N_not_, "not"}, {N_neg, "-"}, {N_pos, "+"}, {N_contains, "in"}, {N_gt, ">"}, {N_ge, ">="},
    {N_lt, "<"}, {N_le, "<="}, {N_eq, "=="}, {N_ne, "!="},
}};

enum Kind : int { EXPRMIXIN, UNIEXPR, BINEXPR, PATH, PATH2, FUNCPATH, KIND_COUNT };

// Instance layout shared by the six classes: the instance dict (3.11; managed by the interpreter
// on 3.12+), the weak reference list (likewise) and the per-instance vectorcall pointer.
struct ExprObject {
    PyObject_HEAD
#if PY_VERSION_HEX < 0x030C0000
    PyObject* dict;
    PyObject* weakrefs;
#endif
    vectorcallfunc vectorcall;
    // Where each stored field sits in the instance dict as last read: valid only while the dict
    // is the very same one at the very same version (see read_slot_general). Borrowed, never owned.
    PyObject* seen_dict;
    std::uint64_t seen_version;
    PyObject* seen_fields[3];
    // The original operator function this node applied last (an index into the originals, only
    // ever a guess to be confirmed by identity).
    signed char op_guess;
    // A node built directly by this module holds its fields here, in constructor order, until
    // anything asks for its instance dict or writes an attribute; they then move into the dict,
    // which from then on is the only truth. `live_kind` names the class whose fields these are;
    // EXPRMIXIN (no fields) means none are held here.
    signed char live_kind;
    PyObject* live[3];
};

struct ExprState {
    NameTable<N_COUNT> names;
    PyObject* module;  // borrowed: the state lives inside this very module
    PyObject* globals = nullptr;  // borrowed: the module's dict, which it keeps for life
    std::array<PyTypeObject*, KIND_COUNT> types{};
    PyObject* operator_module = nullptr;            // as imported, for the evaluation fast path
    std::array<PyObject*, OP_COUNT> originals{};    // operator functions captured at import
    PyObject* path_getattr = nullptr;               // Path.__getattr__ as created
    // The name last found missing from Path and its bases, and Path's version tag then: still
    // missing while the tag is the same (any change to the classes gives a new one).
    PyObject* path_missing_name = nullptr;
    unsigned int path_missing_tag = 0;
    PyObject* builtin_len = nullptr;                // builtins.len and builtins.abs as imported,
    PyObject* builtin_abs = nullptr;                // applied directly when a FuncPath holds them
    std::array<unsigned int, KIND_COUNT> verified_tag{};
    // Module globals and operator functions as last found, valid while the dict they came from
    // keeps its version (see module_global). Borrowed, never owned.
    std::uint64_t globals_version = 0;
    std::array<PyObject*, N_opnames + 1> global_values{};
    PyObject* operator_dict = nullptr;
    std::uint64_t operator_version = 0;
    std::uint64_t operator_globals_version = 0;  // of the module globals when operator_dict was found
    std::array<PyObject*, OP_COUNT> operator_functions{};
    // Freed nodes of the exact classes, kept to be reused by construct: untracked, reference count
    // zero, fields, dict and weak reference list all empty. Raw memory, not references.
    struct Spares {
        static constexpr int kCapacity = 32;
        std::array<PyObject*, kCapacity> items{};
        int count = 0;
    };
    std::array<Spares, KIND_COUNT> spares{};
    // The instance layout is the one reuse assumes (checked once the classes exist).
    bool spares_enabled = false;
    // Node releases in progress that skipped the trashcan (see node_dealloc).
    static constexpr int kDirectReleases = 50;
    int direct_releases = 0;

    PyObject* name(Name n) const { return names[n]; }
};

extern PyModuleDef module_def;

// The head of a module object as the interpreter lays it out (the same from 3.11 to 3.13), read
// directly only once it was checked against the API on this module's own object.
struct ModuleHead {
    PyObject_HEAD
    PyObject* md_dict;
    PyModuleDef* md_def;
    void* md_state;
};
extern std::atomic<bool> module_head_checked;

// The state of `module` when it is a module object of this module's definition whose head was
// checked; null (no error) when that cannot be told this way.
[[gnu::always_inline]] inline ExprState* state_if_checked_module(PyObject* module) {
    if (!Py_IS_TYPE(module, &PyModule_Type) || !module_head_checked.load(std::memory_order_relaxed)) return nullptr;
    const auto* head = reinterpret_cast<const ModuleHead*>(module);
    return head->md_def == &module_def ? static_cast<ExprState*>(head->md_state) : nullptr;
}

// The state of the qelo.expr module that defined `type` or one of its bases; null (no error)
// when there is none. One of the module's own classes, the usual case, is answered inline.
ExprState* state_of_type_general(PyTypeObject* type);
[[gnu::always_inline]] inline ExprState* state_of_type(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
        if (module != nullptr) {
            if (ExprState* st = state_if_checked_module(module)) return st;
        }
    }
    return state_of_type_general(type);
}
inline ExprState* state_of(PyObject* obj) { return state_of_type(Py_TYPE(obj)); }
inline PyObject* module_dict(ExprState* st) { return st->globals; }

// True when instances of the exact class `kind` can be read, built and evaluated directly: the
// class still has the slots it was created with and no data descriptor shadows a field name.
// The answer is cached per type version, so any change to the class rechecks it.
bool verify_plain(ExprState* st, Kind kind);
[[gnu::always_inline]] inline bool is_plain(ExprState* st, Kind kind) {
    PyTypeObject* tp = st->types[kind];
    // Any change to a class (or its bases) resets its version tag to 0, the invalid tag.
    if (tp->tp_version_tag != 0 && tp->tp_version_tag == st->verified_tag[kind]) return true;
    return verify_plain(st, kind);
}
inline bool exact_plain(ExprState* st, PyObject* obj, Kind kind) {
    return Py_TYPE(obj) == st->types[kind] && is_plain(st, kind);
}

// Field names each class stores, in constructor order.
struct Fields {
    std::array<Name, 3> names;
    std::size_t count;
};
inline constexpr std::array<Fields, KIND_COUNT> kFields{{
    {{}, 0},
    {{N_op, N_operand}, 2},
    {{N_op, N_lhs, N_rhs}, 3},
    {{N_Path_name, N_Path_field, N_Path_parent}, 3},
    {{N_Path2_name, N_Path2_index, N_Path2_parent}, 3},
    {{N_FuncPath_func, N_FuncPath_operand}, 2},
}};

inline PyObject* instance_dict(PyObject* self) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<ExprObject*>(self)->dict;
#else
#if !defined(Py_GIL_DISABLED)
    // The managed dict sits three words before the object. 3.12 tags the word when it holds
    // not-yet-materialised values; 3.13 keeps values inline only in classes flagged for it.
    PyObject* word = reinterpret_cast<PyObject**>(self)[-3];
#if PY_VERSION_HEX < 0x030D0000
    if ((reinterpret_cast<std::uintptr_t>(word) & 1) == 0) return word;
#else
    if (!PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_INLINE_VALUES)) return word;
#endif
#endif
    PyObject** slot = _PyObject_GetDictPtr(self);
    return slot != nullptr ? *slot : nullptr;
#endif
}

// One level of C recursion, charged to the thread's counter exactly as Py_EnterRecursiveCall
// charges it, but with the thread state fetched once per evaluation rather than once per level.
// Near the limit the interpreter's own check runs (and raises RecursionError).
inline int& recursion_remaining(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030C0000
    return ts->c_recursion_remaining;
#else
    return ts->recursion_remaining;
#endif
}

class DepthGuard {
public:
    DepthGuard(PyThreadState* ts, const char* where) noexcept : ts_(ts) {
        int& remaining = recursion_remaining(ts);
        if (remaining > 1) {
            --remaining;
            entered_ = true;
        } else {
            entered_ = Py_EnterRecursiveCall(where) == 0;
        }
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() {
        if (entered_) ++recursion_remaining(ts_);  // what Py_LeaveRecursiveCall does
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    PyThreadState* ts_;
    bool entered_;
};

// A field read once is remembered until its dict's version changes (dictversion.hpp). Attribute
// stores into inline instance values (3.13+) bypass the dict's version; the classes here never get
// inline values, and a class that did would not be remembered for.
using qelo::dict_version;

inline bool may_remember(PyObject* self) {
#ifdef Py_TPFLAGS_INLINE_VALUES
    return !PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_INLINE_VALUES);
#else
    (void)self;
    return true;
#endif
}

inline bool is_live(PyObject* self) { return reinterpret_cast<ExprObject*>(self)->live_kind != EXPRMIXIN; }

// Moves the fields a node holds into its instance dict (created if needed). Keys already there
// were written after the node was built and are kept. False with an exception set on failure.
bool materialize(PyObject* self);

// The value of attribute `name` of a live node when the answer is one of the fields it holds
// (a new reference); null with no exception when ordinary lookup must answer, possibly after
// the fields moved into the dict.
PyObject* live_attribute(ExprState* st, PyObject* self, PyObject* name);

// self.<field `index` of class `kind`, constructor order>, read as getattr would (general
// route: any node, any class state).
Ref read_slot_general(ExprState* st, PyObject* self, Kind kind, int index, bool direct);

// The same, straight from the node when it holds the field itself and `direct` says its class is
// the exact, plain one; from the instance dict when `direct` (remembered between calls while the
// dict is provably unchanged); else through getattr (which is also what a missing key falls back
// to).
[[gnu::always_inline]] inline Ref read_slot(ExprState* st, PyObject* self, Kind kind, int index, bool direct) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    // Held here while there is no dict (nothing has written one behind the class's back) and the
    // class is the plain one the fields were built for.
    if (direct && node->live_kind == kind && instance_dict(self) == nullptr) return Ref::borrow(node->live[index]);
    return read_slot_general(st, self, kind, index, direct);
}

// The field a node holds itself when `direct` says its class is the exact, plain one and nothing
// has given it a dict; null when the field must be read the general way. Borrowed: valid only
// until code that could write to the node runs.
[[gnu::always_inline]] inline PyObject* peek_slot(PyObject* self, Kind kind, int index, bool direct) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    if (direct && node->live_kind == kind && instance_dict(self) == nullptr) return node->live[index];
    return nullptr;
}

// A module-level name (BinExpr ... opnames) as the module's functions see it: the module dict, then
// the builtins, else NameError.
Ref module_global(ExprState* st, Name name);
// getattr(<module-level operator>, <the function's name>).
Ref operator_function(ExprState* st, Op op);

// What module_global and operator_function would answer from their caches, while the dicts they
// came from are unchanged; null (no error) when they must be asked. Borrowed: valid until code runs.
inline PyObject* peek_global(ExprState* st, Name name) {
    return dict_version(st->globals) == st->globals_version ? st->global_values[name] : nullptr;
}
inline PyObject* peek_operator_function(ExprState* st, Op op) {
    if (st->operator_dict == nullptr || dict_version(st->globals) != st->operator_globals_version ||
        dict_version(st->operator_dict) != st->operator_version) {
        return nullptr;
    }
    return st->operator_functions[op];
}

// A freed node of the exact class `kind` ready to be filled in (reference count one, untracked),
// or null (no error) when none is kept.
PyObject* reuse_spare(ExprState* st, Kind kind);

// cls(*args), built directly when cls is still the exact, unmodified class `kind`. The arguments
// may be borrowed: they are held for the call when it runs code.
Ref construct(ExprState* st, Kind kind, PyObject* cls, std::initializer_list<PyObject*> args);

// Evaluation.
Ref resolve(ExprState* st, PyObject* operand, PyObject* ctx);  // callable ? operand(ctx) : operand
Ref call_with(ExprState* st, PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
// `direct`: self is of the exact, plain class (exact_plain), so its fields are read from its dict.
// The value is a new reference (null with the exception set), as a call slot returns it.
PyObject* eval_uniexpr(ExprState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_binexpr(ExprState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_path(ExprState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_path2(ExprState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool direct);
PyObject* eval_funcpath(ExprState* st, PyObject* self, PyObject* arg, bool direct);

// BinExpr's vectorcall entry: the usual call (BinExpr's own __call__, one or more positional
// arguments and no keywords, a node whose class is one of this module's) is evaluated in the
// entry itself; anything else goes to binexpr_vectorcall_general (parsing, errors, a reassigned
// __call__, subclasses defined elsewhere).
PyObject* binexpr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* binexpr_vectorcall_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Slot functions compared against to keep fast paths honest.
PyObject* uniexpr_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* binexpr_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path2_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* funcpath_call(PyObject* self, PyObject* args, PyObject* kwargs);
int uniexpr_init(PyObject* self, PyObject* args, PyObject* kwargs);
int binexpr_init(PyObject* self, PyObject* args, PyObject* kwargs);
int path_init(PyObject* self, PyObject* args, PyObject* kwargs);
int path2_init(PyObject* self, PyObject* args, PyObject* kwargs);
int funcpath_init(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path_getattro(PyObject* self, PyObject* name);
PyObject* node_getattro(PyObject* self, PyObject* name);
int node_setattro(PyObject* self, PyObject* name, PyObject* value);
PyObject* node_get_dict(PyObject* self, void* closure);
int node_set_dict(PyObject* self, PyObject* value, void* closure);

// Shared type plumbing (module.cpp).
int node_traverse(PyObject* self, visitproc visit, void* arg);
int node_clear(PyObject* self);
void node_dealloc(PyObject* self);
extern PyMemberDef node_members[];
extern PyMemberDef callable_node_members[];

// Type specs (nodes.cpp, paths.cpp).
extern PyType_Spec exprmixin_spec, uniexpr_spec, binexpr_spec, path_spec, path2_spec, funcpath_spec;

// Runs `body(args, nargs, kwnames)` over a tuple + dict call converted to the fastcall form.
// parse_args for (obj, *args) signatures, with the usual call (one or more positional arguments
// and no keywords) decided without the parser.
inline bool parse_obj_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** obj) {
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) >= 1) {
        *obj = args[0];
        return true;
    }
    return parse_args(sig, args, nargs, kwnames, obj);
}

template <typename Body>
auto with_fastcall(PyObject* args, PyObject* kwargs, Body&& body) -> decltype(body(nullptr, 0, nullptr)) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return body(reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, nullptr);
    Ref kwnames(PyTuple_New(nkw));
    if (!kwnames) return decltype(body(nullptr, 0, nullptr))();
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * (nargs + nkw)));
    if (stack == nullptr) {
        PyErr_NoMemory();
        return decltype(body(nullptr, 0, nullptr))();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    // The dict belongs to this call only, and the tuple keeps the keys alive.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        stack[nargs + k] = value;
        ++k;
    }
    auto result = body(stack, nargs, kwnames.get());
    PyMem_Free(stack);
    return result;
}

// A call made through the class's current tp_call (a reassigned __call__), for vectorcall entries.
inline PyObject* call_via_slot(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    ternaryfunc call = Py_TYPE(self)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not callable", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    Ref tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
        }
    }
    return call(self, tuple.get(), kwargs.get());
}

using CallImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <CallImpl Impl>
PyObject* tp_call_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_fastcall(args, kwargs, [self](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        return Impl(self, stack, nargs, kwnames);
    });
}

// Honours a __call__ reassigned on the class (3.11 keeps the vectorcall flag when that happens).
template <CallImpl Impl, ternaryfunc TpCall>
PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_TYPE(self)->tp_call != TpCall) return call_via_slot(self, args, nargsf, kwnames);
    return Impl(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// tp_alloc of the callable classes: every instance, however made, gets its vectorcall pointer.
template <vectorcallfunc Vectorcall>
PyObject* node_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    PyObject* self = PyType_GenericAlloc(type, nitems);
    if (self != nullptr) reinterpret_cast<ExprObject*>(self)->vectorcall = Vectorcall;
    return self;
}

inline ExprState* require_state(PyObject* self) {
    ExprState* st = state_of(self);
    if (st == nullptr) PyErr_SetString(PyExc_SystemError, "qelo.expr: object outside its module");
    return st;
}

#if PY_VERSION_HEX >= 0x030C0000
inline constexpr unsigned long kDictFlags = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF;
#else
inline constexpr unsigned long kDictFlags = 0;
#endif
inline constexpr unsigned long kNodeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | kDictFlags;
inline constexpr unsigned long kCallableFlags = kNodeFlags | Py_TPFLAGS_HAVE_VECTORCALL;

// getattr(obj, name, <absent>): false on error, `out` left empty when the attribute is missing.
inline bool optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttr(obj, name, &value);
#else
    const int found = _PyObject_LookupAttr(obj, name, &value);
#endif
    out = Ref(value);
    return found >= 0;
}

// __init__ of a node class: self.<field> = value for each field, in order, as setattr does it.
inline bool set_fields(PyObject* self, ExprState* st, std::initializer_list<std::pair<Name, PyObject*>> fields) {
    for (const auto& [name, value] : fields) {
        if (PyObject_SetAttr(self, st->name(name), value) < 0) return false;
    }
    return true;
}

// Parses an __init__ call (optional parameters left null) and runs body(state, values).
template <typename Body>
int init_with(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig, Body&& body) {
    return with_fastcall(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* values[3] = {nullptr, nullptr, nullptr};
        if (!parse_args(sig, stack, nargs, kwnames, values)) return -1;
        ExprState* st = require_state(self);
        if (st == nullptr) return -1;
        return body(st, values) ? 0 : -1;
    });
}

}  // namespace qelo::expr
