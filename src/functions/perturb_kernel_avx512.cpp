// perturb_kernel_avx512.cpp — the perturbation over 8-lane AVX-512 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"

namespace tesk::functions {
namespace {

// AVX-512F has no 64-bit integer to double conversion, so the 53-bit value
// draw >> 11 is split into its low 32 bits and the 21 above them; each half is
// placed in the mantissa of a power of two (2^52, 2^84) and that power taken
// away again. Both halves, their sum (below 2^53) and the scaling by 2^-53 are
// exact, so u equals (double)(draw >> 11) * 2^-53 bit for bit.
inline __m512d unit_values(__m512i draws) noexcept {
    const __m512i low_mask = _mm512_set1_epi64(0xFFFFFFFF);
    const __m512i two_52_bits = _mm512_set1_epi64(0x4330000000000000);
    const __m512i two_84_bits = _mm512_set1_epi64(0x4530000000000000);
    const __m512i top = _mm512_srli_epi64(draws, 11);
    const __m512d low = _mm512_sub_pd(
        _mm512_castsi512_pd(_mm512_or_si512(_mm512_and_si512(top, low_mask), two_52_bits)),
        _mm512_set1_pd(0x1.0p52));
    const __m512d high = _mm512_sub_pd(
        _mm512_castsi512_pd(_mm512_or_si512(_mm512_srli_epi64(draws, 43), two_84_bits)),
        _mm512_set1_pd(0x1.0p84));
    return _mm512_mul_pd(_mm512_add_pd(high, low), _mm512_set1_pd(0x1.0p-53));
}

// ((u - 0.5) * s) + (v + v): sub, mul, add, add, each rounded on its own.
inline __m512d perturbed(__m512d value, __m512d unit, __m512d scaling) noexcept {
    const __m512d offset = _mm512_mul_pd(_mm512_sub_pd(unit, _mm512_set1_pd(0.5)), scaling);
    return _mm512_add_pd(offset, _mm512_add_pd(value, value));
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
        const __m512d ua = unit_values(_mm512_loadu_si512(draws + i));
        const __m512d ub = unit_values(_mm512_loadu_si512(draws + i + 8));
        _mm512_storeu_pd(values + i, perturbed(a, ua, scale));
        _mm512_storeu_pd(values + i + 8, perturbed(b, ub, scale));
    }
    for (; i < count; i += 8) {
        const std::size_t left = count - i;
        const __mmask8 lanes = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
        const __m512d a = _mm512_maskz_loadu_pd(lanes, values + i);
        const __m512d u = unit_values(_mm512_maskz_loadu_epi64(lanes, draws + i));
        _mm512_mask_storeu_pd(values + i, lanes, perturbed(a, u, scale));
    }
}

} // namespace tesk::functions
