// hexdump: the writer of the hex dump text.
#include "state.hpp"

#include <algorithm>
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

// 4 hex digits for a dump shorter than 16**4 bytes, else 8; chosen once for the whole dump.
int offset_width_for(Py_ssize_t length) { return length < 65536 ? 4 : 8; }

// ---- general path: literally the documented algorithm, every name looked up when used ----

// sep.join(TABLE[b] for b in iterateints(line))
Ref joined_column(PyObject* module, PyObject* line, Name table_name, PyObject* separator) {
    Ref iterateints = module_global(module, kIterateints);
    if (!iterateints) return {};
    Ref iterable(PyObject_CallOneArg(iterateints.get(), line));
    if (!iterable) return {};
    Ref values(PyObject_GetIter(iterable.get()));
    if (!values) return {};
    Ref parts(PyList_New(0));
    if (!parts) return {};
    Ref value;
    int got;
    while ((got = next_item(values.get(), value)) > 0) {
        Ref table = module_global(module, table_name);
        if (!table) return {};
        Ref entry(PyObject_GetItem(table.get(), value.get()));
        if (!entry || PyList_Append(parts.get(), entry.get()) < 0) return {};
    }
    if (got < 0) return {};
    return Ref(PyUnicode_Join(separator, parts.get()));
}

// fmt % (offset, hextext, rawtext) for one block already cut from the data
Ref formatted_block(PyObject* module, PyObject* line, PyObject* fmt, PyObject* offset) {
    ModuleState* st = state_of(module);
    Ref hextext = joined_column(module, line, kHexprint, st->texts[kSpaceText]);
    if (!hextext) return {};
    Ref rawtext = joined_column(module, line, kPrintable, st->texts[kEmptyText]);
    if (!rawtext) return {};
    Ref fields(PyTuple_Pack(3, offset, hextext.get(), rawtext.get()));
    if (!fields) return {};
    return Ref(PyUnicode_Format(fmt, fields.get()));
}

// fmt % (i, hextext, rawtext) for the block data[i:i+linesize]
Ref formatted_line(PyObject* module, PyObject* data, PyObject* fmt, Py_ssize_t offset, PyObject* linesize) {
    Ref start(PyLong_FromSsize_t(offset));
    if (!start) return {};
    Ref stop(PyNumber_Add(start.get(), linesize));
    if (!stop) return {};
    Ref bounds(PySlice_New(start.get(), stop.get(), nullptr));
    if (!bounds) return {};
    Ref line(PyObject_GetItem(data, bounds.get()));
    if (!line) return {};
    return formatted_block(module, line.get(), fmt, start.get());
}

// The line format: the template %-formatted with the hex column width 3*linesize - 1.
Ref line_format(ModuleState* st, int offset_width, PyObject* linesize) {
    Ref three(PyLong_FromLong(3));
    Ref one(PyLong_FromLong(1));
    if (!three || !one) return {};
    Ref tripled(PyNumber_Multiply(three.get(), linesize));
    if (!tripled) return {};
    Ref width(PyNumber_Subtract(tripled.get(), one.get()));
    if (!width) return {};
    PyObject* tmpl = st->texts[offset_width == 4 ? kFmt4Text : kFmt8Text];
    return Ref(PyUnicode_Format(tmpl, width.get()));
}

PyObject* general_dump(PyObject* module, PyObject* data, Py_ssize_t length, PyObject* linesize_obj, Py_ssize_t linesize) {
    ModuleState* st = state_of(module);
    Ref fmt = line_format(st, offset_width_for(length), linesize_obj);
    if (!fmt) return nullptr;
    Ref lines(PyList_New(0));
    if (!lines || PyList_Append(lines.get(), st->texts[kHeaderText]) < 0) return nullptr;
    const Py_ssize_t again = PyObject_Length(data);
    if (again < 0) return nullptr;
    for (Py_ssize_t offset = 0; offset < again; offset += linesize) {
        Ref line = formatted_line(module, data, fmt.get(), offset, linesize_obj);
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
        if (linesize > again - offset) break;
    }
    if (PyList_Append(lines.get(), st->texts[kClosingText]) < 0 || PyList_Append(lines.get(), st->texts[kEmptyText]) < 0) {
        return nullptr;
    }
    return PyUnicode_Join(st->texts[kNewlineText], lines.get());
}

// ---- direct route: a kernel over the bytes, used only when it gives the same text ----

