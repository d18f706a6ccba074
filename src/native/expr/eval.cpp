// qelo.expr: evaluation. Exact, unmodified node classes are evaluated inline here, and the
// operator functions captured at import run as the C operations they wrap.
#include "eval.hpp"
#include "apply.hpp"
#include "classes.hpp"
#include "depth.hpp"
#include "fields.hpp"
#include "lifecycle.hpp"
#include "plan.hpp"

namespace qelo::expr {

namespace {

// ---------------------------------------------------------------------------------------------
// Evaluation core. One Evaluator serves a whole inline evaluation: the module state and the
// thread state the recursion guards charge. Its steps return new references (null with the
// exception set), taken over by a Ref at each call site.

const char kEvalExpr[] = " while evaluating an expression";
const char kEvalPath[] = " while evaluating a path";
const char kEvalFuncPath[] = " while evaluating a function path";

struct Evaluator {
    ModuleState* st;
    PyThreadState* ts;  // fetched at the first level charged (thread())
    int depth = 0;

    PyThreadState* thread() {
        if (ts == nullptr) ts = guard_thread_state();
        return ts;
    }

    // The fields of `node` into `f` when it is of the exact, plain class `kind` (borrowed, valid
    // until code runs); `f` null otherwise (Declined), or when reading them failed (Failed). Asked
    // again after anything that could run code: the node's fields, its dict and its class may all
    // change under a call.
    [[gnu::always_inline]] Fast fields(PyObject* node, Kind kind, PyObject* const*& f) const {
        return fields_if_plain(st, node, kind, f);
    }

    // self.<field `index`> read the general way (read_slot), its class asked afresh.
    Ref read(PyObject* self, Kind kind, int index) {
        return read_slot(st, self, kind, index, exact_plain(st, self, kind));
    }

