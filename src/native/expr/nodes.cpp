// qelo.expr: ExprMixin (operators and state protocol), UniExpr, BinExpr and the evaluation core.
#include "classes.hpp"
#include "eval.hpp"
#include "fields.hpp"
#include "lifecycle.hpp"
#include "methods.hpp"
#include "text.hpp"

#include <utility>

namespace qelo::expr {

namespace {

// ---------------------------------------------------------------------------------------------
// Building nodes: every name is looked up in the module namespace at the time of the call.

Ref make_binexpr(ModuleState* st, Op op, PyObject* lhs, PyObject* rhs) {
    PyObject* cached_cls = peek_global(st, kBinExpr);
    PyObject* cached_fn = peek_operator_function(st, op);
    if (cached_cls != nullptr && cached_fn != nullptr) return construct(st, kBinExprKind, cached_cls, {cached_fn, lhs, rhs});
    Ref cls = module_global(st, kBinExpr);
    if (!cls) return Ref();
    Ref fn = operator_function(st, op);
    if (!fn) return Ref();
    return construct(st, kBinExprKind, cls.get(), {fn.get(), lhs, rhs});
}

Ref make_uniexpr(ModuleState* st, Op op, PyObject* operand) {
    Ref cls = module_global(st, kUniExpr);
    if (!cls) return Ref();
    Ref fn = operator_function(st, op);
    if (!fn) return Ref();
    return construct(st, kUniExprKind, cls.get(), {fn.get(), operand});
}

// ---------------------------------------------------------------------------------------------
// Operator methods: one table, one template. The slots below give the same nodes to the
// interpreter's operators; these named methods take `other` by position or keyword.

enum Order { kForwardOrder, kReflectedOrder, kUnaryOrder };

struct OperatorMethod {
    const char* name;
    const char* qualname;
    Op op;
    Order order;
};

constexpr OperatorMethod kOperatorMethods[] = {
    {"__add__", "ExprMixin.__add__", kAddOp, kForwardOrder},
    {"__sub__", "ExprMixin.__sub__", kSubOp, kForwardOrder},
    {"__mul__", "ExprMixin.__mul__", kMulOp, kForwardOrder},
    {"__floordiv__", "ExprMixin.__floordiv__", kFloordivOp, kForwardOrder},
    {"__truediv__", "ExprMixin.__truediv__", kDivOp, kForwardOrder},
    {"__mod__", "ExprMixin.__mod__", kModOp, kForwardOrder},
    {"__pow__", "ExprMixin.__pow__", kPowOp, kForwardOrder},
    {"__xor__", "ExprMixin.__xor__", kXorOp, kForwardOrder},
    {"__rshift__", "ExprMixin.__rshift__", kRshiftOp, kForwardOrder},
    {"__lshift__", "ExprMixin.__lshift__", kLshiftOp, kForwardOrder},
    {"__and__", "ExprMixin.__and__", kAndOp, kForwardOrder},
    {"__or__", "ExprMixin.__or__", kOrOp, kForwardOrder},
    {"__radd__", "ExprMixin.__radd__", kAddOp, kReflectedOrder},
    {"__rsub__", "ExprMixin.__rsub__", kSubOp, kReflectedOrder},
    {"__rmul__", "ExprMixin.__rmul__", kMulOp, kReflectedOrder},
    {"__rfloordiv__", "ExprMixin.__rfloordiv__", kFloordivOp, kReflectedOrder},
    {"__rtruediv__", "ExprMixin.__rtruediv__", kDivOp, kReflectedOrder},
    {"__rmod__", "ExprMixin.__rmod__", kModOp, kReflectedOrder},
    {"__rpow__", "ExprMixin.__rpow__", kPowOp, kReflectedOrder},
    {"__rxor__", "ExprMixin.__rxor__", kXorOp, kReflectedOrder},
    {"__rrshift__", "ExprMixin.__rrshift__", kRshiftOp, kReflectedOrder},
    {"__rlshift__", "ExprMixin.__rlshift__", kLshiftOp, kReflectedOrder},
    {"__rand__", "ExprMixin.__rand__", kAndOp, kReflectedOrder},
    {"__ror__", "ExprMixin.__ror__", kOrOp, kReflectedOrder},
    {"__neg__", "ExprMixin.__neg__", kNegOp, kUnaryOrder},
    {"__pos__", "ExprMixin.__pos__", kPosOp, kUnaryOrder},
    {"__invert__", "ExprMixin.__invert__", kNotOp, kUnaryOrder},
    {"__contains__", "ExprMixin.__contains__", kContainsOp, kForwardOrder},
    {"__gt__", "ExprMixin.__gt__", kGtOp, kForwardOrder},
    {"__ge__", "ExprMixin.__ge__", kGeOp, kForwardOrder},
    {"__lt__", "ExprMixin.__lt__", kLtOp, kForwardOrder},
    {"__le__", "ExprMixin.__le__", kLeOp, kForwardOrder},
    {"__eq__", "ExprMixin.__eq__", kEqOp, kForwardOrder},
    {"__ne__", "ExprMixin.__ne__", kNeOp, kForwardOrder},
};
constexpr std::size_t kOperatorMethodCount = std::size(kOperatorMethods);

const char* const kSelfOther[] = {"self", "other"};
const char* const kSelfOnly[] = {"self"};

template <std::size_t I>
PyObject* operator_impl(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    constexpr OperatorMethod m = kOperatorMethods[I];
    if constexpr (m.order == kUnaryOrder) return make_uniexpr(st, m.op, v[0]).release();
    else if constexpr (m.order == kForwardOrder) return make_binexpr(st, m.op, v[0], v[1]).release();
    else return make_binexpr(st, m.op, v[1], v[0]).release();
}

ModuleState* state_of_either(PyObject* v, PyObject* w) {
    ModuleState* st = instance_state(v);
    return st != nullptr ? st : instance_state(w);
}

// nb_* slots receive (left, right) for both the plain and the reflected operation, so the node is
// always built in that order.
template <Op op>
PyObject* binary_slot(PyObject* v, PyObject* w) {
    ModuleState* st = state_of_either(v, w);
    if (st == nullptr) Py_RETURN_NOTIMPLEMENTED;
    return make_binexpr(st, op, v, w).release();
}

PyObject* power_slot(PyObject* v, PyObject* w, PyObject* modulus) {
    if (modulus != Py_None) {
        // __pow__ takes exactly two parameters; the reflected form has no three-argument use.
        if (instance_state(v) == nullptr) Py_RETURN_NOTIMPLEMENTED;
        PyErr_SetString(PyExc_TypeError, "ExprMixin.__pow__() takes 2 positional arguments but 3 were given");
        return nullptr;
    }
    return binary_slot<kPowOp>(v, w);
}

template <Op op>
PyObject* unary_slot(PyObject* v) {
    ModuleState* st = require_state(v);
    if (st == nullptr) return nullptr;
    return make_uniexpr(st, op, v).release();
}

// `x in node` asks __contains__ for a node and takes its truth value.
int contains_slot(PyObject* self, PyObject* other) {
    ModuleState* st = require_state(self);
    if (st == nullptr) return -1;
    Ref node = make_binexpr(st, kContainsOp, self, other);
    if (!node) return -1;
    return PyObject_IsTrue(node.get());
}

PyObject* richcompare_slot(PyObject* self, PyObject* other, int compare) {
    ModuleState* st = state_of_either(self, other);
    if (st == nullptr) Py_RETURN_NOTIMPLEMENTED;
    static constexpr Op kCompare[] = {kLtOp, kLeOp, kEqOp, kNeOp, kGtOp, kGeOp};  // Py_LT .. Py_GE
    return make_binexpr(st, kCompare[compare], self, other).release();
}

// ---------------------------------------------------------------------------------------------
// State protocol.

// A private slot name is stored mangled with its class's name, as the interpreter stores it.
Ref slot_attribute_name(ModuleState* st, PyObject* cls, PyObject* entry) {
    if (!PyUnicode_Check(entry)) return Ref::borrow(entry);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(entry);
    const bool is_private = len > 2 && PyUnicode_READ_CHAR(entry, 0) == '_' && PyUnicode_READ_CHAR(entry, 1) == '_' &&
                            !(PyUnicode_READ_CHAR(entry, len - 1) == '_' && PyUnicode_READ_CHAR(entry, len - 2) == '_');
    if (!is_private) return Ref::borrow(entry);
    Ref class_name(PyObject_GetAttr(cls, st->name(kDunderName)));
    if (!class_name) return Ref();
    if (!PyUnicode_Check(class_name.get())) return Ref::borrow(entry);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(class_name.get());
    Py_ssize_t start = 0;
    while (start < n && PyUnicode_READ_CHAR(class_name.get(), start) == '_') ++start;
    if (start == n) return Ref::borrow(entry);
    Ref stripped(PyUnicode_Substring(class_name.get(), start, n));
    if (!stripped) return Ref();
    return Ref(PyUnicode_FromFormat("_%U%U", stripped.get(), entry));
}

bool collect_slot_names(ModuleState* st, PyObject* cls, PyObject* slots, PyObject* names) {
    // A single string names one slot, as in a class body.
    if (PyUnicode_Check(slots)) {
        Ref name = slot_attribute_name(st, cls, slots);
        return name && PyList_Append(names, name.get()) == 0;
    }
    Ref iter(PyObject_GetIter(slots));
    if (!iter) return false;
    for (;;) {
        Ref entry;
        const int got = next_item(iter.get(), entry);
        if (got <= 0) return got == 0;
        Ref name = slot_attribute_name(st, cls, entry.get());
        if (!name || PyList_Append(names, name.get()) < 0) return false;
    }
}

PyObject* getstate_impl(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    PyObject* self = v[0];
    Ref attrs(PyDict_New());
    if (!attrs) return nullptr;
    Ref instance_dict;
    if (!optional_attr(self, st->name(kDunderDict), instance_dict)) return nullptr;
    if (instance_dict) {
        if (PyDict_Check(instance_dict.get())) {
            if (PyDict_Update(attrs.get(), instance_dict.get()) < 0) return nullptr;
        } else {
            Ref done(PyObject_CallMethodOneArg(attrs.get(), st->name(kUpdate), instance_dict.get()));
            if (!done) return nullptr;
        }
    }
    Ref slot_names(PyList_New(0));
    if (!slot_names) return nullptr;
    Ref cls(PyObject_GetAttr(self, st->name(kDunderClass)));
    while (cls && cls.get() != Py_None) {
        Ref slots;
        if (!optional_attr(cls.get(), st->name(kDunderSlots), slots)) return nullptr;
        if (slots && !collect_slot_names(st, cls.get(), slots.get(), slot_names.get())) return nullptr;
        cls = Ref(PyObject_GetAttr(cls.get(), st->name(kDunderBase)));
    }
    if (!cls) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(slot_names.get()); ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(slot_names.get(), i));
        Ref value;
        if (!optional_attr(self, name.get(), value)) return nullptr;
        if (value && PyDict_SetItem(attrs.get(), name.get(), value.get()) < 0) return nullptr;
    }
    return attrs.release();
}

