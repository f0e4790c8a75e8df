// chacha_avx2_rotate.h — the 32-bit lane rotation of the two AVX2 forms.
//
// Included only by chacha_avx2.cpp and chacha_avx2x8.cpp, both compiled for AVX2; it stays
// at internal linkage like every helper of a form.
#pragma once

#include <immintrin.h>

namespace tesk::random {
namespace {

/// Rotation of every 32-bit lane left by `Bits`; 16 and 8 move whole bytes.
template <int Bits> __m256i rotate_lanes(__m256i x) noexcept {
    if constexpr (Bits == 16) {
        return _mm256_shuffle_epi8(
            x, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2, 13, 12, 15,
                               14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2));
    } else if constexpr (Bits == 8) {
        return _mm256_shuffle_epi8(
            x, _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3, 14, 13, 12,
                               15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3));
    } else {
        return _mm256_or_si256(_mm256_slli_epi32(x, Bits), _mm256_srli_epi32(x, 32 - Bits));
    }
}

} // namespace
} // namespace tesk::random
