// thread_generator.h — the per-thread ChaCha12 generator: state, draws, refill and handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The draws below are inline. Files compiled with instruction-set flags (the *_avx2,
// *_avx512, ... forms) must not include this header, or the linker could pick their
// copy of an inline draw for every caller.

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

/// The draw that starts at index 63 or beyond: a refill lies in between.
std::uint64_t next_u64_across_refill(ThreadGenerator& generator) noexcept;

/// The next 64-bit draw: two buffer words, the first as the low half.
inline std::uint64_t next_u64(ThreadGenerator& generator) noexcept {
    const std::uint64_t index = generator.index;
    if (index < generator_buffer_words - 1) [[likely]] {
        generator.index = index + 2;
        return generator.buffer[index] |
               (static_cast<std::uint64_t>(generator.buffer[index + 1]) << 32);
    }
    return next_u64_across_refill(generator);
}

/// Maps a 64-bit draw to [0, 1) in steps of 2^-53, keeping its top 53 bits.
inline double unit_f64(std::uint64_t bits) noexcept {
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

/// The next uniform draw in [0, 1 - 2^-53].
inline double next_f64(ThreadGenerator& generator) noexcept {
    return unit_f64(next_u64(generator));
}

/// Whole draws still waiting in the block buffer; fill_u64 serves them before it
/// computes any new step.
inline std::size_t buffered_draws(const ThreadGenerator& generator) noexcept {
    return generator.index >= generator_buffer_words
               ? 0
               : (generator_buffer_words - generator.index) / 2;
}

/// Writes exactly what `count` successive next_u64 calls would return, and leaves the
/// generator as they would, but computes whole refill steps straight into `out` with the
/// widest block-function form.
void fill_u64(ThreadGenerator& generator, std::uint64_t* out, std::size_t count) noexcept;

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

/// Name of the block-function form that fill_u64 uses on this processor.
std::string_view active_chacha_form_name() noexcept;

} // namespace tesk::random
