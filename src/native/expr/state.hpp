// qelo.expr: names, the node layout, the module state and the checks that a class is still plain.
#pragma once

#include "compat.hpp"
#include "memo.hpp"
#include "namespace.hpp"
#include "ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

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
// node adds is a cache of where its fields were found in that dict (fields.hpp).
struct ExprObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
    // The fields as last read from the instance dict, in constructor order (borrowed from that
    // dict), remembered under the dict's stamp in the node-dict domain and under the exact class
    // they were read for: a node whose __class__ was assigned another of the module's classes,
    // which share this layout, has other fields, and another number of them.
    memo::Memo<PyObject*, 3> fields;
    // The dict this node last put under the node-dict domain's watcher (compared only): it leaves
    // the watcher with the node, so that freeing trees counts as no change of other nodes' dicts.
    PyObject* watched_dict;
    // The original operator function this node applied last (an index into the originals, only
    // ever a guess to be confirmed by identity).
    signed char op_guess;
    // The evaluation plan of the tree below this node, when it is evaluated as a root (plan.hpp):
    // owned, null when there is none.
    Plan* plan;
    // The node-dict domain's refills() + 1 when planning this tree last failed (0: never tried): it
    // is tried again only once some field cache was filled again since.
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
    // The name last found missing from Path and its bases, still missing while Path keeps the
    // version it had then (any change to the classes gives a new one). Owned.
    PyObject* path_missing_name = nullptr;
    memo::ClassVersion path_missing_class{};
    PyObject* builtin_len = nullptr;                // builtins.len and builtins.abs as imported,
    PyObject* builtin_abs = nullptr;                // applied directly when a FuncPath holds them
    // Each class found plain (verify_plain), while it keeps that version.
    std::array<memo::ClassVersion, kKindCount> plain_classes{};
    // The module namespace, the operator module's dict and opnames are stamped in the namespace
    // domain; node dicts (and the six classes, when a type watcher can be had) in the node-dict
    // domain, whose count then tells evaluation plans that nothing they rely on changed.
    memo::Domain<memo::Namespaces> namespaces;
    memo::Domain<memo::NodeDicts> nodes;
    bool globals_watched = false;
    bool classes_watched = false;
    // Module globals as last found (borrowed from the namespace, which binds them).
    memo::Memo<PyObject*, kOpnames + 1> global_values{};
    // getattr(operator, <name>) for the plain module bound as `operator` whose dict is the memo's,
    // stamped together with the namespace (borrowed from that dict).
    memo::Memo<PyObject*, kOpCount> operator_functions{};
    // " <symbol> " for each original operator function, as opnames (the memo's dict, the exact
    // dict the namespace binds) gave it, stamped together with the namespace. Owned.
    memo::Memo<PyObject*, kOpCount> padded_symbols{};
    // __name__ of the builtin functions FuncPath nodes last showed (a builtin's name is fixed when
    // it is defined). Owned.
    static constexpr int kNames = 4;
    std::array<PyObject*, kNames> named_functions{};
    std::array<PyObject*, kNames> function_names{};
    int next_name = 0;
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
    if (st->plain_classes[kind].holds(tp)) return true;
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

// The state of the module of `self`, a node; SystemError when it has none.
inline ModuleState* require_state(PyObject* self) {
    ModuleState* st = instance_state(self);
    if (st == nullptr) PyErr_SetString(PyExc_SystemError, "qelo.expr: object outside its module");
    return st;
}

}  // namespace qelo::expr
