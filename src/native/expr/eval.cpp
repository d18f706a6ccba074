// qelo.expr: evaluation. Exact, unmodified node classes are evaluated inline here, and the
// operator functions captured at import run as the C operations they wrap.
#include "expr.hpp"

namespace qelo::expr {

namespace {

// ---------------------------------------------------------------------------------------------
// Applying operator functions: the originals captured at import run as the C operations they
// wrap; anything else is called.

Ref apply_original_binary(Op op, PyObject* a, PyObject* b) {
    switch (op) {
        case ADD: return Ref(PyNumber_Add(a, b));
        case SUB: return Ref(PyNumber_Subtract(a, b));
        case MUL: return Ref(PyNumber_Multiply(a, b));
        case DIV: return Ref(PyNumber_TrueDivide(a, b));
        case FLOORDIV: return Ref(PyNumber_FloorDivide(a, b));
        case MOD: return Ref(PyNumber_Remainder(a, b));
        case POW: return Ref(PyNumber_Power(a, b, Py_None));
        case XOR: return Ref(PyNumber_Xor(a, b));
        case LSHIFT: return Ref(PyNumber_Lshift(a, b));
        case RSHIFT: return Ref(PyNumber_Rshift(a, b));
        case AND: return Ref(PyNumber_And(a, b));
        case OR: return Ref(PyNumber_Or(a, b));
        case CONTAINS: {
            const int found = PySequence_Contains(a, b);
            return found < 0 ? Ref() : Ref(PyBool_FromLong(found));
        }
        case GT: return Ref(PyObject_RichCompare(a, b, Py_GT));
        case GE: return Ref(PyObject_RichCompare(a, b, Py_GE));
        case LT: return Ref(PyObject_RichCompare(a, b, Py_LT));
        case LE: return Ref(PyObject_RichCompare(a, b, Py_LE));
        case EQ: return Ref(PyObject_RichCompare(a, b, Py_EQ));
        case NE: return Ref(PyObject_RichCompare(a, b, Py_NE));
        default: return Ref();
    }
}

Ref apply_original_unary(Op op, PyObject* a) {
    switch (op) {
        case NOT: {
            const int result = PyObject_Not(a);
            return result < 0 ? Ref() : Ref(PyBool_FromLong(result));
        }
        case NEG: return Ref(PyNumber_Negative(a));
        case POS: return Ref(PyNumber_Positive(a));
        default: return Ref();
    }
}

constexpr bool is_unary(int op) { return op == NOT || op == NEG || op == POS; }

int original_index(ExprState* st, PyObject* fn) {
    for (int i = 0; i < OP_COUNT; ++i) {
        if (st->originals[i] == fn) return i;
    }
    return -1;
}

// Which original `fn` is, trying first the one this node applied last time (an identity check,
// so a stale guess costs nothing but the full search).
int original_index(ExprState* st, PyObject* self, PyObject* fn) {
    auto* node = reinterpret_cast<ExprObject*>(self);
    const int guess = node->op_guess;
    if (guess >= 0 && st->originals[guess] == fn) return guess;
    const int index = original_index(st, fn);
    node->op_guess = static_cast<signed char>(index);
    return index;
}

Ref apply_binary(ExprState* st, PyObject* self, PyObject* fn, PyObject* a, PyObject* b) {
    const int index = original_index(st, self, fn);
    if (index >= 0 && !is_unary(index)) return apply_original_binary(static_cast<Op>(index), a, b);
    PyObject* args[] = {a, b};
    return Ref(PyObject_Vectorcall(fn, args, 2, nullptr));
}

Ref apply_unary(ExprState* st, PyObject* self, PyObject* fn, PyObject* a) {
    const int index = original_index(st, self, fn);
    if (index >= 0 && is_unary(index)) return apply_original_unary(static_cast<Op>(index), a);
    return Ref(PyObject_CallOneArg(fn, a));
}

// container[key]; an exact dict with an exact str key is looked up directly (the same lookup
// dict's own subscript makes, and the same KeyError when the key is missing).
Ref subscript(PyObject* container, PyObject* key) {
    if (PyDict_CheckExact(container) && PyUnicode_CheckExact(key)) {
        PyObject* found = PyDict_GetItemWithError(container, key);
        if (found != nullptr) return Ref::borrow(found);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        return Ref();
    }
    return Ref(PyObject_GetItem(container, key));
}

// func(value); builtins.len and builtins.abs as imported run as the C operations they are.
Ref apply_function(ExprState* st, PyObject* func, PyObject* value) {
    if (func == st->builtin_len) {
        const Py_ssize_t size = PyObject_Size(value);
        return size < 0 ? Ref() : Ref(PyLong_FromSsize_t(size));
    }
    if (func == st->builtin_abs) return Ref(PyNumber_Absolute(value));
    return Ref(PyObject_CallOneArg(func, value));
}

// ---------------------------------------------------------------------------------------------
// Evaluation core. One Evaluator serves a whole inline evaluation: the module state and the
// thread state the recursion guards charge.

const char kEvalExpr[] = " while evaluating an expression";
const char kEvalPath[] = " while evaluating a path";
const char kEvalFuncPath[] = " while evaluating a function path";

struct Evaluator {
    ExprState* st;
    PyThreadState* ts;

