// qelo.expr: the module: its state's traversal and clearing, and the import-time work (operator
// and opnames, the classes, the ready-made paths, the watchers).
#include "state.hpp"
#include "classes.hpp"
#include "fields.hpp"
#include "lifecycle.hpp"
#include "methods.hpp"
#include "text.hpp"
#include "watchers.hpp"

#include <atomic>
#include <cstddef>
#include <string_view>

namespace qelo::expr {

namespace {

constexpr std::array<const char*, kNameCount> kNameTexts{
    "BinExpr", "UniExpr", "Path", "Path2", "FuncPath", "operator", "opnames",
    "add", "sub", "mul", "div", "floordiv", "mod", "pow", "xor", "lshift", "rshift", "and_", "or_",
    "not_", "neg", "pos", "contains", "gt", "ge", "lt", "le", "eq", "ne", "truediv",
    "op", "lhs", "rhs", "operand", "_Path__name", "_Path__field", "_Path__parent", "_Path2__name",
    "_Path2__index", "_Path2__parent", "_FuncPath__func", "_FuncPath__operand",
    "__name__", "__dict__", "__class__", "__slots__", "__base__", "__getattr__", "__iter__", "items", "update",
};

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.traverse(visit, arg);
    for (PyTypeObject* tp : st->types) Py_VISIT(tp);
    Py_VISIT(st->method_type);
    Py_VISIT(st->operator_module);
    for (PyObject* fn : st->originals) Py_VISIT(fn);
    Py_VISIT(st->path_getattr);
    Py_VISIT(st->path_missing_name);
    Py_VISIT(st->builtin_len);
    Py_VISIT(st->builtin_abs);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.clear();
    // Spares are freed while their classes, which size them, are still held.
    st->spares_enabled = false;
    free_spares(st);
    for (PyTypeObject*& tp : st->types) Py_CLEAR(tp);
    Py_CLEAR(st->method_type);
    Py_CLEAR(st->operator_module);
    for (PyObject*& fn : st->originals) Py_CLEAR(fn);
    Py_CLEAR(st->path_getattr);
    Py_CLEAR(st->path_missing_name);
    Py_CLEAR(st->builtin_len);
    Py_CLEAR(st->builtin_abs);
    clear_text_caches(st);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

bool bind(PyObject* dict, PyObject* name, PyObject* value) { return PyDict_SetItem(dict, name, value) == 0; }

// Steps 1 and 2: `operator`, with `div` added for the whole process when it is missing.
bool import_operator(ModuleState* st, PyObject* dict) {
    Ref op(PyImport_ImportModule("operator"));
    if (!op || !bind(dict, st->name(kOperator), op.get())) return false;
    Ref existing;
    if (compat::get_optional_attr(op.get(), st->name(kDiv), existing) < 0) return false;
    if (!existing) {
        Ref truediv(PyObject_GetAttr(op.get(), st->name(kTruediv)));
        if (!truediv || PyObject_SetAttr(op.get(), st->name(kDiv), truediv.get()) < 0) return false;
    }
    st->operator_module = op.release();
    return true;
}

// Whether `fn` is the interpreter's own builtin function `name` of module `owner` (a C function
// bound to that module object whose name, fixed when it was defined, is `name`), whatever name it
// is bound under now.
bool is_genuine_function(PyObject* fn, PyObject* owner, const char* name) {
    if (fn == nullptr || !PyCFunction_CheckExact(fn) || PyCFunction_GET_SELF(fn) != owner) return false;
    Ref own_name(PyObject_GetAttrString(fn, "__name__"));
    if (!own_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(own_name.get()) && PyUnicode_CompareWithASCIIString(own_name.get(), name) == 0;
}

// The C operation each Op stands for, by the name the interpreter's operator functions carry.
constexpr std::array<const char*, kOpCount> kGenuineNames{
    "add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "xor", "lshift", "rshift", "and_", "or_",
    "not_", "neg", "pos", "contains", "gt", "ge", "lt", "le", "eq", "ne",
};

// The originals the evaluation may run as C operations: each taken from the interpreter's own
// operator functions and kept only when it is provably the function of that name, so that a
// function is never applied as another one (`operator.div` bound to floordiv before this import
// is floordiv here too).
bool capture_originals(ModuleState* st) {
    Ref source(PyImport_ImportModule("_operator"));
    if (!source) {
        PyErr_Clear();  // no C operator functions: everything is called as it is
        return true;
    }
    for (int i = 0; i < kOpCount; ++i) {
        Ref fn(PyObject_GetAttrString(source.get(), kGenuineNames[i]));
        if (!fn) {
            PyErr_Clear();
            continue;
        }
        if (is_genuine_function(fn.get(), source.get(), kGenuineNames[i])) st->originals[i] = fn.release();
    }
    return true;
}

// Step 3: opnames, keyed by the operator functions as they are now.
bool build_opnames(ModuleState* st, PyObject* dict) {
    Ref opnames(PyDict_New());
    if (!opnames) return false;
    for (int i = 0; i < kOpCount; ++i) {
        Ref fn(PyObject_GetAttr(st->operator_module, st->name(kOps[i].attribute)));
        if (!fn) return false;
        Ref symbol(PyUnicode_FromString(kOps[i].symbol));
        if (!symbol || PyDict_SetItem(opnames.get(), fn.get(), symbol.get()) < 0) return false;
    }
    return capture_originals(st) && bind(dict, st->name(kOpnames), opnames.get());
}

// A class as an ordinary class shows it: bare __name__ (which also names it in error messages).
bool make_type(PyObject* module, ModuleState* st, Kind kind, PyType_Spec* type_spec, const char* short_name) {
    PyObject* bases = kind == kExprMixinKind ? nullptr : reinterpret_cast<PyObject*>(st->types[kExprMixinKind]);
    Ref type(PyType_FromModuleAndSpec(module, type_spec, bases));
    if (!type) return false;
    Ref name(PyUnicode_FromString(short_name));
    if (!name || PyObject_SetAttr(type.get(), st->name(kDunderName), name.get()) < 0) return false;
    st->types[kind] = reinterpret_cast<PyTypeObject*>(type.get());
    Py_INCREF(type.get());
    return true;
}

// The class's own dict, written directly so that the slots stay as created (setting a dunder
// through setattr would replace the slot with the generic one).
Ref own_dict(PyTypeObject* type) {
    return compat::type_dict(type);
}

// __div__, __rdiv__ and __inv__ are the very objects of their partners.
bool add_aliases(PyTypeObject* type) {
    Ref dict = own_dict(type);
    if (!dict) return false;
    const char* pairs[][2] = {{"__div__", "__floordiv__"}, {"__rdiv__", "__rfloordiv__"}, {"__inv__", "__invert__"}};
    for (auto& pair : pairs) {
        PyObject* target = PyDict_GetItemString(dict.get(), pair[1]);
        if (target == nullptr) {
            PyErr_Format(PyExc_SystemError, "missing %s", pair[1]);
            return false;
        }
        if (PyDict_SetItemString(dict.get(), pair[0], target) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

// Paths have item access but must not be iterable through it: `__iter__ = None`, set as on any
// class so that the slot follows.
bool refuse_iteration(ModuleState* st, PyTypeObject* type) {
    return PyObject_SetAttr(reinterpret_cast<PyObject*>(type), st->name(kDunderIter), Py_None) == 0;
}

// Path answers missing attributes through __getattr__ as an ordinary class would; its
// __getattribute__ stays object's.
bool finish_path(ModuleState* st) {
    PyTypeObject* path = st->types[kPathKind];
    Ref dict = own_dict(path);
    if (!dict) return false;
    if (PyDict_DelItemString(dict.get(), "__getattribute__") < 0) return false;
    PyType_Modified(path);
    Ref getattr;
    const int got = dict_get(dict.get(), st->name(kDunderGetattr), getattr);
    if (got < 0) return false;
    if (got == 0) {
        PyErr_SetString(PyExc_SystemError, "Path has no __getattr__");
        return false;
    }
    st->path_getattr = getattr.release();
    return refuse_iteration(st, path);
}

bool create_types(PyObject* module, ModuleState* st, PyObject* dict) {
    struct Step {
        Kind kind;
        PyType_Spec* type_spec;
        const char* name;
        Name binding;
    };
    const Step steps[] = {
        {kExprMixinKind, &exprmixin_spec, "ExprMixin", kNameCount}, {kUniExprKind, &uniexpr_spec, "UniExpr", kUniExpr},
        {kBinExprKind, &binexpr_spec, "BinExpr", kBinExpr},     {kPathKind, &path_spec, "Path", kPath},
        {kPath2Kind, &path2_spec, "Path2", kPath2},             {kFuncPathKind, &funcpath_spec, "FuncPath", kFuncPath},
    };
    for (const Step& step : steps) {
        if (!make_type(module, st, step.kind, step.type_spec, step.name)) return false;
        PyObject* type = reinterpret_cast<PyObject*>(st->types[step.kind]);
        const MethodTable table = method_table(step.kind);
        if (!install_methods(st, st->types[step.kind], table.specs, table.count)) return false;
        if (step.kind == kExprMixinKind && !add_aliases(st->types[kExprMixinKind])) return false;
        if (step.kind == kPathKind && !finish_path(st)) return false;
        if (step.kind == kPath2Kind && !refuse_iteration(st, st->types[kPath2Kind])) return false;
        bool ok = step.binding == kNameCount ? PyDict_SetItemString(dict, step.name, type) == 0
                                          : bind(dict, st->name(step.binding), type);
        if (!ok) return false;
    }
    return true;
}

// Step 5: the ready-made paths, each built as calling its class builds it.
bool bind_module_objects(ModuleState* st, PyObject* dict) {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    struct Object {
        const char* name;
        Kind kind;
        const char* argument;
        bool builtin;
    };
    const Object objects[] = {
        {"this", kPathKind, "this", false}, {"obj_", kPathKind, "obj_", false}, {"list_", kPath2Kind, "list_", false},
        {"len_", kFuncPathKind, "len", true}, {"sum_", kFuncPathKind, "sum", true}, {"min_", kFuncPathKind, "min", true},
        {"max_", kFuncPathKind, "max", true}, {"abs_", kFuncPathKind, "abs", true},
    };
    for (const Object& object : objects) {
        Ref argument(object.builtin ? PyObject_GetAttrString(builtins.get(), object.argument)
                                    : PyUnicode_InternFromString(object.argument));
        if (!argument) return false;
        if (object.builtin && is_genuine_function(argument.get(), builtins.get(), object.argument)) {
            const std::string_view name(object.argument);
            if (name == "len") st->builtin_len = argument.dup().release();
            if (name == "abs") st->builtin_abs = argument.dup().release();
        }
        PyObject* cls = reinterpret_cast<PyObject*>(st->types[object.kind]);
        // cls(argument): the fresh classes are plain, so this is the direct build.
        Ref value = object.kind == kFuncPathKind ? construct(st, kFuncPathKind, cls, {argument.get(), Py_None})
                                            : construct(st, object.kind, cls, {argument.get(), Py_None, Py_None});
        if (!value || PyDict_SetItemString(dict, object.name, value.get()) < 0) return false;
    }
    return true;
}

// Opens the node-dict domain, whose watcher (3.12+) guards the field caches of nodes and counts
// the changes of the module's classes too: evaluation plans then need only its count to know that
// neither a node nor a class changed. Without a type watcher (every slot taken) no plans are made
// by count; by dict tags (3.11) plans compare the classes' versions instead.
bool open_node_domain(ModuleState* st) {
    if (!st->nodes.open(/*classes=*/true)) return false;
    bool all = st->nodes.stamped();
    for (PyTypeObject* tp : st->types) all = all && st->nodes.watch_class(tp);
    st->classes_watched = all;
    return true;
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    // A reload runs this again on the same module: start from empty state.
    module_clear(module);
    *st = ModuleState{};
    st->module = module;
    st->globals = PyModule_GetDict(module);
    if (!st->names.init(kNameTexts)) return -1;
    PyObject* dict = PyModule_GetDict(module);
    if (!st->namespaces.open()) return -1;
    st->globals_watched = st->namespaces.watch(dict);
    if (!create_method_type(module, st)) return -1;
    if (!import_operator(st, dict) || !build_opnames(st, dict) || !create_types(module, st, dict)) return -1;
    if (!open_node_domain(st)) return -1;
    st->spares_enabled = spare_layout_holds(st);
    if (!bind_module_objects(st, dict)) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= QELO_PY312
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qelo.expr",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace qelo::expr

PyMODINIT_FUNC PyInit_expr(void) { return PyModuleDef_Init(&qelo::expr::module_def); }
