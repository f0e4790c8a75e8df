// perturb_kernel_avx2.cpp — the perturbation over 4-lane AVX2 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"

namespace tesk::functions {
namespace {

// The exact split conversion of the AVX-512 form: draw >> 11 as 2^52-based low and
// 2^84-based high halves, summed and scaled by 2^-53 without rounding.
inline __m256d unit_values(__m256i draws) noexcept {
    const __m256i low_mask = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m256i two_52_bits = _mm256_set1_epi64x(0x4330000000000000);
    const __m256i two_84_bits = _mm256_set1_epi64x(0x4530000000000000);
    const __m256i top = _mm256_srli_epi64(draws, 11);
    const __m256d low = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(top, low_mask), two_52_bits)),
        _mm256_set1_pd(0x1.0p52));
    const __m256d high = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(draws, 43), two_84_bits)),
        _mm256_set1_pd(0x1.0p84));
    return _mm256_mul_pd(_mm256_add_pd(high, low), _mm256_set1_pd(0x1.0p-53));
}

// ((u - 0.5) * s) + (v + v): sub, mul, add, add, each rounded on its own.
inline __m256d perturbed(__m256d value, __m256d unit, __m256d scaling) noexcept {
    const __m256d offset = _mm256_mul_pd(_mm256_sub_pd(unit, _mm256_set1_pd(0.5)), scaling);
    return _mm256_add_pd(offset, _mm256_add_pd(value, value));
}

} // namespace

void perturb_contiguous_avx2(std::byte* data, const std::uint64_t* draws, std::size_t count,
                             double scaling) noexcept {
    const __m256d scale = _mm256_set1_pd(scaling);
    auto* values = reinterpret_cast<double*>(data);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d a = _mm256_loadu_pd(values + i);
        const __m256d u = unit_values(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(draws + i)));
        _mm256_storeu_pd(values + i, perturbed(a, u, scale));
    }
    perturb_contiguous_portable(data + i * sizeof(double), draws + i, count - i, scaling);
}

} // namespace tesk::functions
