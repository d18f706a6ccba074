// qelo.expr: the methods the classes define by name.
#pragma once

#include "state.hpp"
#include "args.hpp"
#include "ref.hpp"

#include <cstddef>

namespace qelo::expr {

// Named methods (methods.cpp). Every method the classes define by name is an object of one small
// class that binds to instances as a Python function does and takes all of its parameters,
// `self` included, by position or by keyword. The slots stay the C functions, so operators and
// calls on the module's own classes never go through these objects.

// impl(state, values): values[0] is self, then the parameters in order (null where an optional
// one was not given); `rest`/`nrest` are surplus positional arguments when the method has *args.
using MethodImpl = PyObject* (*)(ModuleState* st, PyObject* const* values, PyObject* const* rest, Py_ssize_t nrest);
struct MethodSpec {
    const char* name;      // __add__
    Signature sig;         // display name "ExprMixin.__add__", parameters "self", "other"
    MethodImpl impl;
};
struct MethodTable {
    const MethodSpec* specs;
    std::size_t count;
};
// The methods each class defines by name (nodes.cpp, paths.cpp).
MethodTable node_method_table(Kind kind);  // ExprMixin, UniExpr, BinExpr
MethodTable path_method_table(Kind kind);  // Path, Path2, FuncPath
inline MethodTable method_table(Kind kind) {
    return kind == kPathKind || kind == kPath2Kind || kind == kFuncPathKind ? path_method_table(kind) : node_method_table(kind);
}
bool create_method_type(PyObject* module, ModuleState* st);
// The method object for `entry` (a new reference).
Ref make_method(ModuleState* st, const MethodSpec* entry);
// Puts methods into a class's own dict as a class body would (the slots are left as they are).
bool install_methods(ModuleState* st, PyTypeObject* type, const MethodSpec* specs, std::size_t count);

}  // namespace qelo::expr