    [[gnu::always_inline]] inline Ref call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
    [[gnu::always_inline]] Ref resolve(PyObject* operand, PyObject* ctx) {
        if (Py_TYPE(operand)->tp_call == nullptr) return Ref::borrow(operand);
        return call(operand, &ctx, 1);
    }
    // The same, handing an operand that is not callable back as it is.
    [[gnu::always_inline]] Ref resolve(Ref&& operand, PyObject* ctx) {
        if (Py_TYPE(operand.get())->tp_call == nullptr) return std::move(operand);
        return call(operand.get(), &ctx, 1);
    }
    // The field of a path straight over a root path (this.a, obj_.x) when `operand` is an exact,
    // plain one holding its fields itself; null otherwise. Borrowed, like peek_slot.
    [[gnu::always_inline]] PyObject* root_field(PyObject* operand);
    // self.<field `index`> resolved for ctx. A path over a root path is looked up in ctx here with
    // only its field held: nothing else of it is used once the lookup starts.
    [[gnu::always_inline]] Ref operand_value(PyObject* self, Kind kind, int index, bool direct, PyObject* ctx);
    Ref uniexpr(PyObject* self, PyObject* ctx, bool direct);
    Ref binexpr(PyObject* self, PyObject* ctx, bool direct);
    Ref path(PyObject* self, PyObject* ctx, bool direct);
    Ref parent_value(PyObject* parent, PyObject* ctx);
    Ref path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool direct);
    Ref funcpath(PyObject* self, PyObject* arg, bool direct);
};

inline Ref Evaluator::call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    // Exact, unmodified classes are evaluated here instead of through a call.
    PyTypeObject* tp = Py_TYPE(callable);
    const auto& types = st->types;
    if (nargs >= 1) {
        if (tp == types[BINEXPR] && is_plain(st, BINEXPR)) return binexpr(callable, args[0], true);
        if (tp == types[PATH] && is_plain(st, PATH)) return path(callable, args[0], true);
        if (tp == types[FUNCPATH] && is_plain(st, FUNCPATH)) return funcpath(callable, args[0], true);
        if (tp == types[UNIEXPR] && is_plain(st, UNIEXPR)) return uniexpr(callable, args[0], true);
    }
    if (tp == types[PATH2] && is_plain(st, PATH2)) return path2(callable, args, nargs, true);
    return Ref(PyObject_Vectorcall(callable, args, nargs, nullptr));
}

