// qelo.expr: declarations shared by the module's translation units.
#pragma once

#include "args.hpp"
#include "compat.hpp"
#include "namespace.hpp"
#include "outcome.hpp"
#include "ref.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>

namespace qelo::expr {

// Interned names the module resolves or stores at call time.
enum Name : std::size_t {
    kBinExpr, kUniExpr, kPath, kPath2, kFuncPath, kOperator, kOpnames,
    // operator attributes, in opnames order (see kOps)
    kAdd, kSub, kMul, kDiv, kFloordiv, kMod, kPow, kXor, kLshift, kRshift, kAnd, kOr,
    kNot, kNeg, kPos, kContains, kGt, kGe, kLt, kLe, kEq, kNe, kTruediv,
    // stored fields
    kOp, kLhs, kRhs, kOperand, kPrivatePathName, kPrivatePathField, kPrivatePathParent, kPrivatePath2Name, kPrivatePath2Index,
    kPrivatePath2Parent, kPrivateFuncPathFunc, kPrivateFuncPathOperand,
    // attributes the state protocol and the text forms read
    kDunderName, kDunderDict, kDunderClass, kDunderSlots, kDunderBase, kDunderGetattr, kDunderIter, kItems, kUpdate,
    kNameCount
};

// The 22 operator functions, in the order opnames lists them.
enum Op : int {
    kAddOp, kSubOp, kMulOp, kDivOp, kFloordivOp, kModOp, kPowOp, kXorOp, kLshiftOp, kRshiftOp, kAndOp, kOrOp,
    kNotOp, kNegOp, kPosOp, kContainsOp, kGtOp, kGeOp, kLtOp, kLeOp, kEqOp, kNeOp, kOpCount
};

struct OpInfo {
    Name attribute;
    const char* symbol;
};
inline constexpr std::array<OpInfo, kOpCount> kOps{{
    {kAdd, "+"}, {kSub, "-"}, {kMul, "*"}, {kDiv, "/"}, {kFloordiv, "//"}, {kMod, "%"},
    {kPow, "**"}, {kXor, "^"}, {kLshift, "<<"}, {kRshift, ">>"}, {kAnd, "and"}, {kOr, "or"},
    {kNot, "not"}, {kNeg, "-"}, {kPos, "+"}, {kContains, "in"}, {kGt, ">"}, {kGe, ">="},
    {kLt, "<"}, {kLe, "<="}, {kEq, "=="}, {kNe, "!="},
}};

enum Kind : int { kExprMixinKind, kUniExprKind, kBinExprKind, kPathKind, kPath2Kind, kFuncPathKind, kKindCount };

struct Plan;

// Instance layout shared by the six classes. The fields live in the instance dict, an ordinary
// dict at tp_dictoffset, so that every attribute route of `object` (object.__getattribute__,
// object.__setattr__, vars, __dict__ assignment) reads and writes them as on any class. What a
// node adds is a cache of where its fields were found in that dict (see FieldCache).
struct ExprObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
    // The fields as last read from `seen_dict`, in constructor order: borrowed from that dict,
    // valid only while field_stamp of the dict is still `seen_stamp` (never 0 when valid) and the
    // node is still of `seen_type`, the exact class whose fields they are (compared only): a node
    // whose __class__ was assigned another of the module's classes, which share this layout, has
    // other fields, and so another number of them.
    PyObject* seen_dict;
    PyTypeObject* seen_type;
    std::uint64_t seen_stamp;
    // The dict this node last put under the field watcher (compared only): it leaves the watcher
    // with the node, so that freeing trees counts as no change of other nodes' dicts.
    PyObject* watched_dict;
    PyObject* seen_fields[3];
    // The original operator function this node applied last (an index into the originals, only
    // ever a guess to be confirmed by identity).
    signed char op_guess;
    // The evaluation plan of the tree below this node, when it is evaluated as a root (plan.hpp):
    // owned, null when there is none.
    Plan* plan;
    // ModuleState::field_refreshes + 1 when planning this tree last failed (0: never tried): it is
    // tried again only once some field cache was refreshed since.
    std::uint64_t plan_tried;
};