    [[gnu::always_inline]] inline PyObject* call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
    // callable ? operand(ctx) : operand. The caller keeps `operand` alive across the call.
    [[gnu::always_inline]] PyObject* resolve(PyObject* operand, PyObject* ctx) {
        if (Py_TYPE(operand)->tp_call == nullptr) return Py_NewRef(operand);
        return call(operand, &ctx, 1);
    }
    // The field of a path straight over a root path (this.a, obj_.x), both of the exact, plain
    // class, into `key` (Done); Declined for any other operand, Failed when reading a field cache
    // raised. Borrowed: finding it runs no code but key comparisons.
    [[gnu::always_inline]] Fast root_field(PyObject* operand, PyObject*& key) const {
        const std::uint64_t mark = st->nodes.refills();
        PyObject* const* f = nullptr;
        if (const Fast got = fields(operand, kPathKind, f); got != Fast::Done) return got;
        if (f[2] == Py_None) return Fast::Declined;
        PyObject* const* pf = nullptr;
        if (const Fast got = fields(f[2], kPathKind, pf); got != Fast::Done) return got;
        if (pf[2] != Py_None) return Fast::Declined;
        // Refreshing a cache compares dict keys, which can run code: then the operand's fields
        // are asked for again.
        if (st->nodes.refills() != mark) {
            if (const Fast got = fields(operand, kPathKind, f); got != Fast::Done) return got;
        }
        key = f[1];
        return Fast::Done;
    }
    // `operand` (borrowed from a node) resolved for ctx: a path over a root path is looked up in
    // ctx with only its field held, anything else is held and resolved. `ran` is set when code
    // may have run (anything but a constant).
    [[gnu::always_inline]] PyObject* operand_value(PyObject* operand, PyObject* ctx, bool& ran) {
        if (Py_TYPE(operand)->tp_call == nullptr) return Py_NewRef(operand);
        ran = true;
        PyObject* key = nullptr;
        const Fast found = root_field(operand, key);
        if (found == Fast::Done) {
            Ref held = Ref::borrow(key);
            return subscript(ctx, key);
        }
        if (found == Fast::Failed) return nullptr;
        Ref held = Ref::borrow(operand);
        return call(operand, &ctx, 1);
    }
    // self.<field `index`> resolved for ctx when self's fields are not at hand (kept out of line).
    [[gnu::noinline, gnu::cold]] PyObject* operand_value_general(PyObject* self, Kind kind, int index, PyObject* ctx) {
        return resolve_field(self, kind, index, ctx);
    }
    // `self.x(ctx) if callable(self.x) else self.x`, read as written: once to ask whether it is
    // callable, once more for what is called or used (a property named like the field sees both).
    PyObject* resolve_field(PyObject* self, Kind kind, int index, PyObject* ctx) {
        bool callable;
        {
            Ref asked = read(self, kind, index);
            if (!asked) return nullptr;
            callable = Py_TYPE(asked.get())->tp_call != nullptr;
        }
        Ref operand = read(self, kind, index);
        if (!operand) return nullptr;
        return callable ? call(operand.get(), &ctx, 1) : operand.release();
    }
    PyObject* uniexpr(PyObject* self, PyObject* ctx, bool direct);
    // The rest of a UniExpr's evaluation once its operand's value is known; `f`: self's fields as
    // they are now (fields()), or null to read them the general way (no exception is set).
    PyObject* uniexpr_apply(PyObject* self, PyObject* value, PyObject* const* f);
    PyObject* binexpr(PyObject* self, PyObject* ctx, bool direct);
    // The rest of a BinExpr's evaluation once its left operand's value is known, and once both
    // are; `f` as for uniexpr_apply.
    PyObject* binexpr_right(PyObject* self, PyObject* ctx, PyObject* left, PyObject* const* f);
    PyObject* binexpr_apply(PyObject* self, PyObject* left, PyObject* right, PyObject* const* f);
    // self.op read the general way and applied to left and right.
    [[gnu::noinline, gnu::cold]] PyObject* binexpr_general_op(PyObject* self, PyObject* left, PyObject* right);
    PyObject* path(PyObject* self, PyObject* ctx, bool direct);
    PyObject* parent_value(PyObject* parent, PyObject* ctx);
    PyObject* path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
    PyObject* funcpath(PyObject* self, PyObject* arg, bool direct);
    // The rest of a bound FuncPath's evaluation once its operand's value is known: its function
    // read and applied; `f` as for uniexpr_apply.
    PyObject* funcpath_apply(PyObject* self, PyObject* value, PyObject* const* f);
};

inline PyObject* Evaluator::call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    // Exact, unmodified classes are evaluated here instead of through a call.
    PyTypeObject* tp = Py_TYPE(callable);
    const auto& types = st->types;
    if (nargs >= 1) {
        if (tp == types[kBinExprKind] && is_plain(st, kBinExprKind)) return binexpr(callable, args[0], true);
        if (tp == types[kPathKind] && is_plain(st, kPathKind)) return path(callable, args[0], true);
        if (tp == types[kFuncPathKind] && is_plain(st, kFuncPathKind)) return funcpath(callable, args[0], true);
        if (tp == types[kUniExprKind] && is_plain(st, kUniExprKind)) return uniexpr(callable, args[0], true);
    }
    if (tp == types[kPath2Kind] && is_plain(st, kPath2Kind)) return path2(callable, args, nargs);
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

PyObject* Evaluator::uniexpr(PyObject* self, PyObject* ctx, bool direct) {
    DepthGuard guard(thread(), kEvalExpr, depth);
    if (!guard) return nullptr;
    PyObject* const* f = nullptr;
    if (direct && fields(self, kUniExprKind, f) == Fast::Failed) return nullptr;
    bool ran = false;
    Ref value(f != nullptr ? operand_value(f[1], ctx, ran) : operand_value_general(self, kUniExprKind, 1, ctx));
    if (!value) return nullptr;
    // The operator is read once the operand is resolved, as the steps are ordered.
    if (f != nullptr && ran && fields(self, kUniExprKind, f) == Fast::Failed) return nullptr;
    return uniexpr_apply(self, value.get(), f);
}

PyObject* Evaluator::uniexpr_apply(PyObject* self, PyObject* value, PyObject* const* f) {
    // An original read straight from the node is known by identity before any code runs: it need
    // not be held.
    if (f != nullptr) {
        const int index = original_index(st, self, f[0]);
        if (index >= 0 && is_unary(index)) return apply_original_unary(static_cast<Op>(index), value).release();
    }
    Ref op = read(self, kUniExprKind, 0);
    if (!op) return nullptr;
    return apply_unary(st, self, op.get(), value).release();
}

PyObject* Evaluator::binexpr(PyObject* self, PyObject* ctx, bool direct) {
    DepthGuard guard(thread(), kEvalExpr, depth);
    if (!guard) return nullptr;
    PyObject* const* f = nullptr;
    if (direct && fields(self, kBinExprKind, f) == Fast::Failed) return nullptr;
    // Whatever may have run code sends the fields to be asked for again; a constant does not.
    bool ran = false;
    Ref left(f != nullptr ? operand_value(f[1], ctx, ran) : operand_value_general(self, kBinExprKind, 1, ctx));
    if (!left) return nullptr;
    if (f != nullptr && ran && fields(self, kBinExprKind, f) == Fast::Failed) return nullptr;
    return binexpr_right(self, ctx, left.get(), f);
}

PyObject* Evaluator::binexpr_right(PyObject* self, PyObject* ctx, PyObject* left, PyObject* const* f) {
    bool ran = false;
    Ref right(f != nullptr ? operand_value(f[2], ctx, ran) : operand_value_general(self, kBinExprKind, 2, ctx));
    if (!right) return nullptr;
    // Left before right, both before the operator is read and applied.
    if (f != nullptr && ran && fields(self, kBinExprKind, f) == Fast::Failed) return nullptr;
    return binexpr_apply(self, left, right.get(), f);
}

PyObject* Evaluator::binexpr_apply(PyObject* self, PyObject* left, PyObject* right, PyObject* const* f) {
    if (f != nullptr) {
        const int index = original_index(st, self, f[0]);
        if (index >= 0 && !is_unary(index)) {
            // The commonest cases, without the dispatch; one call site per slot, so that each
            // indirect call keeps to one target.
            if (same_builtin_number(left, right)) {
                PyNumberMethods* nb = Py_TYPE(left)->tp_as_number;
                if (index == kAddOp) return nb->nb_add(left, right);
                if (index == kSubOp) return nb->nb_subtract(left, right);
                if (index == kMulOp) return nb->nb_multiply(left, right);
            }
            return apply_original_binary(static_cast<Op>(index), left, right).release();
        }
    }
    return binexpr_general_op(self, left, right);
}

PyObject* Evaluator::binexpr_general_op(PyObject* self, PyObject* left, PyObject* right) {
    Ref op = read(self, kBinExprKind, 0);
    if (!op) return nullptr;
    return apply_binary(st, self, op.get(), left, right).release();
}

// The value of a path's parent for `ctx`: a root parent (this, obj_) gives the context itself,
// another exact path is evaluated in place, anything else is called. Only the last two recurse,
// so only they are charged a level.
PyObject* Evaluator::parent_value(PyObject* parent, PyObject* ctx) {
    PyObject* const* f = nullptr;
    const Fast plain = fields(parent, kPathKind, f);
    if (plain == Fast::Failed) return nullptr;
    if (plain == Fast::Done) {
        if (f[2] == Py_None) return Py_NewRef(ctx);
        DepthGuard guard(thread(), kEvalPath, depth);
        if (!guard) return nullptr;
        return path(parent, ctx, true);
    }
    DepthGuard guard(thread(), kEvalPath, depth);
    if (!guard) return nullptr;
    return call(parent, &ctx, 1);
}

PyObject* Evaluator::path(PyObject* self, PyObject* ctx, bool direct) {
    // ctx[field] for a path over a root path, with the parent only looked at (no code runs until
    // the subscript, and the field is held across that).
    PyObject* const* f = nullptr;
    if (direct && fields(self, kPathKind, f) == Fast::Failed) return nullptr;
    if (f != nullptr) {
        PyObject* parent = f[2];
        if (parent == Py_None) return Py_NewRef(ctx);
        PyObject* const* pf = nullptr;
        if (fields(parent, kPathKind, pf) == Fast::Failed) return nullptr;
        if (pf != nullptr && pf[2] == Py_None) {
            if (fields(self, kPathKind, f) == Fast::Failed) return nullptr;
            if (f != nullptr) {
                Ref key = Ref::borrow(f[1]);
                return subscript(ctx, key.get());
            }
        }
    }
    // `if self.__parent is None: ...`, then `self.__parent(obj)`: two reads.
    if (Ref asked = read(self, kPathKind, 2); !asked) {
        return nullptr;
    } else if (asked.get() == Py_None) {
        return Py_NewRef(ctx);
    }
    Ref parent = read(self, kPathKind, 2);
    if (!parent) return nullptr;
    Ref value(parent_value(parent.get(), ctx));
    if (!value) return nullptr;
    Ref key = read(self, kPathKind, 1);
    if (!key) return nullptr;
    return subscript(value.get(), key.get());
}

PyObject* Evaluator::path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    DepthGuard guard(thread(), kEvalPath, depth);
    if (!guard) return nullptr;
    // As for Path: the parent is read to be tested, and again to be called.
    if (Ref asked = read(self, kPath2Kind, 2); !asked) {
        return nullptr;
    } else if (asked.get() == Py_None) {
        // args[1]: the list follows the context.
        if (nargs < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return nullptr;
        }
        return Py_NewRef(args[1]);
    }
    Ref parent = read(self, kPath2Kind, 2);
    if (!parent) return nullptr;
    Ref value(call(parent.get(), args, nargs));
    if (!value) return nullptr;
    Ref index = read(self, kPath2Kind, 1);
    if (!index) return nullptr;
    return subscript(value.get(), index.get());
}

PyObject* Evaluator::funcpath(PyObject* self, PyObject* arg, bool direct) {
    DepthGuard guard(thread(), kEvalFuncPath, depth);
    if (!guard) return nullptr;
    PyObject* const* f = nullptr;
    if (direct && fields(self, kFuncPathKind, f) == Fast::Failed) return nullptr;
    if (f != nullptr && f[1] != Py_None) {
        bool ran = false;
        Ref value(operand_value(f[1], arg, ran));
        if (!value) return nullptr;
        // The function is read once the operand is resolved, as the steps are ordered.
        if (ran && fields(self, kFuncPathKind, f) == Fast::Failed) return nullptr;
        return funcpath_apply(self, value.get(), f);
    }
    if (Ref operand = read(self, kFuncPathKind, 1); !operand) {
        return nullptr;
    } else if (operand.get() == Py_None) {
        // Unbound: bind to a callable argument, hand anything else back untouched.
        if (Py_TYPE(arg)->tp_call == nullptr) return Py_NewRef(arg);
        Ref cls = module_global(st, kFuncPath);
        if (!cls) return nullptr;
        Ref func = read(self, kFuncPathKind, 0);
        if (!func) return nullptr;
        return construct(st, kFuncPathKind, cls.get(), {func.get(), arg}).release();
    }
    // Bound: the operand is read again to be resolved, as the method reads it.
    Ref value(resolve_field(self, kFuncPathKind, 1, arg));
    if (!value) return nullptr;
    f = nullptr;
    if (direct && fields(self, kFuncPathKind, f) == Fast::Failed) return nullptr;
    return funcpath_apply(self, value.get(), f);
}

PyObject* Evaluator::funcpath_apply(PyObject* self, PyObject* value, PyObject* const* f) {
    if (f != nullptr) {
        // Read straight from the node, with no code run since: applied before anything else runs.
        PyObject* func = f[0];
        if (func == st->builtin_len && func != nullptr) {
            // An exact list's length is its size, as list's own length slot answers.
            if (PyList_CheckExact(value)) return PyLong_FromSsize_t(PyList_GET_SIZE(value));
            const Py_ssize_t size = PyObject_Size(value);
            return size < 0 ? nullptr : PyLong_FromSsize_t(size);
        }
        Ref held = Ref::borrow(func);
        return apply_function(st, func, value).release();
    }
    Ref func = read(self, kFuncPathKind, 0);
    if (!func) return nullptr;
    return apply_function(st, func.get(), value).release();
}

Evaluator evaluator(ModuleState* st) { return Evaluator{st, nullptr}; }

// ---------------------------------------------------------------------------------------------
// Evaluation from a plan (plan.hpp). Each step does what evaluating its node or operand does, in
// the same order, with what the plan wrote down in place of reading the node. Before it uses what
// was written down of its node (when it begins, and again after anything that may have run code),
// a step checks that it still holds; a step that finds it does not finishes the way the evaluator
// does, reading the fields afresh. Each node a step works on is held for the step, as the
// evaluator holds the operands it calls.

class PlanRun {
public:
    PlanRun(Evaluator& ev, const Plan& plan, PyObject* ctx) : ev_(ev), plan_(plan), ctx_(ctx) {}

