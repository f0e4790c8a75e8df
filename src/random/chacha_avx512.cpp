// chacha_avx512.cpp — ChaCha12 form: sixteen blocks word-sliced in 512-bit registers.
#include "random/chacha_sliced.h"

#include <immintrin.h>

namespace tesk::random::avx512 {
namespace {

/// The 512-bit lanes, for sliced_chacha12.
struct Avx512Lanes {
    using Vector = __m512i;
    static constexpr std::size_t count = 16;

    static Vector splat(std::uint32_t word) noexcept {
        return _mm512_set1_epi32(static_cast<int>(word));
    }
    static Vector load(const std::uint32_t* words) noexcept { return _mm512_load_si512(words); }
    static Vector add(Vector a, Vector b) noexcept { return _mm512_add_epi32(a, b); }
    static void quarter_round(Vector& a, Vector& b, Vector& c, Vector& d) noexcept {
        quarter_step<16>(a, b, d);
        quarter_step<12>(c, d, b);
        quarter_step<8>(a, b, d);
        quarter_step<7>(c, d, b);
    }

private:
    template <int Bits> static void quarter_step(Vector& sum, Vector addend, Vector& mixed) noexcept {
        sum = _mm512_add_epi32(sum, addend);
        mixed = _mm512_rol_epi32(_mm512_xor_si512(mixed, sum), Bits);
    }
};

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
    __m512i x[chacha_block_words];
    sliced_chacha12<Avx512Lanes>(key, counter, stream, x);

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
