// qelo.expr: evaluation of nodes.
#pragma once

#include "state.hpp"
#include "ref.hpp"

namespace qelo::expr {

Ref resolve(ModuleState* st, PyObject* operand, PyObject* ctx);  // callable ? operand(ctx) : operand
Ref call_with(ModuleState* st, PyObject* callable, PyObject* const* args, Py_ssize_t nargs);
// `direct`: self is of the exact, plain class (exact_plain), so its fields are read from its dict.
// The value is a new reference (null with the exception set), as a call slot returns it.
PyObject* eval_uniexpr(ModuleState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_binexpr(ModuleState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_path(ModuleState* st, PyObject* self, PyObject* ctx, bool direct);
PyObject* eval_path2(ModuleState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, bool direct);
PyObject* eval_funcpath(ModuleState* st, PyObject* self, PyObject* arg, bool direct);
// The index of `fn` among the originals, -1 when it is none of them.
int original_index(ModuleState* st, PyObject* fn);

}  // namespace qelo::expr
