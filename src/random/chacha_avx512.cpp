// chacha_avx512.cpp — ChaCha12 form: sixteen blocks word-sliced in 512-bit registers.
#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random::avx512 {
namespace {

constexpr int lanes = 16;

template <int Bits>
void quarter_step(__m512i& sum, const __m512i& addend, __m512i& mixed) noexcept {
    sum = _mm512_add_epi32(sum, addend);
    mixed = _mm512_rol_epi32(_mm512_xor_si512(mixed, sum), Bits);
}

void quarter_round(__m512i& a, __m512i& b, __m512i& c, __m512i& d) noexcept {
    quarter_step<16>(a, b, d);
    quarter_step<12>(c, d, b);
    quarter_step<8>(a, b, d);
    quarter_step<7>(c, d, b);
}

/// Transposes four words (registers w[0..3], lane j = block j) into per-block 16-byte
/// quarters: result r holds, in its 128-bit lane L, the four words of block 4L + r.
void transpose_quarters(const __m512i* w, __m512i* quarters) noexcept {
    const __m512i t0 = _mm512_unpacklo_epi32(w[0], w[1]);
    const __m512i t1 = _mm512_unpackhi_epi32(w[0], w[1]);
    const __m512i t2 = _mm512_unpacklo_epi32(w[2], w[3]);
    const __m512i t3 = _mm512_unpackhi_epi32(w[2], w[3]);
    quarters[0] = _mm512_unpacklo_epi64(t0, t2);
    quarters[1] = _mm512_unpackhi_epi64(t0, t2);
    quarters[2] = _mm512_unpacklo_epi64(t1, t3);
    quarters[3] = _mm512_unpackhi_epi64(t1, t3);
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    alignas(64) std::uint32_t low[lanes];
    alignas(64) std::uint32_t high[lanes];
    for (int j = 0; j < lanes; ++j) {
        const std::uint64_t number = counter + static_cast<std::uint64_t>(j);
        low[j] = static_cast<std::uint32_t>(number);
        high[j] = static_cast<std::uint32_t>(number >> 32);
    }
    __m512i input[chacha_block_words];
    for (int i = 0; i < 4; ++i) {
        input[i] = _mm512_set1_epi32(static_cast<int>(chacha_constants[i]));
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        input[4 + i] = _mm512_set1_epi32(static_cast<int>(key[i]));
    }
    input[12] = _mm512_load_si512(low);
    input[13] = _mm512_load_si512(high);
    input[14] = _mm512_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream)));
    input[15] = _mm512_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(stream >> 32)));

    __m512i x[chacha_block_words];
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
        x[i] = _mm512_add_epi32(x[i], input[i]);
    }

    // quarters[g][r]: lane L holds words 4g to 4g + 3 of block 4L + r.
    __m512i quarters[4][4];
    for (int g = 0; g < 4; ++g) {
        transpose_quarters(x + 4 * g, quarters[g]);
    }
    // For each r, a 4 x 4 transpose of 128-bit lanes gathers the four quarters of each
    // block 4L + r into one register.
    for (int r = 0; r < 4; ++r) {
        const __m512i g01_low = _mm512_shuffle_i32x4(quarters[0][r], quarters[1][r], 0x44);
        const __m512i g01_high = _mm512_shuffle_i32x4(quarters[0][r], quarters[1][r], 0xEE);
        const __m512i g23_low = _mm512_shuffle_i32x4(quarters[2][r], quarters[3][r], 0x44);
        const __m512i g23_high = _mm512_shuffle_i32x4(quarters[2][r], quarters[3][r], 0xEE);
        const __m512i blocks[4] = {_mm512_shuffle_i32x4(g01_low, g23_low, 0x88),
                                   _mm512_shuffle_i32x4(g01_low, g23_low, 0xDD),
                                   _mm512_shuffle_i32x4(g01_high, g23_high, 0x88),
                                   _mm512_shuffle_i32x4(g01_high, g23_high, 0xDD)};
        for (int lane = 0; lane < 4; ++lane) {
            _mm512_storeu_si512(out + (4 * lane + r) * chacha_block_bytes, blocks[lane]);
        }
    }
}

} // namespace tesk::random::avx512
