// chacha_avx512.cpp — ChaCha12 forms in 512-bit registers: four blocks in row form,
// thirty-two sliced.
#include "random/chacha_avx512_groups.h"
#include "random/chacha_rows.h"

#include <immintrin.h>

namespace tesk::random::avx512 {

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
