// hexdump: the writer of the hex dump text.
#include "state.hpp"

#include <cstring>

namespace qelo::hex {

Py_ssize_t positive_linesize(PyObject* index) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow > 0 || value > PY_SSIZE_T_MAX) return PY_SSIZE_T_MAX;
    if (overflow < 0 || value < 1) {
        PyErr_Format(PyExc_ValueError, "linesize must be a positive integer, not %R", index);
        return -1;
    }
    return static_cast<Py_ssize_t>(value);
}

namespace {

constexpr unsigned long long max_dump_length = 4294967296ULL;
constexpr char upper_digits[] = "0123456789ABCDEF";

// ---- general path: literally the documented algorithm, every name looked up when used ----

// sep.join(TABLE[b] for b in iterateints(line))
Ref joined_column(PyObject* module, PyObject* line, std::size_t table_name, PyObject* separator) {
    Ref iterateints = module_global(module, name::iterateints);
    if (!iterateints) return {};
    Ref iterable(PyObject_CallOneArg(iterateints.get(), line));
    if (!iterable) return {};
    Ref values(PyObject_GetIter(iterable.get()));
    if (!values) return {};
    Ref parts(PyList_New(0));
    if (!parts) return {};
    while (Ref value{PyIter_Next(values.get())}) {
        Ref table = module_global(module, table_name);
        if (!table) return {};
        Ref entry(PyObject_GetItem(table.get(), value.get()));
        if (!entry || PyList_Append(parts.get(), entry.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return Ref(PyUnicode_Join(separator, parts.get()));
}

// fmt % (i, hextext, rawtext) for the block data[i:i+linesize]
Ref formatted_line(PyObject* module, PyObject* data, PyObject* fmt, Py_ssize_t offset, PyObject* linesize) {
    State* st = state_of(module);
    Ref start(PyLong_FromSsize_t(offset));
    if (!start) return {};
    Ref stop(PyNumber_Add(start.get(), linesize));
    if (!stop) return {};
    Ref bounds(PySlice_New(start.get(), stop.get(), nullptr));
    if (!bounds) return {};
    Ref line(PyObject_GetItem(data, bounds.get()));
    if (!line) return {};
    Ref hextext = joined_column(module, line.get(), name::HEXPRINT, st->txt(text::space));
    if (!hextext) return {};
    Ref rawtext = joined_column(module, line.get(), name::PRINTABLE, st->txt(text::empty));
    if (!rawtext) return {};
    Ref fields(PyTuple_Pack(3, start.get(), hextext.get(), rawtext.get()));
    if (!fields) return {};
    return Ref(PyUnicode_Format(fmt, fields.get()));
}

// The line format: the template %-formatted with the hex column width 3*linesize - 1.
Ref line_format(State* st, Py_ssize_t length, PyObject* linesize) {
    Ref three(PyLong_FromLong(3));
    Ref one(PyLong_FromLong(1));
    if (!three || !one) return {};
    Ref tripled(PyNumber_Multiply(three.get(), linesize));
    if (!tripled) return {};
    Ref width(PyNumber_Subtract(tripled.get(), one.get()));
    if (!width) return {};
    PyObject* tmpl = st->txt(length < 65536 ? text::fmt4_template : text::fmt8_template);
    return Ref(PyUnicode_Format(tmpl, width.get()));
}

PyObject* general_dump(PyObject* module, PyObject* data, Py_ssize_t length, PyObject* linesize_obj, Py_ssize_t linesize) {
    State* st = state_of(module);
    Ref fmt = line_format(st, length, linesize_obj);
    if (!fmt) return nullptr;
    Ref lines(PyList_New(0));
    if (!lines || PyList_Append(lines.get(), st->txt(text::header)) < 0) return nullptr;
    const Py_ssize_t again = PyObject_Length(data);
    if (again < 0) return nullptr;
    for (Py_ssize_t offset = 0; offset < again; offset += linesize) {
        Ref line = formatted_line(module, data, fmt.get(), offset, linesize_obj);
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
        if (linesize > again - offset) break;
    }
    if (PyList_Append(lines.get(), st->txt(text::closing)) < 0 || PyList_Append(lines.get(), st->txt(text::empty)) < 0) {
        return nullptr;
    }
    return PyUnicode_Join(st->txt(text::newline), lines.get());
}

// ---- direct route: a kernel over the bytes, used only when it gives the same text ----

// Bytes whose length and slicing are those of bytes/bytearray, so every slice iterates as
// its byte values.
const unsigned char* plain_byte_buffer(PyObject* data) {
    if (PyByteArray_CheckExact(data)) return reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(data));
    if (!PyBytes_Check(data)) return nullptr;
    PyTypeObject* type = Py_TYPE(data);
    if (type != &PyBytes_Type) {
        const PyMappingMethods* mapping = type->tp_as_mapping;
        const PySequenceMethods* sequence = type->tp_as_sequence;
        if (mapping == nullptr || sequence == nullptr ||
            mapping->mp_subscript != PyBytes_Type.tp_as_mapping->mp_subscript ||
            mapping->mp_length != PyBytes_Type.tp_as_mapping->mp_length ||
            sequence->sq_length != PyBytes_Type.tp_as_sequence->sq_length) {
            return nullptr;
        }
    }
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
}

bool holds_snapshot(PyObject* table, PyObject* snapshot) {
    if (table == nullptr || !PyList_CheckExact(table) || PyList_GET_SIZE(table) != 256) return false;
    // Pointer identity of all 256 entries, compared as one block of memory.
    PyObject** items = reinterpret_cast<PyListObject*>(table)->ob_item;
    PyObject** expected = reinterpret_cast<PyTupleObject*>(snapshot)->ob_item;
    return std::memcmp(items, expected, 256 * sizeof(PyObject*)) == 0;
}

// 0 = namespace as imported, 1 = something was rebound or changed, -1 = lookup error.
int namespace_changed(PyObject* module, State* st) {
    PyObject* dict = PyModule_GetDict(module);
    // Owned: a lookup can run a colliding key's __eq__, which may change the namespace.
    Ref iterateints = lookup_module_only(dict, st->name(name::iterateints));
    if (!iterateints) return PyErr_Occurred() ? -1 : 1;
    if (iterateints.get() != st->builtin_iter) return 1;
    Ref hexprint = lookup_module_only(dict, st->name(name::HEXPRINT));
    if (!hexprint && PyErr_Occurred()) return -1;
    Ref printable = lookup_module_only(dict, st->name(name::PRINTABLE));
    if (!printable && PyErr_Occurred()) return -1;
    return holds_snapshot(hexprint.get(), st->hexprint_snapshot) &&
                   holds_snapshot(printable.get(), st->printable_snapshot)
               ? 0
               : 1;
}

struct DumpShape {
    int offset_width;
    Py_ssize_t hex_width;
    Py_ssize_t full_lines;
    Py_ssize_t last_block;  // bytes on a short last line, 0 if none
    Py_ssize_t total;       // characters of the whole text
};

// False when the text could not be held in memory (the general path then fails as it would).
bool dump_shape(Py_ssize_t length, Py_ssize_t linesize, DumpShape& shape) {
    shape.offset_width = length < 65536 ? 4 : 8;
    shape.full_lines = length / linesize;
    shape.last_block = length % linesize;
    Py_ssize_t fixed = 0, full = 0, body = 0, total = 0;
    if (__builtin_mul_overflow(linesize, 3, &shape.hex_width)) return false;
    shape.hex_width -= 1;
    if (__builtin_add_overflow(shape.hex_width, shape.offset_width + 3 + 3 + 1, &fixed)) return false;
    if (__builtin_add_overflow(fixed, linesize, &full)) return false;
    if (__builtin_mul_overflow(full, shape.full_lines, &body)) return false;
    const Py_ssize_t frame = 14 + 5;  // header and closing lines with their newlines
    if (__builtin_add_overflow(body, frame, &total)) return false;
    if (shape.last_block > 0 && __builtin_add_overflow(total, fixed + shape.last_block, &total)) return false;
    shape.total = total;
    return true;
}

char* write_line(const State* st, const DumpShape& shape, char* out, const unsigned char* block, Py_ssize_t count,
                 unsigned long long offset) {
    for (int d = shape.offset_width - 1; d >= 0; --d, offset >>= 4) out[d] = upper_digits[offset & 15];
    out += shape.offset_width;
    std::memcpy(out, "   ", 3);
    char* hex = out + 3;
    char* pair = hex;
    for (Py_ssize_t j = 0; j < count; ++j, pair += 3) {
        std::memcpy(pair, st->hex_pairs[block[j]].data(), 2);
        pair[2] = ' ';  // the last one lands in the fill, which is spaces anyway
    }
    const Py_ssize_t used = 3 * count - 1;
    std::memset(hex + used, ' ', static_cast<std::size_t>(shape.hex_width - used + 3));
    char* shown = hex + shape.hex_width + 3;
    for (Py_ssize_t j = 0; j < count; ++j) shown[j] = st->printable_chars[block[j]];
    shown[count] = '\n';
    return shown + count + 1;
}

// Null without an error set when the kernel cannot build the text.
Ref kernel_dump(const State* st, const unsigned char* bytes, Py_ssize_t length, Py_ssize_t linesize) {
    DumpShape shape{};
    if (!dump_shape(length, linesize, shape)) return {};
    Ref result(PyUnicode_New(shape.total, 127));
    if (!result) return {};
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.get()));
    std::memcpy(out, "hexundump(\"\"\"\n", 14);
    out += 14;
    unsigned long long offset = 0;
    for (Py_ssize_t line = 0; line < shape.full_lines; ++line, offset += linesize) {
        out = write_line(st, shape, out, bytes + offset, linesize, offset);
    }
    if (shape.last_block > 0) out = write_line(st, shape, out, bytes + offset, shape.last_block, offset);
    std::memcpy(out, "\"\"\")\n", 5);
    return result;
}

}  // namespace