struct ModuleState {
    NameTable<kNameCount> names;
    PyObject* module;  // borrowed: the state lives inside this very module
    PyObject* globals = nullptr;  // borrowed: the module's dict, which it keeps for life
    std::array<PyTypeObject*, kKindCount> types{};
    PyTypeObject* method_type = nullptr;            // the class of the named methods (methods.cpp)
    PyObject* operator_module = nullptr;            // as imported
    // The genuine operator functions, by what each really is (whatever name it was found under
    // at import): originals[kAddOp] is the interpreter's own `add`, or null when it could not be
    // told. Applied as the C operations they wrap, only when a node holds that very object.
    std::array<PyObject*, kOpCount> originals{};
    PyObject* path_getattr = nullptr;               // Path.__getattr__ as created
    // The name last found missing from Path and its bases, and Path's version tag then: still
    // missing while the tag is the same (any change to the classes gives a new one).
    PyObject* path_missing_name = nullptr;
    unsigned int path_missing_tag = 0;
    PyObject* builtin_len = nullptr;                // builtins.len and builtins.abs as imported,
    PyObject* builtin_abs = nullptr;                // applied directly when a FuncPath holds them
    std::array<unsigned int, kKindCount> verified_tag{};
    // Module globals and operator functions as last found, valid while the dicts they came from
    // keep their stamps (compat::dict_stamp; 0 = not cached). Borrowed, never owned.
    bool globals_watched = false;
    std::uint64_t globals_stamp = 0;
    std::array<PyObject*, kOpnames + 1> global_values{};
    PyObject* operator_dict = nullptr;
    std::uint64_t operator_stamp = 0;
    std::uint64_t operator_globals_stamp = 0;  // of the module globals when operator_dict was found
    std::array<PyObject*, kOpCount> operator_functions{};
    // The dict watcher that guards the field caches of nodes (3.12+), -1 when none could be had.
    int field_watcher = -1;
    // The six classes are under a type watcher whose events move the field watcher's count too.
    bool classes_watched = false;
    // Symbols of the original operator functions as opnames gave them, each with a space on either
    // side, for the text forms: valid while the module's `opnames` is the exact dict `symbols_of`
    // and both it and the module namespace keep their stamps. Owned.
    PyObject* symbols_of = nullptr;  // borrowed, compared only
    std::uint64_t symbols_stamp = 0;
    std::uint64_t symbols_globals_stamp = 0;
    std::array<PyObject*, kOpCount> padded_symbols{};
    // __name__ of the builtin functions FuncPath nodes last showed (a builtin's name is fixed when
    // it is defined). Owned.
    static constexpr int kNames = 4;
    std::array<PyObject*, kNames> named_functions{};
    std::array<PyObject*, kNames> function_names{};
    int next_name = 0;
    // Counts field cache refreshes (refresh_fields), the one step of reading fields that can run
    // code: evaluation asks fields again only when it moved.
    std::uint64_t field_refreshes = 0;
    // Evaluations from a plan under way (any thread): an evaluation within one walks the nodes.
    int plan_runs = 0;
    // Freed nodes of the exact classes, kept to be reused by construct: untracked, reference count
    // zero, fields, dict and weak reference list all empty. Raw memory, not references.
    struct Spares {
        static constexpr int kCapacity = 32;
        std::array<PyObject*, kCapacity> items{};
        int count = 0;
    };
    std::array<Spares, kKindCount> spares{};
    // The instance layout is the one reuse assumes (checked once the classes exist).
    bool spares_enabled = false;
    // Node releases in progress that skipped the trashcan (see node_dealloc).
    static constexpr int kDirectReleases = 50;
    int direct_releases = 0;

