// qelo.expr: building nodes, and their traversal, clearing and freeing (with the pool of freed nodes).
#pragma once

#include "state.hpp"

#include <initializer_list>

namespace qelo::expr {

// A freed node of the exact class `kind` ready to be filled in (reference count one, untracked),
// or null (no error) when none is kept.
PyObject* reuse_spare(ModuleState* st, Kind kind);

// cls(*args), built directly when cls is still the exact, unmodified class `kind`. The arguments
// may be borrowed: they are held for the call when it runs code.
Ref construct(ModuleState* st, Kind kind, PyObject* cls, std::initializer_list<PyObject*> args);

// Shared type plumbing.
int node_traverse(PyObject* self, visitproc visit, void* arg);
int node_clear(PyObject* self);
void node_dealloc(PyObject* self);
extern PyMemberDef node_members[];
extern PyMemberDef callable_node_members[];
extern PyGetSetDef node_getset[];

// Whether freed nodes can be kept for reuse: every instance of the six classes has the same size and
// the dict and weak reference list at the offsets ExprObject gives them (checked once the classes exist).
bool spare_layout_holds(const ModuleState* st);
// Frees the nodes kept for reuse (module clear).
void free_spares(ModuleState* st);

}  // namespace qelo::expr
