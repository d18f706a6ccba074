// qelo.expr: evaluation plans. A tree evaluated again and again is walked from a plan made of it
// once: every node's fields, the operator each one applies and how each operand is resolved,
// written down in the order evaluation visits them. A plan is followed only while it is current:
// every node still of its exact, plain class, with the same instance dict, unchanged since the plan
// was made (the field caches' own stamps say so), and no class of the module changed since. Then
// evaluating from the plan does exactly what evaluating the nodes would, without looking at them.
#pragma once

#include "state.hpp"
#include "fields.hpp"

#include <cstdint>

namespace qelo::expr {

// Whether the node-dict domain's count alone tells that no node dict and no class changed (its
// watcher route, with the classes watched); otherwise (dict tags) each node is checked.
#define QELO_PLANS_BY_COUNT QELO_DICT_WATCHERS
static_assert((memo::Domain<memo::NodeDicts>::kRoute == memo::Route::kWatcher) == (QELO_PLANS_BY_COUNT != 0));

// A node a plan relies on, and the class it must still have (by dict tags: and the class's
// version, and the dict, unchanged).
struct NodeCheck {
    PyObject* node;
#if QELO_PLANS_BY_COUNT
    PyTypeObject* type;
#else
    memo::ClassVersion type;
    PyObject* dict;
    std::uint64_t stamp;  // field_stamp of `dict` when the plan was made
#endif
};

struct PlanStep {
    enum Tag : std::uint8_t {
        kConst,      // `object`, an operand no call can make callable (its class is immutable)
        kResolve,    // `object` resolved as an operand (callable or not, asked at the time)
        kCall,       // `object` called with the context (a node or callable; as an operand, resolved)
        kContext,    // the context itself (the root path `node.node`)
        kCtxItem,   // ctx[value]: `node` a path straight over the root path `parent`, `value` its field
        kPathItem,  // parent[value]: `node` a path, the next step its parent's value
        kBinary,     // the next step and step `rhs` combined by the operator of `node`
        kUnary,      // the next step given to the operator of `node`
        kFunc,       // `value`, the function of function path `node`, applied to the next step
    };
    Tag tag;
    // kBinary/kUnary: the index of the original operator function the node holds, -1 when it holds
    // another function (`value`, called).
    std::int8_t op;
    std::uint16_t rhs;
    PyObject* object;  // kConst, kResolve, kCall: the operand
    PyObject* value;
    NodeCheck node;    // the steps from kContext on: the node the step was written from
    NodeCheck parent;  // kCtxItem
};

struct Plan {
    static constexpr std::size_t kMaxSteps = 64;
    static constexpr int kMaxDepth = 32;
    std::uint64_t epoch;  // the node-dict domain's count when the plan was made (by count)
    std::uint16_t nsteps;
    PlanStep steps[kMaxSteps];
};

// The plan of the tree below `root`, an exact, plain BinExpr; null (no error) when the tree cannot
// be planned now: a node whose field cache is not current (it is made current by evaluating the
// tree), a tree too large, or an interpreter without the stamps plans rely on (a portable build, or
// every watcher slot taken). Runs no code.
Plan* make_plan(ModuleState* st, PyObject* root);
void free_plan(Plan* plan);

// True while what step `s` wrote down of its node still holds, and the node is still of the class
// it had. By count (3.12+), the node-dict domain's count must not have moved since the plan was
// made: no node dict changed, no node was given another dict through its __dict__ setter, none of
// the module's classes changed (they count into it too). By dict tags (3.11), the node's class must
// have the same version, and its dict be the same one, with the same tag.
// The node is alive: the node whose fields hold it was found unchanged since any code last ran
// (the steps are checked in the order evaluation reaches them, root first, and the root is held by
// its caller).
[[gnu::always_inline]] inline bool node_unchanged(const NodeCheck& check) {
#if QELO_PLANS_BY_COUNT
    return Py_TYPE(check.node) == check.type;
#else
    PyObject* dict = reinterpret_cast<ExprObject*>(check.node)->dict;
    return check.type.holds(Py_TYPE(check.node)) && dict == check.dict &&
           memo::Domain<memo::NodeDicts>::stamp_of(dict) == check.stamp;
#endif
}

[[gnu::always_inline]] inline bool step_current(const Plan& plan, const PlanStep& s) {
#if QELO_PLANS_BY_COUNT
    if (plan.epoch != memo::Domain<memo::NodeDicts>::count()) return false;
#else
    (void)plan;
#endif
    return node_unchanged(s.node) && (s.tag != PlanStep::kCtxItem || node_unchanged(s.parent));
}

}  // namespace qelo::expr
