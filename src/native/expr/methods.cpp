// qelo.expr: the class of the methods the node classes define by name.
//
// A method descriptor of the C API takes `self` only by position. These objects behave as the
// functions of a class body instead: `ExprMixin.__add__(self=e, other=5)` works, `e.__add__`
// is a bound method, and every parameter can be given by position or by keyword.
#include "methods.hpp"
#include "classes.hpp"
#include "members.hpp"

#include <cstddef>

namespace qelo::expr {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* entry;
    PyObject* module;  // owned: the module whose state the method works with
};

MethodObject* as_method(PyObject* self) { return reinterpret_cast<MethodObject*>(self); }

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const MethodSpec* entry = as_method(callable)->entry;
    const Signature& sig = entry->sig;
    auto* st = state_of(as_method(callable)->module);
    if (st == nullptr) return nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* values[4] = {nullptr, nullptr, nullptr, nullptr};
    PyObject* const* rest = nullptr;
    Py_ssize_t nrest = 0;
    if (kwnames == nullptr && nargs >= sig.nrequired && nargs <= sig.nparams) {
        // The usual call, all by position: nothing to check.
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    } else {
        if (!parse_args(sig, args, nargs, kwnames, values)) return nullptr;
        if (nargs > sig.nparams) {
            rest = args + sig.nparams;
            nrest = nargs - sig.nparams;
        }
    }
    return entry->impl(st, values, rest, nrest);
}

// A function of a class body binds to the instance it is read from, and is itself when read
// from the class.
PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_method(self)->entry->sig.name, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_method(self)->module);
    return 0;
}

int method_clear(PyObject* self) {
    Py_CLEAR(as_method(self)->module);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* method_name(PyObject* self, void*) { return PyUnicode_FromString(as_method(self)->entry->name); }
PyObject* method_qualname(PyObject* self, void*) { return PyUnicode_FromString(as_method(self)->entry->sig.name); }
PyObject* method_module(PyObject*, void*) { return PyUnicode_FromString("qelo.expr"); }
PyObject* method_doc(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference, as a function of a class is: the qualified name within the module.
PyObject* method_reduce(PyObject* self, PyObject*) { return method_qualname(self, nullptr); }

PyGetSetDef method_getset[] = {
    {"__name__", method_name, nullptr, nullptr, nullptr},
    {"__qualname__", method_qualname, nullptr, nullptr, nullptr},
    {"__module__", method_module, nullptr, nullptr, nullptr},
    {"__doc__", method_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", QELO_T_PYSSIZET, offsetof(MethodObject, vectorcall), QELO_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_getset, method_getset},
    {Py_tp_methods, method_methods},
    {Py_tp_members, method_members},
    {0, nullptr},
};

// METHOD_DESCRIPTOR: `node.__add__(x)` calls the method with the node first, without making a
// bound method, exactly as for a Python function.
PyType_Spec method_spec = {
    "qelo.expr.method", sizeof(MethodObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    method_slots,
};

}  // namespace

bool create_method_type(PyObject* module, ModuleState* st) {
    PyObject* type = PyType_FromModuleAndSpec(module, &method_spec, nullptr);
    if (type == nullptr) return false;
    st->method_type = reinterpret_cast<PyTypeObject*>(type);
    return true;
}

Ref make_method(ModuleState* st, const MethodSpec* entry) {
    PyTypeObject* tp = st->method_type;
    auto* self = PyObject_GC_New(MethodObject, tp);
    if (self == nullptr) return Ref();  // (PyObject_Init took the reference to the class)
    self->vectorcall = method_vectorcall;
    self->entry = entry;
    self->module = Py_NewRef(st->module);
    PyObject_GC_Track(self);
    return Ref(reinterpret_cast<PyObject*>(self));
}

bool install_methods(ModuleState* st, PyTypeObject* type, const MethodSpec* specs, std::size_t count) {
    Ref dict = compat::type_dict(type);
    if (!dict) return false;
    for (std::size_t i = 0; i < count; ++i) {
        Ref method = make_method(st, &specs[i]);
        if (!method || PyDict_SetItemString(dict.get(), specs[i].name, method.get()) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace qelo::expr
