// chacha_avx512_groups.h — thirty-two ChaCha12 blocks as two word-sliced groups in zmm registers.
#pragma once

#include "random/chacha.h"

#include <immintrin.h>

// Inline code compiled for AVX-512F: included only by files built with those flags (the
// *_avx512 files), never by baseline code.

namespace tesk::random::avx512 {

constexpr std::size_t group_blocks = 16;

/// The sixteen words of sixteen blocks: word i of block first + j in lane j of [i].
using Group = __m512i[chacha_block_words];

// The rounds are written in assembly: the 32 words of the two groups fill the 32 registers
// exactly (a rotation needs no spare one), and GCC's register allocator spills a third of
// them at that pressure. Group 0 lives in zmm0-15, group 1 in zmm16-31.
#define TESK_Z(n) "%%zmm" #n
#define TESK_ADD(s, t) "vpaddd " TESK_Z(t) ", " TESK_Z(s) ", " TESK_Z(s) "\n\t"
#define TESK_XOR(m, s) "vpxord " TESK_Z(s) ", " TESK_Z(m) ", " TESK_Z(m) "\n\t"
#define TESK_ROL(m, bits) "vprold $" #bits ", " TESK_Z(m) ", " TESK_Z(m) "\n\t"
// s += t, then m = (m ^ s) <<< bits, in group 0 (s, t, m) and group 1 (S, T, M) side by side.
#define TESK_MIX(bits, s, t, m, S, T, M)                                                           \
    TESK_ADD(s, t) TESK_ADD(S, T) TESK_XOR(m, s) TESK_XOR(M, S) TESK_ROL(m, bits) TESK_ROL(M, bits)
// Quarter rounds (a_k, b_k, c_k, d_k), k = 0 to 3, in group 0 and (A_k, B_k, C_k, D_k) in
// group 1, one step at a time: each step of a quarter round depends on the one before, so
// eight independent quarter rounds are needed to keep the vector pipes busy.
#define TESK_STEP(bits, s0, t0, m0, s1, t1, m1, s2, t2, m2, s3, t3, m3, S0, T0, M0, S1, T1, M1,    \
                  S2, T2, M2, S3, T3, M3)                                                          \
    TESK_MIX(bits, s0, t0, m0, S0, T0, M0)                                                         \
    TESK_MIX(bits, s1, t1, m1, S1, T1, M1)                                                         \
    TESK_MIX(bits, s2, t2, m2, S2, T2, M2) TESK_MIX(bits, s3, t3, m3, S3, T3, M3)
#define TESK_QUARTER_ROUNDS(a0, b0, c0, d0, a1, b1, c1, d1, a2, b2, c2, d2, a3, b3, c3, d3, A0,    \
                            B0, C0, D0, A1, B1, C1, D1, A2, B2, C2, D2, A3, B3, C3, D3)            \
    TESK_STEP(16, a0, b0, d0, a1, b1, d1, a2, b2, d2, a3, b3, d3, A0, B0, D0, A1, B1, D1, A2, B2,  \
              D2, A3, B3, D3)                                                                      \
    TESK_STEP(12, c0, d0, b0, c1, d1, b1, c2, d2, b2, c3, d3, b3, C0, D0, B0, C1, D1, B1, C2, D2,  \
              B2, C3, D3, B3)                                                                      \
    TESK_STEP(8, a0, b0, d0, a1, b1, d1, a2, b2, d2, a3, b3, d3, A0, B0, D0, A1, B1, D1, A2, B2,   \
              D2, A3, B3, D3)                                                                      \
    TESK_STEP(7, c0, d0, b0, c1, d1, b1, c2, d2, b2, c3, d3, b3, C0, D0, B0, C1, D1, B1, C2, D2,   \
              B2, C3, D3, B3)
#define TESK_SPLAT(offset, from, to) "vpbroadcastd " #offset "(%[" #from "]), " TESK_Z(to) "\n\t"
#define TESK_LOAD(offset, to) "vmovdqa64 " #offset "(%[counters]), " TESK_Z(to) "\n\t"
#define TESK_COPY(from, to) "vmovdqa64 " TESK_Z(from) ", " TESK_Z(to) "\n\t"
#define TESK_STORE(from) "vmovdqa64 " TESK_Z(from) ", " #from "*64-16*64(%[second])\n\t"
#define TESK_GROUP_1(op)                                                                           \
    op(16) op(17) op(18) op(19) op(20) op(21) op(22) op(23) op(24) op(25) op(26) op(27) op(28)     \
        op(29) op(30) op(31)
