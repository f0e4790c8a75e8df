// thread_generator.cpp — refill, reseeding and bulk drawing of the per-thread generator.
#include "random/thread_generator.h"

#include "random/chacha.h"
#include "random/entropy.h"
#include "random/fork_counter.h"
#include "runtime/cpu_features.h"

#include <algorithm>
#include <cstring>

namespace tesk::random {
namespace {

constexpr std::size_t blocks_per_step = 4;
constexpr std::size_t draws_per_step = generator_buffer_words / 2;

/// The snapshot lies behind the counter (compared with wrap-around): a fork has
/// happened since the last reseed.
bool fork_seen(const ThreadGenerator& generator, std::uint64_t forks) noexcept {
    return static_cast<std::int64_t>(generator.fork_snapshot - forks) < 0;
}

/// The best form that produces exactly one refill step per call.
const ChachaForm& step_form() noexcept {
    return choose_chacha_form(runtime::cpu_features(), blocks_per_step);
}

/// The widest form, for runs of whole steps.
const ChachaForm& bulk_form() noexcept {
    return choose_chacha_form(runtime::cpu_features());
}

void set_key(ThreadGenerator& generator, const std::uint8_t* seed) noexcept {
    // Little-endian words: the seed's memory image is the key.
    std::memcpy(generator.key, seed, sizeof generator.key);
}

/// Takes a fresh key from the entropy source. A failure is absorbed: the old key and
/// counter go on, and the next attempt comes after another full budget.
[[gnu::noinline, gnu::cold]] void reseed(ThreadGenerator& generator, std::uint64_t forks) noexcept {
    std::uint8_t seed[seed_bytes];
    if (!fill_entropy(seed, seed_bytes)) {
        set_key(generator, seed);
        generator.block_counter = 0;
        generator.stream = 0;
    }
    generator.fork_snapshot = forks;
    generator.bytes_until_reseed = generator.reseed_threshold - refill_step_bytes;
}

/// Charges one refill step to the budget, reseeding first when the budget is spent or
/// a fork has been noticed.
void begin_step(ThreadGenerator& generator) noexcept {
    const std::uint64_t forks = fork_count();
    if (generator.bytes_until_reseed > 0 && !fork_seen(generator, forks)) [[likely]] {
        generator.bytes_until_reseed -= refill_step_bytes;
    } else {
        reseed(generator, forks);
    }
}

/// One full refill step (four blocks) into `out`.
void produce_step(ThreadGenerator& generator, std::uint8_t* out) noexcept {
    begin_step(generator);
    step_form().blocks(generator.key, generator.block_counter, generator.stream, out);
    generator.block_counter += blocks_per_step;
}

/// Copies the draws still in the buffer, up to `count`. The index must be even.
std::size_t take_buffered(ThreadGenerator& generator, std::uint64_t* out,
                          std::size_t count) noexcept {
    const std::size_t available = (generator_buffer_words - generator.index) / 2;
    const std::size_t taken = std::min(count, available);
    // At an even index, pairs of little-endian words are little-endian 64-bit draws.
    std::memcpy(out, generator.buffer + generator.index, taken * sizeof(std::uint64_t));
    generator.index += 2 * taken;
    return taken;
}

/// How many of the next `wanted` steps (at least one) may go ahead with one key, charging
/// each to the budget exactly as refill would. A reseed due at the first step happens
/// here, so that a wide call can start with the new key; one due later ends the run.
std::size_t admit_steps(ThreadGenerator& generator, std::size_t wanted) noexcept {
    begin_step(generator);
    std::size_t admitted = 1;
    while (admitted < wanted && generator.bytes_until_reseed > 0 &&
           !fork_seen(generator, fork_count())) {
        generator.bytes_until_reseed -= refill_step_bytes;
        ++admitted;
    }
    return admitted;
}

/// Writes `steps` whole refill steps straight into `out`, with the widest form where a
/// full call of it can go ahead with one key, and one step at a time before a reseed.
void fill_whole_steps(ThreadGenerator& generator, std::uint8_t* out, std::size_t steps) noexcept {
    const ChachaForm& wide = bulk_form();
    const ChachaForm& narrow = step_form();
    const std::size_t wide_steps = wide.blocks_per_call / blocks_per_step;
    constexpr std::size_t step_bytes = static_cast<std::size_t>(refill_step_bytes);
    while (steps > 0) {
        const std::size_t admitted = admit_steps(generator, std::min(steps, wide_steps));
        if (admitted == wide_steps) {
            wide.blocks(generator.key, generator.block_counter, generator.stream, out);
            generator.block_counter += wide.blocks_per_call;
        } else {
            for (std::size_t k = 0; k < admitted; ++k) {
                narrow.blocks(generator.key, generator.block_counter, generator.stream,
                              out + k * step_bytes);
                generator.block_counter += blocks_per_step;
            }
        }
        out += admitted * step_bytes;
        steps -= admitted;
    }
}

} // namespace

ThreadGenerator seeded_generator(const std::uint8_t* seed) noexcept {
    ThreadGenerator generator;
    set_key(generator, seed);
    return generator;
}

void drop_buffer_after_fork(ThreadGenerator& generator) noexcept {
    if (fork_seen(generator, fork_count())) [[unlikely]] {
        generator.index = generator_buffer_words;
    }
}

void refill(ThreadGenerator& generator) noexcept {
    produce_step(generator, reinterpret_cast<std::uint8_t*>(generator.buffer));
    generator.index = 0;
}

std::uint64_t next_u64_across_refill(ThreadGenerator& generator) noexcept {
    if (generator.index == generator_buffer_words - 1) {
        // Only reachable after single-word draws: the old last word is the low half.
        const std::uint64_t low = generator.buffer[generator_buffer_words - 1];
        refill(generator);
        generator.index = 1;
        return low | (static_cast<std::uint64_t>(generator.buffer[0]) << 32);
    }
    refill(generator);
    generator.index = 2;
    return generator.buffer[0] | (static_cast<std::uint64_t>(generator.buffer[1]) << 32);
}

void fill_u64(ThreadGenerator& generator, std::uint64_t* out, std::size_t count) noexcept {
    if (count == 0) {
        return;
    }
    if (generator.index % 2 != 0) {
        // An odd index pairs words across step boundaries; this module never leaves one.
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = next_u64(generator);
        }
        return;
    }
    std::size_t done = take_buffered(generator, out, count);
    const std::size_t steps = (count - done) / draws_per_step;
    fill_whole_steps(generator, reinterpret_cast<std::uint8_t*>(out + done), steps);
    done += steps * draws_per_step;
    if (done < count) {
        // The last partial step goes through the buffer, whose rest serves later draws.
        refill(generator);
        take_buffered(generator, out + done, count - done);
    }
}

std::string_view active_chacha_form_name() noexcept {
    return bulk_form().name;
}

} // namespace tesk::random