// `name, value = item`, with the interpreter's unpacking errors.
bool unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        return false;
    }
    Ref iter(PyObject_GetIter(item));
    if (!iter) return false;
    Ref* targets[] = {&first, &second};
    for (Py_ssize_t got = 0; got < 2; ++got) {
        const int next = next_item(iter.get(), *targets[got]);
        if (next < 0) return false;
        if (next == 0) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
            return false;
        }
    }
    Ref extra;
    const int more = next_item(iter.get(), extra);
    if (more < 0) return false;
    if (more > 0) {
#if PY_VERSION_HEX >= QELO_PY314
        // 3.14 also tells how many there were when an exact tuple, list or dict knows it.
        if (PyTuple_CheckExact(item) || PyList_CheckExact(item) || PyDict_CheckExact(item)) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", PyObject_Length(item));
            return false;
        }
#endif
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return true;
}

const char* const kSelfAttrs[] = {"self", "attrs"};

PyObject* setstate_impl(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    PyObject* self = v[0];
    PyObject* attrs = v[1];
    Ref items(PyObject_CallMethodNoArgs(attrs, st->name(kItems)));
    if (!items) return nullptr;
    Ref iter(PyObject_GetIter(items.get()));
    if (!iter) return nullptr;
    for (;;) {
        Ref item;
        const int got = next_item(iter.get(), item);
        if (got < 0) return nullptr;
        if (got == 0) break;
        Ref name, value;
        if (!unpack_pair(item.get(), name, value)) return nullptr;
        if (PyObject_SetAttr(self, name.get(), value.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// PyType_Spec of ExprMixin.

template <std::size_t... I>
constexpr std::array<MethodSpec, sizeof...(I) + 2> make_exprmixin_methods(std::index_sequence<I...>) {
    return {{
        {kOperatorMethods[I].name,
         Signature{kOperatorMethods[I].qualname, kOperatorMethods[I].order == kUnaryOrder ? kSelfOnly : kSelfOther,
                   kOperatorMethods[I].order == kUnaryOrder ? 1 : 2, kOperatorMethods[I].order == kUnaryOrder ? 1 : 2},
         operator_impl<I>}...,
        {"__getstate__", Signature{"ExprMixin.__getstate__", kSelfOnly, 1, 1}, getstate_impl},
        {"__setstate__", Signature{"ExprMixin.__setstate__", kSelfAttrs, 2, 2}, setstate_impl},
    }};
}
constexpr auto kExprMixinMethods = make_exprmixin_methods(std::make_index_sequence<kOperatorMethodCount>{});

PyType_Slot exprmixin_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, node_members},
    {Py_tp_getset, node_getset},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare_slot)},
    {Py_nb_add, reinterpret_cast<void*>(binary_slot<kAddOp>)},
    {Py_nb_subtract, reinterpret_cast<void*>(binary_slot<kSubOp>)},
    {Py_nb_multiply, reinterpret_cast<void*>(binary_slot<kMulOp>)},
    {Py_nb_floor_divide, reinterpret_cast<void*>(binary_slot<kFloordivOp>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(binary_slot<kDivOp>)},
    {Py_nb_remainder, reinterpret_cast<void*>(binary_slot<kModOp>)},
    {Py_nb_power, reinterpret_cast<void*>(power_slot)},
    {Py_nb_xor, reinterpret_cast<void*>(binary_slot<kXorOp>)},
    {Py_nb_rshift, reinterpret_cast<void*>(binary_slot<kRshiftOp>)},
    {Py_nb_lshift, reinterpret_cast<void*>(binary_slot<kLshiftOp>)},
    {Py_nb_and, reinterpret_cast<void*>(binary_slot<kAndOp>)},
    {Py_nb_or, reinterpret_cast<void*>(binary_slot<kOrOp>)},
    {Py_nb_negative, reinterpret_cast<void*>(unary_slot<kNegOp>)},
    {Py_nb_positive, reinterpret_cast<void*>(unary_slot<kPosOp>)},
    {Py_nb_invert, reinterpret_cast<void*>(unary_slot<kNotOp>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_slot)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// UniExpr and BinExpr.

const char* const kUniParams[] = {"op", "operand"};
const char* const kBinParams[] = {"op", "lhs", "rhs"};
const char* const kObjParam[] = {"obj"};

constexpr Signature kUniExprCallSig{"UniExpr.__call__", kObjParam, 1, 1, true, true};
constexpr Signature kBinExprCallSig{"BinExpr.__call__", kObjParam, 1, 1, true, true};

PyObject* uniexpr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<call_impl<kUniExprCallSig, kUniExprKind, eval_uniexpr>, uniexpr_call>(self, args, nargsf, kwnames);
}

// The methods by name: (self, ...) by position or keyword, as in a class body.
const char* const kUniInit[] = {"self", "op", "operand"};
const char* const kBinInit[] = {"self", "op", "lhs", "rhs"};
const char* const kSelfObj[] = {"self", "obj"};

PyObject* uniexpr_init_impl(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    if (!set_fields(v[0], st, {{kOp, v[1]}, {kOperand, v[2]}})) return nullptr;
    Py_RETURN_NONE;
}
PyObject* binexpr_init_impl(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    if (!set_fields(v[0], st, {{kOp, v[1]}, {kLhs, v[2]}, {kRhs, v[3]}})) return nullptr;
    Py_RETURN_NONE;
}
PyObject* uniexpr_call_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return eval_uniexpr(st, v[0], v[1], exact_plain(st, v[0], kUniExprKind));
}
PyObject* binexpr_call_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return eval_binexpr(st, v[0], v[1], exact_plain(st, v[0], kBinExprKind));
}
template <Kind K, bool AsRepr>
PyObject* text_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return node_text(st, v[0], K, AsRepr);
}