    // The value of the root step, whose node the caller found current.
    PyObject* root() { return binary(plan_.steps[0], 0); }

private:
    enum Role { kAsOperand, kAsPathParent };

    // The value of step `i`, a new reference (null with the exception set). `role` says how the
    // node that holds this step's operand evaluates it, should the step find its node changed.
    PyObject* value(std::size_t i, Role role) {
        const PlanStep& s = plan_.steps[i];
        switch (s.tag) {
            case PlanStep::kConst: return Py_NewRef(s.object);
            case PlanStep::kResolve: {
                Ref held = Ref::borrow(s.object);
                return ev_.resolve(s.object, ctx_);
            }
            case PlanStep::kCall: {
                // An operand whose class was assigned since may no longer be callable; a path's
                // parent is called whatever it is.
                Ref held = Ref::borrow(s.object);
                return role == kAsOperand ? ev_.resolve(s.object, ctx_) : ev_.call(s.object, &ctx_, 1);
            }
            case PlanStep::kContext:
                if (!current(s)) return changed_operand(s.node.node, role);
                return Py_NewRef(ctx_);
            case PlanStep::kCtxItem:
                if (!current(s)) return changed_operand(s.node.node, role);
                return context_item(s);
            case PlanStep::kFunc: {
                if (!current(s)) return changed_operand(s.node.node, role);
                Ref held = Ref::borrow(s.object);
                return func(s, i);
            }
            case PlanStep::kPathItem: {
                if (!current(s)) return changed_operand(s.node.node, role);
                // The steps that finish their node the evaluator's way once it changed need it alive.
                Ref held = Ref::borrow(s.object);
                return path_item(s, i);
            }
            case PlanStep::kBinary: {
                if (!current(s)) return changed_operand(s.node.node, role);
                Ref held = Ref::borrow(s.object);
                return binary(s, i);
            }
            case PlanStep::kUnary: {
                if (!current(s)) return changed_operand(s.node.node, role);
                Ref held = Ref::borrow(s.object);
                return unary(s, i);
            }
        }
        return nullptr;
    }

