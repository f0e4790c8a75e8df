// chacha_sse_kernel.h — four ChaCha12 blocks word-sliced in 128-bit registers.
//
// Included only by the form files chacha_sse2.cpp, chacha_ssse3.cpp, chacha_sse41.cpp and
// chacha_avx.cpp, each compiling it with its own instruction-set flags. Everything here
// sits in an anonymous namespace so that each of those files keeps a private copy: a
// shared inline definition could otherwise be emitted with one file's flags and reused
// by the linker in all of them.
#pragma once

#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random {
namespace {

/// Rotation of every 32-bit lane left by `Bits`. The rotation by 16 swaps 16-bit halves
/// with two word shuffles, which need no mask register: the sixteen state registers
/// already fill the register file. With byte shuffles (SSSE3 and later) the rotation by
/// 8 is one instruction instead of three.
template <int Bits, bool ByteShuffle> __m128i rotate_lanes(__m128i x) noexcept {
    if constexpr (Bits == 16) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
    } else if constexpr (ByteShuffle && Bits == 8) {
        return _mm_shuffle_epi8(x, _mm_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1,
                                                0, 3));
    } else {
        return _mm_or_si128(_mm_slli_epi32(x, Bits), _mm_srli_epi32(x, 32 - Bits));
    }
}

template <bool ByteShuffle>
void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) noexcept {
    a = _mm_add_epi32(a, b);
    d = rotate_lanes<16, ByteShuffle>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = rotate_lanes<12, ByteShuffle>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(a, b);
    d = rotate_lanes<8, ByteShuffle>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d);
    b = rotate_lanes<7, ByteShuffle>(_mm_xor_si128(b, c));
}

/// Lane j of register i holds word i of block counter + j, so a round is plain lane-wise
/// arithmetic; a 4 x 4 transpose per group of four words restores block order on store.
template <bool ByteShuffle>
void chacha12_four_blocks(const std::uint32_t* key, std::uint64_t counter,
                          std::uint64_t stream, std::uint8_t* out) noexcept {
    __m128i input[chacha_block_words];
    for (int i = 0; i < 4; ++i) {
        input[i] = _mm_set1_epi32(static_cast<int>(chacha_constants[i]));
        input[4 + i] = _mm_set1_epi32(static_cast<int>(key[i]));
        input[8 + i] = _mm_set1_epi32(static_cast<int>(key[4 + i]));
    }
    std::uint32_t low[4];
    std::uint32_t high[4];
    for (int j = 0; j < 4; ++j) {
        const std::uint64_t number = counter + static_cast<std::uint64_t>(j);
        low[j] = static_cast<std::uint32_t>(number);
        high[j] = static_cast<std::uint32_t>(number >> 32);
    }
    input[12] = _mm_setr_epi32(static_cast<int>(low[0]), static_cast<int>(low[1]),
                               static_cast<int>(low[2]), static_cast<int>(low[3]));
    input[13] = _mm_setr_epi32(static_cast<int>(high[0]), static_cast<int>(high[1]),
                               static_cast<int>(high[2]), static_cast<int>(high[3]));
    input[14] = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream)));
    input[15] = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream >> 32)));

    __m128i x[chacha_block_words];
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = input[i];
    }
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        quarter_round<ByteShuffle>(x[0], x[4], x[8], x[12]);
        quarter_round<ByteShuffle>(x[1], x[5], x[9], x[13]);
        quarter_round<ByteShuffle>(x[2], x[6], x[10], x[14]);
        quarter_round<ByteShuffle>(x[3], x[7], x[11], x[15]);
        quarter_round<ByteShuffle>(x[0], x[5], x[10], x[15]);
        quarter_round<ByteShuffle>(x[1], x[6], x[11], x[12]);
        quarter_round<ByteShuffle>(x[2], x[7], x[8], x[13]);
        quarter_round<ByteShuffle>(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t group = 0; group < 4; ++group) {
        const __m128i w0 = _mm_add_epi32(x[4 * group], input[4 * group]);
        const __m128i w1 = _mm_add_epi32(x[4 * group + 1], input[4 * group + 1]);
        const __m128i w2 = _mm_add_epi32(x[4 * group + 2], input[4 * group + 2]);
        const __m128i w3 = _mm_add_epi32(x[4 * group + 3], input[4 * group + 3]);
        const __m128i blocks01_low = _mm_unpacklo_epi32(w0, w1);
        const __m128i blocks01_high = _mm_unpacklo_epi32(w2, w3);
        const __m128i blocks23_low = _mm_unpackhi_epi32(w0, w1);
        const __m128i blocks23_high = _mm_unpackhi_epi32(w2, w3);
        std::uint8_t* target = out + group * 16;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target),
                         _mm_unpacklo_epi64(blocks01_low, blocks01_high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + chacha_block_bytes),
                         _mm_unpackhi_epi64(blocks01_low, blocks01_high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 2 * chacha_block_bytes),
                         _mm_unpacklo_epi64(blocks23_low, blocks23_high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 3 * chacha_block_bytes),
                         _mm_unpackhi_epi64(blocks23_low, blocks23_high));
    }
}

} // namespace
} // namespace tesk::random
