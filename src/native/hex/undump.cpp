// hexundump: the reader of the hex dump text.
//
// A valid dump is exactly what hexdump writes with hex-digit pairs in HEXPRINT:
//   line 1:     hexundump("""
//   data lines: offset, 3 spaces, hex column, 3 spaces, printable column
//     - offset: 4 or 8 hex digits, the same width on every line, equal to the line's first byte
//       index (0, linesize, 2*linesize, ...);
//     - hex column: exactly 3*linesize-1 characters: k pairs of hex digits (either case)
//       separated by single spaces, then spaces; k == linesize except on the last data line,
//       where 1 <= k <= linesize;
//     - printable column: exactly k characters, any of them (the reader does not use them);
//   closing:    """)
// followed by "\n" or by nothing (a text whose final newline was lost still reads). Anything
// else raises ValueError naming the line, so no byte is ever dropped or invented.
#include "state.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qelo::hex {
namespace {

// Value of a hex digit, or 0xFF for any other character.
constexpr std::array<unsigned char, 256> make_nibbles() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = 0xFF;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
    return table;
}
constexpr std::array<unsigned char, 256> nibbles = make_nibbles();

template <typename Char>
unsigned nibble(Char c) {
    const auto code = static_cast<std::uint32_t>(c);
    if constexpr (sizeof(Char) == 1) return nibbles[code];
    return code < 256 ? nibbles[code] : 0xFF;
}
constexpr unsigned not_hex = 0xF0;  // set in nibble() for every non-digit

enum class Fault { none, header, data_line, offset, after_short_line, no_closing, after_closing };

struct FaultReport {
    Fault kind = Fault::none;
    Py_ssize_t line_number = 0;
    Py_ssize_t start = 0, end = 0;  // the line's text
    unsigned long long expected_offset = 0;
    int offset_width = 0;
};

template <typename Char>
class DumpReader {
    // No text in memory holds a line this long, and line arithmetic stays far from overflow.
    static constexpr Py_ssize_t max_linesize = PY_SSIZE_T_MAX / 8;

public:
    DumpReader(const Char* text, Py_ssize_t length, Py_ssize_t linesize, unsigned char* out)
        : text_(text), length_(length), linesize_(std::min(linesize, max_linesize)), out_(out) {
        hex_width_ = 3 * linesize_ - 1;
    }

    // Reads the whole text; false with report() filled on a fault.
    bool read() {
        Py_ssize_t line_number = 1;
        Py_ssize_t end = line_end(0);
        if (!holds(0, end, "hexundump(\"\"\"")) return fail(Fault::header, line_number, 0, end);
        unsigned long long expected = 0;
        bool short_line_seen = false;
        for (;;) {
            if (end == length_ || end + 1 == length_) return fail(Fault::no_closing, line_number, 0, 0);
            const Py_ssize_t start = end + 1;
            end = line_end(start);
            ++line_number;
            if (holds(start, end, "\"\"\")")) {
                if (end == length_ || end + 1 == length_) return true;
                return fail(Fault::after_closing, line_number + 1, end + 1, line_end(end + 1));
            }
            if (short_line_seen) return fail(Fault::after_short_line, line_number, start, end);
            Py_ssize_t count = 0;
            unsigned long long offset = 0;
            if (!read_data_line(start, end, count, offset)) return fail(Fault::data_line, line_number, start, end);
            if (offset != expected) {
                report_.expected_offset = expected;
                report_.offset_width = offset_width_;
                return fail(Fault::offset, line_number, start, end);
            }
            produced_ += count;
            short_line_seen = count < linesize_;
            if (__builtin_add_overflow(expected, static_cast<unsigned long long>(linesize_), &expected)) {
                expected = ~0ULL;
            }
        }
    }

    Py_ssize_t produced() const { return produced_; }
    const FaultReport& report() const { return report_; }

private:
    Py_ssize_t line_end(Py_ssize_t from) const {
        if (from >= length_) return length_;
        if constexpr (sizeof(Char) == 1) {
            const void* found = std::memchr(text_ + from, '\n', static_cast<std::size_t>(length_ - from));
            return found == nullptr ? length_ : static_cast<const Char*>(found) - text_;
        } else {
            Py_ssize_t at = from;
            while (at < length_ && text_[at] != '\n') ++at;
            return at;
        }
    }