    // value(i, kAsOperand), with the commonest leaves (constants, this.x) taken without a call.
    [[gnu::always_inline]] PyObject* operand(std::size_t i) {
        const PlanStep& s = plan_.steps[i];
        if (s.tag == PlanStep::kConst) return Py_NewRef(s.object);
        if (s.tag == PlanStep::kCtxItem && current(s)) return context_item(s);
        return value(i, kAsOperand);
    }

    [[gnu::always_inline]] PyObject* context_item(const PlanStep& s) {
        Ref key = Ref::borrow(s.value);
        return subscript(ctx_, key.get());
    }

    bool current(const PlanStep& s) const { return step_current(plan_, s); }

    // The ways a step finishes once its node changed (kept out of the steps themselves).
    [[gnu::noinline, gnu::cold]] PyObject* changed_operand(PyObject* node, Role role) {
        Ref held = Ref::borrow(node);
        if (role == kAsPathParent) return ev_.parent_value(node, ctx_);
        bool ran = false;
        return ev_.operand_value(node, ctx_, ran);
    }
    [[gnu::noinline, gnu::cold]] PyObject* changed_key(PyObject* node, PyObject* parent) {
        Ref key = ev_.read(node, kPathKind, 1);
        if (!key) return nullptr;
        return subscript(parent, key.get());
    }
    [[gnu::noinline, gnu::cold]] PyObject* changed_binary_right(PyObject* node, PyObject* left) {
        PyObject* const* f = nullptr;
        if (ev_.fields(node, kBinExprKind, f) == Fast::Failed) return nullptr;
        return ev_.binexpr_right(node, ctx_, left, f);
    }
    [[gnu::noinline, gnu::cold]] PyObject* changed_binary_op(PyObject* node, PyObject* left, PyObject* right) {
        PyObject* const* f = nullptr;
        if (ev_.fields(node, kBinExprKind, f) == Fast::Failed) return nullptr;
        return ev_.binexpr_apply(node, left, right, f);
    }
    [[gnu::noinline, gnu::cold]] PyObject* changed_unary_op(PyObject* node, PyObject* value) {
        PyObject* const* f = nullptr;
        if (ev_.fields(node, kUniExprKind, f) == Fast::Failed) return nullptr;
        return ev_.uniexpr_apply(node, value, f);
    }
    [[gnu::noinline, gnu::cold]] PyObject* changed_func(PyObject* node, PyObject* value) {
        PyObject* const* f = nullptr;
        if (ev_.fields(node, kFuncPathKind, f) == Fast::Failed) return nullptr;
        return ev_.funcpath_apply(node, value, f);
    }