    PyObject* name(Name n) const { return names[n]; }
};

extern PyModuleDef module_def;

// The state of a qelo.expr module object.
inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// The state of the qelo.expr module that defined `type` or one of its bases; null (no error)
// when there is none. One of the module's own classes, the usual case, is answered inline.
ModuleState* state_of_type_general(PyTypeObject* type);
void node_dealloc(PyObject* self);
[[gnu::always_inline]] inline ModuleState* state_of_type(PyTypeObject* type) {
    // The module's own six classes (nothing else is freed by node_dealloc; subclasses made in
    // Python free through the interpreter's own function) belong to the module they were made by.
    if (type->tp_dealloc == node_dealloc && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* module = compat::type_module(type);
        if (module != nullptr) return state_of(module);
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
        PyObject* module = compat::type_module(type);
        if (module != nullptr && PyModule_GetDef(module) == &module_def) {
            return state_of(module);
        }
    }
    return state_of_type_general(type);
}
inline ModuleState* instance_state(PyObject* obj) { return state_of_type(Py_TYPE(obj)); }
inline PyObject* module_dict(ModuleState* st) { return st->globals; }

// True when instances of the exact class `kind` can be read, built and evaluated directly: the
// class still has the slots it was created with and no data descriptor shadows a field name.
// The answer is cached per type version, so any change to the class rechecks it.
bool verify_plain(ModuleState* st, Kind kind);
[[gnu::always_inline]] inline bool is_plain(ModuleState* st, Kind kind) {
    PyTypeObject* tp = st->types[kind];
    // Any change to a class (or its bases) resets its version tag to 0, the invalid tag.
    const unsigned int tag = compat::type_version(tp);
    if (tag != 0 && tag == st->verified_tag[kind]) return true;
    return verify_plain(st, kind);
}
inline bool exact_plain(ModuleState* st, PyObject* obj, Kind kind) {
    return Py_TYPE(obj) == st->types[kind] && is_plain(st, kind);
}

// Field names each class stores, in constructor order.
struct Fields {
    std::array<Name, 3> names;
    std::size_t count;
};
inline constexpr std::array<Fields, kKindCount> kFields{{
    {{}, 0},
    {{kOp, kOperand}, 2},
    {{kOp, kLhs, kRhs}, 3},
    {{kPrivatePathName, kPrivatePathField, kPrivatePathParent}, 3},
    {{kPrivatePath2Name, kPrivatePath2Index, kPrivatePath2Parent}, 3},
    {{kPrivateFuncPathFunc, kPrivateFuncPathOperand}, 2},
}};

// ---------------------------------------------------------------------------------------------
// One level of recursion through a tree (evaluation, text forms, deriving paths). `depth` counts
// the levels of one walk (evaluation or text of one tree).
//
// compat::DepthGuard charges the interpreter's own guard. From 3.14 on that guard checks the real
// stack, which a tree of small C frames may not exhaust for a very long time: a tree 100000 levels
// deep would then be walked to the bottom where a plain Python class (and this module on earlier
// releases) raises RecursionError. So from 3.14 on the levels of a walk are also counted, against
// the limit the C recursion counter of 3.13 had. And as the interpreter keeps a margin of several
// kilobytes below its stack limit, far more than a few of this module's frames take, the stack is
// checked at every eighth level of a walk (each walk begins with a check).
inline constexpr int kDepthLimit = 10000;

// The thread state compat::DepthGuard charges: only its counter trick (3.11-3.13) reads it, so
// other builds skip fetching it (a thread-local read through the interpreter library).
inline PyThreadState* guard_thread_state() { return compat::depth_guard_thread_state(); }

