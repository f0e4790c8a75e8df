// generator.cpp — refill steps, reseeding and the draws one at a time.
#include "random/generator.h"

#include "random/chacha.h"
#include "random/entropy.h"
#include "random/refill_step.h"
#include "runtime/cpu_features.h"

#include <cstring>

namespace tesk::random {
namespace {

/// The best form that produces exactly one refill step per call, chosen once: refill,
/// every 32 draws, goes through it.
const ChachaForm& step_form() noexcept {
    static const ChachaForm& form = choose_chacha_form(runtime::cpu_features(), blocks_per_step);
    return form;
}

void set_key(ThreadGenerator& generator, const std::uint8_t* seed) noexcept {
    // Little-endian words: the seed's memory image is the key.
    std::memcpy(generator.key, seed, sizeof generator.key);
}

/// Takes a fresh key from the entropy source. A failure is absorbed: the old key and
/// counter go on, and the next attempt comes after another full budget.
[[gnu::noinline, gnu::cold]] void reseed(ThreadGenerator& generator) noexcept {
    std::uint8_t seed[seed_bytes];
    if (!fill_entropy(seed, seed_bytes)) {
        set_key(generator, seed);
        generator.block_counter = 0;
        generator.stream = 0;
    }
    generator.fork_snapshot = fork_count();
    generator.bytes_until_reseed = reseed_threshold_bytes - refill_step_bytes;
}

/// One full refill step (four blocks) into `out`.
void produce_step(ThreadGenerator& generator, std::uint8_t* out) noexcept {
    begin_step(generator);
    write_step(generator, out);
}

} // namespace

void begin_step(ThreadGenerator& generator) noexcept {
    if (generator.bytes_until_reseed > 0 && !fork_seen(generator)) [[likely]] {
        generator.bytes_until_reseed -= refill_step_bytes;
    } else {
        reseed(generator);
    }
}

void write_step(ThreadGenerator& generator, std::uint8_t* out) noexcept {
    step_form().blocks(generator.key, generator.block_counter, generator.stream, out);
    generator.block_counter += blocks_per_step;
}

ThreadGenerator seeded_generator(const std::uint8_t* seed) noexcept {
    ThreadGenerator generator;
    set_key(generator, seed);
    return generator;
}

void refill(ThreadGenerator& generator) noexcept {
    produce_step(generator, reinterpret_cast<std::uint8_t*>(generator.buffer));
    generator.index = 0;
}

std::uint64_t next_u64_after_refill(ThreadGenerator& generator) noexcept {
    refill(generator);
    generator.index = 2;
    return generator.buffer[0] | (static_cast<std::uint64_t>(generator.buffer[1]) << 32);
}

} // namespace tesk::random