    bool holds(Py_ssize_t start, Py_ssize_t end, const char* expected) const {
        const auto size = static_cast<Py_ssize_t>(std::strlen(expected));
        if (end - start != size) return false;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (text_[start + i] != static_cast<Char>(static_cast<unsigned char>(expected[i]))) return false;
        }
        return true;
    }

    bool spaces(Py_ssize_t from, Py_ssize_t to) const {
        for (Py_ssize_t i = from; i < to; ++i) {
            if (text_[i] != ' ') return false;
        }
        return true;
    }

    bool read_offset(Py_ssize_t& at, Py_ssize_t end, unsigned long long& offset) {
        int digits = 0;
        for (; at < end && digits < 9; ++at, ++digits) {
            const unsigned value = nibble(text_[at]);
            if (value & not_hex) break;
            offset = offset * 16 + value;
        }
        if (digits != 4 && digits != 8) return false;
        if (offset_width_ == 0) offset_width_ = digits;
        return digits == offset_width_;
    }

    // Pairs "XX" separated by single spaces, at most linesize of them; stored as they are read.
    Py_ssize_t read_pairs(Py_ssize_t at, Py_ssize_t end) {
        unsigned char* out = out_ + produced_;
        Py_ssize_t count = 0;
        while (count < linesize_ && end - at >= 2) {
            const unsigned high = nibble(text_[at]), low = nibble(text_[at + 1]);
            if ((high | low) & not_hex) break;
            out[count++] = static_cast<unsigned char>(high << 4 | low);
            at += 2;
            if (end - at < 2 || text_[at] != ' ' || (nibble(text_[at + 1]) & not_hex)) break;
            ++at;
        }
        return count;
    }

    // A full hex column read without branching per byte; false if any character is off, and
    // the careful reader then decides.
    bool read_full_column(Py_ssize_t hex) {
        const Char* at = text_ + hex;
        unsigned char* out = out_ + produced_;
        unsigned faults = 0;
        for (Py_ssize_t j = 0; j < linesize_; ++j, at += 3) {
            const unsigned high = nibble(at[0]), low = nibble(at[1]);
            faults |= (high | low) & not_hex;
            faults |= static_cast<unsigned>(at[2] != ' ');  // the last one is the first separator space
            out[j] = static_cast<unsigned char>(high << 4 | low);
        }
        return faults == 0;
    }

    bool read_data_line(Py_ssize_t start, Py_ssize_t end, Py_ssize_t& count, unsigned long long& offset) {
        Py_ssize_t at = start;
        if (!read_offset(at, end, offset)) return false;
        if (end - at < 3 || !spaces(at, at + 3)) return false;
        const Py_ssize_t hex = at + 3;
        if (end - hex == hex_width_ + 3 + linesize_ && read_full_column(hex) && spaces(hex + hex_width_, hex + hex_width_ + 3)) {
            count = linesize_;
            return true;
        }
        count = read_pairs(hex, end);
        if (count == 0) return false;
        // Fill after the pairs, then the three separating spaces, then one character per byte.
        if (end - hex < hex_width_ + 3) return false;
        if (!spaces(hex + 3 * count - 1, hex + hex_width_ + 3)) return false;
        return end - (hex + hex_width_ + 3) == count;
    }

    bool fail(Fault kind, Py_ssize_t line_number, Py_ssize_t start, Py_ssize_t end) {
        report_.kind = kind;
        report_.line_number = line_number;
        report_.start = start;
        report_.end = end;
        return false;
    }

    const Char* text_;
    Py_ssize_t length_;
    Py_ssize_t linesize_;
    Py_ssize_t hex_width_ = 0;
    unsigned char* out_;
    Py_ssize_t produced_ = 0;
    int offset_width_ = 0;
    FaultReport report_;
};

// The line as it stands in the text, cut to a readable length.
Ref quoted_line(PyObject* text, const FaultReport& report) {
    constexpr Py_ssize_t shown = 120;
    const Py_ssize_t end = report.end - report.start > shown ? report.start + shown : report.end;
    Ref line(PyUnicode_Substring(text, report.start, end));
    if (!line) return {};
    return Ref(PyUnicode_FromFormat("%R%s", line.get(), end < report.end ? "..." : ""));
}

