// qelo.expr: Path, Path2 and FuncPath.
#include "expr.hpp"

namespace qelo::expr {

namespace {

PyObject* none_if_missing(PyObject* value) { return value != nullptr ? value : Py_None; }

// ---------------------------------------------------------------------------------------------
// Path

// Path(root name of self, name, self), with Path found in the module namespace now. Reading the
// root name of a path that lacks one asks __getattr__ again, so this recursion is guarded too.
Ref derive_path(ExprState* st, PyObject* self, PyObject* name) {
    RecursionGuard guard(" while deriving a path");
    if (!guard) return Ref();
    Ref cls = module_global(st, N_Path);
    if (!cls) return Ref();
    Ref root = read_slot(st, self, PATH, 0, exact_plain(st, self, PATH));
    if (!root) return Ref();
    return construct(st, PATH, cls.get(), {root.get(), name, self});
}

// What an ordinary class does once normal lookup failed: call the class's __getattr__.
PyObject* getattr_fallback(ExprState* st, PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    Ref hook = Ref::borrow(_PyType_Lookup(tp, st->name(N___getattr__)));
    if (hook.get() == st->path_getattr) return derive_path(st, self, name).release();
    if (!hook) return PyObject_GenericGetAttr(self, name);  // raises the AttributeError
    descrgetfunc get = Py_TYPE(hook.get())->tp_descr_get;
    Ref bound = get != nullptr ? Ref(get(hook.get(), self, reinterpret_cast<PyObject*>(tp))) : hook.dup();
    if (!bound) return nullptr;
    return PyObject_CallOneArg(bound.get(), name);
}

const char* const kPathParams[] = {"name", "field", "parent"};
const char* const kNameParam[] = {"name"};
const char* const kObjParam[] = {"obj"};

PyObject* path_getattr_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"Path.__getattr__", kNameParam, 1, 1, true};
    PyObject* name = nullptr;
    if (!parse_args(sig, args, nargs, kwnames, &name)) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return derive_path(st, self, name).release();
}

PyObject* path_getfield_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_no_args("Path.__getfield__", nargs, kwnames)) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return read_slot(st, self, PATH, 1, exact_plain(st, self, PATH)).release();
}

PyObject* path_subscript(PyObject* self, PyObject* name) {
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return derive_path(st, self, name).release();
}

PyObject* path_call_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"Path.__call__", kObjParam, 1, 1, true, true};
    PyObject* obj = nullptr;
    if (!parse_obj_args(sig, args, nargs, kwnames, &obj)) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return eval_path(st, self, obj, exact_plain(st, self, PATH));
}

// A root shows its bare name; a derived path shows its parent in the same form, then its field.
PyObject* path_text(PyObject* self, bool as_repr) {
    RecursionGuard guard(" while getting the text of a path");
    if (!guard) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    const bool direct = exact_plain(st, self, PATH);
    Ref parent = read_slot(st, self, PATH, 2, direct);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) return read_slot(st, self, PATH, 0, direct).release();
    Ref field = read_slot(st, self, PATH, 1, direct);
    if (!field) return nullptr;
    return PyUnicode_FromFormat(as_repr ? "%R.%S" : "%S[%R]", parent.get(), field.get());
}

PyObject* path_repr(PyObject* self) { return path_text(self, true); }
PyObject* path_str(PyObject* self) { return path_text(self, false); }

PyObject* path_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<path_call_impl, path_call>(self, args, nargsf, kwnames);
}

// __getitem__ by name too, so that it takes its parameter by keyword; the slot serves `p[k]`.
PyObject* path_getitem_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"Path.__getitem__", kNameParam, 1, 1, true};
    PyObject* name = nullptr;
    if (!parse_args(sig, args, nargs, kwnames, &name)) return nullptr;
    return path_subscript(self, name);
}

