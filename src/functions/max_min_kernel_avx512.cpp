// max_min_kernel_avx512.cpp — the extremes fold over 8-lane AVX-512 registers.
#include <immintrin.h>

#include "functions/max_min_kernel.h"

namespace tesk::functions {
namespace {

// Loads once into a register. Without the empty asm GCC folds the load into each of
// the max, min and compare that use the value, reading every vector three times.
inline __m512d load_once(const double* address) noexcept {
    __m512d value = _mm512_loadu_pd(address);
    __asm__("" : "+v"(value));
    return value;
}

} // namespace

void fold_contiguous_avx512(const std::byte* data, std::size_t count, Extremes& extremes) noexcept {
    // vmaxpd/vminpd return the second operand when either is NaN, so with the
    // accumulator second a NaN element leaves it untouched; NaNs are caught by an
    // unordered compare, which flags a NaN in either operand.
    __m512d max0 = _mm512_set1_pd(extremes.max), max1 = max0, max2 = max0, max3 = max0;
    __m512d min0 = _mm512_set1_pd(extremes.min), min1 = min0, min2 = min0, min3 = min0;
    __mmask8 nan = 0;
    const auto* values = reinterpret_cast<const double*>(data);
    std::size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m512d a = load_once(values + i);
        const __m512d b = load_once(values + i + 8);
        const __m512d c = load_once(values + i + 16);
        const __m512d d = load_once(values + i + 24);
        max0 = _mm512_max_pd(a, max0);
        min0 = _mm512_min_pd(a, min0);
        max1 = _mm512_max_pd(b, max1);
        min1 = _mm512_min_pd(b, min1);
        max2 = _mm512_max_pd(c, max2);
        min2 = _mm512_min_pd(c, min2);
        max3 = _mm512_max_pd(d, max3);
        min3 = _mm512_min_pd(d, min3);
        nan |= _mm512_cmp_pd_mask(a, b, _CMP_UNORD_Q) | _mm512_cmp_pd_mask(c, d, _CMP_UNORD_Q);
    }
    for (; i + 8 <= count; i += 8) {
        const __m512d a = _mm512_loadu_pd(values + i);
        max0 = _mm512_max_pd(a, max0);
        min0 = _mm512_min_pd(a, min0);
        nan |= _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q);
    }
    if (i < count) {
        const __mmask8 lanes = static_cast<__mmask8>((1u << (count - i)) - 1);
        const __m512d a = _mm512_maskz_loadu_pd(lanes, values + i);
        max0 = _mm512_mask_max_pd(max0, lanes, a, max0);
        min0 = _mm512_mask_min_pd(min0, lanes, a, min0);
        nan |= _mm512_mask_cmp_pd_mask(lanes, a, a, _CMP_UNORD_Q);
    }
    max0 = _mm512_max_pd(_mm512_max_pd(max0, max1), _mm512_max_pd(max2, max3));
    min0 = _mm512_min_pd(_mm512_min_pd(min0, min1), _mm512_min_pd(min2, min3));
    extremes.max = _mm512_reduce_max_pd(max0);
    extremes.min = _mm512_reduce_min_pd(min0);
    extremes.any_nan |= nan != 0;
}

} // namespace tesk::functions