// Bytes whose length and slicing are those of bytes/bytearray, so every slice iterates as
// its byte values.
const unsigned char* plain_byte_buffer(PyObject* data) {
    if (PyByteArray_CheckExact(data)) return reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(data));
    if (!PyBytes_Check(data)) return nullptr;
    PyTypeObject* type = Py_TYPE(data);
    if (type != &PyBytes_Type) {
        if (PyType_GetSlot(type, Py_mp_subscript) != PyType_GetSlot(&PyBytes_Type, Py_mp_subscript) ||
            PyType_GetSlot(type, Py_mp_length) != PyType_GetSlot(&PyBytes_Type, Py_mp_length) ||
            PyType_GetSlot(type, Py_sq_length) != PyType_GetSlot(&PyBytes_Type, Py_sq_length)) {
            return nullptr;
        }
    }
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
}

bool holds_snapshot(PyObject* table, PyObject* snapshot) {
    if (table == nullptr || !PyList_CheckExact(table) || PyList_GET_SIZE(table) != 256) return false;
    // Pointer identity of all 256 entries, compared as one block of memory.
    return std::memcmp(PySequence_Fast_ITEMS(table), PySequence_Fast_ITEMS(snapshot), 256 * sizeof(PyObject*)) == 0;
}

// 1 when the kernel writes exactly what the documented algorithm would: the tables are usable as
// characters and the namespace still binds iterateints, HEXPRINT and PRINTABLE as imported. 0 when
// it would not, -1 with an exception set (a lookup raised).
int kernel_applies(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!st->kernel_tables_ok) return 0;
    PyObject* dict = PyModule_GetDict(module);
    // Owned: a lookup can run a colliding key's __eq__, which may change the namespace.
    Ref iterateints, hexprint, printable;
    const int found = dict_get(dict, st->names[kIterateints], iterateints);
    if (found <= 0 || iterateints.get() != st->builtin_iter) return found < 0 ? -1 : 0;
    if (dict_get(dict, st->names[kHexprint], hexprint) < 0 || dict_get(dict, st->names[kPrintable], printable) < 0) {
        return -1;
    }
    return holds_snapshot(hexprint.get(), st->hexprint_snapshot) && holds_snapshot(printable.get(), st->printable_snapshot)
               ? 1
               : 0;
}

constexpr char header_line[] = "hexundump(\"\"\"\n";
constexpr char closing_line[] = "\"\"\")\n";
constexpr Py_ssize_t header_size = sizeof header_line - 1;
constexpr Py_ssize_t closing_size = sizeof closing_line - 1;

// Characters of a data line (its newline included) other than its bytes' two columns, and of
// the hex column; false when they do not fit in memory.
struct LineShape {
    int offset_width = 0;
    Py_ssize_t hex_width = 0;  // 3*linesize - 1
    Py_ssize_t full = 0;       // a full line, newline included

    bool init(int width, Py_ssize_t linesize) {
        offset_width = width;
        if (__builtin_mul_overflow(linesize, 4, &full)) return false;
        hex_width = 3 * linesize - 1;
        return !__builtin_add_overflow(full, width + 3 + 3 - 1 + 1, &full);
    }
    Py_ssize_t short_line(Py_ssize_t count) const { return full - (hex_width + 1) / 3 + count; }
};

// One data line at out; returns the end. Each pair is stored as four characters ("XX  "), the
// next pair overwriting the fourth, so a line takes one store per byte for its hex column.
char* write_line(const ModuleState* st, const LineShape& shape, char* out, const unsigned char* block, Py_ssize_t count,
                 unsigned long long offset) {
    for (int d = shape.offset_width - 1; d >= 0; --d, offset >>= 4) out[d] = upper_digits[offset & 15];
    out += shape.offset_width;
    std::memcpy(out, "   ", 3);
    char* hex = out + 3;
    for (Py_ssize_t j = 0; j < count; ++j) std::memcpy(hex + 3 * j, &st->hex_quads[block[j]], 4);
    const Py_ssize_t used = 3 * count - 1;
    std::memset(hex + used, ' ', static_cast<std::size_t>(shape.hex_width - used + 3));
    char* shown = hex + shape.hex_width + 3;
    for (Py_ssize_t j = 0; j < count; ++j) shown[j] = st->printable_chars[block[j]];
    shown[count] = '\n';
    return shown + count + 1;
}