PyMethodDef path_methods[] = {
    {"__getitem__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(path_getitem_method)),
     METH_FASTCALL | METH_KEYWORDS | METH_COEXIST, nullptr},
    {"__getattr__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(path_getattr_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__getfield__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(path_getfield_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot path_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, callable_node_members},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc<path_vectorcall>)},
    {Py_tp_init, reinterpret_cast<void*>(path_init)},
    {Py_tp_call, reinterpret_cast<void*>(path_call)},
    {Py_tp_getattro, reinterpret_cast<void*>(path_getattro)},
    {Py_tp_methods, path_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(path_subscript)},
    {Py_tp_repr, reinterpret_cast<void*>(path_repr)},
    {Py_tp_str, reinterpret_cast<void*>(path_str)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Path2

const char* const kPath2Params[] = {"name", "index", "parent"};

PyObject* path2_subscript(PyObject* self, PyObject* index) {
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    Ref cls = module_global(st, N_Path2);
    if (!cls) return nullptr;
    Ref root = read_slot(st, self, PATH2, 0, exact_plain(st, self, PATH2));
    if (!root) return nullptr;
    return construct(st, PATH2, cls.get(), {root.get(), index, self}).release();
}

PyObject* path2_call_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "Path2.__call__() got an unexpected keyword argument '%S'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return eval_path2(st, self, args, nargs, exact_plain(st, self, PATH2));
}

PyObject* path2_repr(PyObject* self) {
    RecursionGuard guard(" while getting the text of a path");
    if (!guard) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    const bool direct = exact_plain(st, self, PATH2);
    Ref parent = read_slot(st, self, PATH2, 2, direct);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) return read_slot(st, self, PATH2, 0, direct).release();
    Ref index = read_slot(st, self, PATH2, 1, direct);
    if (!index) return nullptr;
    return PyUnicode_FromFormat("%R[%R]", parent.get(), index.get());
}

PyObject* path2_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<path2_call_impl, path2_call>(self, args, nargsf, kwnames);
}

const char* const kIndexParam[] = {"index"};

PyObject* path2_getitem_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"Path2.__getitem__", kIndexParam, 1, 1, true};
    PyObject* index = nullptr;
    if (!parse_args(sig, args, nargs, kwnames, &index)) return nullptr;
    return path2_subscript(self, index);
}

PyMethodDef path2_methods[] = {
    {"__getitem__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(path2_getitem_method)),
     METH_FASTCALL | METH_KEYWORDS | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot path2_slots[] = {
    {Py_tp_methods, path2_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, callable_node_members},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc<path2_vectorcall>)},
    {Py_tp_init, reinterpret_cast<void*>(path2_init)},
    {Py_tp_call, reinterpret_cast<void*>(path2_call)},
    {Py_mp_subscript, reinterpret_cast<void*>(path2_subscript)},
    {Py_tp_repr, reinterpret_cast<void*>(path2_repr)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// FuncPath

const char* const kFuncPathParams[] = {"func", "operand"};
const char* const kOperandParam[] = {"operand"};

PyObject* funcpath_call_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"FuncPath.__call__", kOperandParam, 1, 1, true, true};
    PyObject* operand = nullptr;
    if (!parse_obj_args(sig, args, nargs, kwnames, &operand)) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return eval_funcpath(st, self, operand, exact_plain(st, self, FUNCPATH));
}

// "name_" unbound, "name_(operand)" bound, the operand in the same text form.
PyObject* funcpath_text(PyObject* self, bool as_repr) {
    RecursionGuard guard(" while getting the text of a function path");
    if (!guard) return nullptr;
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    const bool direct = exact_plain(st, self, FUNCPATH);
    Ref operand = read_slot(st, self, FUNCPATH, 1, direct);
    if (!operand) return nullptr;
    Ref func = read_slot(st, self, FUNCPATH, 0, direct);
    if (!func) return nullptr;
    Ref name(PyObject_GetAttr(func.get(), st->name(N___name__)));
    if (!name) return nullptr;
    if (operand.get() == Py_None) return PyUnicode_FromFormat("%S_", name.get());
    return PyUnicode_FromFormat(as_repr ? "%S_(%R)" : "%S_(%S)", name.get(), operand.get());
}

PyObject* funcpath_repr(PyObject* self) { return funcpath_text(self, true); }
PyObject* funcpath_str(PyObject* self) { return funcpath_text(self, false); }

PyObject* funcpath_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<funcpath_call_impl, funcpath_call>(self, args, nargsf, kwnames);
}

PyType_Slot funcpath_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, callable_node_members},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc<funcpath_vectorcall>)},
    {Py_tp_init, reinterpret_cast<void*>(funcpath_init)},
    {Py_tp_call, reinterpret_cast<void*>(funcpath_call)},
    {Py_tp_repr, reinterpret_cast<void*>(funcpath_repr)},
    {Py_tp_str, reinterpret_cast<void*>(funcpath_str)},
    {0, nullptr},
};

