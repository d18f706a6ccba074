// Bulk kernels for byte strings and bit strings (one byte 0x00/0x01 per bit, most significant
// first). Plain C++ over raw buffers: no Python objects, no allocation, no errors beyond "this
// input is not a bit string", which callers answer by taking the general path.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define QELO_BINARY_AVX2 1
#endif
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

#if defined(QELO_BINARY_AVX2)
// 64 bytes (8 groups) per step on CPUs that have AVX2: the same reversal as below in one shuffle.
// Advances *g past the groups done; false at a byte above 1.
__attribute__((target("avx2"))) inline bool bits_to_bytes_avx2(const unsigned char* in, std::size_t n_groups,
                                                               unsigned char* out, std::size_t* g) {
    const __m256i reverse_each_group = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                                        5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i high_bits = _mm256_set1_epi8(static_cast<char>(0xFE));
    std::size_t i = *g;
    for (; i + 8 <= n_groups; i += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8 * i + 32));
        const __m256i bad = _mm256_and_si256(_mm256_or_si256(a, b), high_bits);
        if (!_mm256_testz_si256(bad, bad)) return false;
        const auto lo = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_slli_epi64(_mm256_shuffle_epi8(a, reverse_each_group), 7)));
        const auto hi = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_slli_epi64(_mm256_shuffle_epi8(b, reverse_each_group), 7)));
        std::memcpy(out + i, &lo, 4);
        std::memcpy(out + i + 4, &hi, 4);
    }
    *g = i;
    return true;
}

// Asked of the CPU itself (CPUID, and XGETBV for the OS saving the YMM registers) rather than
// through __builtin_cpu_supports, whose answer comes from the compiler runtime's start-up code: a
// runtime that never fills it in (zig's, which builds the wheels) would turn this path off.
inline bool cpu_has_avx2() {
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
        unsigned xcr0 = 0, xcr0_high = 0;
        __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
        if ((xcr0 & 0x6) != 0x6) return false;
        return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) != 0;
    }();
    return has;
}
#endif

// bits -> bytes: n_groups groups of 8 bit-bytes; out holds n_groups bytes. Returns false (with out
// partly written) when a group holds a byte other than 0x00/0x01.
inline bool bits_to_bytes(const unsigned char* in, std::size_t n_groups, unsigned char* out) {
    std::size_t g = 0;
#if defined(QELO_BINARY_AVX2)
    if (n_groups >= 8 && cpu_has_avx2() && !bits_to_bytes_avx2(in, n_groups, out, &g)) return false;
#endif
#if defined(__SSE2__)
    // 32 bytes (4 groups) per step. Each group's bytes are put in reverse order (bytes inside each
    // 16-bit word, then the words of each 64-bit half), so that after moving every byte's low bit to
    // its top bit, movemask yields the packed bytes in order. Values above 1 are caught by OR-ing
    // the inputs and testing the high seven bits once per step.
    const __m128i high_bits = _mm_set1_epi8(static_cast<char>(0xFE));
    const auto pack16 = [](__m128i v) {
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x1B), 0x1B);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi64(v, 7)));
    };
    for (; g + 4 <= n_groups; g += 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * g));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * g + 16));
        const __m128i bad = _mm_and_si128(_mm_or_si128(a, b), high_bits);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF) return false;
        const std::uint32_t packed = pack16(a) | (pack16(b) << 16);
        std::memcpy(out + g, &packed, 4);  // little-endian host: byte k is group g + k
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
    // Counted by words, so that clang too knows the trip count and vectorizes the loop.
    const std::size_t words = n / 8;
    for (std::size_t k = 0; k < words; ++k) {
        std::uint64_t w;
        std::memcpy(&w, in + 8 * k, 8);  // byte order is irrelevant: every byte is handled alone
        w = reverse_bits_in_bytes(w);
        std::memcpy(out + 8 * k, &w, 8);
    }
    for (std::size_t i = 8 * words; i < n; ++i) out[i] = kReversed[in[i]];
}

// Reverses the order of n_groups 8-byte groups.
inline void swap_groups_of_8(const unsigned char* in, std::size_t n_groups, unsigned char* out) {
    std::size_t g = 0;
#if defined(__SSE2__)
    // Four groups per step: two 16-byte loads from the end, each with its halves swapped.
    for (; g + 4 <= n_groups; g += 4) {
        const unsigned char* src = in + 8 * (n_groups - g - 4);
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * g), _mm_shuffle_epi32(high, 0x4E));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * g + 16), _mm_shuffle_epi32(low, 0x4E));
    }
#endif
    for (; g < n_groups; ++g) std::memcpy(out + 8 * g, in + 8 * (n_groups - 1 - g), 8);
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

// Bit strings proper (every byte 0x00/0x01) as big-endian bytes: out holds (n + 7) / 8 bytes, the
// first holding the n % 8 leading bits. False when a byte above 1 turns up.
inline bool pack_bit_string(const unsigned char* in, std::size_t n, unsigned char* out) {
    const std::size_t lead = n % 8;
    if (lead != 0) {
        unsigned first = 0;
        for (std::size_t i = 0; i < lead; ++i) {
            if (in[i] > 1) return false;
            first = (first << 1) | in[i];
        }
        *out++ = static_cast<unsigned char>(first);
    }
    return bits_to_bytes(in + lead, n / 8, out);
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
