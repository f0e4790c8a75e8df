// chacha_avx2x16.cpp — ChaCha12 form: sixteen blocks as two word-sliced groups of eight.
#include "random/chacha.h"
#include "random/chacha_avx2x16_groups.h"

#include <immintrin.h>

namespace tesk::random::avx2x16 {

namespace {

/// Stores a group's eight blocks, words 0 to 7 and then 8 to 15 of each.
[[gnu::always_inline]] inline void store_group(const Group& words, std::uint8_t* out) noexcept {
    for (int half = 0; half < 2; ++half) {
        for_each_half(words + 8 * half, [&](int block, __m256i bytes) {
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(out + block * chacha_block_bytes + half * 32), bytes);
        });
    }
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    alignas(32) Group first[groups];
    Group second;
    chacha12_groups(key, counter, stream, first, second);
    // Group 0 first: its words are final a half round before group 1's.
    finish_group(first[0], key, counter, stream);
    store_group(first[0], out);
    finish_group(second, key, counter + group_blocks, stream);
    store_group(second, out + group_blocks * chacha_block_bytes);
}

} // namespace tesk::random::avx2x16