// The whole dump text into `text`. Declined when its length does not fit a Py_ssize_t (the general
// path then fails as it fails).
Fast kernel_dump(const ModuleState* st, const unsigned char* bytes, Py_ssize_t length, Py_ssize_t linesize, Ref& text) {
    LineShape shape;
    if (!shape.init(offset_width_for(length), linesize)) return Fast::Declined;
    const Py_ssize_t full_lines = length / linesize, last = length % linesize;
    Py_ssize_t total = 0;
    if (__builtin_mul_overflow(shape.full, full_lines, &total) ||
        __builtin_add_overflow(total, header_size + closing_size + (last > 0 ? shape.short_line(last) : 0), &total)) {
        return Fast::Declined;
    }
    Ref result(PyUnicode_New(total, 127));
    if (!result) return Fast::Failed;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.get()));
    std::memcpy(out, header_line, header_size);
    out += header_size;
    unsigned long long offset = 0;
    for (Py_ssize_t line = 0; line < full_lines; ++line, offset += linesize) {
        out = write_line(st, shape, out, bytes + offset, linesize, offset);
    }
    if (last > 0) out = write_line(st, shape, out, bytes + offset, last, offset);
    std::memcpy(out, closing_line, closing_size);
    text = std::move(result);
    return Fast::Done;
}

bool over_limit(unsigned long long length) {
    if (length < max_dump_length) return false;
    PyErr_SetString(PyExc_ValueError, "hexdump cannot process more than 16**8 or 4294967296 bytes");
    return true;
}

// ---- the incremental writer: the dump of a byte stream fed in pieces of any size ----
//
// _HexWriter(linesize, size=None): write(data) returns the dump text (UTF-8 bytes) of every line
// completed so far, close() the rest with the closing line. The concatenation is the text that
// hexdump(all data, linesize) returns, encoded. The offset width needs the total length: it is
// settled once 65536 bytes have arrived (8 digits) or at close (4 digits), so at most that much
// is held back. size, when known, lets a dump over the limit fail before any data is read.

struct Writer {
    PyObject_HEAD
    PyObject* module;
    Py_ssize_t linesize;
    int offset_width;               // 0 until settled
    bool header_written;
    bool closed;
    bool busy;                      // inside write() or close(), which may run Python code
    unsigned long long received;    // bytes passed to write()
    unsigned long long next_offset; // offset of the next line written
    unsigned char* pending;         // bytes received but not yet dumped
    Py_ssize_t pending_size;
    Py_ssize_t pending_capacity;
};

// A run of whole lines (count bytes each, the last run may hold one short line) to dump.
struct Run {
    const unsigned char* bytes;
    Py_ssize_t size;
};

bool keep_pending(Writer* w, const unsigned char* bytes, Py_ssize_t size) {
    if (size > w->pending_capacity - w->pending_size) {
        Py_ssize_t capacity = std::max<Py_ssize_t>(w->pending_size + size, 2 * w->pending_capacity);
        capacity = std::max<Py_ssize_t>(capacity, 256);
        auto* grown = static_cast<unsigned char*>(PyMem_Realloc(w->pending, static_cast<std::size_t>(capacity)));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        w->pending = grown;
        w->pending_capacity = capacity;
    }
    if (size > 0) std::memcpy(w->pending + w->pending_size, bytes, static_cast<std::size_t>(size));
    w->pending_size += size;
    return true;
}

