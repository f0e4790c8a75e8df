// perturb_kernel_avx512dq.cpp — the perturbation over 8-lane AVX-512 registers.
#include <immintrin.h>

#include "functions/perturb_kernel.h"
#include "random/chacha_avx512_groups.h"

// Compiled for AVX512DQ as well as AVX512F: the conversion from 64-bit integers needs it.

namespace tesk::functions {
namespace {

constexpr std::uint32_t top_bit_of_word = std::uint32_t{1} << 31;

/// k = (draw >> 11) − 2^52 as a double, from the draw with its top bit flipped: an
/// arithmetic shift, then an exact conversion (|k| <= 2^52).
inline __m512d centred(__m512i flipped) noexcept {
    return _mm512_cvtepi64_pd(_mm512_srai_epi64(flipped, 11));
}

/// (centred × factor) + (v + v): the product and the two additions, each rounded on its
/// own; or, where `FuseDoubling`, the doubling and the last addition as one fused
/// multiply-add, which rounds to the same (see doubling_fuses).
template <bool FuseDoubling>
inline __m512d perturbed(__m512d value, __m512d centred, __m512d factor) noexcept {
    const __m512d offset = _mm512_mul_pd(centred, factor);
    if constexpr (FuseDoubling) {
        return _mm512_fmadd_pd(value, _mm512_set1_pd(2.0), offset);
    } else {
        return _mm512_add_pd(offset, _mm512_add_pd(value, value));
    }
}

template <bool FuseDoubling>
void rewrite_contiguous(double* values, const std::uint64_t* draws, std::size_t count,
                        double factor) noexcept {
    const __m512d factors = _mm512_set1_pd(factor);
    const __m512i top_bit = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << 63));
    const auto flipped = [&](__m512i loaded) { return _mm512_xor_si512(loaded, top_bit); };
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512d a = _mm512_loadu_pd(values + i);
        const __m512d b = _mm512_loadu_pd(values + i + 8);
        const __m512i draws_a = flipped(_mm512_loadu_si512(draws + i));
        const __m512i draws_b = flipped(_mm512_loadu_si512(draws + i + 8));
        _mm512_storeu_pd(values + i, perturbed<FuseDoubling>(a, centred(draws_a), factors));
        _mm512_storeu_pd(values + i + 8, perturbed<FuseDoubling>(b, centred(draws_b), factors));
    }
    for (; i < count; i += 8) {
        const std::size_t left = count - i;
        const __mmask8 lanes = left >= 8 ? __mmask8(0xFF) : __mmask8((1u << left) - 1);
        const __m512d a = _mm512_maskz_loadu_pd(lanes, values + i);
        const __m512i k = flipped(_mm512_maskz_loadu_epi64(lanes, draws + i));
        _mm512_mask_storeu_pd(values + i, lanes, perturbed<FuseDoubling>(a, centred(k), factors));
    }
}

/// Where `Cleared`, the draws' low 11 bits are cleared instead of shifted out: the
/// flipped draw is then k × 2^11, converted exactly, and with the factor scaled by 2^-11
/// (exact where the caller allows it) the product is the same. Clearing takes the key
/// stream's even words (the draws' low halves) before the blocks are regrouped: half as
/// many operations as a shift of every draw.
template <bool FuseDoubling, bool Cleared>
void rewrite_with_keystream(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                            double* values, double factor) noexcept {
    random::avx512::Group first;
    alignas(64) random::avx512::Group second;
    random::avx512::chacha12_groups(key, counter, stream, top_bit_of_word, first, second);
    if constexpr (Cleared) {
        const __m512i kept = _mm512_set1_epi32(~0x7FF);
        for (std::size_t i = 0; i < random::chacha_block_words; i += 2) {
            first[i] = _mm512_and_si512(first[i], kept);
            second[i] = _mm512_and_si512(second[i], kept);
        }
        factor *= 0x1.0p-11;
    }
    const __m512d factors = _mm512_set1_pd(factor);
    const auto rewrite = [&](std::size_t block, __m512i flipped) {
        double* at = values + block * 8;
        const __m512d k = Cleared ? _mm512_cvtepi64_pd(flipped) : centred(flipped);
        _mm512_storeu_pd(at, perturbed<FuseDoubling>(_mm512_loadu_pd(at), k, factors));
    };
    random::avx512::for_each_block(first, rewrite);
    values += random::avx512::group_blocks * 8;
    random::avx512::for_each_block(second, rewrite);
}

} // namespace

void perturb_contiguous_avx512(std::byte* data, const std::uint64_t* draws, std::size_t count,
                               double scaling) noexcept {
    perturb_with_factor(data, draws, count, scaling, &rewrite_contiguous<true>,
                        &rewrite_contiguous<false>);
}

void perturb_keystream_avx512(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                              std::byte* data, double factor) noexcept {
    // Scaling by 2^-11 is exact unless it drops bits into the subnormal range; the round
    // trip tells.
    const bool cleared = factor * 0x1.0p-11 * 0x1.0p11 == factor;
    const auto rewrite =
        doubling_fuses(factor)
            ? (cleared ? &rewrite_with_keystream<true, true> : &rewrite_with_keystream<true, false>)
            : (cleared ? &rewrite_with_keystream<false, true>
                       : &rewrite_with_keystream<false, false>);
    rewrite(key, counter, stream, reinterpret_cast<double*>(data), factor);
}

} // namespace tesk::functions
