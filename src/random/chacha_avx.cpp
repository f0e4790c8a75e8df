// chacha_avx.cpp — ChaCha12 form: the SSE4.1 algorithm with VEX (three-operand) encoding.
#include "random/chacha_sse_kernel.h"

namespace tesk::random::avx {

void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept {
    chacha12_four_blocks<true>(key, counter, stream, out);
}

} // namespace tesk::random::avx