Ref Evaluator::uniexpr(PyObject* self, PyObject* ctx, bool direct) {
    DepthGuard guard(ts, kEvalExpr);
    if (!guard) return Ref();
    Ref value = operand_value(self, UNIEXPR, 1, direct, ctx);
    if (!value) return Ref();
    // The operator is read once the operand is resolved, as the steps are ordered.
    if (PyObject* fn = peek_slot(self, UNIEXPR, 0, direct)) {
        const int index = original_index(st, self, fn);
        if (index >= 0 && is_unary(index)) return apply_original_unary(static_cast<Op>(index), value.get());
    }
    Ref op = read_slot(st, self, UNIEXPR, 0, direct);
    if (!op) return Ref();
    return apply_unary(st, self, op.get(), value.get());
}

Ref Evaluator::binexpr(PyObject* self, PyObject* ctx, bool direct) {
    DepthGuard guard(ts, kEvalExpr);
    if (!guard) return Ref();
    Ref left = operand_value(self, BINEXPR, 1, direct, ctx);
    if (!left) return Ref();
    Ref right = operand_value(self, BINEXPR, 2, direct, ctx);
    if (!right) return Ref();
    // Left before right, both before the operator is read and applied. An original operator read
    // straight from the node is known by identity before any code runs, so it need not be held.
    if (PyObject* fn = peek_slot(self, BINEXPR, 0, direct)) {
        const int index = original_index(st, self, fn);
        if (index >= 0 && !is_unary(index)) return apply_original_binary(static_cast<Op>(index), left.get(), right.get());
    }
    Ref op = read_slot(st, self, BINEXPR, 0, direct);
    if (!op) return Ref();
    return apply_binary(st, self, op.get(), left.get(), right.get());
}

// The value of a path's parent for `ctx`: a root parent (this, obj_) gives the context itself,
// another exact path is evaluated in place, anything else is called. Only the last two recurse,
// so only they are charged a level.
Ref Evaluator::parent_value(PyObject* parent, PyObject* ctx) {
    if (exact_plain(st, parent, PATH)) {
        Ref grandparent = read_slot(st, parent, PATH, 2, true);
        if (!grandparent) return Ref();
        if (grandparent.get() == Py_None) return Ref::borrow(ctx);
        DepthGuard guard(ts, kEvalPath);
        if (!guard) return Ref();
        return path(parent, ctx, true);
    }
    DepthGuard guard(ts, kEvalPath);
    if (!guard) return Ref();
    return call(parent, &ctx, 1);
}

// Whether `parent` is an exact, plain root path (this, obj_) holding its fields itself: it stands
// for the context, and finding that out runs no code.
[[gnu::always_inline]] inline bool is_root_path(ExprState* st, PyObject* parent) {
    if (!exact_plain(st, parent, PATH)) return false;
    PyObject* grandparent = peek_slot(parent, PATH, 2, true);
    return grandparent == Py_None;
}

inline PyObject* Evaluator::root_field(PyObject* operand) {
    if (!exact_plain(st, operand, PATH)) return nullptr;
    PyObject* parent = peek_slot(operand, PATH, 2, true);
    if (parent == nullptr || parent == Py_None || !is_root_path(st, parent)) return nullptr;
    return reinterpret_cast<ExprObject*>(operand)->live[1];
}

inline Ref Evaluator::operand_value(PyObject* self, Kind kind, int index, bool direct, PyObject* ctx) {
    if (PyObject* operand = peek_slot(self, kind, index, direct)) {
        if (PyObject* field = root_field(operand)) {
            Ref held = Ref::borrow(field);
            return subscript(ctx, held.get());
        }
    }
    Ref operand = read_slot(st, self, kind, index, direct);
    if (!operand) return Ref();
    return resolve(std::move(operand), ctx);
}

