// qelo.lib.hex: module definition, import-time work in its documented order, and the tables.
#include "state.hpp"
#include "originals.hpp"

#include <cstring>
#include <utility>

namespace qelo::hex {
namespace {

const char hexdump_doc[] =
    "\n"
    "    Turns bytes into a unicode string of the format:\n"
    "\n"
    "    ::\n"
    "\n"
    "        >>>print(hexdump(b'0' * 100, 16))\n"
    "        hexundump(\\\"\\\"\\\"\n"
    "        0000   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"
    "        0010   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"
    "        0020   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"
    "        0030   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"
    "        0040   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"
    "        0050   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"
    "        0060   30 30 30 30                                       0000\n"
    "        \\\"\\\"\\\")\n"
    "    ";

const char hexundump_doc[] = "\n    Reverse of `hexdump`.\n    ";

PyMethodDef module_functions[] = {
    {"hexdump", as_cfunction(hexdump), kFastcall, hexdump_doc},
    {"hexundump", as_cfunction(hexundump), kFastcall, hexundump_doc},
    {nullptr, nullptr, 0, nullptr},
};

bool init_names(ModuleState* st) {
    return st->names.init(kNameTexts) && st->texts.init(kTextTexts) &&
           (st->empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) != nullptr;
}

bool set_global(PyObject* module, Name which, PyObject* value) {
    return PyDict_SetItem(PyModule_GetDict(module), state_of(module)->names[which], value) == 0;
}

// PRINTABLE[v] = bytes2str(int2byte(v)) if 32 <= v < 128 else "."
bool add_printable(PyObject* module) {
    ModuleState* st = state_of(module);
    Ref table(PyList_New(256));
    if (!table) return false;
    for (int v = 0; v < 256; ++v) {
        Ref entry;
        if (v >= 32 && v < 128) {
            Ref int2byte = module_global(module, kInt2byte);
            Ref bytes2str = module_global(module, kBytes2str);
            if (!int2byte || !bytes2str) return false;
            Ref value(PyLong_FromLong(v));
            if (!value) return false;
            Ref one_byte(PyObject_CallOneArg(int2byte.get(), value.get()));
            if (!one_byte) return false;
            entry = Ref(PyObject_CallOneArg(bytes2str.get(), one_byte.get()));
        } else {
            entry = Ref::borrow(st->texts[kDotText]);
        }
        if (!entry) return false;
        PyList_SET_ITEM(table.get(), v, entry.release());
    }
    return set_global(module, kPrintable, table.get());
}

// HEXPRINT[v] = format(v, "02X")
bool add_hexprint(PyObject* module) {
    ModuleState* st = state_of(module);
    Ref table(PyList_New(256));
    if (!table) return false;
    for (int v = 0; v < 256; ++v) {
        Ref format = module_global(module, kFormat);
        if (!format) return false;
        Ref value(PyLong_FromLong(v));
        if (!value) return false;
        PyObject* call_args[] = {value.get(), st->texts[kUpperHexText]};
        Ref entry(PyObject_Vectorcall(format.get(), call_args, 2, nullptr));
        if (!entry) return false;
        PyList_SET_ITEM(table.get(), v, entry.release());
    }
    return set_global(module, kHexprint, table.get());
}

bool ascii_of_length(PyObject* s, Py_ssize_t length) {
    return PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s) && PyUnicode_GET_LENGTH(s) == length;
}

// Snapshots the tables as built; the character tables serve the dump kernel while the module
// tables still hold exactly these strings.
bool snapshot_tables(PyObject* module) {
    ModuleState* st = state_of(module);
    PyObject* dict = PyModule_GetDict(module);
    Ref hexprint, printable;
    for (auto [which, table] : {std::pair{kHexprint, &hexprint}, std::pair{kPrintable, &printable}}) {
        const int found = dict_get(dict, st->names[which], *table);
        if (found <= 0) {
            if (found == 0) PyErr_SetObject(PyExc_KeyError, st->names[which]);  // both were bound just now
            return false;
        }
    }
    st->hexprint_snapshot = PyList_AsTuple(hexprint.get());
    st->printable_snapshot = PyList_AsTuple(printable.get());
    if (st->hexprint_snapshot == nullptr || st->printable_snapshot == nullptr) return false;
    st->kernel_tables_ok = true;
    for (int v = 0; v < 256; ++v) {
        PyObject* pair = PyTuple_GET_ITEM(st->hexprint_snapshot, v);
        PyObject* shown = PyTuple_GET_ITEM(st->printable_snapshot, v);
        if (!ascii_of_length(pair, 2) || !ascii_of_length(shown, 1)) {
            st->kernel_tables_ok = false;
            return true;
        }
        char quad[4] = {' ', ' ', ' ', ' '};
        std::memcpy(quad, PyUnicode_1BYTE_DATA(pair), 2);
        std::memcpy(&st->hex_quads[v], quad, 4);
        st->printable_chars[v] = static_cast<char>(PyUnicode_1BYTE_DATA(shown)[0]);
    }
    return true;
}

bool capture_originals(PyObject* module) {
    ModuleState* st = state_of(module);
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    st->builtin_iter = PyObject_GetAttrString(builtins.get(), "iter");
    if (st->builtin_iter == nullptr) return false;
    Ref int2byte;
    const int found = dict_get(PyModule_GetDict(module), st->names[kInt2byte], int2byte);
    if (found <= 0) return found == 0;
    // int2byte's original: the bound `pack` of a struct.Struct('>B') instance.
    const int verified = originals::is_struct_pack(int2byte.get(), ">B");
    if (verified <= 0) return verified == 0;
    if (!st->int2byte_format.capture(PyCFunction_GET_SELF(int2byte.get()))) return false;
    st->original_int2byte = int2byte.release();
    return true;
}

int module_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!init_names(st)) return -1;
    PyObject* dict = PyModule_GetDict(module);
    if (!star_import(dict, "qelo.lib.py3compat")) return -1;
    if (!capture_originals(module)) return -1;
    Ref binascii(PyImport_ImportModule("binascii"));
    if (!binascii || !set_global(module, kBinascii, binascii.get())) return -1;
    if (!add_display_classes(module)) return -1;
    if (!add_printable(module) || !add_hexprint(module)) return -1;
    if (!snapshot_tables(module)) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    return add_writer_type(module) && add_reader_type(module) ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    if (st->names.traverse(visit, arg) != 0 || st->texts.traverse(visit, arg) != 0) return -1;
    Py_VISIT(st->empty_bytes);
    Py_VISIT(st->builtin_iter);
    Py_VISIT(st->original_int2byte);
    if (int r = st->int2byte_format.traverse(visit, arg)) return r;
    Py_VISIT(st->hexprint_snapshot);
    Py_VISIT(st->printable_snapshot);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (st == nullptr) return 0;
    st->names.clear();
    st->texts.clear();
    Py_CLEAR(st->empty_bytes);
    Py_CLEAR(st->builtin_iter);
    Py_CLEAR(st->original_int2byte);
    st->int2byte_format.clear();
    Py_CLEAR(st->hexprint_snapshot);
    Py_CLEAR(st->printable_snapshot);
    st->kernel_tables_ok = false;
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= QELO_PY312
    // All state is per module object, so each interpreter (and its own GIL) is independent.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qelo.lib.hex",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace qelo::hex

PyMODINIT_FUNC PyInit_hex(void) { return PyModuleDef_Init(&qelo::hex::module_def); }
