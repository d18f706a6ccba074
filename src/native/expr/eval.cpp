// qelo.expr: evaluation. Exact, unmodified node classes are evaluated inline here, and the
// operator functions captured at import run as the C operations they wrap.
#include "expr.hpp"

namespace qelo::expr {

namespace {

// ---------------------------------------------------------------------------------------------
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
        case ADD:
            if (same_builtin_number(a, b)) return Ref(Py_TYPE(a)->tp_as_number->nb_add(a, b));
            return Ref(PyNumber_Add(a, b));
        case SUB:
            if (same_builtin_number(a, b)) return Ref(Py_TYPE(a)->tp_as_number->nb_subtract(a, b));
            return Ref(PyNumber_Subtract(a, b));
        case MUL:
            if (same_builtin_number(a, b)) return Ref(Py_TYPE(a)->tp_as_number->nb_multiply(a, b));
            return Ref(PyNumber_Multiply(a, b));
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

// The KeyError dict's own subscript raises for a missing key (kept out of the inlined lookup).
[[gnu::noinline]] PyObject* missing_key(PyObject* key) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
}

// container[key]; an exact dict with an exact str key is looked up directly (the same lookup
// dict's own subscript makes, and the same KeyError when the key is missing), with the hash the
// str already keeps when it has one. A new reference.
[[gnu::always_inline]] inline PyObject* subscript(PyObject* container, PyObject* key) {
    if (PyDict_CheckExact(container) && PyUnicode_CheckExact(key)) {
        const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        PyObject* found = hash != -1 ? _PyDict_GetItem_KnownHash(container, key, hash)
                                     : PyDict_GetItemWithError(container, key);
        if (found != nullptr) return Py_NewRef(found);
        return missing_key(key);
    }
    return PyObject_GetItem(container, key);
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
// thread state the recursion guards charge. Its steps return new references (null with the
// exception set), taken over by a Ref at each call site.

const char kEvalExpr[] = " while evaluating an expression";
const char kEvalPath[] = " while evaluating a path";
const char kEvalFuncPath[] = " while evaluating a function path";

// What is known of a node with no code run since: nothing, that its class is the exact, plain one
// (`direct`), or moreover that it holds its fields itself.
enum class Known { NOTHING, PLAIN, HOLDS };

struct Evaluator {
    ExprState* st;
    PyThreadState* ts;

    // Whether `node` is of the exact, plain class `kind` and holds that class's fields itself, so
    // they can be read from it directly. Asked again after anything that could run code: the
    // node's fields, its dict and its class may all change under a call.
    [[gnu::always_inline]] bool holds(PyObject* node, Kind kind) const {
        return holds_as_built(node, kind) && is_plain(st, kind);
    }
    // The same for a class already found plain with no code run since.
    [[gnu::always_inline]] bool holds_as_built(PyObject* node, Kind kind) const {
        return Py_TYPE(node) == st->types[kind] && reinterpret_cast<ExprObject*>(node)->live_kind == kind &&
               instance_dict(node) == nullptr;
    }
    // The same, asked only as far as `known` (what was found with no code run since) leaves open.
    [[gnu::always_inline]] bool holds(PyObject* node, Kind kind, Known known) const {
        if (known == Known::HOLDS) return true;
        if (known == Known::PLAIN) return holds_as_built(node, kind);
        return holds(node, kind);
    }
    [[gnu::always_inline]] static PyObject* field(PyObject* node, int index) {
        return reinterpret_cast<ExprObject*>(node)->live[index];
    }

    // self.<field `index`> read the general way (read_slot), its class asked afresh: code may have
    // run since the step began.
    Ref read(PyObject* self, Kind kind, int index) {
        return read_slot(st, self, kind, index, exact_plain(st, self, kind));
    }

    [[gnu::always_inline]] inline PyObject* call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
    // callable ? operand(ctx) : operand. The caller keeps `operand` alive across the call.
    [[gnu::always_inline]] PyObject* resolve(PyObject* operand, PyObject* ctx) {
        if (Py_TYPE(operand)->tp_call == nullptr) return Py_NewRef(operand);
        return call(operand, &ctx, 1);
    }
    // The field of a path straight over a root path (this.a, obj_.x) when both hold their fields
    // themselves; null otherwise. Borrowed: finding it runs no code.
    [[gnu::always_inline]] PyObject* root_field(PyObject* operand) const;
    // self.<field `index`> resolved for ctx. A path over a root path is looked up in ctx here with
    // only its field held: nothing else of it is used once the lookup starts. `known` is what is
    // known of self before, and after (a constant operand runs no code).
    [[gnu::always_inline]] inline PyObject* operand_value(PyObject* self, Kind kind, int index, PyObject* ctx,
                                                          Known& known);
    // The same when self's fields are not known to be held by it (kept out of line: rare).
    [[gnu::noinline, gnu::cold]] PyObject* operand_value_general(PyObject* self, Kind kind, int index, PyObject* ctx);
    PyObject* uniexpr(PyObject* self, PyObject* ctx, bool direct);
    PyObject* binexpr(PyObject* self, PyObject* ctx, bool direct);
    // self.op read the general way and applied to left and right.
    [[gnu::noinline, gnu::cold]] PyObject* binexpr_general_op(PyObject* self, PyObject* left, PyObject* right);
    PyObject* path(PyObject* self, PyObject* ctx, bool direct);
    PyObject* parent_value(PyObject* parent, PyObject* ctx);
    PyObject* path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
    PyObject* funcpath(PyObject* self, PyObject* arg, bool direct);
};

inline PyObject* Evaluator::call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    // Exact, unmodified classes are evaluated here instead of through a call.
    PyTypeObject* tp = Py_TYPE(callable);
    const auto& types = st->types;
    if (nargs >= 1) {
        if (tp == types[BINEXPR] && is_plain(st, BINEXPR)) return binexpr(callable, args[0], true);
        if (tp == types[PATH] && is_plain(st, PATH)) return path(callable, args[0], true);
        if (tp == types[FUNCPATH] && is_plain(st, FUNCPATH)) return funcpath(callable, args[0], true);
        if (tp == types[UNIEXPR] && is_plain(st, UNIEXPR)) return uniexpr(callable, args[0], true);
    }
    if (tp == types[PATH2] && is_plain(st, PATH2)) return path2(callable, args, nargs);
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

inline PyObject* Evaluator::root_field(PyObject* operand) const {
    if (!holds(operand, PATH)) return nullptr;
    PyObject* parent = field(operand, 2);
    if (parent == Py_None || !holds_as_built(parent, PATH) || field(parent, 2) != Py_None) return nullptr;
    return field(operand, 1);
}

inline PyObject* Evaluator::operand_value(PyObject* self, Kind kind, int index, PyObject* ctx, Known& known) {
    if (holds(self, kind, known)) {
        PyObject* operand = field(self, index);
        if (Py_TYPE(operand)->tp_call == nullptr) {
            known = Known::HOLDS;
            return Py_NewRef(operand);
        }
        known = Known::NOTHING;
        if (PyObject* key = root_field(operand)) {
            Ref held = Ref::borrow(key);
            return subscript(ctx, key);
        }
        Ref held = Ref::borrow(operand);
        return resolve(operand, ctx);
    }
    known = Known::NOTHING;
    return operand_value_general(self, kind, index, ctx);
}

PyObject* Evaluator::operand_value_general(PyObject* self, Kind kind, int index, PyObject* ctx) {
    Ref operand = read(self, kind, index);
    if (!operand) return nullptr;
    return resolve(operand.get(), ctx);
}

PyObject* Evaluator::uniexpr(PyObject* self, PyObject* ctx, bool direct) {
    DepthGuard guard(ts, kEvalExpr);
    if (!guard) return nullptr;
    Known known = direct ? Known::PLAIN : Known::NOTHING;
    Ref value(operand_value(self, UNIEXPR, 1, ctx, known));
    if (!value) return nullptr;
    // The operator is read once the operand is resolved, as the steps are ordered. An original
    // read straight from the node is known by identity before any code runs: it need not be held.
    if (holds(self, UNIEXPR, known)) {
        const int index = original_index(st, self, field(self, 0));
        if (index >= 0 && is_unary(index)) return apply_original_unary(static_cast<Op>(index), value.get()).release();
    }
    Ref op = read(self, UNIEXPR, 0);
    if (!op) return nullptr;
    return apply_unary(st, self, op.get(), value.get()).release();
}

PyObject* Evaluator::binexpr(PyObject* self, PyObject* ctx, bool direct) {
    DepthGuard guard(ts, kEvalExpr);
    if (!guard) return nullptr;
    Known known = direct ? Known::PLAIN : Known::NOTHING;
    Ref left(operand_value(self, BINEXPR, 1, ctx, known));
    if (!left) return nullptr;
    Ref right(operand_value(self, BINEXPR, 2, ctx, known));
    if (!right) return nullptr;
    // Left before right, both before the operator is read and applied.
    if (holds(self, BINEXPR, known)) {
        const int index = original_index(st, self, field(self, 0));
        if (index >= 0 && !is_unary(index)) {
            PyObject* a = left.get();
            PyObject* b = right.get();
            // The commonest cases, without the dispatch; one call site per slot, so that each
            // indirect call keeps to one target.
            if (same_builtin_number(a, b)) {
                PyNumberMethods* nb = Py_TYPE(a)->tp_as_number;
                if (index == ADD) return nb->nb_add(a, b);
                if (index == SUB) return nb->nb_subtract(a, b);
                if (index == MUL) return nb->nb_multiply(a, b);
            }
            return apply_original_binary(static_cast<Op>(index), a, b).release();
        }
    }
    return binexpr_general_op(self, left.get(), right.get());
}

PyObject* Evaluator::binexpr_general_op(PyObject* self, PyObject* left, PyObject* right) {
    Ref op = read(self, BINEXPR, 0);
    if (!op) return nullptr;
    return apply_binary(st, self, op.get(), left, right).release();
}

// The value of a path's parent for `ctx`: a root parent (this, obj_) gives the context itself,
// another exact path is evaluated in place, anything else is called. Only the last two recurse,
// so only they are charged a level.
PyObject* Evaluator::parent_value(PyObject* parent, PyObject* ctx) {
    if (exact_plain(st, parent, PATH)) {
        Ref grandparent = read_slot(st, parent, PATH, 2, true);
        if (!grandparent) return nullptr;
        if (grandparent.get() == Py_None) return Py_NewRef(ctx);
        DepthGuard guard(ts, kEvalPath);
        if (!guard) return nullptr;
        // Reading the grandparent may have run code: the class is asked again.
        return path(parent, ctx, exact_plain(st, parent, PATH));
    }
    DepthGuard guard(ts, kEvalPath);
    if (!guard) return nullptr;
    return call(parent, &ctx, 1);
}

PyObject* Evaluator::path(PyObject* self, PyObject* ctx, bool direct) {
    // ctx[field] for a path over a root path, with the parent only looked at (no code runs until
    // the subscript, and the field is held across that).
    if (holds(self, PATH, direct ? Known::PLAIN : Known::NOTHING)) {
        PyObject* parent = field(self, 2);
        if (parent == Py_None) return Py_NewRef(ctx);
        if (holds_as_built(parent, PATH) && field(parent, 2) == Py_None) {
            Ref key = Ref::borrow(field(self, 1));
            return subscript(ctx, key.get());
        }
    }
    Ref parent = read(self, PATH, 2);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) return Py_NewRef(ctx);
    Ref value(parent_value(parent.get(), ctx));
    if (!value) return nullptr;
    Ref key = read(self, PATH, 1);
    if (!key) return nullptr;
    return subscript(value.get(), key.get());
}

PyObject* Evaluator::path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    DepthGuard guard(ts, kEvalPath);
    if (!guard) return nullptr;
    Ref parent = read(self, PATH2, 2);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) {
        // args[1]: the list follows the context.
        if (nargs < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        return Py_NewRef(args[1]);
    }
    Ref value(call(parent.get(), args, nargs));
    if (!value) return nullptr;
    Ref index = read(self, PATH2, 1);
    if (!index) return nullptr;
    return subscript(value.get(), index.get());
}

