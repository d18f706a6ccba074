// Recognising the original helpers a fast path stands in for: "is this builtins.iter", "is this
// int.from_bytes", "is this the pack of a Struct('>B')". Modules ask at import, keep what was
// recognised in their state, and later compare by identity with what their namespace binds. Only
// C functions are recognised, by the C function behind them and the object they are bound to, so a
// Python function or a subclass' method of the same name never passes.
//
// Each returns 1 (recognised), 0 (not) or -1 with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.hpp"

namespace qelo::originals {

namespace detail {

// 1 when obj is a C function bound to `self` whose __name__ is `name`.
inline int is_c_function_of(PyObject* obj, PyObject* self, const char* name) {
    if (!PyCFunction_Check(obj) || PyCFunction_GET_SELF(obj) != self) return 0;
    Ref found(PyObject_GetAttrString(obj, "__name__"));
    if (!found) return -1;
    return PyUnicode_Check(found.get()) && PyUnicode_CompareWithASCIIString(found.get(), name) == 0 ? 1 : 0;
}

// 1 when a and b are C functions running the same C code.
inline int same_c_code(PyObject* a, PyObject* b) {
    return PyCFunction_Check(a) && PyCFunction_Check(b) && PyCFunction_GET_FUNCTION(a) == PyCFunction_GET_FUNCTION(b)
               ? 1
               : 0;
}

}  // namespace detail

// The built-in iter of this interpreter.
inline int is_builtin_iter(PyObject* obj) {
    if (!PyCFunction_Check(obj)) return 0;
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    Ref iter(PyObject_GetAttrString(builtins.get(), "iter"));
    if (!iter) return -1;
    if (obj != iter.get()) return 0;
    return detail::is_c_function_of(obj, builtins.get(), "iter");
}

// int.from_bytes, bound to int itself (not to a subclass, whose from_bytes builds the subclass).
inline int is_int_from_bytes(PyObject* obj) {
    auto* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    if (!PyCFunction_Check(obj) || PyCFunction_GET_SELF(obj) != int_type) return 0;
    Ref original(PyObject_GetAttrString(int_type, "from_bytes"));
    if (!original) return -1;
    return detail::same_c_code(obj, original.get());
}

// The C function `name` of the extension module `module` (binascii.hexlify, ...).
inline int is_module_function(PyObject* obj, PyObject* module, const char* name) {
    return detail::is_c_function_of(obj, module, name);
}

// The bound pack of an exact struct.Struct whose format is `format` now. A Struct can be
// re-initialised in place later; compat::StructFormatWatch tells when that happened.
inline int is_struct_pack(PyObject* obj, const char* format) {
    if (!PyCFunction_Check(obj)) return 0;
    PyObject* packer = PyCFunction_GET_SELF(obj);
    if (packer == nullptr) return 0;
    Ref struct_module(PyImport_ImportModule("struct"));
    if (!struct_module) return -1;
    Ref struct_type(PyObject_GetAttrString(struct_module.get(), "Struct"));
    if (!struct_type) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(packer)) != struct_type.get()) return 0;
    Ref fresh(PyObject_CallFunction(struct_type.get(), "s", format));
    if (!fresh) return -1;
    Ref fresh_pack(PyObject_GetAttrString(fresh.get(), "pack"));
    if (!fresh_pack) return -1;
    if (!detail::same_c_code(obj, fresh_pack.get())) return 0;
    Ref current(PyObject_GetAttrString(packer, "format"));
    if (!current) return -1;
    return PyUnicode_Check(current.get()) && PyUnicode_CompareWithASCIIString(current.get(), format) == 0 ? 1 : 0;
}

}  // namespace qelo::originals
