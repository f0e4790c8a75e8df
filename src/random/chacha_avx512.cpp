// chacha_avx512.cpp — ChaCha12 form: thirty-two blocks as two word-sliced groups of sixteen.
#include "random/chacha.h"
#include "random/chacha_avx512_groups.h"

#include <immintrin.h>

namespace tesk::random::avx512 {

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
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
