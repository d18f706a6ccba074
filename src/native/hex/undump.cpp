// hexundump: the whole dump text read at once, line by line through the grammar of undump.hpp.
#include "undump.hpp"

#include "compat.hpp"

#include <algorithm>
#include <cstring>

namespace qelo::hex {

namespace {

// b"".join(int2byte(b) for each byte), calling whatever int2byte is bound to now.
PyObject* bytes_through_int2byte(PyObject* module, const unsigned char* values, Py_ssize_t count) {
    ModuleState* st = state_of(module);
    Ref pieces(PyList_New(count));
    if (!pieces) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref int2byte = module_global(module, kInt2byte);
        if (!int2byte) return nullptr;
        Ref value(PyLong_FromLong(values[i]));
        if (!value) return nullptr;
        PyObject* piece = PyObject_CallOneArg(int2byte.get(), value.get());
        if (piece == nullptr) return nullptr;
        PyList_SET_ITEM(pieces.get(), i, piece);
    }
    return PyObject_CallMethodOneArg(st->empty_bytes, st->names[kJoin], pieces.get());
}

}  // namespace

PyObject* finish_bytes(PyObject* module, Ref raw, Py_ssize_t produced) {
    ModuleState* st = state_of(module);
    if (produced == 0) return Ref::borrow(st->empty_bytes).release();
    Ref int2byte;
    const int found = dict_get(PyModule_GetDict(module), st->names[kInt2byte], int2byte);
    if (found < 0) return nullptr;
    // The original packer stands in for the calls only while its Struct still packs ">B".
    const int original = found == 0 || int2byte.get() != st->original_int2byte
                             ? 0
                             : st->int2byte_format.unchanged(PyCFunction_GET_SELF(int2byte.get()));
    if (original < 0) return nullptr;
    if (original == 0) {
        return bytes_through_int2byte(module, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(raw.get())), produced);
    }
    return compat::shrink_new_bytes(raw.release(), produced);
}

namespace {

template <typename Char>
bool read_text(PyObject* text, ReaderState& s, unsigned char* out, Py_ssize_t& produced) {
    const auto* chars = static_cast<const Char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (start < length) {
        Py_ssize_t end = start;
        if constexpr (sizeof(Char) == 1) {
            const void* found = std::memchr(chars + start, '\n', static_cast<std::size_t>(length - start));
            end = found == nullptr ? length : static_cast<const Char*>(found) - chars;
        } else {
            while (end < length && chars[end] != '\n') ++end;
        }
        const LineRead line = LineReader<Char>(s, chars + start, end - start, out + produced).read();
        if (line.fault != Fault::none) {
            const Py_ssize_t shown = std::min(end - start, quoted_characters);
            Ref line(PyUnicode_Substring(text, start, start + shown));
            if (!line) return false;
            Ref message = fault_message(s, line.get(), end - start > shown);
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return false;
        }
        produced += line.count;
        start = end + 1;
    }
    if (at_end(s)) return true;
    Ref empty(PyUnicode_New(0, 0));
    if (!empty) return false;
    Ref message = fault_message(s, empty.get(), false);
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

// The dump text as an exact str: a str subclass or other object is split on "\n" through its
// own method, as the documented algorithm does, and the pieces joined again.
Ref dump_text(ModuleState* st, PyObject* data) {
    if (PyUnicode_CheckExact(data)) return Ref::borrow(data);
    Ref pieces(PyObject_CallMethodOneArg(data, st->names[kSplit], st->texts[kNewlineText]));
    if (!pieces) return {};
    return Ref(PyUnicode_Join(st->texts[kNewlineText], pieces.get()));
}

}  // namespace

PyObject* hexundump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"data", "linesize"};
    static const Signature sig{"hexundump", params, 2, 2};
    PyObject* arg[2];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    ModuleState* st = state_of(module);
    Ref text = dump_text(st, arg[0]);
    if (!text) return nullptr;
    Ref index(PyNumber_Index(arg[1]));
    if (!index) return nullptr;
    const Py_ssize_t linesize = positive_linesize(index.get());
    if (linesize < 0) return nullptr;
    if (!compat::unicode_ready(text.get())) return nullptr;
    // Every byte takes at least three characters of the text.
    Ref raw(PyBytes_FromStringAndSize(nullptr, PyUnicode_GET_LENGTH(text.get()) / 3 + 1));
    if (!raw) return nullptr;
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(raw.get()));
    ReaderState state;
    state.init(linesize);
    Py_ssize_t produced = 0;
    bool ok = false;
    switch (PyUnicode_KIND(text.get())) {
        case PyUnicode_1BYTE_KIND: ok = read_text<Py_UCS1>(text.get(), state, out, produced); break;
        case PyUnicode_2BYTE_KIND: ok = read_text<Py_UCS2>(text.get(), state, out, produced); break;
        default: ok = read_text<Py_UCS4>(text.get(), state, out, produced); break;
    }
    if (!ok) return nullptr;
    return finish_bytes(module, std::move(raw), produced);
}

}  // namespace qelo::hex
