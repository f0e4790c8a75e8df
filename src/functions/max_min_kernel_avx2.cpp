// max_min_kernel_avx2.cpp — the extremes fold over 4-lane AVX2 registers.
#include <immintrin.h>

#include "functions/max_min_kernel.h"

namespace tesk::functions {
namespace {

double horizontal_max(__m256d v) noexcept {
    const __m128d half = _mm_max_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_max_pd(half, _mm_unpackhi_pd(half, half)));
}

double horizontal_min(__m256d v) noexcept {
    const __m128d half = _mm_min_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_min_pd(half, _mm_unpackhi_pd(half, half)));
}

} // namespace

void fold_contiguous_avx2(const std::byte* data, std::size_t count, Extremes& extremes) noexcept {
    // As in the AVX-512 form: accumulator second, so NaN elements pass it by, and an
    // unordered compare of two loads flags a NaN in either.
    __m256d max0 = _mm256_set1_pd(extremes.max), max1 = max0, max2 = max0, max3 = max0;
    __m256d min0 = _mm256_set1_pd(extremes.min), min1 = min0, min2 = min0, min3 = min0;
    __m256d nan = _mm256_setzero_pd();
    const auto* values = reinterpret_cast<const double*>(data);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256d a = _mm256_loadu_pd(values + i);
        const __m256d b = _mm256_loadu_pd(values + i + 4);
        const __m256d c = _mm256_loadu_pd(values + i + 8);
        const __m256d d = _mm256_loadu_pd(values + i + 12);
        max0 = _mm256_max_pd(a, max0);
        max1 = _mm256_max_pd(b, max1);
        max2 = _mm256_max_pd(c, max2);
        max3 = _mm256_max_pd(d, max3);
        min0 = _mm256_min_pd(a, min0);
        min1 = _mm256_min_pd(b, min1);
        min2 = _mm256_min_pd(c, min2);
        min3 = _mm256_min_pd(d, min3);
        nan = _mm256_or_pd(nan, _mm256_or_pd(_mm256_cmp_pd(a, b, _CMP_UNORD_Q),
                                             _mm256_cmp_pd(c, d, _CMP_UNORD_Q)));
    }
    for (; i + 4 <= count; i += 4) {
        const __m256d a = _mm256_loadu_pd(values + i);
        max0 = _mm256_max_pd(a, max0);
        min0 = _mm256_min_pd(a, min0);
        nan = _mm256_or_pd(nan, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
    }
    max0 = _mm256_max_pd(_mm256_max_pd(max0, max1), _mm256_max_pd(max2, max3));
    min0 = _mm256_min_pd(_mm256_min_pd(min0, min1), _mm256_min_pd(min2, min3));
    extremes.max = horizontal_max(max0);
    extremes.min = horizontal_min(min0);
    extremes.any_nan |= _mm256_movemask_pd(nan) != 0;
    fold_contiguous_portable(data + i * sizeof(double), count - i, extremes);
}

} // namespace tesk::functions
