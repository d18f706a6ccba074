// _HexReader: the hex dump reader fed the text's UTF-8 bytes in pieces of any size, through the
// grammar of undump.hpp.
//
// _HexReader(linesize): feed(data) returns the bytes of every line completed so far, finish()
// those of a last line without a newline. Their concatenation is hexundump(text, linesize) of
// the whole text decoded from UTF-8, and the errors are those of that decoding and that call:
// a UTF-8 fault raises at once (it precedes any fault of the dump), a fault of the dump raises
// at finish(), the rest of the input being only checked for UTF-8 until then. Only a line not
// yet ended is kept between calls, and of an over-long one only the start, so memory stays bounded.
#include "undump.hpp"

#include "compat.hpp"

#include <algorithm>
#include <cstring>

namespace qelo::hex {
namespace {

struct Reader {
    PyObject_HEAD
    PyObject* module;
    ReaderState state;
    PyObject* fault;                 // message of the first fault of the dump, or null
    bool finished;
    bool busy;                       // inside feed() or finish(), which may run Python code
    unsigned char* carry;            // the start of a line not yet ended
    Py_ssize_t carry_size;
    Py_ssize_t carry_capacity;
    Py_ssize_t carry_limit;          // longer lines are faults: only this much of them is kept
    bool carry_cut;                  // the line held in carry went on beyond carry_limit
    unsigned long long position;     // bytes fed so far
    unsigned char partial[4];        // the start of a character cut at the end of the last piece
    int partial_size;
};

// Bytes a valid line can take: the longest offset, both columns (4 bytes a character at most)
// and the separators; never less than the characters an error message quotes.
Py_ssize_t line_limit(const ReaderState& s) {
    Py_ssize_t limit = 0;
    if (__builtin_mul_overflow(s.linesize, 7, &limit) || __builtin_add_overflow(limit, 8 + 3 + 3, &limit)) {
        return PY_SSIZE_T_MAX;
    }
    return std::max<Py_ssize_t>(limit, 4 * (quoted_characters + 1));
}

bool ascii_only(const unsigned char* bytes, Py_ssize_t size, Py_ssize_t& first) {
    Py_ssize_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    for (; i < size; ++i) {
        if (bytes[i] & 0x80) {
            first = i;
            return false;
        }
    }
    return true;
}

// Raises the UTF-8 fault decoding bytes reported, at its place in the whole input.
void raise_utf8_fault(unsigned long long base) {
    Ref error = compat::take_raised_exception();
    Py_ssize_t start = 0, end = 0;
    if (!PyObject_TypeCheck(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_UnicodeDecodeError)) ||
        PyUnicodeDecodeError_GetStart(error.get(), &start) < 0 || PyUnicodeDecodeError_GetEnd(error.get(), &end) < 0) {
        if (!PyErr_Occurred()) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return;
    }
    Ref reason(PyUnicodeDecodeError_GetReason(error.get()));
    Ref object(PyUnicodeDecodeError_GetObject(error.get()));
    if (!reason || !object) return;
    const unsigned long long at = base + static_cast<unsigned long long>(start);
    if (end - start == 1) {
        const auto byte = static_cast<unsigned char>(PyBytes_AS_STRING(object.get())[start]);
        PyErr_Format(PyExc_ValueError,
                     "the input is not a UTF-8 text: 'utf-8' codec can't decode byte 0x%02x in position %llu: %U",
                     static_cast<unsigned>(byte), at, reason.get());
    } else {
        PyErr_Format(PyExc_ValueError,
                     "the input is not a UTF-8 text: 'utf-8' codec can't decode bytes in position %llu-%llu: %U", at,
                     at + static_cast<unsigned long long>(end - start - 1), reason.get());
    }
}

// Checks that bytes continue the UTF-8 text fed so far (a character cut at the end waits in
// partial for the next piece, or for the end with final). False with ValueError on a fault.
bool check_utf8(Reader* r, const unsigned char* bytes, Py_ssize_t size, bool final) {
    Py_ssize_t first = 0;
    if (r->partial_size == 0 && ascii_only(bytes, size, first)) return true;
    if (r->partial_size == 0) {
        bytes += first;
        size -= first;
    }
    // The bytes from the first one that is not ASCII (or from a cut character), decoded by the
    // interpreter's own decoder so that the fault is reported exactly as it reports it.
    const unsigned long long base = r->position + static_cast<unsigned long long>(first) - r->partial_size;
    Ref joined;
    const char* from = reinterpret_cast<const char*>(bytes);
    if (r->partial_size > 0) {
        joined.reset(PyBytes_FromStringAndSize(nullptr, r->partial_size + size));
        if (!joined) return false;
        std::memcpy(PyBytes_AS_STRING(joined.get()), r->partial, static_cast<std::size_t>(r->partial_size));
        std::memcpy(PyBytes_AS_STRING(joined.get()) + r->partial_size, bytes, static_cast<std::size_t>(size));
        from = PyBytes_AS_STRING(joined.get());
        size += r->partial_size;
    }
    Py_ssize_t consumed = size;
    Ref decoded(final ? PyUnicode_DecodeUTF8(from, size, "strict")
                      : PyUnicode_DecodeUTF8Stateful(from, size, "strict", &consumed));
    if (!decoded) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise_utf8_fault(base);
        return false;
    }
    r->partial_size = static_cast<int>(size - consumed);
    std::memcpy(r->partial, from + consumed, static_cast<std::size_t>(r->partial_size));
    return true;
}

