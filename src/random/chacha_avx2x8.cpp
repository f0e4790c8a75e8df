// chacha_avx2x8.cpp — ChaCha12 form: eight blocks word-sliced in 256-bit registers.
#include "random/chacha_avx2_rotate.h"
#include "random/chacha_sliced.h"

namespace tesk::random::avx2x8 {
namespace {

/// The 256-bit lanes, for sliced_chacha12.
struct Avx2Lanes {
    using Vector = __m256i;
    static constexpr std::size_t count = 8;

    static Vector splat(std::uint32_t word) noexcept {
        return _mm256_set1_epi32(static_cast<int>(word));
    }
    static Vector load(const std::uint32_t* words) noexcept {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    }
    static Vector add(Vector a, Vector b) noexcept { return _mm256_add_epi32(a, b); }
    static void quarter_round(Vector& a, Vector& b, Vector& c, Vector& d) noexcept {
        a = _mm256_add_epi32(a, b);
        d = rotate_lanes<16>(_mm256_xor_si256(d, a));
        c = _mm256_add_epi32(c, d);
        b = rotate_lanes<12>(_mm256_xor_si256(b, c));
        a = _mm256_add_epi32(a, b);
        d = rotate_lanes<8>(_mm256_xor_si256(d, a));
        c = _mm256_add_epi32(c, d);
        b = rotate_lanes<7>(_mm256_xor_si256(b, c));
    }
};

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
    __m256i x[chacha_block_words];
    sliced_chacha12<Avx2Lanes>(key, counter, stream, x);
    store_half(x, 0, out);
    store_half(x + 8, 1, out);
}

} // namespace tesk::random::avx2x8