Ref Evaluator::path(PyObject* self, PyObject* ctx, bool direct) {
    // ctx[field] for a path over a root path, with the parent only looked at (no code runs until
    // the subscript, and the field is held across that).
    if (PyObject* parent = peek_slot(self, PATH, 2, direct)) {
        if (parent == Py_None) return Ref::borrow(ctx);
        if (is_root_path(st, parent)) {
            Ref field = Ref::borrow(reinterpret_cast<ExprObject*>(self)->live[1]);
            return subscript(ctx, field.get());
        }
    }
    Ref parent = read_slot(st, self, PATH, 2, direct);
    if (!parent) return Ref();
    if (parent.get() == Py_None) return Ref::borrow(ctx);
    Ref value = parent_value(parent.get(), ctx);
    if (!value) return Ref();
    Ref field = read_slot(st, self, PATH, 1, direct);
    if (!field) return Ref();
    return subscript(value.get(), field.get());
}

Ref Evaluator::path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool direct) {
    DepthGuard guard(ts, kEvalPath);
    if (!guard) return Ref();
    Ref parent = read_slot(st, self, PATH2, 2, direct);
    if (!parent) return Ref();
    if (parent.get() == Py_None) {
        // args[1]: the list follows the context.
        if (nargs < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return Ref();
        }
        return Ref::borrow(args[1]);
    }
    Ref value = call(parent.get(), args, nargs);
    if (!value) return Ref();
    Ref index = read_slot(st, self, PATH2, 1, direct);
    if (!index) return Ref();
    return subscript(value.get(), index.get());
}

Ref Evaluator::funcpath(PyObject* self, PyObject* arg, bool direct) {
    DepthGuard guard(ts, kEvalFuncPath);
    if (!guard) return Ref();
    Ref operand = read_slot(st, self, FUNCPATH, 1, direct);
    if (!operand) return Ref();
    if (operand.get() == Py_None) {
        // Unbound: bind to a callable argument, hand anything else back untouched.
        if (Py_TYPE(arg)->tp_call == nullptr) return Ref::borrow(arg);
        Ref cls = module_global(st, N_FuncPath);
        if (!cls) return Ref();
        Ref func = read_slot(st, self, FUNCPATH, 0, direct);
        if (!func) return Ref();
        return construct(st, FUNCPATH, cls.get(), {func.get(), arg});
    }
    // builtins.len read straight from the node is known by identity now (the function as read here
    // is the one applied), so it need not be held while the operand is resolved.
    if (PyObject* fn = peek_slot(self, FUNCPATH, 0, direct); fn != nullptr && fn == st->builtin_len) {
        Ref value = resolve(operand.get(), arg);
        if (!value) return Ref();
        const Py_ssize_t size = PyObject_Size(value.get());
        return size < 0 ? Ref() : Ref(PyLong_FromSsize_t(size));
    }
    Ref func = read_slot(st, self, FUNCPATH, 0, direct);
    if (!func) return Ref();
    Ref value = resolve(operand.get(), arg);
    if (!value) return Ref();
    return apply_function(st, func.get(), value.get());
}

Evaluator evaluator(ExprState* st) { return Evaluator{st, PyThreadState_Get()}; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points: a call of a node from outside starts one inline evaluation.

Ref call_with(ExprState* st, PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    return evaluator(st).call(callable, args, nargs);
}

Ref resolve(ExprState* st, PyObject* operand, PyObject* ctx) { return evaluator(st).resolve(operand, ctx); }

Ref eval_uniexpr(ExprState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).uniexpr(self, ctx, direct);
}
Ref eval_binexpr(ExprState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).binexpr(self, ctx, direct);
}
Ref eval_path(ExprState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).path(self, ctx, direct);
}
Ref eval_path2(ExprState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool direct) {
    return evaluator(st).path2(self, args, nargs, direct);
}
Ref eval_funcpath(ExprState* st, PyObject* self, PyObject* arg, bool direct) {
    return evaluator(st).funcpath(self, arg, direct);
}

}  // namespace qelo::expr