PyObject* hexdump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"data", "linesize"};
    static const Signature sig{"hexdump", params, 2, 2};
    PyObject* arg[2];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    PyObject* data = arg[0];
    State* st = state_of(module);
    const Py_ssize_t length = PyObject_Length(data);
    if (length < 0) return nullptr;
    if (static_cast<unsigned long long>(length) >= max_dump_length) {
        PyErr_SetString(PyExc_ValueError, "hexdump cannot process more than 16**8 or 4294967296 bytes");
        return nullptr;
    }
    Ref index(PyNumber_Index(arg[1]));
    if (!index) return nullptr;
    const Py_ssize_t linesize = positive_linesize(index.get());
    if (linesize < 0) return nullptr;
    // linesize.__index__ may have resized a bytearray: the direct route needs the length unchanged.
    const unsigned char* bytes = plain_byte_buffer(data);
    if (bytes != nullptr && Py_SIZE(data) != length) bytes = nullptr;
    if (bytes != nullptr && length == 0) return PyUnicode_FromString("hexundump(\"\"\"\n\"\"\")\n");
    if (bytes != nullptr && st->kernel_tables_ok) {
        const int changed = namespace_changed(module, st);
        if (changed < 0) return nullptr;
        if (changed == 0) {
            Ref text = kernel_dump(st, bytes, length, linesize);
            if (text || PyErr_Occurred()) return text.release();
        }
    }
    return general_dump(module, data, length, index.get(), linesize);
}

}  // namespace qelo::hex