// The text of the runs' lines (a short one only at the very end), with the header first if it
// has not been written and the closing line last when closing.
PyObject* emit(Writer* w, const Run* runs, int nruns, bool closing) {
    ModuleState* st = state_of(w->module);
    const Py_ssize_t linesize = w->linesize;
    LineShape shape;
    if (!shape.init(w->offset_width, linesize)) return PyErr_NoMemory();
    const int direct = kernel_applies(w->module);
    if (direct < 0) return nullptr;
    if (direct) {
        Py_ssize_t total = (w->header_written ? 0 : header_size) + (closing ? closing_size : 0);
        for (int r = 0; r < nruns; ++r) {
            const Py_ssize_t last = runs[r].size % linesize;
            Py_ssize_t lines = 0;
            if (__builtin_mul_overflow(runs[r].size / linesize, shape.full, &lines) ||
                __builtin_add_overflow(total, lines + (last > 0 ? shape.short_line(last) : 0), &total)) {
                return PyErr_NoMemory();
            }
        }
        Ref result(PyBytes_FromStringAndSize(nullptr, total));
        if (!result) return nullptr;
        char* out = PyBytes_AS_STRING(result.get());
        if (!w->header_written) out = static_cast<char*>(std::memcpy(out, header_line, header_size)) + header_size;
        for (int r = 0; r < nruns; ++r) {
            const unsigned char* bytes = runs[r].bytes;
            for (Py_ssize_t left = runs[r].size; left > 0; bytes += linesize, w->next_offset += linesize) {
                const Py_ssize_t count = std::min(left, linesize);
                out = write_line(st, shape, out, bytes, count, w->next_offset);
                left -= count;
            }
        }
        if (closing) std::memcpy(out, closing_line, closing_size);
        w->header_written = true;
        return result.release();
    }
    // Changed tables or helpers: each line through the documented algorithm, then encoded.
    Ref linesize_obj(PyLong_FromSsize_t(linesize));
    if (!linesize_obj) return nullptr;
    Ref fmt = line_format(st, w->offset_width, linesize_obj.get());
    if (!fmt) return nullptr;
    Ref lines(PyList_New(0));
    if (!lines) return nullptr;
    if (!w->header_written && PyList_Append(lines.get(), st->texts[kHeaderText]) < 0) return nullptr;
    unsigned long long offset = w->next_offset;
    for (int r = 0; r < nruns; ++r) {
        const unsigned char* bytes = runs[r].bytes;
        for (Py_ssize_t left = runs[r].size; left > 0; bytes += linesize, offset += linesize) {
            const Py_ssize_t count = std::min(left, linesize);
            left -= count;
            Ref block(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), count));
            if (!block) return nullptr;
            Ref start(PyLong_FromUnsignedLongLong(offset));
            if (!start) return nullptr;
            Ref line = formatted_block(w->module, block.get(), fmt.get(), start.get());
            if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
        }
    }
    if (closing && PyList_Append(lines.get(), st->texts[kClosingText]) < 0) return nullptr;
    if (PyList_GET_SIZE(lines.get()) == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    if (PyList_Append(lines.get(), st->texts[kEmptyText]) < 0) return nullptr;
    Ref joined(PyUnicode_Join(st->texts[kNewlineText], lines.get()));
    if (!joined) return nullptr;
    PyObject* encoded = PyUnicode_AsUTF8String(joined.get());
    if (encoded == nullptr) return nullptr;
    w->header_written = true;
    w->next_offset = offset;
    return encoded;
}

bool writer_usable(Writer* w) {
    if (w->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the hex dump writer is already in use");
        return false;
    }
    if (!w->closed) return true;
    PyErr_SetString(PyExc_ValueError, "the hex dump writer is closed");
    return false;
}

