// qelo.expr: Path, Path2 and FuncPath.
#include "classes.hpp"
#include "depth.hpp"
#include "eval.hpp"
#include "fields.hpp"
#include "lifecycle.hpp"
#include "methods.hpp"
#include "text.hpp"

namespace qelo::expr {

namespace {

PyObject* none_if_missing(PyObject* value) { return value != nullptr ? value : Py_None; }

// ---------------------------------------------------------------------------------------------
// Path

// Path(root name of self, name, self), with Path found in the module namespace now. Reading the
// root name of a path that lacks one asks __getattr__ again, so this recursion is guarded too.
Ref derive_path(ModuleState* st, PyObject* self, PyObject* name) {
    Ref cls = module_global(st, kPath);
    if (!cls) return Ref();
    // The root name of a plain path is in its field cache: no code runs, nothing recurses.
    if (exact_plain(st, self, kPathKind)) {
        PyObject* const* fields = nullptr;
        const Fast cached = plain_fields(st, self, kPathKind, fields);
        if (cached == Fast::Failed) return Ref();
        if (cached == Fast::Done) {
            Ref root = Ref::borrow(fields[0]);
            return construct(st, kPathKind, cls.get(), {root.get(), name, self});
        }
    }
    int depth = 0;  // one level: reading the root may derive again through __getattr__
    DepthGuard guard(guard_thread_state(), " while deriving a path", depth);
    if (!guard) return Ref();
    Ref root = read_slot(st, self, kPathKind, 0, false);
    if (!root) return Ref();
    return construct(st, kPathKind, cls.get(), {root.get(), name, self});
}

// What an ordinary class does once normal lookup failed: call the class's __getattr__.
PyObject* getattr_fallback(ModuleState* st, PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    Ref hook = Ref::borrow(compat::type_lookup(tp, st->name(kDunderGetattr)));
    if (hook.get() == st->path_getattr) return derive_path(st, self, name).release();
    if (!hook) return PyObject_GenericGetAttr(self, name);  // raises the AttributeError
    descrgetfunc get = Py_TYPE(hook.get())->tp_descr_get;
    Ref bound = get != nullptr ? Ref(get(hook.get(), self, reinterpret_cast<PyObject*>(tp))) : hook.dup();
    if (!bound) return nullptr;
    return PyObject_CallOneArg(bound.get(), name);
}

const char* const kPathParams[] = {"name", "field", "parent"};
const char* const kObjParam[] = {"obj"};

PyObject* path_subscript(PyObject* self, PyObject* name) {
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return derive_path(st, self, name).release();
}

constexpr Signature kPathCallSig{"Path.__call__", kObjParam, 1, 1, true, true};

PyObject* path_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<call_impl<kPathCallSig, kPathKind, eval_path>, path_call>(self, args, nargsf, kwnames);
}

PyType_Slot path_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_members, callable_node_members},
    {Py_tp_alloc, reinterpret_cast<void*>(node_alloc<path_vectorcall>)},
    {Py_tp_init, reinterpret_cast<void*>(path_init)},
    {Py_tp_call, reinterpret_cast<void*>(path_call)},
    {Py_tp_getattro, reinterpret_cast<void*>(path_getattro)},
    {Py_mp_subscript, reinterpret_cast<void*>(path_subscript)},
    {Py_tp_repr, reinterpret_cast<void*>(path_repr)},
    {Py_tp_str, reinterpret_cast<void*>(path_str)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------------
// Path2

const char* const kPath2Params[] = {"name", "index", "parent"};

PyObject* path2_subscript(PyObject* self, PyObject* index) {
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    Ref cls = module_global(st, kPath2);
    if (!cls) return nullptr;
    Ref root = read_slot(st, self, kPath2Kind, 0, exact_plain(st, self, kPath2Kind));
    if (!root) return nullptr;
    return construct(st, kPath2Kind, cls.get(), {root.get(), index, self}).release();
}

PyObject* path2_call_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "Path2.__call__() got an unexpected keyword argument '%S'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    return eval_path2(st, self, args, nargs, exact_plain(st, self, kPath2Kind));
}

PyObject* path2_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<path2_call_impl, path2_call>(self, args, nargsf, kwnames);
}

