// draw_supply.h — the generator's draws for one call, taken in batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "random/thread_generator.h"

namespace tesk::random {

/// Draws in batches, never more than the call needs: whatever is not used stays in the
/// generator, so the stream advances by exactly one draw per element. About 9 KiB: keep
/// it off the stack of code that calls back into Python.
class DrawSupply {
public:
    DrawSupply(const GeneratorHandle& generator, std::size_t total) noexcept;

    /// Between one and `wanted` draws; valid until the next call.
    std::span<const std::uint64_t> take(std::size_t wanted) noexcept;

private:
    // 8 KiB: whole wide block-function calls, small enough for L1.
    static constexpr std::size_t batch = 1024;
    static constexpr std::size_t max_buffered = generator_buffer_words / 2;
    const GeneratorHandle& generator_;
    std::size_t remaining_;
    std::size_t buffered_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    alignas(64) std::uint64_t draws_[batch + max_buffered];
};

} // namespace tesk::random
