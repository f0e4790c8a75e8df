// perturb_kernel_avx2.cpp — the perturbation over 4-lane AVX2 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"

namespace tesk::functions {
namespace {

// u − 0.5 exactly as in the AVX-512 form: f = 1 + h·2^-52 from the top 52 bits of
// draw >> 11, f − 1.5, then 2^-53 added where bit 11 of the draw is set. Without mask
// registers the 2^-53 is selected by a compare.
inline __m256d centred_units(__m256i draws) noexcept {
    const __m256i one_bits = _mm256_set1_epi64x(0x3FF0000000000000);
    const __m256i bit_11 = _mm256_set1_epi64x(1 << 11);
    const __m256d f = _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(draws, 12), one_bits));
    const __m256d high_part = _mm256_sub_pd(f, _mm256_set1_pd(1.5));
    const __m256i low_bit = _mm256_cmpeq_epi64(_mm256_and_si256(draws, bit_11), bit_11);
    const __m256d low_part = _mm256_and_pd(_mm256_castsi256_pd(low_bit), _mm256_set1_pd(0x1.0p-53));
    return _mm256_add_pd(high_part, low_part);
}

// ((u - 0.5) * s) + (v + v): the product and the two additions, each rounded on its own.
inline __m256d perturbed(__m256d value, __m256d centred, __m256d scaling) noexcept {
    return _mm256_add_pd(_mm256_mul_pd(centred, scaling), _mm256_add_pd(value, value));
}

} // namespace

void perturb_contiguous_avx2(std::byte* data, const std::uint64_t* draws, std::size_t count,
                             double scaling) noexcept {
    const __m256d scale = _mm256_set1_pd(scaling);
    auto* values = reinterpret_cast<double*>(data);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d a = _mm256_loadu_pd(values + i);
        const __m256d c = centred_units(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(draws + i)));
        _mm256_storeu_pd(values + i, perturbed(a, c, scale));
    }
    perturb_contiguous_portable(data + i * sizeof(double), draws + i, count - i, scaling);
}

} // namespace tesk::functions
