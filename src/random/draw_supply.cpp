// draw_supply.cpp — batches of draws that keep the wide block-function calls whole.
#include "random/draw_supply.h"

#include <algorithm>

namespace tesk::random {

DrawSupply::DrawSupply(const GeneratorHandle& generator, std::size_t total) noexcept
    : generator_(generator), remaining_(total), buffered_(buffered_draws(generator.generator())) {}

std::span<const std::uint64_t> DrawSupply::take(std::size_t wanted) noexcept {
    if (position_ == filled_) {
        // Draws left in the thread's buffer by an earlier call come first; taking them
        // in the same batch keeps every later batch a whole number of wide
        // block-function calls.
        filled_ = std::min(batch + buffered_, remaining_);
        buffered_ = 0;
        fill_u64(generator_.generator(), draws_, filled_);
        remaining_ -= filled_;
        position_ = 0;
    }
    const std::size_t count = std::min(wanted, filled_ - position_);
    std::span<const std::uint64_t> taken(draws_ + position_, count);
    position_ += count;
    return taken;
}

} // namespace tesk::random