void raise_fault(PyObject* text, const FaultReport& report, Py_ssize_t linesize) {
    if (report.kind == Fault::no_closing) {
        PyErr_Format(PyExc_ValueError, "the dump ends after line %zd without the closing line '\"\"\")'",
                     report.line_number);
        return;
    }
    Ref line = quoted_line(text, report);
    if (!line) return;
    const Py_ssize_t number = report.line_number;
    switch (report.kind) {
        case Fault::header:
            PyErr_Format(PyExc_ValueError, "line 1 is not the header line 'hexundump(\"\"\"': %U", line.get());
            break;
        case Fault::data_line:
            PyErr_Format(PyExc_ValueError, "line %zd is not a data line of a hex dump with linesize %zd: %U", number,
                         linesize, line.get());
            break;
        case Fault::offset: {
            char expected[32];
            std::snprintf(expected, sizeof expected, "%0*llX", report.offset_width, report.expected_offset);
            PyErr_Format(PyExc_ValueError, "line %zd does not hold the offset %s (a line is missing or out of order): %U",
                         number, expected, line.get());
            break;
        }
        case Fault::after_short_line:
            PyErr_Format(PyExc_ValueError, "line %zd is not the closing line '\"\"\")', which must follow a short data line: %U", number,
                         line.get());
            break;
        case Fault::after_closing:
            PyErr_Format(PyExc_ValueError, "line %zd follows the closing line '\"\"\")': %U", number, line.get());
            break;
        default:
            PyErr_SetString(PyExc_SystemError, "unknown hex dump fault");
    }
}

template <typename Char>
bool read_dump(PyObject* text, Py_ssize_t linesize, unsigned char* out, Py_ssize_t& produced) {
    DumpReader<Char> reader(static_cast<const Char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text), linesize, out);
    if (!reader.read()) {
        raise_fault(text, reader.report(), linesize);
        return false;
    }
    produced = reader.produced();
    return true;
}

// The dump text as an exact str: a str subclass or other object is split on "\n" through its
// own method, as the documented algorithm does, and the pieces joined again.
Ref dump_text(State* st, PyObject* data) {
    if (PyUnicode_CheckExact(data)) return Ref::borrow(data);
    Ref pieces(PyObject_CallMethodOneArg(data, st->name(name::split), st->txt(text::newline)));
    if (!pieces) return {};
    return Ref(PyUnicode_Join(st->txt(text::newline), pieces.get()));
}

// b"".join(int2byte(b) for each byte), calling whatever int2byte is bound to now.
PyObject* bytes_through_int2byte(PyObject* module, const unsigned char* values, Py_ssize_t count) {
    State* st = state_of(module);
    Ref pieces(PyList_New(count));
    if (!pieces) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref int2byte = module_global(module, name::int2byte);
        if (!int2byte) return nullptr;
        Ref value(PyLong_FromLong(values[i]));
        if (!value) return nullptr;
        PyObject* piece = PyObject_CallOneArg(int2byte.get(), value.get());
        if (piece == nullptr) return nullptr;
        PyList_SET_ITEM(pieces.get(), i, piece);
    }
    return PyObject_CallMethodOneArg(st->empty_bytes, st->name(name::join), pieces.get());
}

}  // namespace

PyObject* hexundump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const params[] = {"data", "linesize"};
    static const Signature sig{"hexundump", params, 2, 2};
    PyObject* arg[2];
    if (!parse_args(sig, args, nargs, kwnames, arg)) return nullptr;
    State* st = state_of(module);
    Ref text = dump_text(st, arg[0]);
    if (!text) return nullptr;
    Ref index(PyNumber_Index(arg[1]));
    if (!index) return nullptr;
    const Py_ssize_t linesize = positive_linesize(index.get());
    if (linesize < 0) return nullptr;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text.get()) < 0) return nullptr;
#endif
    // Every byte takes at least three characters of the text.
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, PyUnicode_GET_LENGTH(text.get()) / 3 + 1);
    if (raw == nullptr) return nullptr;
    Ref result(raw);
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(raw));
    Py_ssize_t produced = 0;
    bool ok = false;
    switch (PyUnicode_KIND(text.get())) {
        case PyUnicode_1BYTE_KIND: ok = read_dump<Py_UCS1>(text.get(), linesize, out, produced); break;
        case PyUnicode_2BYTE_KIND: ok = read_dump<Py_UCS2>(text.get(), linesize, out, produced); break;
        default: ok = read_dump<Py_UCS4>(text.get(), linesize, out, produced); break;
    }
    if (!ok) return nullptr;
    if (produced == 0) return Ref::borrow(st->empty_bytes).release();
    PyObject* int2byte = PyDict_GetItemWithError(PyModule_GetDict(module), st->name(name::int2byte));
    if (int2byte == nullptr && PyErr_Occurred()) return nullptr;
    if (int2byte == nullptr || int2byte != st->original_int2byte) {
        return bytes_through_int2byte(module, out, produced);
    }
    raw = result.release();
    if (_PyBytes_Resize(&raw, produced) < 0) return nullptr;
    return raw;
}

}  // namespace qelo::hex
