// generator.h — the ChaCha12 generator's state and its draws, one at a time.
#pragma once

#include "random/fork_counter.h"

#include <cstddef>
#include <cstdint>

namespace tesk::random {

constexpr std::size_t generator_buffer_words = 64;
/// Bytes the block buffer holds: one refill step, four ChaCha blocks.
constexpr std::int64_t refill_step_bytes = 256;
/// Output between two reseeds: 256 refill steps.
constexpr std::int64_t reseed_threshold_bytes = 65536;
constexpr std::size_t seed_bytes = 32;

/// The state of one thread's generator. Plain data, so that tests can build one with a
/// known key and place its index anywhere. All zeros (what a page the kernel wiped in a
/// forked child reads as) is a state whose fork snapshot lies behind every fork count, so
/// that it is reseeded before any draw.
struct ThreadGenerator {
    std::uint32_t buffer[generator_buffer_words] = {}; ///< last four blocks, in output order
    std::uint64_t index = generator_buffer_words;      ///< next unread word; 64 = used up
    std::uint32_t key[8] = {};
    std::uint64_t block_counter = 0; ///< next block to produce
    std::uint64_t stream = 0;        ///< ChaCha nonce; never changed
    std::int64_t bytes_until_reseed = reseed_threshold_bytes;
    std::uint64_t fork_snapshot = 0; ///< fork_count() at the last reseed
};

/// A fresh generator keyed with `seed` (32 bytes, read as eight little-endian words).
ThreadGenerator seeded_generator(const std::uint8_t* seed) noexcept;

/// Whether a fork has happened since the generator's last reseed: then it must not go on
/// with the stream it shares with the other side of the fork.
inline bool fork_seen(const ThreadGenerator& generator) noexcept {
    // The snapshot lies behind the counter, compared with wrap-around.
    return static_cast<std::int64_t>(generator.fork_snapshot - fork_count()) < 0;
}

/// Produces the next four blocks into the buffer and sets the index to 0, reseeding from
/// the entropy source first when the budget is spent or a fork has happened. A failed
/// reseed keeps the current key and counter.
void refill(ThreadGenerator& generator) noexcept;

/// The draw with the buffer used up: refills it and returns its first draw.
std::uint64_t next_u64_after_refill(ThreadGenerator& generator) noexcept;

/// The next 64-bit draw: two buffer words, the first as the low half. Draws take whole
/// pairs, so the index is always even.
inline std::uint64_t next_u64(ThreadGenerator& generator) noexcept {
    const std::uint64_t index = generator.index;
    if (index < generator_buffer_words) [[likely]] {
        generator.index = index + 2;
        return generator.buffer[index] |
               (static_cast<std::uint64_t>(generator.buffer[index + 1]) << 32);
    }
    return next_u64_after_refill(generator);
}

/// Maps a 64-bit draw to [0, 1) in steps of 2^-53, keeping its top 53 bits.
inline double unit_f64(std::uint64_t bits) noexcept {
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

/// The next uniform draw in [0, 1 - 2^-53]: the generator's draw of one float64, which
/// the perturbation's element-by-element definition rests on.
inline double next_f64(ThreadGenerator& generator) noexcept {
    return unit_f64(next_u64(generator));
}

} // namespace tesk::random