constexpr MethodSpec kUniExprMethods[] = {
    {"__init__", Signature{"UniExpr.__init__", kUniInit, 3, 3}, uniexpr_init_impl},
    {"__call__", Signature{"UniExpr.__call__", kSelfObj, 2, 2, false, true}, uniexpr_call_method},
    {"__repr__", Signature{"UniExpr.__repr__", kSelfOnly, 1, 1}, text_method<kUniExprKind, true>},
    {"__str__", Signature{"UniExpr.__str__", kSelfOnly, 1, 1}, text_method<kUniExprKind, false>},
};
constexpr MethodSpec kBinExprMethods[] = {
    {"__init__", Signature{"BinExpr.__init__", kBinInit, 4, 4}, binexpr_init_impl},
    {"__call__", Signature{"BinExpr.__call__", kSelfObj, 2, 2, false, true}, binexpr_call_method},
    {"__repr__", Signature{"BinExpr.__repr__", kSelfOnly, 1, 1}, text_method<kBinExprKind, true>},
    {"__str__", Signature{"BinExpr.__str__", kSelfOnly, 1, 1}, text_method<kBinExprKind, false>},
};

PyType_Slot uniexpr_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, callable_node_members},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc<uniexpr_vectorcall>)},
    {Py_tp_init, reinterpret_cast<void*>(uniexpr_init)},
    {Py_tp_call, reinterpret_cast<void*>(uniexpr_call)},
    {Py_tp_repr, reinterpret_cast<void*>(uniexpr_repr)},
    {Py_tp_str, reinterpret_cast<void*>(uniexpr_str)},
    {0, nullptr},
};

