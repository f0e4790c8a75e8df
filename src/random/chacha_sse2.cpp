// chacha_sse2.cpp — ChaCha12 form: four blocks in 128-bit registers, SSE2 only.
#include "random/chacha_sse_kernel.h"

namespace tesk::random::sse2 {

void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept {
    chacha12_four_blocks<false>(key, counter, stream, out);
}

} // namespace tesk::random::sse2