#define TESK_REGISTER(n) register __m512i w##n asm("zmm" #n);
#define TESK_OPERAND(n) "=v"(w##n),
#define TESK_RESULT(n) first[n] = w##n;
#define TESK_GROUP_0(op)                                                                           \
    op(0) op(1) op(2) op(3) op(4) op(5) op(6) op(7) op(8) op(9) op(10) op(11) op(12) op(13) op(14) \
        op(15)

/// Twelve rounds on both groups, without the final addition of the input. `counters`
/// holds words 12 and 13 of group 0 and then of group 1. Group 0's permuted words go to
/// `first`, group 1's to `second`.
[[gnu::always_inline]] inline void chacha12_rounds(const std::uint32_t* key,
                                                   const std::uint32_t* stream_words,
                                                   const __m512i* counters, Group& first,
                                                   Group& second) noexcept {
    TESK_GROUP_0(TESK_REGISTER)
    int rounds = chacha12_double_rounds;
    asm volatile(TESK_SPLAT(0, constants, 0) TESK_SPLAT(4, constants, 1) TESK_SPLAT(8, constants, 2)
                     TESK_SPLAT(12, constants, 3) TESK_SPLAT(0, key, 4) TESK_SPLAT(4, key, 5)
                         TESK_SPLAT(8, key, 6) TESK_SPLAT(12, key, 7) TESK_SPLAT(16, key, 8)
                             TESK_SPLAT(20, key, 9) TESK_SPLAT(24, key, 10) TESK_SPLAT(28, key, 11)
                                 TESK_LOAD(0, 12) TESK_LOAD(64, 13) TESK_SPLAT(0, stream, 14)
                                     TESK_SPLAT(4, stream, 15)
                 // Group 1's input is group 0's but for the counter.
                 TESK_SPLAT(0, constants, 16) TESK_SPLAT(4, constants, 17)
                     TESK_SPLAT(8, constants, 18) TESK_SPLAT(12, constants, 19)
                         TESK_SPLAT(0, key, 20) TESK_SPLAT(4, key, 21) TESK_SPLAT(8, key, 22)
                             TESK_SPLAT(12, key, 23) TESK_SPLAT(16, key, 24) TESK_SPLAT(20, key, 25)
                                 TESK_SPLAT(24, key, 26) TESK_SPLAT(28, key, 27) TESK_LOAD(128, 28)
                                     TESK_LOAD(192, 29) TESK_SPLAT(0, stream, 30)
                                         TESK_SPLAT(4, stream, 31) "1:\n\t"
                 // Columns.
                 TESK_QUARTER_ROUNDS(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 16, 20,
                                     24, 28, 17, 21, 25, 29, 18, 22, 26, 30, 19, 23, 27, 31)
                 // Diagonals.
                 TESK_QUARTER_ROUNDS(0, 5, 10, 15, 1, 6, 11, 12, 2, 7, 8, 13, 3, 4, 9, 14, 16, 21,
                                     26, 31, 17, 22, 27, 28, 18, 23, 24, 29, 19, 20, 25,
                                     30) "dec %[rounds]\n\t"
                                         "jnz 1b\n\t" TESK_GROUP_1(TESK_STORE)
                 : TESK_GROUP_0(TESK_OPERAND)[rounds] "+r"(rounds), "=m"(second)
                 : [constants] "r"(chacha_constants), [key] "r"(key), [stream] "r"(stream_words),
                   [counters] "r"(counters), [second] "r"(second),
                   "m"(*reinterpret_cast<const std::uint32_t(*)[chacha_key_words]>(key)),
                   "m"(*reinterpret_cast<const std::uint32_t(*)[2]>(stream_words)),
                   "m"(*reinterpret_cast<const __m512i(*)[4]>(counters))
                 : "cc", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23",
                   "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
    TESK_GROUP_0(TESK_RESULT)
}

#undef TESK_GROUP_0
#undef TESK_RESULT
#undef TESK_OPERAND
#undef TESK_REGISTER
#undef TESK_GROUP_1
#undef TESK_STORE
#undef TESK_LOAD
#undef TESK_COPY
#undef TESK_SPLAT
#undef TESK_QUARTER_ROUNDS
#undef TESK_STEP
#undef TESK_MIX
#undef TESK_ROL
#undef TESK_XOR
#undef TESK_ADD
#undef TESK_Z

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

} // namespace tesk::random::avx512