PyType_Slot path2_slots[] = {
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

constexpr Signature kFuncPathCallSig{"FuncPath.__call__", kOperandParam, 1, 1, true, true};

PyObject* funcpath_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return vectorcall_entry<call_impl<kFuncPathCallSig, kFuncPathKind, eval_funcpath>, funcpath_call>(self, args, nargsf, kwnames);
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

// ---------------------------------------------------------------------------------------------
// The methods by name: (self, ...) by position or keyword, as in a class body.

const char* const kSelfOnly[] = {"self"};
const char* const kSelfObj[] = {"self", "obj"};
const char* const kSelfName[] = {"self", "name"};
const char* const kSelfIndex[] = {"self", "index"};
const char* const kSelfOperand[] = {"self", "operand"};
const char* const kPathInit[] = {"self", "name", "field", "parent"};
const char* const kPath2Init[] = {"self", "name", "index", "parent"};
const char* const kFuncPathInit[] = {"self", "func", "operand"};

template <Kind K, bool AsRepr>
PyObject* text_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return node_text(st, v[0], K, AsRepr);
}

PyObject* path_init_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    if (!set_fields(v[0], st, {{kPrivatePathName, v[1]}, {kPrivatePathField, none_if_missing(v[2])},
                               {kPrivatePathParent, none_if_missing(v[3])}})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
PyObject* path_call_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return eval_path(st, v[0], v[1], exact_plain(st, v[0], kPathKind));
}
PyObject* path_derive_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return derive_path(st, v[0], v[1]).release();
}
PyObject* path_getfield_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return read_slot(st, v[0], kPathKind, 1, exact_plain(st, v[0], kPathKind)).release();
}

PyObject* path2_init_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    if (!set_fields(v[0], st, {{kPrivatePath2Name, v[1]}, {kPrivatePath2Index, none_if_missing(v[2])},
                               {kPrivatePath2Parent, none_if_missing(v[3])}})) {
        return nullptr;
    }
    Py_RETURN_NONE;
}
PyObject* path2_call_method(ModuleState* st, PyObject* const* v, PyObject* const* rest, Py_ssize_t nrest) {
    return eval_path2(st, v[0], rest, nrest, exact_plain(st, v[0], kPath2Kind));
}
PyObject* path2_getitem_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    PyObject* self = v[0];
    Ref cls = module_global(st, kPath2);
    if (!cls) return nullptr;
    Ref root = read_slot(st, self, kPath2Kind, 0, exact_plain(st, self, kPath2Kind));
    if (!root) return nullptr;
    return construct(st, kPath2Kind, cls.get(), {root.get(), v[1], self}).release();
}

PyObject* funcpath_init_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    if (!set_fields(v[0], st, {{kPrivateFuncPathFunc, v[1]}, {kPrivateFuncPathOperand, none_if_missing(v[2])}})) return nullptr;
    Py_RETURN_NONE;
}
PyObject* funcpath_call_method(ModuleState* st, PyObject* const* v, PyObject* const*, Py_ssize_t) {
    return eval_funcpath(st, v[0], v[1], exact_plain(st, v[0], kFuncPathKind));
}

constexpr MethodSpec kPathMethods[] = {
    {"__init__", Signature{"Path.__init__", kPathInit, 4, 2}, path_init_method},
    {"__call__", Signature{"Path.__call__", kSelfObj, 2, 2, false, true}, path_call_method},
    {"__getattr__", Signature{"Path.__getattr__", kSelfName, 2, 2}, path_derive_method},
    {"__getitem__", Signature{"Path.__getitem__", kSelfName, 2, 2}, path_derive_method},
    {"__getfield__", Signature{"Path.__getfield__", kSelfOnly, 1, 1}, path_getfield_method},
    {"__repr__", Signature{"Path.__repr__", kSelfOnly, 1, 1}, text_method<kPathKind, true>},
    {"__str__", Signature{"Path.__str__", kSelfOnly, 1, 1}, text_method<kPathKind, false>},
};
constexpr MethodSpec kPath2Methods[] = {
    {"__init__", Signature{"Path2.__init__", kPath2Init, 4, 2}, path2_init_method},
    {"__call__", Signature{"Path2.__call__", kSelfOnly, 1, 1, false, true}, path2_call_method},
    {"__getitem__", Signature{"Path2.__getitem__", kSelfIndex, 2, 2}, path2_getitem_method},
    {"__repr__", Signature{"Path2.__repr__", kSelfOnly, 1, 1}, text_method<kPath2Kind, true>},
};
constexpr MethodSpec kFuncPathMethods[] = {
    {"__init__", Signature{"FuncPath.__init__", kFuncPathInit, 3, 2}, funcpath_init_method},
    {"__call__", Signature{"FuncPath.__call__", kSelfOperand, 2, 2, false, true}, funcpath_call_method},
    {"__repr__", Signature{"FuncPath.__repr__", kSelfOnly, 1, 1}, text_method<kFuncPathKind, true>},
    {"__str__", Signature{"FuncPath.__str__", kSelfOnly, 1, 1}, text_method<kFuncPathKind, false>},
};