// Reads one whole line (cut marks one longer than carry_limit, of which line holds the start).
// False with an error set when the fault cannot be recorded.
bool reader_line(Reader* r, const unsigned char* line, Py_ssize_t size, bool cut, unsigned char* out,
                 Py_ssize_t& produced) {
    ReaderState& s = r->state;
    if (cut) {
        // Longer than any valid line: the fault the whole text gives for this line.
        ++s.line_number;
        s.fault = s.phase == Phase::header             ? Fault::header
                  : s.phase == Phase::closed           ? Fault::after_closing
                  : s.phase == Phase::after_short_line ? Fault::after_short_line
                                                       : Fault::data_line;
    } else if (const LineRead read = LineReader<Utf8>(s, line, size, out + produced).read(); read.fault == Fault::none) {
        produced += read.count;
        return true;
    }
    // The first characters of the line, which is valid UTF-8 up to its end.
    Py_ssize_t consumed = 0;
    const Py_ssize_t prefix = std::min<Py_ssize_t>(size, 4 * (quoted_characters + 1));
    Ref text(PyUnicode_DecodeUTF8Stateful(reinterpret_cast<const char*>(line), prefix, "strict", &consumed));
    if (!text) return false;
    const bool longer = cut || PyUnicode_GET_LENGTH(text.get()) > quoted_characters || prefix < size;
    Ref shown(PyUnicode_Substring(text.get(), 0, quoted_characters));
    if (!shown) return false;
    Ref message = fault_message(s, shown.get(), longer);
    if (!message) return false;
    r->fault = message.release();
    return true;
}

bool keep_carry(Reader* r, const unsigned char* bytes, Py_ssize_t size) {
    const Py_ssize_t room = r->carry_limit - r->carry_size;
    if (size > room) {
        r->carry_cut = true;
        size = room;
    }
    if (size > r->carry_capacity - r->carry_size) {
        const Py_ssize_t capacity = std::min(r->carry_limit, std::max<Py_ssize_t>(r->carry_size + size, 2 * r->carry_capacity));
        auto* grown = static_cast<unsigned char*>(PyMem_Realloc(r->carry, static_cast<std::size_t>(capacity)));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        r->carry = grown;
        r->carry_capacity = capacity;
    }
    if (size > 0) std::memcpy(r->carry + r->carry_size, bytes, static_cast<std::size_t>(size));
    r->carry_size += size;
    return true;
}

bool reader_usable(Reader* r) {
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the hex dump reader is already in use");
        return false;
    }
    if (!r->finished) return true;
    PyErr_SetString(PyExc_ValueError, "the hex dump reader is finished");
    return false;
}

