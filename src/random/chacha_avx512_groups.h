// chacha_avx512_groups.h — thirty-two ChaCha12 blocks as two word-sliced groups in zmm registers.
#pragma once

#include "random/chacha.h"

#include <immintrin.h>

// Inline code in an anonymous namespace: instruction-set files include this (see the rule
// in chacha.h). AVX-512F code: only files built with AVX-512 flags include it.

namespace tesk::random::avx512 {
namespace {

constexpr std::size_t group_blocks = 16;

/// The sixteen words of sixteen blocks: word i of block first + j in lane j of [i].
using Group = __m512i[chacha_block_words];

#include "random/chacha_avx512_rounds.inc"

/// Input words 12 and 13 of the sixteen blocks from `first` on: the counter's low words,
/// and its high words with the carry of every lane whose low word wrapped.
[[gnu::always_inline]] inline void counter_words(std::uint64_t first, __m512i& low,
                                                 __m512i& high) noexcept {
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    low = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(first)), lanes);
    const __mmask16 carried = _mm512_cmplt_epu32_mask(low, lanes);
    const __m512i high_word = _mm512_set1_epi32(static_cast<int>(first >> 32));
    high = _mm512_mask_add_epi32(high_word, carried, high_word, _mm512_set1_epi32(1));
}

/// The input words of sixteen blocks whose counter words are `low` and `high`, with
/// `odd_addend` added to every odd word.
[[gnu::always_inline]] inline void input_words(const std::uint32_t* key, __m512i low, __m512i high,
                                               std::uint64_t stream, std::uint32_t odd_addend,
                                               Group& words) noexcept {
    const auto word = [odd_addend](std::size_t i, std::uint32_t value) {
        return _mm512_set1_epi32(static_cast<int>(value + (i % 2 != 0 ? odd_addend : 0)));
    };
    for (std::size_t i = 0; i < 4; ++i) {
        words[i] = word(i, chacha_constants[i]);
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        words[4 + i] = word(4 + i, key[i]);
    }
    words[12] = low;
    words[13] = _mm512_add_epi32(high, _mm512_set1_epi32(static_cast<int>(odd_addend)));
    words[14] = word(14, static_cast<std::uint32_t>(stream));
    words[15] = word(15, static_cast<std::uint32_t>(stream >> 32));
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
    counter_words(counter, counters[0], counters[1]);
    counter_words(counter + group_blocks, counters[2], counters[3]);
    const std::uint32_t stream_words[2] = {static_cast<std::uint32_t>(stream),
                                           static_cast<std::uint32_t>(stream >> 32)};
    chacha12_rounds(key, stream_words, counters, first, second);
    Group input;
    input_words(key, counters[0], counters[1], stream, odd_addend, input);
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
