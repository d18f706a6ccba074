// hexundump, the reader of the hex dump text, and _HexReader, the same reader fed in pieces.
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
//
// The reader takes one line at a time and carries its state (line number, expected offset,
// offset width, what may follow) from line to line, so a text read in pieces gives the bytes
// and the errors of the whole text read at once.
#include "state.hpp"

#include "compat.hpp"

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

// The byte that two hex digits stand for, indexed by first | second << 8; not_hex << 4 is set
// for every other pair of characters. One load per byte for a whole hex column.
constexpr std::array<std::uint16_t, 65536> make_pairs() {
    std::array<std::uint16_t, 65536> table{};
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            const unsigned high = nibbles[first], low = nibbles[second];
            table[first | second << 8] =
                static_cast<std::uint16_t>((high | low) & not_hex ? not_hex << 4 : (high << 4 | low));
        }
    }
    return table;
}
constexpr std::array<std::uint16_t, 65536> pairs = make_pairs();

// UTF-8 bytes of the text, as the incremental reader gets them.
struct Utf8 {
    using Char = unsigned char;
};

enum class Fault { none, header, data_line, offset, after_short_line, no_closing, after_closing };
enum class Phase { header, data, after_short_line, closed };

// Everything the reader knows between two lines.
struct ReaderState {
    Py_ssize_t linesize = 0;
    Py_ssize_t hex_width = 0;
    Phase phase = Phase::header;
    Py_ssize_t line_number = 0;  // of the last line read
    unsigned long long expected = 0;
    int offset_width = 0;  // 0 until the first data line
    Fault fault = Fault::none;

    void init(Py_ssize_t size) {
        // No text in memory holds a line this long, and line arithmetic stays far from overflow.
        linesize = std::min(size, PY_SSIZE_T_MAX / 8);
        hex_width = 3 * linesize - 1;
    }
};

// Reads one line (without its newline) of text in the encoding Enc (a character type for str
// data, Utf8 for bytes) and stores its bytes at out.
template <typename Enc>
class LineReader {
    using Char = std::conditional_t<std::is_same_v<Enc, Utf8>, unsigned char, Enc>;

public:
    LineReader(ReaderState& state, const Char* line, Py_ssize_t length, unsigned char* out)
        : s_(state), text_(line), end_(length), out_(out) {}

    // What is wrong with the line (also recorded in the state), Fault::none when nothing is: then
    // `count` holds the bytes it stored (0 for the header or closing line).
    Fault read(Py_ssize_t& count) {
        count = 0;
        ++s_.line_number;
        switch (s_.phase) {
            case Phase::header:
                if (!holds("hexundump(\"\"\"")) return fail(Fault::header);
                s_.phase = Phase::data;
                return Fault::none;
            case Phase::closed: return fail(Fault::after_closing);
            case Phase::data:
            case Phase::after_short_line: break;
        }
        if (holds("\"\"\")")) {
            s_.phase = Phase::closed;
            return Fault::none;
        }
        if (s_.phase == Phase::after_short_line) return fail(Fault::after_short_line);
        unsigned long long offset = 0;
        if (!read_data_line(count, offset)) return fail(Fault::data_line);
        if (offset != s_.expected) return fail(Fault::offset);
        if (count < s_.linesize) s_.phase = Phase::after_short_line;
        if (__builtin_add_overflow(s_.expected, static_cast<unsigned long long>(s_.linesize), &s_.expected)) {
            s_.expected = ~0ULL;
        }
        return Fault::none;
    }

private:
    Fault fail(Fault kind) {
        s_.fault = kind;
        return kind;
    }

