// perturb_kernel_avx2fma.cpp — the perturbation over 4-lane AVX2 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"

namespace tesk::functions {
namespace {

// k = (draw >> 11) − 2^52 as a double, exactly, without a 64-bit integer conversion
// (AVX2 has none). With j the low 52 bits of draw >> 11, the bits of j under the
// exponent of 2^52 make D = 2^52 + j, and k = D − 2^52 when the draw's top bit is set
// (then k = j), D − 2^53 otherwise (k = j − 2^52); both differences are exact. The
// top bit selects the constant directly as a blend mask.
inline __m256d centred_draws(__m256i draws) noexcept {
    const __m256i exponent_2p52 = _mm256_set1_epi64x(0x4330000000000000);
    const __m256d d =
        _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(draws, 11), exponent_2p52));
    const __m256d offset = _mm256_blendv_pd(_mm256_set1_pd(0x1.0p53), _mm256_set1_pd(0x1.0p52),
                                            _mm256_castsi256_pd(draws));
    return _mm256_sub_pd(d, offset);
}

// (k × factor) + (v + v): the product and the two additions, each rounded on its own; or,
// where `FuseDoubling`, the doubling and the last addition as one fused multiply-add,
// which rounds to the same (see doubling_fuses). Compiled for FMA as well as AVX2.
template <bool FuseDoubling>
inline __m256d perturbed(__m256d value, __m256d centred, __m256d factor) noexcept {
    const __m256d offset = _mm256_mul_pd(centred, factor);
    if constexpr (FuseDoubling) {
        return _mm256_fmadd_pd(value, _mm256_set1_pd(2.0), offset);
    } else {
        return _mm256_add_pd(offset, _mm256_add_pd(value, value));
    }
}

template <bool FuseDoubling>
void rewrite_contiguous(double* values, const std::uint64_t* draws, std::size_t count,
                        double factor) noexcept {
    const __m256d factors = _mm256_set1_pd(factor);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d a = _mm256_loadu_pd(values + i);
        const __m256d k =
            centred_draws(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(draws + i)));
        _mm256_storeu_pd(values + i, perturbed<FuseDoubling>(a, k, factors));
    }
    if (i < count) {
        // The last one to three elements take the same lane operations through masked loads
        // and stores, which neither read nor write the lanes past the end.
        const __m256i lanes = _mm256_cmpgt_epi64(
            _mm256_set1_epi64x(static_cast<long long>(count - i)), _mm256_setr_epi64x(0, 1, 2, 3));
        const __m256d a = _mm256_maskload_pd(values + i, lanes);
        const __m256d k = centred_draws(
            _mm256_maskload_epi64(reinterpret_cast<const long long*>(draws + i), lanes));
        _mm256_maskstore_pd(values + i, lanes, perturbed<FuseDoubling>(a, k, factors));
    }
}

} // namespace

void perturb_contiguous_avx2(std::byte* data, const std::uint64_t* draws, std::size_t count,
                             double scaling) noexcept {
    perturb_with_factor(data, draws, count, scaling, &rewrite_contiguous<true>,
                        &rewrite_contiguous<false>);
}

} // namespace tesk::functions
