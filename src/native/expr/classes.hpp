// qelo.expr: the slots of the six classes and the call and init entries they share.
#pragma once

#include "state.hpp"
#include "args.hpp"
#include "compat.hpp"
#include "ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace qelo::expr {

// BinExpr's vectorcall entry: the usual call (BinExpr's own __call__, one or more positional
// arguments and no keywords, a node whose class is one of this module's) is evaluated in the
// entry itself; anything else goes to binexpr_vectorcall_general (parsing, errors, a reassigned
// __call__, subclasses defined elsewhere).
PyObject* binexpr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* binexpr_vectorcall_general(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Slot functions compared against to keep fast paths honest.
PyObject* uniexpr_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* binexpr_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path2_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* funcpath_call(PyObject* self, PyObject* args, PyObject* kwargs);
int uniexpr_init(PyObject* self, PyObject* args, PyObject* kwargs);
int binexpr_init(PyObject* self, PyObject* args, PyObject* kwargs);
int path_init(PyObject* self, PyObject* args, PyObject* kwargs);
int path2_init(PyObject* self, PyObject* args, PyObject* kwargs);
int funcpath_init(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path_getattro(PyObject* self, PyObject* name);
PyObject* uniexpr_repr(PyObject* self);
PyObject* uniexpr_str(PyObject* self);
PyObject* binexpr_repr(PyObject* self);
PyObject* binexpr_str(PyObject* self);
PyObject* path_repr(PyObject* self);
PyObject* path_str(PyObject* self);
PyObject* path2_repr(PyObject* self);
PyObject* funcpath_repr(PyObject* self);
PyObject* funcpath_str(PyObject* self);

// Type specs (nodes.cpp, paths.cpp).
extern PyType_Spec exprmixin_spec, uniexpr_spec, binexpr_spec, path_spec, path2_spec, funcpath_spec;

// parse_args for (obj, *args) signatures, with the usual call (one or more positional arguments
// and no keywords) decided without the parser.
inline bool parse_obj_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           PyObject** obj) {
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) >= 1) {
        *obj = args[0];
        return true;
    }
    return parse_args(sig, args, nargs, kwnames, obj);
}

// A call made through the class's current tp_call (a reassigned __call__), for vectorcall entries.
inline PyObject* call_via_slot(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    ternaryfunc call = Py_TYPE(self)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not callable", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    Ref tuple(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(args[i]).release());
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
        }
    }
    return call(self, tuple.get(), kwargs.get());
}

using CallImpl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <CallImpl Impl>
PyObject* tp_call_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_fastcall(args, kwargs, [self](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        return Impl(self, stack, nargs, kwnames);
    });
}

// Honours a __call__ reassigned on the class (3.11 keeps the vectorcall flag when that happens).
template <CallImpl Impl, ternaryfunc TpCall>
PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_TYPE(self)->tp_call != TpCall) return call_via_slot(self, args, nargsf, kwnames);
    return Impl(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// __call__ of a class evaluated for one argument (obj, by position or keyword): the parameters
// parsed, then eval(state, self, obj, direct), direct when self is of the exact, plain class.
using EvalOne = PyObject* (*)(ModuleState* st, PyObject* self, PyObject* obj, bool direct);
template <const Signature& Sig, Kind K, EvalOne Eval>
PyObject* call_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* obj = nullptr;
    if (!parse_obj_args(Sig, args, nargs, kwnames, &obj)) return nullptr;
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return Eval(st, self, obj, exact_plain(st, self, K));
}

// tp_alloc of the callable classes: every instance, however made, gets its vectorcall pointer.
template <vectorcallfunc Vectorcall>
PyObject* node_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    PyObject* self = PyType_GenericAlloc(type, nitems);
    if (self != nullptr) reinterpret_cast<ExprObject*>(self)->vectorcall = Vectorcall;
    return self;
}

inline constexpr unsigned long kNodeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
inline constexpr unsigned long kCallableFlags = kNodeFlags | Py_TPFLAGS_HAVE_VECTORCALL;

// getattr(obj, name, <absent>): false on error, `out` left empty when the attribute is missing.
inline bool optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    return compat::get_optional_attr(obj, name, out) >= 0;
}

// __init__ of a node class: self.<field> = value for each field, in order, as setattr does it.
inline bool set_fields(PyObject* self, ModuleState* st, std::initializer_list<std::pair<Name, PyObject*>> fields) {
    for (const auto& [name, value] : fields) {
        if (PyObject_SetAttr(self, st->name(name), value) < 0) return false;
    }
    return true;
}

// tp_init of a node class: the parameters parsed (self given), then store(state, values).
template <const Signature& Sig, std::size_t N, typename Store>
int init_entry(PyObject* self, PyObject* args, PyObject* kwargs, Store store) {
    return with_fastcall(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* values[N] = {};
        if (!parse_args(Sig, stack, nargs, kwnames, values)) return -1;
        ModuleState* st = require_state(self);
        if (st == nullptr) return -1;
        return store(st, values) ? 0 : -1;
    });
}

}  // namespace qelo::expr
