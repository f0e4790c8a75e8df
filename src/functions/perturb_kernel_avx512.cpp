// perturb_kernel_avx512.cpp — the perturbation over 8-lane AVX-512 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"

namespace tesk::functions {
namespace {

// u − 0.5 straight from the draw, without a 64-bit integer conversion (AVX-512F has
// none). The top 52 bits of the 53-bit value draw >> 11 go into the mantissa of
// f = 1 + h·2^-52, and f − 1.5 is exact; the 53rd bit (bit 11 of the draw) adds
// 2^-53, also exactly, since u − 0.5 is representable for every draw. The result
// therefore equals ((draw >> 11) · 2^-53) − 0.5 bit for bit, +0.0 for u = 0.5 included.
inline __m512d centred_units(__m512i draws) noexcept {
    const __m512i one_bits = _mm512_set1_epi64(0x3FF0000000000000);
    const __m512d f = _mm512_castsi512_pd(_mm512_or_si512(_mm512_srli_epi64(draws, 12), one_bits));
    const __m512d high_part = _mm512_sub_pd(f, _mm512_set1_pd(1.5));
    const __mmask8 low_bit = _mm512_test_epi64_mask(draws, _mm512_set1_epi64(1 << 11));
    return _mm512_mask_add_pd(high_part, low_bit, high_part, _mm512_set1_pd(0x1.0p-53));
}

// ((u - 0.5) * s) + (v + v): the product and the two additions, each rounded on its own.
inline __m512d perturbed(__m512d value, __m512d centred, __m512d scaling) noexcept {
    return _mm512_add_pd(_mm512_mul_pd(centred, scaling), _mm512_add_pd(value, value));
}

} // namespace

void perturb_contiguous_avx512(std::byte* data, const std::uint64_t* draws, std::size_t count,
                               double scaling) noexcept {
    const __m512d scale = _mm512_set1_pd(scaling);
    auto* values = reinterpret_cast<double*>(data);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512d a = _mm512_loadu_pd(values + i);
        const __m512d b = _mm512_loadu_pd(values + i + 8);
        const __m512d ca = centred_units(_mm512_loadu_si512(draws + i));
        const __m512d cb = centred_units(_mm512_loadu_si512(draws + i + 8));
        _mm512_storeu_pd(values + i, perturbed(a, ca, scale));
        _mm512_storeu_pd(values + i + 8, perturbed(b, cb, scale));
    }
    for (; i < count; i += 8) {
        const std::size_t left = count - i;
        const __mmask8 lanes = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
        const __m512d a = _mm512_maskz_loadu_pd(lanes, values + i);
        const __m512d c = centred_units(_mm512_maskz_loadu_epi64(lanes, draws + i));
        _mm512_mask_storeu_pd(values + i, lanes, perturbed(a, c, scale));
    }
}

} // namespace tesk::functions