    PyObject* path_item(const PlanStep& s, std::size_t i) {
        Ref parent(value(i + 1, kAsPathParent));
        if (!parent) return nullptr;
        if (!current(s)) return changed_key(s.object, parent.get());
        Ref key = Ref::borrow(s.value);
        return subscript(parent.get(), key.get());
    }

    PyObject* binary(const PlanStep& s, std::size_t i) {
        Ref left(operand(i + 1));
        if (!left) return nullptr;
        if (!current(s)) return changed_binary_right(s.object, left.get());
        Ref right(operand(s.rhs));
        if (!right) return nullptr;
        if (!current(s)) return changed_binary_op(s.object, left.get(), right.get());
        PyObject* a = left.get();
        PyObject* b = right.get();
        if (s.op >= 0) {
            if (same_builtin_number(a, b)) {
                PyNumberMethods* nb = Py_TYPE(a)->tp_as_number;
                if (s.op == kAddOp) return nb->nb_add(a, b);
                if (s.op == kSubOp) return nb->nb_subtract(a, b);
                if (s.op == kMulOp) return nb->nb_multiply(a, b);
            }
            return apply_original_binary(static_cast<Op>(s.op), a, b).release();
        }
        Ref fn = Ref::borrow(s.value);
        PyObject* args[] = {a, b};
        return PyObject_Vectorcall(fn.get(), args, 2, nullptr);
    }

