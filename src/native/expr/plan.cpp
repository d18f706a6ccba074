// qelo.expr: making evaluation plans (plan.hpp). Only what the field caches already hold is used,
// so making a plan runs no code and raises nothing.
#include "plan.hpp"
#include "eval.hpp"

#include <cstddef>
#include <cstring>

namespace qelo::expr {

namespace {

class PlanBuilder {
public:
    explicit PlanBuilder(ModuleState* st) : st_(st) {}

    bool root(PyObject* node) { return binary(node, 0); }

    // The plan in memory of its own, only as long as its steps need.
    Plan* finish() {
        const std::size_t size = offsetof(Plan, steps) + plan_.nsteps * sizeof(PlanStep);
        auto* plan = static_cast<Plan*>(PyMem_Malloc(size));
        if (plan == nullptr) return nullptr;  // a plan is optional: no MemoryError for want of one
        std::memcpy(static_cast<void*>(plan), &plan_, size);
        return plan;
    }

    PlanBuilder(const PlanBuilder&) = delete;
    PlanBuilder& operator=(const PlanBuilder&) = delete;

private:
    // The fields of `node` as its cache holds them, when it is of the exact, plain class `kind`
    // and the cache is current; null otherwise. Unlike plain_fields, never refreshes the cache.
    PyObject* const* cached(PyObject* node, Kind kind) const {
        PyTypeObject* tp = st_->types[kind];
        if (Py_TYPE(node) != tp || !st_->plain_classes[kind].holds(tp)) return nullptr;
        auto* n = reinterpret_cast<ExprObject*>(node);
        if (!n->fields.current_in(st_->nodes, n->dict, tp)) return nullptr;
        return n->fields.values.data();
    }

    NodeCheck check(PyObject* node, Kind kind) {
#if QELO_PLANS_BY_COUNT
        return NodeCheck{node, st_->types[kind]};
#else
        auto* n = reinterpret_cast<ExprObject*>(node);
        return NodeCheck{node, st_->plain_classes[kind], n->dict, n->fields.stamp};
#endif
    }

    // Appends a step written from `node` (null for the operand steps); its index, or -1 when the
    // plan is full.
    int step(PlanStep::Tag tag, PyObject* object, PyObject* value, Kind kind = kExprMixinKind, int op = -1) {
        if (plan_.nsteps == Plan::kMaxSteps) return -1;
        PlanStep& s = plan_.steps[plan_.nsteps];
        s = PlanStep{tag, static_cast<std::int8_t>(op), 0, object, value, {}, {}};
        if (tag >= PlanStep::kContext) s.node = check(object, kind);
        return plan_.nsteps++;
    }

    bool binary(PyObject* node, int depth) {
        PyObject* const* f = cached(node, kBinExprKind);
        if (f == nullptr) return false;
        const int index = original_index(st_, f[0]);
        const bool original = index >= 0 && index != kNotOp && index != kNegOp && index != kPosOp;
        const int at = step(PlanStep::kBinary, node, f[0], kBinExprKind, original ? index : -1);
        if (at < 0 || !operand(f[1], depth + 1)) return false;
        plan_.steps[at].rhs = plan_.nsteps;
        return operand(f[2], depth + 1);
    }

    bool unary(PyObject* node, PyObject* const* f, int depth) {
        const int index = original_index(st_, f[0]);
        const bool original = index == kNotOp || index == kNegOp || index == kPosOp;
        return step(PlanStep::kUnary, node, f[0], kUniExprKind, original ? index : -1) >= 0 && operand(f[1], depth + 1);
    }

    // A path's value: the context for a root path, ctx[field] when its parent is a root path, else
    // parent[field] with the parent's value planned as the evaluator finds a path's parent.
    bool path(PyObject* node, PyObject* const* f, int depth) {
        if (depth > Plan::kMaxDepth) return false;
        PyObject* parent = f[2];
        if (parent == Py_None) return step(PlanStep::kContext, node, nullptr, kPathKind) >= 0;
        if (PyObject* const* pf = cached(parent, kPathKind); pf != nullptr && pf[2] == Py_None) {
            const int at = step(PlanStep::kCtxItem, node, f[1], kPathKind);
            if (at < 0) return false;
            plan_.steps[at].parent = check(parent, kPathKind);
            return true;
        }
        if (step(PlanStep::kPathItem, node, f[1], kPathKind) < 0) return false;
        // A parent that is not a path of the plain class is called, whatever it is.
        if (PyObject* const* pf = cached(parent, kPathKind)) return path(parent, pf, depth + 1);
        return step(PlanStep::kCall, parent, nullptr) >= 0;
    }

    bool operand(PyObject* value, int depth) {
        if (depth > Plan::kMaxDepth) return false;
        PyTypeObject* tp = Py_TYPE(value);
        if (tp->tp_call == nullptr) {
            // Only an immutable class keeps its instances uncallable for good.
            const bool constant = PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE);
            return step(constant ? PlanStep::kConst : PlanStep::kResolve, value, nullptr) >= 0;
        }
        if (tp == st_->types[kBinExprKind] && cached(value, kBinExprKind) != nullptr) return binary(value, depth);
        if (PyObject* const* f = tp == st_->types[kPathKind] ? cached(value, kPathKind) : nullptr) return path(value, f, depth);
        if (PyObject* const* f = tp == st_->types[kUniExprKind] ? cached(value, kUniExprKind) : nullptr) {
            return unary(value, f, depth);
        }
        if (PyObject* const* f = tp == st_->types[kFuncPathKind] ? cached(value, kFuncPathKind) : nullptr) {
            // An unbound function path binds instead of applying: called as it is.
            if (f[1] != Py_None) {
                return step(PlanStep::kFunc, value, f[0], kFuncPathKind) >= 0 && operand(f[1], depth + 1);
            }
        }
        return step(PlanStep::kCall, value, nullptr) >= 0;
    }

    ModuleState* st_;
    Plan plan_{};
};

}  // namespace

Plan* make_plan(ModuleState* st, PyObject* root) {
#if QELO_PLANS_BY_COUNT
    if (!st->classes_watched) return nullptr;
#endif
    PlanBuilder builder(st);
    if (!builder.root(root)) return nullptr;
    Plan* plan = builder.finish();
#if QELO_PLANS_BY_COUNT
    if (plan != nullptr) plan->epoch = memo::Domain<memo::NodeDicts>::count();
#endif
    return plan;
}

void free_plan(Plan* plan) { PyMem_Free(plan); }

}  // namespace qelo::expr