class DepthGuard {
public:
    DepthGuard(PyThreadState* ts, const char* where, int& depth) noexcept {
#if PY_VERSION_HEX >= QELO_PY314
        if (depth >= kDepthLimit) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        if ((depth & 7) == 0) {
            guard_.emplace(ts, where);
            if (!*guard_) return;
        }
        depth_ = &depth;
        ++depth;
        entered_ = true;
#else
        (void)depth;
        guard_.emplace(ts, where);
        entered_ = static_cast<bool>(*guard_);
#endif
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    ~DepthGuard() {
        if (depth_ != nullptr) --*depth_;
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    std::optional<compat::DepthGuard> guard_;
    int* depth_ = nullptr;
    bool entered_ = false;
};

// ---------------------------------------------------------------------------------------------
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
// `out` set; Declined (`out` null, no exception) when they must be read the general way (a field
// missing from the dict, no dict, no stamps in this build); Failed (`out` null) when a lookup
// raised.
Fast refresh_fields(ModuleState* st, PyObject* self, Kind kind, PyObject* const*& out);
[[gnu::always_inline]] inline Fast plain_fields(ModuleState* st, PyObject* self, Kind kind, PyObject* const*& out) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    // Filled for this very class (the caller checked that the node has it): of its layout.
    if (node->seen_stamp != 0 && node->seen_type == st->types[kind] && node->seen_dict == node->dict &&
        node->seen_stamp == field_stamp(st, node->dict)) {
        out = node->seen_fields;
        return Fast::Done;
    }
    return refresh_fields(st, self, kind, out);
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

// A freed node of the exact class `kind` ready to be filled in (reference count one, untracked),
// or null (no error) when none is kept.
PyObject* reuse_spare(ModuleState* st, Kind kind);

// cls(*args), built directly when cls is still the exact, unmodified class `kind`. The arguments
// may be borrowed: they are held for the call when it runs code.
Ref construct(ModuleState* st, Kind kind, PyObject* cls, std::initializer_list<PyObject*> args);

// Evaluation.
Ref resolve(ModuleState* st, PyObject* operand, PyObject* ctx);  // callable ? operand(ctx) : operand
Ref call_with(ModuleState* st, PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
// `direct`: self is of the exact, plain class (exact_plain), so its fields are read from its dict.
// The value is a new reference (null with the exception set), as a call slot returns it.
PyObject* eval_uniexpr(ModuleState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_binexpr(ModuleState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_path(ModuleState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_path2(ModuleState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool direct);
PyObject* eval_funcpath(ModuleState* st, PyObject* self, PyObject* arg, bool direct);

// repr (as_repr) or str of a node of one of the six classes, written in one pass over every
// exact, plain node below it (text.cpp).
PyObject* node_text(ModuleState* st, PyObject* self, Kind kind, bool as_repr);
// opnames[op], with opnames found in the module namespace now.
Ref symbol_of(ModuleState* st, PyObject* op);
// Drops the text caches (module clear).
void clear_text_caches(ModuleState* st);
// The index of `fn` among the originals, -1 when it is none of them.
int original_index(ModuleState* st, PyObject* fn);

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
PyObject* uniexpr_repr(PyObject* self);
PyObject* uniexpr_str(PyObject* self);
PyObject* binexpr_repr(PyObject* self);
PyObject* binexpr_str(PyObject* self);
PyObject* path_repr(PyObject* self);
PyObject* path_str(PyObject* self);
PyObject* path2_repr(PyObject* self);
PyObject* funcpath_repr(PyObject* self);
PyObject* funcpath_str(PyObject* self);

// Shared type plumbing (module.cpp).
int node_traverse(PyObject* self, visitproc visit, void* arg);
int node_clear(PyObject* self);
void node_dealloc(PyObject* self);
extern PyMemberDef node_members[];
extern PyMemberDef callable_node_members[];
extern PyGetSetDef node_getset[];

// Type specs (nodes.cpp, paths.cpp).
extern PyType_Spec exprmixin_spec, uniexpr_spec, binexpr_spec, path_spec, path2_spec, funcpath_spec;

// ---------------------------------------------------------------------------------------------
// Named methods (methods.cpp). Every method the classes define by name is an object of one small
// class that binds to instances as a Python function does and takes all of its parameters,
// `self` included, by position or by keyword. The slots stay the C functions, so operators and
// calls on the module's own classes never go through these objects.

// impl(state, values): values[0] is self, then the parameters in order (null where an optional
// one was not given); `rest`/`nrest` are surplus positional arguments when the method has *args.
using MethodImpl = PyObject* (*)(ModuleState* st, PyObject* const* values, PyObject* const* rest, Py_ssize_t nrest);
struct MethodSpec {
    const char* name;      // __add__
    Signature sig;         // display name "ExprMixin.__add__", parameters "self", "other"
    MethodImpl impl;
};
struct MethodTable {
    const MethodSpec* specs;
    std::size_t count;
};
// The methods each class defines by name (nodes.cpp, paths.cpp).
MethodTable node_method_table(Kind kind);  // ExprMixin, UniExpr, BinExpr
MethodTable path_method_table(Kind kind);  // Path, Path2, FuncPath
inline MethodTable method_table(Kind kind) {
    return kind == kPathKind || kind == kPath2Kind || kind == kFuncPathKind ? path_method_table(kind) : node_method_table(kind);
}
bool create_method_type(PyObject* module, ModuleState* st);
// The method object for `entry` (a new reference).
Ref make_method(ModuleState* st, const MethodSpec* entry);
// Puts methods into a class's own dict as a class body would (the slots are left as they are).
bool install_methods(ModuleState* st, PyTypeObject* type, const MethodSpec* specs, std::size_t count);

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

inline ModuleState* require_state(PyObject* self) {
    ModuleState* st = instance_state(self);
    if (st == nullptr) PyErr_SetString(PyExc_SystemError, "qelo.expr: object outside its module");
    return st;
}

// __call__ of a class evaluated for one argument (obj, by position or keyword): the parameters
// parsed, then eval(state, self, obj, direct), direct when self is of the exact, plain class.
using EvalOne = PyObject* (*)(ModuleState* st, PyObject* self, PyObject* obj, bool direct);
template <const Signature& Sig, Kind K, EvalOne Eval>
PyObject* call_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj = nullptr;
    if (!parse_obj_args(Sig, args, nargs, kwnames, &obj)) return nullptr;
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return Eval(st, self, obj, exact_plain(st, self, K));
}

// tp_alloc of the callable classes: every instance, however made, gets its vectorcall pointer.
template <vectorcallfunc Vectorcall>
PyObject* node_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    PyObject* self = PyType_GenericAlloc(type, nitems);
    if (self != nullptr) reinterpret_cast<ExprObject*>(self)->vectorcall = Vectorcall;
    return self;
}

inline constexpr unsigned long kNodeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
inline constexpr unsigned long kCallableFlags = kNodeFlags | Py_TPFLAGS_HAVE_VECTORCALL;

// getattr(obj, name, <absent>): false on error, `out` left empty when the attribute is missing.
inline bool optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    return compat::get_optional_attr(obj, name, out) >= 0;
}

// __init__ of a node class: self.<field> = value for each field, in order, as setattr does it.
inline bool set_fields(PyObject* self, ModuleState* st, std::initializer_list<std::pair<Name, PyObject*>> fields) {
    for (const auto& [name, value] : fields) {
        if (PyObject_SetAttr(self, st->name(name), value) < 0) return false;
    }
    return true;
}

// tp_init of a node class: the parameters parsed (self given), then store(state, values).
template <const Signature& Sig, std::size_t N, typename Store>
int init_entry(PyObject* self, PyObject* args, PyObject* kwargs, Store store) {
    return with_fastcall(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* values[N] = {};
        if (!parse_args(Sig, stack, nargs, kwnames, values)) return -1;
        ModuleState* st = require_state(self);
        if (st == nullptr) return -1;
        return store(st, values) ? 0 : -1;
    });
}

}  // namespace qelo::expr
