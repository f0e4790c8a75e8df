// thread_generator.h — the per-thread ChaCha12 generator: state, draws, refill and handles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/chacha.h"

namespace tesk::random {

constexpr std::size_t generator_buffer_words = 64;
/// Bytes the block buffer holds: one refill step, four ChaCha blocks.
constexpr std::int64_t refill_step_bytes = 256;
/// Output between two reseeds: 256 refill steps.
constexpr std::int64_t reseed_threshold_bytes = 65536;
constexpr std::size_t seed_bytes = 32;

/// The state of one thread's generator. Plain data, so that tests can build one with a
/// known key and place its index anywhere.
struct ThreadGenerator {
    std::uint32_t buffer[generator_buffer_words] = {}; ///< last four blocks, in output order
    std::uint64_t index = generator_buffer_words;      ///< next unread word; 64 = used up
    std::uint32_t key[8] = {};
    std::uint64_t block_counter = 0; ///< next block to produce
    std::uint64_t stream = 0;        ///< ChaCha nonce; never changed
    std::int64_t reseed_threshold = reseed_threshold_bytes;
    std::int64_t bytes_until_reseed = reseed_threshold_bytes;
    std::uint64_t fork_snapshot = 0; ///< fork_count() at the last reseed
};

/// A fresh generator keyed with `seed` (32 bytes, read as eight little-endian words).
ThreadGenerator seeded_generator(const std::uint8_t* seed) noexcept;

/// Drops the words left in the buffer when a fork has happened since the last reseed,
/// so that parent and child share no draw: the next draw refills, and that refill
/// reseeds. Called whenever a call takes the generator.
void drop_buffer_after_fork(ThreadGenerator& generator) noexcept;

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

/// Where bulk draws go, in order: draws the generator has computed, or whole calls' worth
/// of key stream that the sink computes itself from the key, counter and stream it is
/// handed, so that it can use the draws where they are made instead of writing them out.
class DrawSink {
public:
    /// make() is handed a multiple of `blocks_per_make` blocks (itself a multiple of four:
    /// whole refill steps), never more than `max_blocks_per_make` (itself a multiple of
    /// `blocks_per_make`).
    DrawSink(std::size_t blocks_per_make, std::size_t max_blocks_per_make) noexcept
        : blocks_per_make_(blocks_per_make), max_blocks_per_make_(max_blocks_per_make) {}
    DrawSink(const DrawSink&) = delete;
    DrawSink& operator=(const DrawSink&) = delete;

    std::size_t blocks_per_make() const noexcept { return blocks_per_make_; }
    std::size_t max_blocks_per_make() const noexcept { return max_blocks_per_make_; }
    /// Uses the next `count` draws.
    virtual void take(const std::uint64_t* draws, std::size_t count) noexcept = 0;
    /// Uses the draws of ChaCha12 blocks [counter, counter + blocks) for `key` and
    /// `stream` (the block function's output, read as little-endian 64-bit draws).
    virtual void make(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                      std::size_t blocks) noexcept = 0;

protected:
    ~DrawSink() = default;

private:
    std::size_t blocks_per_make_;
    std::size_t max_blocks_per_make_;
};

/// Hands `sink` exactly what `count` successive next_u64 calls would return, and leaves
/// the generator as they would: runs of whole refill steps that share one key go to make(),
/// the rest (buffered draws, the steps short of a whole make() before a reseed or at the
/// end, the last partial step through the buffer) to take().
void draw_into(ThreadGenerator& generator, std::size_t count, DrawSink& sink) noexcept;

/// The widest block-function form this processor runs: what bulk drawing computes with.
/// Chosen once.
const ChachaForm& bulk_chacha_form() noexcept;

/// A generator with the reference count its handles share. Never leaves its thread,
/// so the count is a plain integer.
struct SharedGenerator {
    std::size_t references;
    ThreadGenerator generator;
};

/// Frees a generator whose last reference has gone.
void destroy_shared_generator(SharedGenerator* shared) noexcept;

/// A counted reference to the calling thread's generator. Stays on its thread.
class GeneratorHandle {
public:
    GeneratorHandle(const GeneratorHandle& other) noexcept : shared_(other.shared_) {
        ++shared_->references;
    }
    GeneratorHandle& operator=(const GeneratorHandle&) = delete;
    ~GeneratorHandle() {
        if (--shared_->references == 0) {
            destroy_shared_generator(shared_);
        }
    }

    ThreadGenerator& generator() const noexcept { return shared_->generator; }

private:
    friend GeneratorHandle thread_generator();
    explicit GeneratorHandle(SharedGenerator* shared) noexcept : shared_(shared) {
        ++shared_->references;
    }

    SharedGenerator* shared_;
};

/// A handle to the calling thread's generator, created and seeded on the thread's first
/// request. Fails (internal failure) when the seed cannot be read, when the fork handlers
/// cannot be registered, or during the thread's teardown; a failed creation leaves
/// nothing behind, so the next request tries again.
GeneratorHandle thread_generator();

} // namespace tesk::random