// Whether `name` is found neither on the exact Path class nor on its bases.
bool missing_from_path(ExprState* st, PyObject* name) {
    PyTypeObject* tp = st->types[PATH];
    const unsigned int tag = tp->tp_version_tag;
    if (tag != 0 && tag == st->path_missing_tag && name == st->path_missing_name) return true;
    if (_PyType_Lookup(tp, name) != nullptr) return false;
    Py_INCREF(name);
    Py_XSETREF(st->path_missing_name, name);
    st->path_missing_tag = tag;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points shared with the rest of the module.

PyObject* path_getattro(PyObject* self, PyObject* name) {
    ExprState* st = require_state(self);
    if (st == nullptr) return nullptr;
    auto* node = reinterpret_cast<ExprObject*>(self);
    // A plain Path holding its fields, no dict: an interned name is one of the fields (no data
    // descriptor shadows them), or an attribute of the class, or else goes to the original
    // __getattr__, which derives a path (done here without the lookups in between).
    if (node->live_kind == PATH && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name) &&
        exact_plain(st, self, PATH) && instance_dict(self) == nullptr) {
        for (int i = 0; i < 3; ++i) {
            if (name == st->name(kFields[PATH].names[i])) return Ref::borrow(node->live[i]).release();
        }
        if (missing_from_path(st, name)) {
            Ref held_cls;
            PyObject* cls = peek_global(st, N_Path);
            if (cls == nullptr) {
                held_cls = module_global(st, N_Path);
                if (!held_cls) return nullptr;
                cls = held_cls.get();
            }
            // Looking the class up may have run code that changed the node.
            const bool direct = exact_plain(st, self, PATH);
            if (PyObject* root = peek_slot(self, PATH, 0, direct)) return construct(st, PATH, cls, {root, name, self}).release();
            Ref root = read_slot_general(st, self, PATH, 0, direct);
            if (!root) return nullptr;
            return construct(st, PATH, cls, {root.get(), name, self}).release();
        }
    }
    if (is_live(self)) {
        PyObject* found = live_attribute(st, self, name);
        if (found != nullptr || PyErr_Occurred()) return found;
        // No instance dict and nothing of that name on the class: ordinary lookup finds nothing.
        if (PyUnicode_Check(name) && instance_dict(self) == nullptr && _PyType_Lookup(Py_TYPE(self), name) == nullptr) {
            return getattr_fallback(st, self, name);
        }
    }
    PyObject* found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
    if (found != nullptr || PyErr_Occurred()) return found;
    return getattr_fallback(st, self, name);
}

PyObject* path_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<path_call_impl>(self, args, kwargs);
}
PyObject* path2_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<path2_call_impl>(self, args, kwargs);
}
PyObject* funcpath_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<funcpath_call_impl>(self, args, kwargs);
}

int path_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"Path.__init__", kPathParams, 3, 1, true};
    return init_with(self, args, kwargs, sig, [self](ExprState* st, PyObject* const* v) {
        return set_fields(self, st,
                          {{N_Path_name, v[0]}, {N_Path_field, none_if_missing(v[1])}, {N_Path_parent, none_if_missing(v[2])}});
    });
}

int path2_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"Path2.__init__", kPath2Params, 3, 1, true};
    return init_with(self, args, kwargs, sig, [self](ExprState* st, PyObject* const* v) {
        return set_fields(self, st,
                          {{N_Path2_name, v[0]}, {N_Path2_index, none_if_missing(v[1])}, {N_Path2_parent, none_if_missing(v[2])}});
    });
}

int funcpath_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig{"FuncPath.__init__", kFuncPathParams, 2, 1, true};
    return init_with(self, args, kwargs, sig, [self](ExprState* st, PyObject* const* v) {
        return set_fields(self, st, {{N_FuncPath_func, v[0]}, {N_FuncPath_operand, none_if_missing(v[1])}});
    });
}

PyType_Spec path_spec = {"qelo.expr.Path", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                         path_slots};
PyType_Spec path2_spec = {"qelo.expr.Path2", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                          path2_slots};
PyType_Spec funcpath_spec = {"qelo.expr.FuncPath", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                             funcpath_slots};

}  // namespace qelo::expr