PyObject* writer_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"data"};
    static const Signature sig{"_HexWriter.write", params, 1, 1, true};
    PyObject* arg[1];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    auto* w = reinterpret_cast<Writer*>(self);
    if (!writer_usable(w)) return nullptr;
    InUse in_use(w->busy);
    Py_buffer view;
    if (PyObject_GetBuffer(arg[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    const auto* data = static_cast<const unsigned char*>(view.buf);
    Py_ssize_t size = view.len;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (over_limit(w->received + static_cast<unsigned long long>(size))) return nullptr;
    // A failed call leaves the writer as it found it (what it already returned stays valid).
    const unsigned long long received = w->received;
    const Py_ssize_t pending_before = w->pending_size;
    const int width_before = w->offset_width;
    auto undo = [&]() -> PyObject* {
        w->received = received;
        w->pending_size = pending_before;
        w->offset_width = width_before;
        return nullptr;
    };
    w->received += static_cast<unsigned long long>(size);
    if (w->offset_width == 0) {
        if (w->received < 65536) {
            if (!keep_pending(w, data, size)) return undo();
            return PyBytes_FromStringAndSize(nullptr, 0);
        }
        w->offset_width = 8;
    }
    const Py_ssize_t linesize = w->linesize;
    // Complete the pending bytes to whole lines from the front of data.
    if (w->pending_size % linesize != 0) {
        const Py_ssize_t take = std::min(size, linesize - w->pending_size % linesize);
        if (!keep_pending(w, data, take)) return undo();
        data += take;
        size -= take;
    }
    const Py_ssize_t pending_whole = w->pending_size - w->pending_size % linesize;
    const Py_ssize_t data_whole = size - size % linesize;
    const Run runs[] = {{w->pending, pending_whole}, {data, data_whole}};
    Ref text(emit(w, runs, 2, false));
    if (!text) return undo();
    // What is left is less than a line, from pending (then data is used up) or from data.
    // (Keeping it can fail only on an allocation of less than a line, which ends the dump.)
    const Py_ssize_t rest = w->pending_size - pending_whole;
    if (rest > 0) std::memmove(w->pending, w->pending + pending_whole, static_cast<std::size_t>(rest));
    w->pending_size = rest;
    if (!keep_pending(w, data + data_whole, size - data_whole)) return nullptr;
    return text.release();
}

PyObject* writer_close(PyObject* self, PyObject*) {
    auto* w = reinterpret_cast<Writer*>(self);
    if (!writer_usable(w)) return nullptr;
    InUse in_use(w->busy);
    if (w->offset_width == 0) w->offset_width = offset_width_for(static_cast<Py_ssize_t>(w->received));
    const Run runs[] = {{w->pending, w->pending_size}};
    PyObject* text = emit(w, runs, 1, true);
    if (text == nullptr) return nullptr;
    w->closed = true;
    w->pending_size = 0;
    return text;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return with_fastcall(args, kwargs, [type](PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
        static const char* const params[] = {"linesize", "size"};
        static const Signature sig{"_HexWriter", params, 2, 1};
        PyObject* arg[2] = {nullptr, nullptr};
        if (!parse_args(sig, argv, nargs, kwnames, arg)) return nullptr;
        Ref index(PyNumber_Index(arg[0]));
        if (!index) return nullptr;
        const Py_ssize_t linesize = positive_linesize(index.get());
        if (linesize < 0) return nullptr;
        if (arg[1] != nullptr && arg[1] != Py_None) {
            Ref size(PyNumber_Index(arg[1]));
            if (!size) return nullptr;
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(size.get(), &overflow);
            if (value == -1 && PyErr_Occurred()) return nullptr;
            if (overflow < 0 || (overflow == 0 && value < 0)) {
                PyErr_Format(PyExc_ValueError, "size must not be negative, not %R", size.get());
                return nullptr;
            }
            if (over_limit(overflow > 0 ? max_dump_length : static_cast<unsigned long long>(value))) return nullptr;
        }
        PyObject* module = PyType_GetModule(type);
        if (module == nullptr) return nullptr;
        auto* w = reinterpret_cast<Writer*>(type->tp_alloc(type, 0));
        if (w == nullptr) return nullptr;
        w->module = Ref::borrow(module).release();
        w->linesize = linesize;
        return reinterpret_cast<PyObject*>(w);
    });
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Writer*>(self)->module);
    return 0;
}

int writer_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Writer*>(self)->module);
    return 0;
}

void writer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    writer_clear(self);
    PyMem_Free(reinterpret_cast<Writer*>(self)->pending);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef writer_methods[] = {
    {"write", as_cfunction(writer_write), kFastcall,
     "write(data) -> the dump text (UTF-8) of the lines completed by data"},
    {"close", writer_close, METH_NOARGS, "close() -> the rest of the dump text, closing line included"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {Py_tp_doc, const_cast<char*>("Writes a hex dump piece by piece (used by the command-line tool).")},
    {0, nullptr},
};

PyType_Spec writer_spec = {"qelo.lib.hex._HexWriter", sizeof(Writer), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                           writer_slots};

}  // namespace

bool add_writer_type(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &writer_spec, nullptr));
    return type && PyModule_AddObjectRef(module, "_HexWriter", type.get()) == 0;
}

PyObject* hexdump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"data", "linesize"};
    static const Signature sig{"hexdump", params, 2, 2};
    PyObject* arg[2];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    PyObject* data = arg[0];
    ModuleState* st = state_of(module);
    const Py_ssize_t length = PyObject_Length(data);
    if (length < 0) return nullptr;
    if (over_limit(static_cast<unsigned long long>(length))) return nullptr;
    Ref index(PyNumber_Index(arg[1]));
    if (!index) return nullptr;
    const Py_ssize_t linesize = positive_linesize(index.get());
    if (linesize < 0) return nullptr;
    // linesize.__index__ may have resized a bytearray: the direct route needs the length unchanged.
    const unsigned char* bytes = plain_byte_buffer(data);
    if (bytes != nullptr && Py_SIZE(data) != length) bytes = nullptr;
    if (bytes != nullptr && length == 0) return PyUnicode_FromString("hexundump(\"\"\"\n\"\"\")\n");
    if (bytes != nullptr) {
        const int direct = kernel_applies(module);
        if (direct < 0) return nullptr;
        if (direct) {
            Ref text;
            switch (kernel_dump(st, bytes, length, linesize, text)) {
                case Fast::Done: return text.release();
                case Fast::Failed: return nullptr;
                case Fast::Declined: break;
            }
        }
    }
    return general_dump(module, data, length, index.get(), linesize);
}

}  // namespace qelo::hex
