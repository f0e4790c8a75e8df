// chacha_avx2x8.cpp — ChaCha12 form: eight blocks word-sliced in 256-bit registers.
#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random::avx2x8 {
namespace {

constexpr int lanes = 8;

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

void quarter_round(__m256i& a, __m256i& b, __m256i& c, __m256i& d) noexcept {
    a = _mm256_add_epi32(a, b);
    d = rotate_lanes<16>(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d);
    b = rotate_lanes<12>(_mm256_xor_si256(b, c));
    a = _mm256_add_epi32(a, b);
    d = rotate_lanes<8>(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d);
    b = rotate_lanes<7>(_mm256_xor_si256(b, c));
}

/// Transposes eight words (registers w[0..7], lane j = block j) into the eight 32-byte
/// halves they form in the blocks, and stores half `half` of every block.
void store_half(const __m256i* w, int half, std::uint8_t* out) noexcept {
    const __m256i t0 = _mm256_unpacklo_epi32(w[0], w[1]);
    const __m256i t1 = _mm256_unpackhi_epi32(w[0], w[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(w[2], w[3]);
    const __m256i t3 = _mm256_unpackhi_epi32(w[2], w[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(w[4], w[5]);
    const __m256i t5 = _mm256_unpackhi_epi32(w[4], w[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(w[6], w[7]);
    const __m256i t7 = _mm256_unpackhi_epi32(w[6], w[7]);
    // u[r] holds, per 128-bit half h, words 0-3 (u) or 4-7 (v) of block 4h + r.
    const __m256i u[4] = {_mm256_unpacklo_epi64(t0, t2), _mm256_unpackhi_epi64(t0, t2),
                          _mm256_unpacklo_epi64(t1, t3), _mm256_unpackhi_epi64(t1, t3)};
    const __m256i v[4] = {_mm256_unpacklo_epi64(t4, t6), _mm256_unpackhi_epi64(t4, t6),
                          _mm256_unpacklo_epi64(t5, t7), _mm256_unpackhi_epi64(t5, t7)};
    for (int r = 0; r < 4; ++r) {
        std::uint8_t* low_block = out + r * chacha_block_bytes + half * 32;
        std::uint8_t* high_block = low_block + 4 * chacha_block_bytes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(low_block),
                            _mm256_permute2x128_si256(u[r], v[r], 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(high_block),
                            _mm256_permute2x128_si256(u[r], v[r], 0x31));
    }
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    alignas(32) std::uint32_t low[lanes];
    alignas(32) std::uint32_t high[lanes];
    for (int j = 0; j < lanes; ++j) {
        const std::uint64_t number = counter + static_cast<std::uint64_t>(j);
        low[j] = static_cast<std::uint32_t>(number);
        high[j] = static_cast<std::uint32_t>(number >> 32);
    }
    __m256i input[chacha_block_words];
    for (int i = 0; i < 4; ++i) {
        input[i] = _mm256_set1_epi32(static_cast<int>(chacha_constants[i]));
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        input[4 + i] = _mm256_set1_epi32(static_cast<int>(key[i]));
    }
    input[12] = _mm256_load_si256(reinterpret_cast<const __m256i*>(low));
    input[13] = _mm256_load_si256(reinterpret_cast<const __m256i*>(high));
    input[14] = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream)));
    input[15] = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream >> 32)));

    __m256i x[chacha_block_words];
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = input[i];
    }
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = _mm256_add_epi32(x[i], input[i]);
    }
    store_half(x, 0, out);
    store_half(x + 8, 1, out);
}

} // namespace tesk::random::avx2x8
