// chacha_avx512x4.cpp — ChaCha12 form: four blocks, one matrix row of all four per 512-bit
// register.
#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random::avx512x4 {
namespace {

/// One matrix row per register: 128-bit lane L holds the row of block `counter + L`.
struct Rows {
    __m512i a, b, c, d;
};

// One chain of dependent steps, each a single instruction: the refill step that uses this
// form is short, and its latency is what a caller waits for.
void quarter_round(Rows& r) noexcept {
    r.a = _mm512_add_epi32(r.a, r.b);
    r.d = _mm512_rol_epi32(_mm512_xor_si512(r.d, r.a), 16);
    r.c = _mm512_add_epi32(r.c, r.d);
    r.b = _mm512_rol_epi32(_mm512_xor_si512(r.b, r.c), 12);
    r.a = _mm512_add_epi32(r.a, r.b);
    r.d = _mm512_rol_epi32(_mm512_xor_si512(r.d, r.a), 8);
    r.c = _mm512_add_epi32(r.c, r.d);
    r.b = _mm512_rol_epi32(_mm512_xor_si512(r.b, r.c), 7);
}

// Rotating rows b, c and d by one, two and three words lines the diagonals up as
// columns, so the diagonal round is a column round between two shuffles.
void diagonals_to_columns(Rows& r) noexcept {
    r.b = _mm512_shuffle_epi32(r.b, _MM_PERM_ADCB);
    r.c = _mm512_shuffle_epi32(r.c, _MM_PERM_BADC);
    r.d = _mm512_shuffle_epi32(r.d, _MM_PERM_CBAD);
}

void columns_to_diagonals(Rows& r) noexcept {
    r.b = _mm512_shuffle_epi32(r.b, _MM_PERM_CBAD);
    r.c = _mm512_shuffle_epi32(r.c, _MM_PERM_BADC);
    r.d = _mm512_shuffle_epi32(r.d, _MM_PERM_ADCB);
}

/// The input rows of the four blocks from `counter` on. Row d holds each block's counter
/// (low word first, wrapping modulo 2^64) and then the stream: little-endian, a 64-bit
/// lane is words 12 and 13 or 14 and 15.
Rows input_rows(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream) noexcept {
    const auto row = [](const std::uint32_t* words) {
        return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
    };
    const auto lane = [](std::uint64_t value) { return static_cast<long long>(value); };
    return Rows{row(chacha_constants), row(key), row(key + 4),
                _mm512_setr_epi64(lane(counter), lane(stream), lane(counter + 1), lane(stream),
                                  lane(counter + 2), lane(stream), lane(counter + 3),
                                  lane(stream))};
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    const Rows input = input_rows(key, counter, stream);
    Rows x = input;
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        quarter_round(x);
        diagonals_to_columns(x);
        quarter_round(x);
        columns_to_diagonals(x);
    }
    const __m512i a = _mm512_add_epi32(x.a, input.a);
    const __m512i b = _mm512_add_epi32(x.b, input.b);
    const __m512i c = _mm512_add_epi32(x.c, input.c);
    const __m512i d = _mm512_add_epi32(x.d, input.d);
    // Lane L of the four rows, side by side, is block L.
    const __m512i ab_01 = _mm512_shuffle_i64x2(a, b, 0x44);
    const __m512i cd_01 = _mm512_shuffle_i64x2(c, d, 0x44);
    const __m512i ab_23 = _mm512_shuffle_i64x2(a, b, 0xEE);
    const __m512i cd_23 = _mm512_shuffle_i64x2(c, d, 0xEE);
    _mm512_storeu_si512(out, _mm512_shuffle_i64x2(ab_01, cd_01, 0x88));
    _mm512_storeu_si512(out + chacha_block_bytes, _mm512_shuffle_i64x2(ab_01, cd_01, 0xDD));
    _mm512_storeu_si512(out + 2 * chacha_block_bytes, _mm512_shuffle_i64x2(ab_23, cd_23, 0x88));
    _mm512_storeu_si512(out + 3 * chacha_block_bytes, _mm512_shuffle_i64x2(ab_23, cd_23, 0xDD));
}

} // namespace tesk::random::avx512x4
