// qelo.expr: applying operator functions and functions to values, and the subscript of a path.
// Included by the evaluation alone: everything here keeps internal linkage, as within one file,
// so that the evaluator's loops inline it as they did.
#pragma once

#include "eval.hpp"
#include "outcome.hpp"
#include "state.hpp"

namespace qelo::expr {

namespace {

// Applying operator functions: the originals captured at import run as the C operations they
// wrap; anything else is called.

// Two exact ints, or two exact floats: the generic arithmetic would call that type's own slot
// first and return what it gives, since it never declines two operands of its own type.
inline bool same_builtin_number(PyObject* a, PyObject* b) {
    PyTypeObject* tp = Py_TYPE(a);
    return Py_TYPE(b) == tp && (tp == &PyLong_Type || tp == &PyFloat_Type);
}

Ref apply_original_binary(Op op, PyObject* a, PyObject* b) {
    switch (op) {
        case kAddOp:
            if (same_builtin_number(a, b)) return Ref(Py_TYPE(a)->tp_as_number->nb_add(a, b));
            return Ref(PyNumber_Add(a, b));
        case kSubOp:
            if (same_builtin_number(a, b)) return Ref(Py_TYPE(a)->tp_as_number->nb_subtract(a, b));
            return Ref(PyNumber_Subtract(a, b));
        case kMulOp:
            if (same_builtin_number(a, b)) return Ref(Py_TYPE(a)->tp_as_number->nb_multiply(a, b));
            return Ref(PyNumber_Multiply(a, b));
        case kDivOp: return Ref(PyNumber_TrueDivide(a, b));
        case kFloordivOp: return Ref(PyNumber_FloorDivide(a, b));
        case kModOp: return Ref(PyNumber_Remainder(a, b));
        case kPowOp: return Ref(PyNumber_Power(a, b, Py_None));
        case kXorOp: return Ref(PyNumber_Xor(a, b));
        case kLshiftOp: return Ref(PyNumber_Lshift(a, b));
        case kRshiftOp: return Ref(PyNumber_Rshift(a, b));
        case kAndOp: return Ref(PyNumber_And(a, b));
        case kOrOp: return Ref(PyNumber_Or(a, b));
        case kContainsOp: {
            const int found = PySequence_Contains(a, b);
            return found < 0 ? Ref() : Ref(PyBool_FromLong(found));
        }
        case kGtOp: return Ref(PyObject_RichCompare(a, b, Py_GT));
        case kGeOp: return Ref(PyObject_RichCompare(a, b, Py_GE));
        case kLtOp: return Ref(PyObject_RichCompare(a, b, Py_LT));
        case kLeOp: return Ref(PyObject_RichCompare(a, b, Py_LE));
        case kEqOp: return Ref(PyObject_RichCompare(a, b, Py_EQ));
        case kNeOp: return Ref(PyObject_RichCompare(a, b, Py_NE));
        default: return Ref();
    }
}

Ref apply_original_unary(Op op, PyObject* a) {
    switch (op) {
        case kNotOp: {
            const int result = PyObject_Not(a);
            return result < 0 ? Ref() : Ref(PyBool_FromLong(result));
        }
        case kNegOp: return Ref(PyNumber_Negative(a));
        case kPosOp: return Ref(PyNumber_Positive(a));
        default: return Ref();
    }
}

constexpr bool is_unary(int op) { return op == kNotOp || op == kNegOp || op == kPosOp; }


// Which original `fn` is, trying first the one this node applied last time (an identity check,
// so a stale guess costs nothing but the full search).
// `self` is a node of one of the module's classes.
int original_index(ModuleState* st, PyObject* self, PyObject* fn) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    const int guess = node->op_guess;
    if (guess >= 0 && st->originals[guess] == fn) return guess;
    const int index = original_index(st, fn);
    node->op_guess = static_cast<signed char>(index);
    return index;
}

// `self` may be any object here (a method called by name on another one): the guess is kept only
// in nodes.
int original_index_of(ModuleState* st, PyObject* self, PyObject* fn) {
    if (PyObject_TypeCheck(self, st->types[kExprMixinKind])) return original_index(st, self, fn);
    return original_index(st, fn);
}

Ref apply_binary(ModuleState* st, PyObject* self, PyObject* fn, PyObject* a, PyObject* b) {
    const int index = original_index_of(st, self, fn);
    if (index >= 0 && !is_unary(index)) return apply_original_binary(static_cast<Op>(index), a, b);
    PyObject* args[] = {a, b};
    return Ref(PyObject_Vectorcall(fn, args, 2, nullptr));
}

Ref apply_unary(ModuleState* st, PyObject* self, PyObject* fn, PyObject* a) {
    const int index = original_index_of(st, self, fn);
    if (index >= 0 && is_unary(index)) return apply_original_unary(static_cast<Op>(index), a);
    return Ref(PyObject_CallOneArg(fn, a));
}

// The KeyError dict's own subscript raises for a missing key (kept out of the inlined lookup).
[[gnu::noinline, gnu::cold]] PyObject* missing_key(PyObject* key) {
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// container[key]; an exact dict with an exact str key is looked up directly (the same lookup
// dict's own subscript makes, and the same KeyError when the key is missing). A new reference.
[[gnu::always_inline]] inline PyObject* subscript(PyObject* container, PyObject* key) {
    if (PyDict_CheckExact(container) && PyUnicode_CheckExact(key)) {
        Ref found;
        const int got = dict_get(container, key, found);
        if (got > 0) return found.release();
        return got == 0 ? missing_key(key) : nullptr;
    }
    return PyObject_GetItem(container, key);
}

// func(value); builtins.len and builtins.abs as imported run as the C operations they are.
Ref apply_function(ModuleState* st, PyObject* func, PyObject* value) {
    if (func == st->builtin_len) {
        const Py_ssize_t size = PyObject_Size(value);
        return size < 0 ? Ref() : Ref(PyLong_FromSsize_t(size));
    }
    if (func == st->builtin_abs) return Ref(PyNumber_Absolute(value));
    return Ref(PyObject_CallOneArg(func, value));
}

}  // namespace

}  // namespace qelo::expr
