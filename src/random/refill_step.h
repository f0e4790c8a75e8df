// refill_step.h — one refill step, the unit in which the generator charges its budget and
// produces blocks: shared by draws one at a time and by bulk draws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/generator.h"

namespace tesk::random {

constexpr std::size_t blocks_per_step = 4;
constexpr std::size_t draws_per_step = generator_buffer_words / 2;

/// Charges one refill step to the budget, reseeding first when the budget is spent or a
/// fork has been noticed. A failed reseed keeps the current key and counter.
void begin_step(ThreadGenerator& generator) noexcept;

/// The four blocks of the next refill step into `out`, already charged to the budget.
void write_step(ThreadGenerator& generator, std::uint8_t* out) noexcept;

} // namespace tesk::random
