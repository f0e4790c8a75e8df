// chacha_sse_kernel.h — four ChaCha12 blocks word-sliced in 128-bit registers.
//
// Included by chacha_sse2.cpp, chacha_ssse3.cpp, chacha_sse41.cpp and chacha_avx.cpp, each
// with its own instruction-set flags: inline code in an anonymous namespace (see the rule
// in chacha.h).
#pragma once

#include "random/chacha_sliced.h"

#include <immintrin.h>

namespace tesk::random {
namespace {

/// The 128-bit lanes of the SSE family, for sliced_chacha12.
template <bool ByteShuffle> struct SseLanes {
    using Vector = __m128i;

    static Vector splat(std::uint32_t word) noexcept {
        return _mm_set1_epi32(static_cast<int>(word));
    }
    static Vector add(Vector a, Vector b) noexcept { return _mm_add_epi32(a, b); }
    static Vector bitxor(Vector a, Vector b) noexcept { return _mm_xor_si128(a, b); }
    /// Rotation of every 32-bit lane left by `Bits`. The rotation by 16 swaps 16-bit halves
    /// with two word shuffles, which need no mask register: the sixteen state registers
    /// already fill the register file. With byte shuffles (SSSE3 and later) the rotation
    /// by 8 is one instruction instead of three.
    template <int Bits> static Vector rotate(Vector x) noexcept {
        if constexpr (Bits == 16) {
            return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
        } else if constexpr (ByteShuffle && Bits == 8) {
            return _mm_shuffle_epi8(
                x, _mm_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
        } else {
            return _mm_or_si128(_mm_slli_epi32(x, Bits), _mm_srli_epi32(x, 32 - Bits));
        }
    }
    /// Words 12 and 13 of blocks first to first + 3. A lane whose low word wrapped (is
    /// below its offset, unsigned) carries into the high word; the signed comparison sees
    /// unsigned order once the top bits are flipped.
    static void counter_words(std::uint64_t first, Vector& low, Vector& high) noexcept {
        const __m128i lanes = _mm_setr_epi32(0, 1, 2, 3);
        low = _mm_add_epi32(splat(static_cast<std::uint32_t>(first)), lanes);
        const __m128i top = _mm_set1_epi32(INT32_MIN);
        const __m128i carried = _mm_cmpgt_epi32(_mm_xor_si128(lanes, top), _mm_xor_si128(low, top));
        high = _mm_sub_epi32(splat(static_cast<std::uint32_t>(first >> 32)), carried);
    }
};

/// Four blocks, one per lane; a 4 x 4 transpose per group of four words restores block
/// order on store.
template <bool ByteShuffle>
void chacha12_four_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                          std::uint8_t* out) noexcept {
    __m128i x[chacha_block_words];
    sliced_chacha12<SseLanes<ByteShuffle>>(key, counter, stream, x);
    for (std::size_t group = 0; group < 4; ++group) {
        const __m128i w0 = x[4 * group];
        const __m128i w1 = x[4 * group + 1];
        const __m128i w2 = x[4 * group + 2];
        const __m128i w3 = x[4 * group + 3];
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
