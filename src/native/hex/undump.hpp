// The hex dump grammar, read one line at a time: what hexundump (undump.cpp) and _HexReader
// (reader.cpp) share.
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
#pragma once

#include "state.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace qelo::hex {

// Value of a hex digit, or 0xFF for any other character.
constexpr std::array<unsigned char, 256> make_nibbles() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = 0xFF;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
    return table;
}
inline constexpr std::array<unsigned char, 256> nibbles = make_nibbles();

template <typename Char>
unsigned nibble(Char c) {
    const auto code = static_cast<std::uint32_t>(c);
    if constexpr (sizeof(Char) == 1) return nibbles[code];
    return code < 256 ? nibbles[code] : 0xFF;
}
inline constexpr unsigned not_hex = 0xF0;  // set in nibble() for every non-digit

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
inline constexpr std::array<std::uint16_t, 65536> pairs = make_pairs();

// The grammar below has internal linkage in each file that includes it, as functions of one file
// have: the compiler then inlines the line reader into each reading loop.
namespace {

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

// What a line held: its fault (Fault::none when it has none) and the bytes it stored.
struct LineRead {
    Fault fault;
    Py_ssize_t count;
};

// Reads one line (without its newline) of text in the encoding Enc (a character type for str
// data, Utf8 for bytes) and stores its bytes at out.
template <typename Enc>
class LineReader {
    using Char = std::conditional_t<std::is_same_v<Enc, Utf8>, unsigned char, Enc>;

public:
    LineReader(ReaderState& state, const Char* line, Py_ssize_t length, unsigned char* out)
        : s_(state), text_(line), end_(length), out_(out) {}

    // What is wrong with the line (also recorded in the state), Fault::none when nothing is, and
    // the bytes it stored (0 for the header or closing line, and for a faulty line).
    LineRead read() {
        ++s_.line_number;
        switch (s_.phase) {
            case Phase::header:
                if (!holds("hexundump(\"\"\"")) return fail(Fault::header);
                s_.phase = Phase::data;
                return {Fault::none, 0};
            case Phase::closed: return fail(Fault::after_closing);
            case Phase::data:
            case Phase::after_short_line: break;
        }
        if (holds("\"\"\")")) {
            s_.phase = Phase::closed;
            return {Fault::none, 0};
        }
        if (s_.phase == Phase::after_short_line) return fail(Fault::after_short_line);
        Py_ssize_t count = 0;
        unsigned long long offset = 0;
        if (!read_data_line(count, offset)) return fail(Fault::data_line);
        if (offset != s_.expected) return fail(Fault::offset);
        if (count < s_.linesize) s_.phase = Phase::after_short_line;
        if (__builtin_add_overflow(s_.expected, static_cast<unsigned long long>(s_.linesize), &s_.expected)) {
            s_.expected = ~0ULL;
        }
        return {Fault::none, count};
    }

private:
    LineRead fail(Fault kind) {
        s_.fault = kind;
        return {kind, 0};
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
        // Locals, not members: a byte stored through `out` may alias anything in memory, so
        // members (and the state, a reference) would be read again after every store.
        unsigned char* const out = out_;
        const Py_ssize_t linesize = s_.linesize;
        if constexpr (sizeof(Char) == 1) {
            for (Py_ssize_t j = 0; j < linesize; ++j, at += 3) {
                const unsigned value = pairs[static_cast<unsigned>(at[0]) | static_cast<unsigned>(at[1]) << 8];
                faults |= value | static_cast<unsigned>(at[2] != ' ') << 8;  // the last: a separator space
                out[j] = static_cast<unsigned char>(value);
            }
            return (faults & ~0xFFu) == 0;
        }
        for (Py_ssize_t j = 0; j < linesize; ++j, at += 3) {
            const unsigned high = nibble(at[0]), low = nibble(at[1]);
            faults |= (high | low) & not_hex;
            faults |= static_cast<unsigned>(at[2] != ' ');  // the last one is the first separator space
            out[j] = static_cast<unsigned char>(high << 4 | low);
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

// Characters of a faulty line that its error message quotes.
constexpr Py_ssize_t quoted_characters = 120;

// The ValueError text of the state's fault; line is the faulty line's text (a str, at most
// quoted_characters of it) and longer tells whether the line goes on beyond it. Null with an
// exception set.
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

// The reader's state at the end of the text: true when the closing line was the last line, else
// false with the fault recorded in the state (never an exception).
bool at_end(ReaderState& s) {
    if (s.phase == Phase::closed) return true;
    s.fault = s.phase == Phase::header ? Fault::header : Fault::no_closing;
    if (s.phase == Phase::header) s.line_number = 1;  // an empty text: line 1 is the empty line
    return false;
}

}  // namespace

// The result from the bytes read into raw (a fresh bytes object of at least `produced` bytes): raw
// itself, cut to size, while int2byte is the original packer, else b"".join of int2byte's bytes.
PyObject* finish_bytes(PyObject* module, Ref raw, Py_ssize_t produced);

}  // namespace qelo::hex
