// perturb_kernel_avx512.cpp — the perturbation over 8-lane AVX-512 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"
#include "random/chacha_avx512_groups.h"

namespace tesk::functions {
namespace {

// (k × factor) + (v + v), with k = (draw >> 11) − 2^52: the top bit flipped, an
// arithmetic shift, an exact conversion (|k| <= 2^52), then the product and the two
// additions, each rounded on its own. The conversion needs AVX512DQ, which this form
// alone asks for beyond the AVX512F that every AVX-512 file is compiled for.
[[gnu::target("avx512dq")]] inline __m512d perturbed(__m512d value, __m512i draws,
                                                     __m512d factor) noexcept {
    const __m512i top_bit = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63));
    const __m512i centred = _mm512_srai_epi64(_mm512_xor_si512(draws, top_bit), 11);
    return _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepi64_pd(centred), factor),
                         _mm512_add_pd(value, value));
}

} // namespace

[[gnu::target("avx512dq")]] void perturb_contiguous_avx512(std::byte* data,
                                                           const std::uint64_t* draws,
                                                           std::size_t count,
                                                           double scaling) noexcept {
    const double factor = centred_draw_factor(scaling);
    if (factor != factor) {
        perturb_contiguous_portable(data, draws, count, scaling);
        return;
    }
    const __m512d factors = _mm512_set1_pd(factor);
    auto* values = reinterpret_cast<double*>(data);
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512d a = _mm512_loadu_pd(values + i);
        const __m512d b = _mm512_loadu_pd(values + i + 8);
        _mm512_storeu_pd(values + i, perturbed(a, _mm512_loadu_si512(draws + i), factors));
        _mm512_storeu_pd(values + i + 8, perturbed(b, _mm512_loadu_si512(draws + i + 8), factors));
    }
    for (; i < count; i += 8) {
        const std::size_t left = count - i;
        const __mmask8 lanes = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
        const __m512d a = _mm512_maskz_loadu_pd(lanes, values + i);
        const __m512i k = _mm512_maskz_loadu_epi64(lanes, draws + i);
        _mm512_mask_storeu_pd(values + i, lanes, perturbed(a, k, factors));
    }
}

[[gnu::target("avx512dq")]] void perturb_keystream_avx512(const std::uint32_t* key,
                                                          std::uint64_t counter,
                                                          std::uint64_t stream, std::byte* data,
                                                          double factor) noexcept {
    random::avx512::Group first;
    alignas(64) random::avx512::Group second;
    random::avx512::chacha12_groups(key, counter, stream, first, second);
    const __m512d factors = _mm512_set1_pd(factor);
    auto* values = reinterpret_cast<double*>(data);
    const auto rewrite = [&](std::size_t block, __m512i draws) {
        double* at = values + block * 8;
        _mm512_storeu_pd(at, perturbed(_mm512_loadu_pd(at), draws, factors));
    };
    random::avx512::for_each_block(first, rewrite);
    values += random::avx512::group_blocks * 8;
    random::avx512::for_each_block(second, rewrite);
}

} // namespace tesk::functions
