// Bulk kernels for byte strings and bit strings (one byte 0x00/0x01 per bit, most significant
// first). Plain C++ over raw buffers: no Python objects, no allocation, no errors beyond "this
// input is not a bit string", which callers answer by taking the general path.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qelo::binary::kernels {

inline constexpr std::uint64_t kLowBitOfEachByte = 0x0101010101010101ULL;

inline std::uint64_t load_le64(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

inline void store_le64(unsigned char* p, std::uint64_t w) {
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    std::memcpy(p, &w, 8);
}

// The eight bits of v as eight bytes 0x00/0x01, most significant first, read as a little-endian
// word (so byte 0 in memory is bit 7 of v).
consteval std::array<std::uint64_t, 256> make_spread_table() {
    std::array<std::uint64_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        std::uint64_t w = 0;
        for (unsigned j = 0; j < 8; ++j) w |= static_cast<std::uint64_t>((v >> (7 - j)) & 1U) << (8 * j);
        table[v] = w;
    }
    return table;
}
inline constexpr std::array<std::uint64_t, 256> kSpread = make_spread_table();

constexpr unsigned char reverse_bits(unsigned v) {
    unsigned r = 0;
    for (unsigned j = 0; j < 8; ++j) r |= ((v >> j) & 1U) << (7 - j);
    return static_cast<unsigned char>(r);
}

consteval std::array<unsigned char, 256> make_reverse_table() {
    std::array<unsigned char, 256> table{};
    for (unsigned v = 0; v < 256; ++v) table[v] = reverse_bits(v);
    return table;
}
inline constexpr std::array<unsigned char, 256> kReversed = make_reverse_table();

// Writes the 8 bit-bytes of v to out.
inline void spread_byte(unsigned char v, unsigned char* out) { store_le64(out, kSpread[v]); }

// True when all eight bytes of the little-endian word w are 0x00 or 0x01.
inline bool is_bit_group(std::uint64_t w) { return (w & ~kLowBitOfEachByte) == 0; }

// Packs a valid bit group (memory byte 0 = most significant bit) into one byte. The multiplier
// moves byte i's bit to bit 63 - i; no two partial products share a position, so nothing carries.
inline unsigned char pack_bit_group(std::uint64_t w) {
    return static_cast<unsigned char>((w * 0x8040201008040201ULL) >> 56);
}

// bytes -> bits: out holds 8 * n bytes.
inline void bytes_to_bits(const unsigned char* in, std::size_t n, unsigned char* out) {
    for (std::size_t i = 0; i < n; ++i) spread_byte(in[i], out + 8 * i);
}

// bits -> bytes: n_groups groups of 8 bit-bytes; out holds n_groups bytes. Returns false (with out
// partly written) at the first group that holds a byte other than 0x00/0x01.
inline bool bits_to_bytes(const unsigned char* in, std::size_t n_groups, unsigned char* out) {
    std::size_t g = 0;
#if defined(__SSE2__)
    // Two groups per 16-byte vector: bytes above 1 are refused, then each byte's low bit moves to
    // its top bit and movemask collects them (byte 0 -> mask bit 0, so the order is reversed after).
    const __m128i one = _mm_set1_epi8(1);
    for (; g + 2 <= n_groups; g += 2) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * g));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, one), one)) != 0xFFFF) return false;
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi64(v, 7)));
        out[g] = kReversed[mask & 0xFF];
        out[g + 1] = kReversed[mask >> 8];
    }
#endif
    for (; g < n_groups; ++g) {
        const std::uint64_t w = load_le64(in + 8 * g);
        if (!is_bit_group(w)) return false;
        out[g] = pack_bit_group(w);
    }
    return true;
}

// Reverses the bit order inside each byte of a little-endian word.
inline std::uint64_t reverse_bits_in_bytes(std::uint64_t w) {
    w = ((w >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((w & 0x0F0F0F0F0F0F0F0FULL) << 4);
    w = ((w >> 2) & 0x3333333333333333ULL) | ((w & 0x3333333333333333ULL) << 2);
    w = ((w >> 1) & 0x5555555555555555ULL) | ((w & 0x5555555555555555ULL) << 1);
    return w;
}

inline void swap_bits_in_bytes(const unsigned char* in, std::size_t n, unsigned char* out) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, in + i, 8);  // byte order is irrelevant: every byte is handled alone
        w = reverse_bits_in_bytes(w);
        std::memcpy(out + i, &w, 8);
    }
    for (; i < n; ++i) out[i] = kReversed[in[i]];
}

// Reverses the order of n_groups 8-byte groups.
inline void swap_groups_of_8(const unsigned char* in, std::size_t n_groups, unsigned char* out) {
    for (std::size_t g = 0; g < n_groups; ++g) std::memcpy(out + 8 * g, in + 8 * (n_groups - 1 - g), 8);
}

// The low `width` bits (width <= 64) of u as bit-bytes, most significant first.
inline void low_bits_of_word(std::uint64_t u, std::size_t width, unsigned char* out) {
    unsigned char all[64];
    for (unsigned j = 0; j < 8; ++j) spread_byte(static_cast<unsigned char>(u >> (56 - 8 * j)), all + 8 * j);
    std::memcpy(out, all + (64 - width), width);
}

// Big-endian bytes of u, the low `width` (<= 8) of them.
inline void low_bytes_of_word(std::uint64_t u, std::size_t width, unsigned char* out) {
    for (std::size_t k = 0; k < width; ++k) out[width - 1 - k] = static_cast<unsigned char>(u >> (8 * k));
}

// The fold number = (number << 1) | b over n (<= 56) bytes of any value: it stays below 2**(n+8).
inline std::uint64_t fold_bits_short(const unsigned char* in, std::size_t n) {
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < n; ++i) number = (number << 1) | in[i];
    return number;
}

// The same fold for any n into a little-endian buffer of n / 8 + 2 zeroed bytes: byte i of the
// input is OR-ed in at bit position n - 1 - i, spilling into the next byte when it is above 1.
inline void fold_bits_into(const unsigned char* in, std::size_t n, unsigned char* le_out) {
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned b = in[i];
        if (b == 0) continue;
        const std::size_t pos = n - 1 - i;
        const unsigned shifted = b << (pos & 7);
        le_out[pos >> 3] |= static_cast<unsigned char>(shifted);
        le_out[(pos >> 3) + 1] |= static_cast<unsigned char>(shifted >> 8);
    }
}

// Expands big-endian bytes to bits, dropping the first `skip` (< 8) bits: out holds 8 * n - skip.
inline void bytes_to_bits_skipping(const unsigned char* in, std::size_t n, std::size_t skip, unsigned char* out) {
    if (n == 0) return;
    unsigned char first[8];
    spread_byte(in[0], first);
    std::memcpy(out, first + skip, 8 - skip);
    bytes_to_bits(in + 1, n - 1, out + (8 - skip));
}

}  // namespace qelo::binary::kernels
