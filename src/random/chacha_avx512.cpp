// chacha_avx512.cpp — ChaCha12 forms in 512-bit registers: four blocks in row form,
// thirty-two sliced.
#include "random/chacha_avx512_groups.h"
#include "random/chacha_rows.h"

#include <immintrin.h>

namespace tesk::random::avx512 {
namespace {

/// The 512-bit lanes, for row_chacha12_x4.
struct Avx512Lanes {
    using Vector = __m512i;
    static constexpr std::size_t row_blocks = 4;

    static Vector add(Vector a, Vector b) noexcept { return _mm512_add_epi32(a, b); }
    static Vector bitxor(Vector a, Vector b) noexcept { return _mm512_xor_si512(a, b); }
    template <int Bits> static Vector rotate(Vector x) noexcept {
        return _mm512_rol_epi32(x, Bits);
    }
    static Vector broadcast_row(const std::uint32_t* words) noexcept {
        return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
    }
    /// Row 3 of the four blocks from `first` on: each block's counter (low word first,
    /// wrapping modulo 2^64) and then the stream. Little-endian, a 64-bit lane is words 12
    /// and 13 or 14 and 15.
    static Vector counter_row(std::uint64_t first, std::uint64_t stream) noexcept {
        const auto lane = [](std::uint64_t value) { return static_cast<long long>(value); };
        return _mm512_setr_epi64(lane(first), lane(stream), lane(first + 1), lane(stream),
                                 lane(first + 2), lane(stream), lane(first + 3), lane(stream));
    }
    template <int Words> static Vector rotate_words(Vector x) noexcept {
        return _mm512_shuffle_epi32(x, static_cast<_MM_PERM_ENUM>(Words | ((Words + 1) % 4) << 2 |
                                                                  ((Words + 2) % 4) << 4 |
                                                                  ((Words + 3) % 4) << 6));
    }
    /// The four blocks: lane L of the four rows, side by side, is block L.
    static void store_rows(Vector a, Vector b, Vector c, Vector d, std::uint8_t* out) noexcept {
        const __m512i ab_01 = _mm512_shuffle_i64x2(a, b, 0x44);
        const __m512i cd_01 = _mm512_shuffle_i64x2(c, d, 0x44);
        const __m512i ab_23 = _mm512_shuffle_i64x2(a, b, 0xEE);
        const __m512i cd_23 = _mm512_shuffle_i64x2(c, d, 0xEE);
        _mm512_storeu_si512(out, _mm512_shuffle_i64x2(ab_01, cd_01, 0x88));
        _mm512_storeu_si512(out + chacha_block_bytes, _mm512_shuffle_i64x2(ab_01, cd_01, 0xDD));
        _mm512_storeu_si512(out + 2 * chacha_block_bytes, _mm512_shuffle_i64x2(ab_23, cd_23, 0x88));
        _mm512_storeu_si512(out + 3 * chacha_block_bytes, _mm512_shuffle_i64x2(ab_23, cd_23, 0xDD));
    }
};

} // namespace

void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept {
    row_chacha12_x4<Avx512Lanes>(key, counter, stream, out);
}

void chacha12_x32(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                  std::uint8_t* out) noexcept {
    Group first;
    alignas(64) Group second;
    chacha12_groups(key, counter, stream, 0, first, second);
    for_each_block(first, [&](int block, __m512i bytes) {
        _mm512_storeu_si512(out + block * chacha_block_bytes, bytes);
    });
    out += group_blocks * chacha_block_bytes;
    for_each_block(second, [&](int block, __m512i bytes) {
        _mm512_storeu_si512(out + block * chacha_block_bytes, bytes);
    });
}

} // namespace tesk::random::avx512