PyObject* Evaluator::funcpath(PyObject* self, PyObject* arg, bool direct) {
    DepthGuard guard(ts, kEvalFuncPath);
    if (!guard) return nullptr;
    // builtins.len read straight from a bound node is known by identity before any code runs (the
    // function as read here is the one applied), so it need not be held while the operand is
    // resolved.
    if (holds(self, FUNCPATH, direct ? Known::PLAIN : Known::NOTHING) && field(self, 1) != Py_None &&
        field(self, 0) == st->builtin_len) {
        PyObject* operand = field(self, 1);
        Ref value;
        if (PyObject* key = root_field(operand)) {
            Ref held = Ref::borrow(key);
            value = Ref(subscript(arg, key));
        } else {
            Ref held = Ref::borrow(operand);
            value = Ref(resolve(operand, arg));
        }
        if (!value) return nullptr;
        // An exact list's length is its size, as list's own length slot answers.
        if (PyList_CheckExact(value.get())) return PyLong_FromSsize_t(PyList_GET_SIZE(value.get()));
        const Py_ssize_t size = PyObject_Size(value.get());
        return size < 0 ? nullptr : PyLong_FromSsize_t(size);
    }
    Ref operand = read(self, FUNCPATH, 1);
    if (!operand) return nullptr;
    if (operand.get() == Py_None) {
        // Unbound: bind to a callable argument, hand anything else back untouched.
        if (Py_TYPE(arg)->tp_call == nullptr) return Py_NewRef(arg);
        Ref cls = module_global(st, N_FuncPath);
        if (!cls) return nullptr;
        Ref func = read(self, FUNCPATH, 0);
        if (!func) return nullptr;
        return construct(st, FUNCPATH, cls.get(), {func.get(), arg}).release();
    }
    Ref func = read(self, FUNCPATH, 0);
    if (!func) return nullptr;
    Ref value(resolve(operand.get(), arg));
    if (!value) return nullptr;
    return apply_function(st, func.get(), value.get()).release();
}