    PyObject* unary(const PlanStep& s, std::size_t i) {
        Ref value(operand(i + 1));
        if (!value) return nullptr;
        if (!current(s)) return changed_unary_op(s.object, value.get());
        if (s.op >= 0) return apply_original_unary(static_cast<Op>(s.op), value.get()).release();
        Ref fn = Ref::borrow(s.value);
        return PyObject_CallOneArg(fn.get(), value.get());
    }

    // The function is the one the node holds once its operand is resolved.
    PyObject* func(const PlanStep& s, std::size_t i) {
        Ref value(operand(i + 1));
        if (!value) return nullptr;
        if (!current(s)) return changed_func(s.object, value.get());
        if (s.value == ev_.st->builtin_len && PyList_CheckExact(value.get())) {
            return PyLong_FromSsize_t(PyList_GET_SIZE(value.get()));
        }
        Ref fn = Ref::borrow(s.value);
        return apply_function(ev_.st, fn.get(), value.get()).release();
    }

    Evaluator& ev_;
    const Plan& plan_;
    PyObject* ctx_;
};

// `self`, an exact, plain BinExpr evaluated for ctx: from its plan when it has a current one (made
// now when it can be), else by the evaluator.
PyObject* eval_root_binexpr(ModuleState* st, PyObject* self, PyObject* ctx) {
    // A plan walks at most Plan::kMaxDepth levels, so one run needs no recursion guard of its own.
    // An evaluation started while a run is under way (through code a step ran, which could be this
    // very tree again, or in another thread) is left to the evaluator, which charges every level it
    // walks: recursion through trees meets the interpreter's limit as early as it always did, and
    // no plan is made or dropped while one is followed.
    if (st->plan_runs != 0) return evaluator(st).binexpr(self, ctx, true);
    auto* node = reinterpret_cast<ExprObject*>(self);
    Plan* plan = node->plan;
    if (plan != nullptr && !step_current(*plan, plan->steps[0])) {
        node->plan = nullptr;
        free_plan(plan);
        plan = nullptr;
    }
    if (plan == nullptr && node->plan_tried != st->nodes.refills() + 1) {
        plan = node->plan = make_plan(st, self);
        if (plan == nullptr) node->plan_tried = st->nodes.refills() + 1;
    }
    if (plan == nullptr) return evaluator(st).binexpr(self, ctx, true);
    Evaluator ev{st, nullptr};
    ++st->plan_runs;
    PyObject* result = PlanRun(ev, *plan, ctx).root();
    --st->plan_runs;
    return result;
}

}  // namespace