    bool holds(const char* expected) const {
        const auto size = static_cast<Py_ssize_t>(std::strlen(expected));
        if (end_ != size) return false;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (text_[i] != static_cast<Char>(static_cast<unsigned char>(expected[i]))) return false;
        }
        return true;
    }

    bool spaces(Py_ssize_t from, Py_ssize_t to) const {
        for (Py_ssize_t i = from; i < to; ++i) {
            if (text_[i] != ' ') return false;
        }
        return true;
    }

    // Characters in [from, end): code units, or for UTF-8 (already validated) the bytes that
    // start a character.
    Py_ssize_t characters(Py_ssize_t from) const {
        if constexpr (std::is_same_v<Enc, Utf8>) {
            Py_ssize_t count = 0;
            for (Py_ssize_t i = from; i < end_; ++i) count += (text_[i] & 0xC0) != 0x80;
            return count;
        } else {
            return end_ - from;
        }
    }

    bool ascii(Py_ssize_t from, Py_ssize_t to) const {
        if constexpr (std::is_same_v<Enc, Utf8>) {
            unsigned char any = 0;
            for (Py_ssize_t i = from; i < to; ++i) any |= text_[i];
            return any < 0x80;
        } else {
            (void)from;
            (void)to;
            return true;
        }
    }

    bool read_offset(Py_ssize_t& at, unsigned long long& offset) {
        int digits = 0;
        for (; at < end_ && digits < 9; ++at, ++digits) {
            const unsigned value = nibble(text_[at]);
            if (value & not_hex) break;
            offset = offset * 16 + value;
        }
        if (digits != 4 && digits != 8) return false;
        if (s_.offset_width == 0) s_.offset_width = digits;
        return digits == s_.offset_width;
    }

    // Pairs "XX" separated by single spaces, at most linesize of them; stored as they are read.
    Py_ssize_t read_pairs(Py_ssize_t at) {
        Py_ssize_t count = 0;
        while (count < s_.linesize && end_ - at >= 2) {
            const unsigned high = nibble(text_[at]), low = nibble(text_[at + 1]);
            if ((high | low) & not_hex) break;
            out_[count++] = static_cast<unsigned char>(high << 4 | low);
            at += 2;
            if (end_ - at < 2 || text_[at] != ' ' || (nibble(text_[at + 1]) & not_hex)) break;
            ++at;
        }
        return count;
    }

    // A full hex column read without branching per byte; false if any character is off, and
    // the careful reader then decides.
    bool read_full_column(Py_ssize_t hex) {
        const Char* at = text_ + hex;
        unsigned faults = 0;
        if constexpr (sizeof(Char) == 1) {
            for (Py_ssize_t j = 0; j < s_.linesize; ++j, at += 3) {
                const unsigned value = pairs[static_cast<unsigned>(at[0]) | static_cast<unsigned>(at[1]) << 8];
                faults |= value | static_cast<unsigned>(at[2] != ' ') << 8;  // the last: a separator space
                out_[j] = static_cast<unsigned char>(value);
            }
            return (faults & ~0xFFu) == 0;
        }
        for (Py_ssize_t j = 0; j < s_.linesize; ++j, at += 3) {
            const unsigned high = nibble(at[0]), low = nibble(at[1]);
            faults |= (high | low) & not_hex;
            faults |= static_cast<unsigned>(at[2] != ' ');  // the last one is the first separator space
            out_[j] = static_cast<unsigned char>(high << 4 | low);
        }
        return faults == 0;
    }

    bool read_data_line(Py_ssize_t& count, unsigned long long& offset) {
        Py_ssize_t at = 0;
        if (!read_offset(at, offset)) return false;
        if (end_ - at < 3 || !spaces(at, at + 3)) return false;
        const Py_ssize_t hex = at + 3;
        const Py_ssize_t shown = hex + s_.hex_width + 3;
        if (end_ - hex == s_.hex_width + 3 + s_.linesize && read_full_column(hex) &&
            spaces(hex + s_.hex_width, shown) && ascii(shown, end_)) {
            count = s_.linesize;
            return true;
        }
        count = read_pairs(hex);
        if (count == 0) return false;
        // Fill after the pairs, then the three separating spaces, then one character per byte.
        if (end_ - hex < s_.hex_width + 3) return false;
        if (!spaces(hex + 3 * count - 1, shown)) return false;
        return characters(shown) == count;
    }

    ReaderState& s_;
    const Char* text_;
    Py_ssize_t end_;
    unsigned char* out_;
};

// The ValueError text of the state's fault; line is the faulty line's text (a str, at most the
// characters shown) and longer tells whether the line goes on beyond it.
Ref fault_message(const ReaderState& s, PyObject* line, bool longer) {
    if (s.fault == Fault::no_closing) {
        return Ref(PyUnicode_FromFormat("the dump ends after line %zd without the closing line '\"\"\")'", s.line_number));
    }
    Ref quoted(PyUnicode_FromFormat("%R%s", line, longer ? "..." : ""));
    if (!quoted) return {};
    const Py_ssize_t number = s.line_number;
    switch (s.fault) {
        case Fault::header:
            return Ref(PyUnicode_FromFormat("line 1 is not the header line 'hexundump(\"\"\"': %U", quoted.get()));
        case Fault::data_line:
            return Ref(PyUnicode_FromFormat("line %zd is not a data line of a hex dump with linesize %zd: %U", number,
                                            s.linesize, quoted.get()));
        case Fault::offset: {
            char expected[32];
            std::snprintf(expected, sizeof expected, "%0*llX", s.offset_width, s.expected);
            return Ref(PyUnicode_FromFormat("line %zd does not hold the offset %s (a line is missing or out of order): %U",
                                            number, expected, quoted.get()));
        }
        case Fault::after_short_line:
            return Ref(PyUnicode_FromFormat(
                "line %zd is not the closing line '\"\"\")', which must follow a short data line: %U", number,
                quoted.get()));
        case Fault::after_closing:
            return Ref(PyUnicode_FromFormat("line %zd follows the closing line '\"\"\")': %U", number, quoted.get()));
        default:
            PyErr_SetString(PyExc_SystemError, "unknown hex dump fault");
            return {};
    }
}

constexpr Py_ssize_t quoted_characters = 120;

// The reader's state at the end of the text: a fault unless the closing line was the last line.
bool at_end(ReaderState& s) {
    if (s.phase == Phase::closed) return true;
    s.fault = s.phase == Phase::header ? Fault::header : Fault::no_closing;
    if (s.phase == Phase::header) s.line_number = 1;  // an empty text: line 1 is the empty line
    return false;
}

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

// The result from the bytes read into raw (a fresh bytes object of at least produced bytes):
// raw itself, cut to size, while int2byte is the original packer, else int2byte's bytes.
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
        Py_ssize_t count = 0;
        if (LineReader<Char>(s, chars + start, end - start, out + produced).read(count) != Fault::none) {
            const Py_ssize_t shown = std::min(end - start, quoted_characters);
            Ref line(PyUnicode_Substring(text, start, start + shown));
            if (!line) return false;
            Ref message = fault_message(s, line.get(), end - start > shown);
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return false;
        }
        produced += count;
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

// ---- the incremental reader: dump text as UTF-8 bytes, fed in pieces of any size ----
//
// _HexReader(linesize): feed(data) returns the bytes of every line completed so far, finish()
// those of a last line without a newline. Their concatenation is hexundump(text, linesize) of
// the whole text decoded from UTF-8, and the errors are those of that decoding and that call:
// a UTF-8 fault raises at once (it precedes any fault of the dump), a fault of the dump raises
// at finish(), the rest of the input being only checked for UTF-8 until then. Only a line not
// yet ended is kept between calls, and of an over-long one only the start, so memory stays bounded.

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
    } else if (Py_ssize_t count = 0; LineReader<Utf8>(s, line, size, out + produced).read(count) == Fault::none) {
        produced += count;
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