// Whether `name` is found neither on the exact Path class nor on its bases.
bool missing_from_path(ModuleState* st, PyObject* name) {
    PyTypeObject* tp = st->types[kPathKind];
    if (name == st->path_missing_name && st->path_missing_class.holds(tp)) return true;
    const unsigned int taken = memo::ClassVersion::of(tp);
    if (compat::type_lookup(tp, name) != nullptr) return false;
    Py_INCREF(name);
    Py_XSETREF(st->path_missing_name, name);
    st->path_missing_class.record(tp, taken);
    return true;
}

constexpr Signature kPathInitSig{"Path.__init__", kPathParams, 3, 1, true};
constexpr Signature kPath2InitSig{"Path2.__init__", kPath2Params, 3, 1, true};
constexpr Signature kFuncPathInitSig{"FuncPath.__init__", kFuncPathParams, 2, 1, true};

}  // namespace

MethodTable path_method_table(Kind kind) {
    switch (kind) {
        case kPathKind: return {kPathMethods, std::size(kPathMethods)};
        case kPath2Kind: return {kPath2Methods, std::size(kPath2Methods)};
        case kFuncPathKind: return {kFuncPathMethods, std::size(kFuncPathMethods)};
        default: return {nullptr, 0};
    }
}

// ---------------------------------------------------------------------------------------------
// Entry points shared with the rest of the module.

// Ordinary lookup (object's own, so the fields are found in the instance dict), then __getattr__
// as an ordinary class calls it when that lookup raises AttributeError.
PyObject* path_getattro(PyObject* self, PyObject* name) {
    ModuleState* st = require_state(self);
    if (st == nullptr) return nullptr;
    // A plain Path and a name that neither its class nor its instance dict holds: the original
    // __getattr__ derives a path (done here without raising and catching AttributeError).
    if (PyUnicode_CheckExact(name) && exact_plain(st, self, kPathKind)) {
        // A field: no data descriptor of the plain class shadows it, so the instance dict answers.
        PyObject* dict = reinterpret_cast<ExprObject*>(self)->dict;
        for (std::size_t i = 0; i < kFields[kPathKind].count && dict != nullptr; ++i) {
            if (name != st->name(kFields[kPathKind].names[i])) continue;
            Ref own;
            if (dict_get(dict, name, own) != 0) return own.release();  // found, or failed
            break;
        }
    }
    if (PyUnicode_CheckExact(name) && exact_plain(st, self, kPathKind) && missing_from_path(st, name)) {
        PyObject* dict = reinterpret_cast<ExprObject*>(self)->dict;
        if (dict != nullptr) {
            Ref own;
            if (dict_get(dict, name, own) != 0) return own.release();  // found, or failed
        }
        return derive_path(st, self, name).release();
    }
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    return getattr_fallback(st, self, name);
}

PyObject* path_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<call_impl<kPathCallSig, kPathKind, eval_path>>(self, args, kwargs);
}
PyObject* path2_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<path2_call_impl>(self, args, kwargs);
}
PyObject* funcpath_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return tp_call_entry<call_impl<kFuncPathCallSig, kFuncPathKind, eval_funcpath>>(self, args, kwargs);
}

int path_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return init_entry<kPathInitSig, 3>(self, args, kwargs, [self](ModuleState* st, PyObject* const* v) {
        return set_fields(self, st,
                          {{kPrivatePathName, v[0]}, {kPrivatePathField, none_if_missing(v[1])}, {kPrivatePathParent, none_if_missing(v[2])}});
    });
}

int path2_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return init_entry<kPath2InitSig, 3>(self, args, kwargs, [self](ModuleState* st, PyObject* const* v) {
        return set_fields(self, st,
                          {{kPrivatePath2Name, v[0]}, {kPrivatePath2Index, none_if_missing(v[1])}, {kPrivatePath2Parent, none_if_missing(v[2])}});
    });
}

int funcpath_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return init_entry<kFuncPathInitSig, 2>(self, args, kwargs, [self](ModuleState* st, PyObject* const* v) {
        return set_fields(self, st, {{kPrivateFuncPathFunc, v[0]}, {kPrivateFuncPathOperand, none_if_missing(v[1])}});
    });
}

PyType_Spec path_spec = {"qelo.expr.Path", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                         path_slots};
PyType_Spec path2_spec = {"qelo.expr.Path2", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                          path2_slots};
PyType_Spec funcpath_spec = {"qelo.expr.FuncPath", sizeof(ExprObject), 0, static_cast<unsigned int>(kCallableFlags),
                             funcpath_slots};

}  // namespace qelo::expr
