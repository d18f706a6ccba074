// qelo.expr: the text forms of nodes.
#pragma once

#include "state.hpp"
#include "ref.hpp"

namespace qelo::expr {

// repr (as_repr) or str of a node of one of the six classes, written in one pass over every
// exact, plain node below it (text.cpp).
PyObject* node_text(ModuleState* st, PyObject* self, Kind kind, bool as_repr);
// opnames[op], with opnames found in the module namespace now.
Ref symbol_of(ModuleState* st, PyObject* op);
// Drops the text caches (module clear).
void clear_text_caches(ModuleState* st);

}  // namespace qelo::expr