Evaluator evaluator(ExprState* st) { return Evaluator{st, PyThreadState_Get()}; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points: a call of a node from outside starts one inline evaluation.

Ref call_with(ExprState* st, PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    return Ref(evaluator(st).call(callable, args, nargs));
}

Ref resolve(ExprState* st, PyObject* operand, PyObject* ctx) { return Ref(evaluator(st).resolve(operand, ctx)); }

PyObject* eval_uniexpr(ExprState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).uniexpr(self, ctx, direct);
}
PyObject* eval_binexpr(ExprState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).binexpr(self, ctx, direct);
}

PyObject* binexpr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_call == binexpr_call && kwnames == nullptr && PyVectorcall_NARGS(nargsf) >= 1) {
        if (ExprState* st = state_of_type(tp)) {
            return evaluator(st).binexpr(self, args[0], tp == st->types[BINEXPR] && is_plain(st, BINEXPR));
        }
    }
    return binexpr_vectorcall_general(self, args, nargsf, kwnames);
}
PyObject* eval_path(ExprState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).path(self, ctx, direct);
}
// Path2 reads its fields the general way only: whether the class is plain is asked at each read.
PyObject* eval_path2(ExprState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool /*direct*/) {
    return evaluator(st).path2(self, args, nargs);
}
PyObject* eval_funcpath(ExprState* st, PyObject* self, PyObject* arg, bool direct) {
    return evaluator(st).funcpath(self, arg, direct);
}

}  // namespace qelo::expr
