// chacha_avx512.cpp — ChaCha12 form: thirty-two blocks as two word-sliced groups of sixteen.
#include "random/chacha.h"
#include "random/chacha_avx512_groups.h"

#include <immintrin.h>

namespace tesk::random::avx512 {
namespace {

/// Stores eight words (w[0..7], lane j = block j) of all sixteen blocks: each block
/// receives 32 bytes at `out + 64 j`. Three transposition stages suffice, because a
/// 256-bit half of a register holds the 32 bytes a block wants here.
[[gnu::always_inline]] inline void store_eight_words(const __m512i* w, std::uint8_t* out) noexcept {
    __m512i quarters[2][4]; // [h][r], see quarter_words
    quarter_words(w, quarters[0]);
    quarter_words(w + 4, quarters[1]);
    // Pairing lane L of both halves gives blocks 4L + r their eight words in order.
    const __m512i lanes_01 = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i lanes_23 = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    for (int r = 0; r < 4; ++r) {
        const __m512i blocks_01 =
            _mm512_permutex2var_epi64(quarters[0][r], lanes_01, quarters[1][r]);
        const __m512i blocks_23 =
            _mm512_permutex2var_epi64(quarters[0][r], lanes_23, quarters[1][r]);
        const auto block = [&](int lane) {
            return reinterpret_cast<__m256i*>(out + (4 * lane + r) * chacha_block_bytes);
        };
        _mm256_storeu_si256(block(0), _mm512_castsi512_si256(blocks_01));
        _mm256_storeu_si256(block(1), _mm512_extracti64x4_epi64(blocks_01, 1));
        _mm256_storeu_si256(block(2), _mm512_castsi512_si256(blocks_23));
        _mm256_storeu_si256(block(3), _mm512_extracti64x4_epi64(blocks_23, 1));
    }
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    Group first;
    alignas(64) Group second;
    chacha12_groups(key, counter, stream, 0, first, second);
    store_eight_words(first, out);
    store_eight_words(first + 8, out + 32);
    out += group_blocks * chacha_block_bytes;
    store_eight_words(second, out);
    store_eight_words(second + 8, out + 32);
}

} // namespace tesk::random::avx512