int original_index(ModuleState* st, PyObject* fn) {
    for (int i = 0; i < kOpCount; ++i) {
        if (st->originals[i] == fn) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Entry points: a call of a node from outside starts one inline evaluation.

Ref call_with(ModuleState* st, PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    return Ref(evaluator(st).call(callable, args, nargs));
}

Ref resolve(ModuleState* st, PyObject* operand, PyObject* ctx) { return Ref(evaluator(st).resolve(operand, ctx)); }

PyObject* eval_uniexpr(ModuleState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).uniexpr(self, ctx, direct);
}
PyObject* eval_binexpr(ModuleState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).binexpr(self, ctx, direct);
}

PyObject* binexpr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_call == binexpr_call && kwnames == nullptr && PyVectorcall_NARGS(nargsf) >= 1) {
        if (ModuleState* st = state_of_type(tp)) {
            if (tp == st->types[kBinExprKind] && is_plain(st, kBinExprKind)) return eval_root_binexpr(st, self, args[0]);
            return evaluator(st).binexpr(self, args[0], false);
        }
    }
    return binexpr_vectorcall_general(self, args, nargsf, kwnames);
}
PyObject* eval_path(ModuleState* st, PyObject* self, PyObject* ctx, bool direct) {
    return evaluator(st).path(self, ctx, direct);
}
// Path2 reads its fields the general way only: whether the class is plain is asked at each read.
PyObject* eval_path2(ModuleState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool /*direct*/) {
    return evaluator(st).path2(self, args, nargs);
}
PyObject* eval_funcpath(ModuleState* st, PyObject* self, PyObject* arg, bool direct) {
    return evaluator(st).funcpath(self, arg, direct);
}

}  // namespace qelo::expr