PyObject* reader_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"data"};
    static const Signature sig{"_HexReader.feed", params, 1, 1, true};
    PyObject* arg[1];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    auto* r = reinterpret_cast<Reader*>(self);
    if (!reader_usable(r)) return nullptr;
    InUse in_use(r->busy);
    Py_buffer view;
    if (PyObject_GetBuffer(arg[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const auto* data = static_cast<const unsigned char*>(view.buf);
    const Py_ssize_t size = view.len;
    if (!check_utf8(r, data, size, false)) return nullptr;
    r->position += static_cast<unsigned long long>(size);
    if (r->fault != nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
    // Every byte of the dump takes at least three characters of its line.
    Ref raw(PyBytes_FromStringAndSize(nullptr, (r->carry_size + size) / 3 + 1));
    if (!raw) return nullptr;
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(raw.get()));
    Py_ssize_t produced = 0, start = 0;
    while (start < size && r->fault == nullptr) {
        const void* found = std::memchr(data + start, '\n', static_cast<std::size_t>(size - start));
        if (found == nullptr) {
            if (!keep_carry(r, data + start, size - start)) return nullptr;
            break;
        }
        const Py_ssize_t end = static_cast<const unsigned char*>(found) - data;
        bool ok;
        if (r->carry_size > 0 || r->carry_cut) {
            if (!keep_carry(r, data + start, end - start)) return nullptr;
            ok = reader_line(r, r->carry, r->carry_size, r->carry_cut, out, produced);
            r->carry_size = 0;
            r->carry_cut = false;
        } else {
            ok = reader_line(r, data + start, end - start, false, out, produced);
        }
        if (!ok) return nullptr;
        start = end + 1;
    }
    if (r->fault != nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
    return finish_bytes(r->module, std::move(raw), produced);
}

PyObject* reader_finish(PyObject* self, PyObject*) {
    auto* r = reinterpret_cast<Reader*>(self);
    if (!reader_usable(r)) return nullptr;
    InUse in_use(r->busy);
    r->finished = true;
    if (r->partial_size > 0 && !check_utf8(r, r->partial, 0, true)) return nullptr;
    if (r->fault == nullptr && (r->carry_size > 0 || r->carry_cut)) {
        Ref raw(PyBytes_FromStringAndSize(nullptr, r->carry_size / 3 + 1));
        if (!raw) return nullptr;
        Py_ssize_t produced = 0;
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(raw.get()));
        if (!reader_line(r, r->carry, r->carry_size, r->carry_cut, out, produced)) return nullptr;
        r->carry_size = 0;
        if (r->fault == nullptr) {
            if (!at_end(r->state)) {
                Ref empty(PyUnicode_New(0, 0));
                if (!empty) return nullptr;
                Ref message = fault_message(r->state, empty.get(), false);
                if (!message) return nullptr;
                PyErr_SetObject(PyExc_ValueError, message.get());
                return nullptr;
            }
            return finish_bytes(r->module, std::move(raw), produced);
        }
    }
    if (r->fault != nullptr) {
        PyErr_SetObject(PyExc_ValueError, r->fault);
        return nullptr;
    }
    if (!at_end(r->state)) {
        Ref empty(PyUnicode_New(0, 0));
        if (!empty) return nullptr;
        Ref message = fault_message(r->state, empty.get(), false);
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    return PyBytes_FromStringAndSize(nullptr, 0);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return with_fastcall(args, kwargs, [type](PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) -> PyObject* {
        static const char* const params[] = {"linesize"};
        static const Signature sig{"_HexReader", params, 1, 1};
        PyObject* arg[1];
        if (!parse_args(sig, argv, nargs, kwnames, arg)) return nullptr;
        Ref index(PyNumber_Index(arg[0]));
        if (!index) return nullptr;
        const Py_ssize_t linesize = positive_linesize(index.get());
        if (linesize < 0) return nullptr;
        PyObject* module = PyType_GetModule(type);
        if (module == nullptr) return nullptr;
        auto* r = reinterpret_cast<Reader*>(type->tp_alloc(type, 0));
        if (r == nullptr) return nullptr;
        r->module = Ref::borrow(module).release();
        r->state = ReaderState{};
        r->state.init(linesize);
        r->carry_limit = line_limit(r->state);
        return reinterpret_cast<PyObject*>(r);
    });
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Reader*>(self)->module);
    return 0;
}

int reader_clear(PyObject* self) {
    auto* r = reinterpret_cast<Reader*>(self);
    Py_CLEAR(r->module);
    Py_CLEAR(r->fault);
    return 0;
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reader_clear(self);
    PyMem_Free(reinterpret_cast<Reader*>(self)->carry);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef reader_methods[] = {
    {"feed", as_cfunction(reader_feed), kFastcall,
     "feed(data) -> the bytes of the dump lines that data completes"},
    {"finish", reader_finish, METH_NOARGS, "finish() -> the bytes of a last line without a newline; raises a fault"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>("Reads a hex dump piece by piece (used by the command-line tool).")},
    {0, nullptr},
};

PyType_Spec reader_spec = {"qelo.lib.hex._HexReader", sizeof(Reader), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                           reader_slots};

}  // namespace

bool add_reader_type(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
    return type && PyModule_AddObjectRef(module, "_HexReader", type.get()) == 0;
}

}  // namespace qelo::hex
