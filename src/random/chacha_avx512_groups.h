// chacha_avx512_groups.h — the 512-bit lanes, and thirty-two ChaCha12 blocks as two sliced
// groups in zmm registers.
#pragma once

#include "random/chacha.h"
#include "random/chacha_avx512_rounds.h"
#include "random/chacha_sliced.h"

#include <immintrin.h>

// Inline code in an anonymous namespace: instruction-set files include this (see the rule
// in chacha.h). AVX-512F code: only files built with AVX-512 flags include it.

namespace tesk::random::avx512 {
namespace {

constexpr std::size_t group_blocks = 16;

/// The 512-bit lanes, for row_chacha12_x4 and input_words.
struct Avx512Lanes {
    using Vector = __m512i;
    static constexpr bool rebuilds_input = false;
    static constexpr std::size_t row_blocks = 4;

    static Vector splat(std::uint32_t word) noexcept {
        return _mm512_set1_epi32(static_cast<int>(word));
    }
    static Vector add(Vector a, Vector b) noexcept { return _mm512_add_epi32(a, b); }
    static Vector bitxor(Vector a, Vector b) noexcept { return _mm512_xor_si512(a, b); }
    template <int Bits> static Vector rotate(Vector x) noexcept {
        return _mm512_rol_epi32(x, Bits);
    }
    /// Words 12 and 13 of the sixteen blocks from `first` on: the counter's low words, and
    /// its high words with the carry of every lane whose low word wrapped.
    static void counter_words(std::uint64_t first, Vector& low, Vector& high) noexcept {
        const __m512i lanes =
            _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        low = _mm512_add_epi32(splat(static_cast<std::uint32_t>(first)), lanes);
        const __mmask16 carried = _mm512_cmplt_epu32_mask(low, lanes);
        const __m512i high_word = splat(static_cast<std::uint32_t>(first >> 32));
        high = _mm512_mask_add_epi32(high_word, carried, high_word, splat(1));
    }
    static Vector broadcast_row(const std::uint32_t* words) noexcept {
        return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
    }
    /// Row 3 of the four blocks from `first` on: each block's counter (low word first,
    /// wrapping modulo 2^64) and then the stream. Little-endian, a 64-bit lane is words 12
    /// and 13 or 14 and 15.
    static Vector counter_row(std::uint64_t first, std::uint64_t stream) noexcept {
        const auto lane = [](std::uint64_t value) { return static_cast<long long>(value); };
        return _mm512_setr_epi64(lane(first), lane(stream), lane(first + 1), lane(stream),
                                 lane(first + 2), lane(stream), lane(first + 3), lane(stream));
    }
    template <int Words> static Vector rotate_words(Vector x) noexcept {
        return _mm512_shuffle_epi32(x, static_cast<_MM_PERM_ENUM>(Words | ((Words + 1) % 4) << 2 |
                                                                  ((Words + 2) % 4) << 4 |
                                                                  ((Words + 3) % 4) << 6));
    }
    /// The four blocks: lane L of the four rows, side by side, is block L.
    static void store_rows(Vector a, Vector b, Vector c, Vector d, std::uint8_t* out) noexcept {
        const __m512i ab_01 = _mm512_shuffle_i64x2(a, b, 0x44);
        const __m512i cd_01 = _mm512_shuffle_i64x2(c, d, 0x44);
        const __m512i ab_23 = _mm512_shuffle_i64x2(a, b, 0xEE);
        const __m512i cd_23 = _mm512_shuffle_i64x2(c, d, 0xEE);
        _mm512_storeu_si512(out, _mm512_shuffle_i64x2(ab_01, cd_01, 0x88));
        _mm512_storeu_si512(out + chacha_block_bytes, _mm512_shuffle_i64x2(ab_01, cd_01, 0xDD));
        _mm512_storeu_si512(out + 2 * chacha_block_bytes, _mm512_shuffle_i64x2(ab_23, cd_23, 0x88));
        _mm512_storeu_si512(out + 3 * chacha_block_bytes, _mm512_shuffle_i64x2(ab_23, cd_23, 0xDD));
    }
};

/// The input words of the sixteen blocks from `counter` on, with `odd_addend` added to
/// every odd word.
[[gnu::always_inline]] inline void input_words(const std::uint32_t* key, std::uint64_t counter,
                                               std::uint64_t stream, std::uint32_t odd_addend,
                                               Group& words) noexcept {
    random::input_words<Avx512Lanes>(key, counter, stream, words);
    for (std::size_t i = 1; i < chacha_block_words; i += 2) {
        words[i] = _mm512_add_epi32(words[i], Avx512Lanes::splat(odd_addend));
    }
}

/// Four words (v[0..3], lane j = block j) of sixteen blocks, regrouped: lane L (128 bits)
/// of quarters[r] holds the four words of block 4L + r, in order.
[[gnu::always_inline]] inline void quarter_words(const __m512i* v,
                                                 __m512i (&quarters)[4]) noexcept {
    const __m512i t0 = _mm512_unpacklo_epi32(v[0], v[1]);
    const __m512i t1 = _mm512_unpackhi_epi32(v[0], v[1]);
    const __m512i t2 = _mm512_unpacklo_epi32(v[2], v[3]);
    const __m512i t3 = _mm512_unpackhi_epi32(v[2], v[3]);
    quarters[0] = _mm512_unpacklo_epi64(t0, t2);
    quarters[1] = _mm512_unpackhi_epi64(t0, t2);
    quarters[2] = _mm512_unpacklo_epi64(t1, t3);
    quarters[3] = _mm512_unpackhi_epi64(t1, t3);
}

/// Hands the sixteen blocks of a group to `use(block, words)` in block order, each as one
/// register holding the block's sixteen words: its 64 bytes of key stream.
template <typename Use>
[[gnu::always_inline]] inline void for_each_block(const Group& words, Use&& use) noexcept {
    __m512i quarters[4][4]; // [h][r]: words 4h to 4h + 3, see quarter_words
    for (int h = 0; h < 4; ++h) {
        quarter_words(words + 4 * h, quarters[h]);
    }
    // Lanes 0 and 2 (or 1 and 3) of two quarters, then the same of two such pairs: lane L
    // of all four quarters, which is block 4L + r. The 128-bit shuffles leave their
    // inputs intact, so no quarter needs copying for its second use.
    for (int r = 0; r < 4; ++r) {
        const __m512i even_01 = _mm512_shuffle_i64x2(quarters[0][r], quarters[1][r], 0x88);
        const __m512i odd_01 = _mm512_shuffle_i64x2(quarters[0][r], quarters[1][r], 0xDD);
        const __m512i even_23 = _mm512_shuffle_i64x2(quarters[2][r], quarters[3][r], 0x88);
        const __m512i odd_23 = _mm512_shuffle_i64x2(quarters[2][r], quarters[3][r], 0xDD);
        use(r, _mm512_shuffle_i64x2(even_01, even_23, 0x88));
        use(4 + r, _mm512_shuffle_i64x2(odd_01, odd_23, 0x88));
        use(8 + r, _mm512_shuffle_i64x2(even_01, even_23, 0xDD));
        use(12 + r, _mm512_shuffle_i64x2(odd_01, odd_23, 0xDD));
    }
}

/// The key-stream words of blocks [counter, counter + 32): word i of block counter + j in
/// lane j of first[i] (j < 16) or of second[i] (j >= 16), every odd word plus
/// `odd_addend`. An addend of 2^31 flips the top bit of every 64-bit draw (odd words are
/// their high halves) within the final addition, at no cost.
[[gnu::always_inline]] inline void chacha12_groups(const std::uint32_t* key, std::uint64_t counter,
                                                   std::uint64_t stream, std::uint32_t odd_addend,
                                                   Group& first, Group& second) noexcept {
    alignas(64) __m512i counters[4];
    Avx512Lanes::counter_words(counter, counters[0], counters[1]);
    Avx512Lanes::counter_words(counter + group_blocks, counters[2], counters[3]);
    const std::uint32_t stream_words[2] = {static_cast<std::uint32_t>(stream),
                                           static_cast<std::uint32_t>(stream >> 32)};
    chacha12_rounds(key, stream_words, counters, first, second);
    Group input;
    input_words(key, counter, stream, odd_addend, input);
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        first[i] = _mm512_add_epi32(first[i], input[i]);
    }
    input[12] = counters[2];
    input[13] = _mm512_add_epi32(counters[3], _mm512_set1_epi32(static_cast<int>(odd_addend)));
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        second[i] = _mm512_add_epi32(second[i], input[i]);
    }
}

} // namespace
} // namespace tesk::random::avx512