PyType_Slot binexpr_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, callable_node_members},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc<binexpr_vectorcall>)},
    {Py_tp_init, reinterpret_cast<void*>(binexpr_init)},
    {Py_tp_call, reinterpret_cast<void*>(binexpr_call)},
    {Py_tp_repr, reinterpret_cast<void*>(binexpr_repr)},
    {Py_tp_str, reinterpret_cast<void*>(binexpr_str)},
    {0, nullptr},
};

}  // namespace

PyObject* uniexpr_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<call_impl<kUniExprCallSig, kUniExprKind, eval_uniexpr>>(self, args, kwargs);
}
PyObject* binexpr_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<call_impl<kBinExprCallSig, kBinExprKind, eval_binexpr>>(self, args, kwargs);
}
PyObject* binexpr_vectorcall_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<call_impl<kBinExprCallSig, kBinExprKind, eval_binexpr>, binexpr_call>(self, args, nargsf, kwnames);
}

namespace {

constexpr Signature kUniInitSig{"UniExpr.__init__", kUniParams, 2, 2, true};
constexpr Signature kBinInitSig{"BinExpr.__init__", kBinParams, 3, 3, true};

}  // namespace

int uniexpr_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return init_entry<kUniInitSig, 2>(self, args, kwargs, [self](ModuleState* st, PyObject* const* v) {
        return set_fields(self, st, {{kOp, v[0]}, {kOperand, v[1]}});
    });
}

int binexpr_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return init_entry<kBinInitSig, 3>(self, args, kwargs, [self](ModuleState* st, PyObject* const* v) {
        return set_fields(self, st, {{kOp, v[0]}, {kLhs, v[1]}, {kRhs, v[2]}});
    });
}

MethodTable node_method_table(Kind kind) {
    switch (kind) {
        case kExprMixinKind: return {kExprMixinMethods.data(), kExprMixinMethods.size()};
        case kUniExprKind: return {kUniExprMethods, std::size(kUniExprMethods)};
        case kBinExprKind: return {kBinExprMethods, std::size(kBinExprMethods)};
        default: return {nullptr, 0};
    }
}

PyType_Spec exprmixin_spec = {"qelo.expr.ExprMixin", sizeof(ExprObject), 0, static_cast<unsigned int>(kNodeFlags),
                              exprmixin_slots};
PyType_Spec uniexpr_spec = {"qelo.expr.UniExpr", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                            uniexpr_slots};
PyType_Spec binexpr_spec = {"qelo.expr.BinExpr", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                            binexpr_slots};

}  // namespace qelo::expr
