// chacha_sse41.cpp — ChaCha12 form: the SSSE3 algorithm compiled for SSE4.1.
#include "random/chacha_sse_kernel.h"

namespace tesk::random::sse41 {

void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept {
    chacha12_four_blocks<true>(key, counter, stream, out);
}

} // namespace tesk::random::sse41
