// generator.cpp — refill, reseeding and bulk drawing of the per-thread generator.
#include "random/generator.h"

#include "random/bulk_form.h"
#include "random/chacha.h"
#include "random/draw_sink.h"
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
bool fork_seen_by(const ThreadGenerator& generator, std::uint64_t forks) noexcept {
    return static_cast<std::int64_t>(generator.fork_snapshot - forks) < 0;
}

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
[[gnu::noinline, gnu::cold]] void reseed(ThreadGenerator& generator, std::uint64_t forks) noexcept {
    std::uint8_t seed[seed_bytes];
    if (!fill_entropy(seed, seed_bytes)) {
        set_key(generator, seed);
        generator.block_counter = 0;
        generator.stream = 0;
    }
    generator.fork_snapshot = forks;
    generator.bytes_until_reseed = reseed_threshold_bytes - refill_step_bytes;
}

/// Charges one refill step to the budget, reseeding first when the budget is spent or
/// a fork has been noticed.
void begin_step(ThreadGenerator& generator) noexcept {
    const std::uint64_t forks = fork_count();
    if (generator.bytes_until_reseed > 0 && !fork_seen_by(generator, forks)) [[likely]] {
        generator.bytes_until_reseed -= refill_step_bytes;
    } else {
        reseed(generator, forks);
    }
}

/// The four blocks of the next refill step into `out`, already charged to the budget.
void write_step(ThreadGenerator& generator, std::uint8_t* out) noexcept {
    step_form().blocks(generator.key, generator.block_counter, generator.stream, out);
    generator.block_counter += blocks_per_step;
}

/// One full refill step (four blocks) into `out`.
void produce_step(ThreadGenerator& generator, std::uint8_t* out) noexcept {
    begin_step(generator);
    write_step(generator, out);
}

/// Hands `sink` the draws still in the buffer, up to `count`.
std::size_t pass_buffered(ThreadGenerator& generator, DrawSink& sink, std::size_t count) noexcept {
    const std::size_t taken = std::min(count, (generator_buffer_words - generator.index) / 2);
    // At an even index, pairs of little-endian words are little-endian 64-bit draws.
    std::uint64_t draws[draws_per_step];
    std::memcpy(draws, generator.buffer + generator.index, taken * sizeof(std::uint64_t));
    generator.index += 2 * taken;
    sink.consume(draws, taken);
    return taken;
}

/// How many of the next `wanted` steps (`wanted` and the result at least one) may go ahead
/// with one key, charging each to the budget exactly as refill would. A reseed due at the
/// first step happens here, so that a wide call can start with the new key; one due later
/// ends the run.
std::size_t admit_steps(ThreadGenerator& generator, std::size_t wanted) noexcept {
    begin_step(generator);
    // Whether a fork was seen is read once for the whole run: a fork by another thread
    // meanwhile is not ordered against these steps, so it may as well come after them.
    if (generator.bytes_until_reseed <= 0 || fork_seen_by(generator, fork_count())) {
        return 1;
    }
    // refill would charge steps while the budget is positive: ceil(budget / step) more.
    const auto affordable = static_cast<std::size_t>(
        (generator.bytes_until_reseed + refill_step_bytes - 1) / refill_step_bytes);
    const std::size_t more = std::min(wanted - 1, affordable);
    generator.bytes_until_reseed -= static_cast<std::int64_t>(more) * refill_step_bytes;
    return 1 + more;
}

/// Hands `sink` the draws of `count` refill steps from the generator's counter on, which
/// fill less than a whole make() call.
void draw_leftover_steps(ThreadGenerator& generator, DrawSink& sink, std::size_t count) noexcept {
    // From about half a call of the widest form up to a whole one, that call costs less
    // than the narrow form step by step. Its blocks past those used are dropped: the
    // counter moves on by the steps used only, so they are computed again, and used, later.
    const ChachaForm& wide = bulk_chacha_form();
    const std::size_t blocks = count * blocks_per_step;
    if (2 * blocks >= wide.blocks_per_call && blocks <= wide.blocks_per_call) {
        alignas(64) std::uint64_t draws[chacha_max_blocks_per_call * chacha_block_bytes / 8];
        wide.blocks(generator.key, generator.block_counter, generator.stream,
                    reinterpret_cast<std::uint8_t*>(draws));
        generator.block_counter += blocks;
        sink.consume(draws, count * draws_per_step);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        std::uint64_t draws[draws_per_step];
        write_step(generator, reinterpret_cast<std::uint8_t*>(draws));
        sink.consume(draws, draws_per_step);
    }
}

/// Hands `sink` the draws of `steps` whole refill steps: through make() for as many as
/// share one key and fill whole make() calls, apart for the rest.
void draw_whole_steps(ThreadGenerator& generator, DrawSink& sink, std::size_t steps) noexcept {
    const std::size_t make_multiple = sink.blocks_per_make() / blocks_per_step;
    const std::size_t make_most = sink.max_blocks_per_make() / blocks_per_step;
    while (steps > 0) {
        const std::size_t admitted = admit_steps(generator, std::min(steps, make_most));
        const std::size_t made = admitted - admitted % make_multiple;
        if (made > 0) {
            sink.make(generator.key, generator.block_counter, generator.stream,
                      made * blocks_per_step);
            generator.block_counter += made * blocks_per_step;
        }
        draw_leftover_steps(generator, sink, admitted - made);
        steps -= admitted;
    }
}

} // namespace

ThreadGenerator seeded_generator(const std::uint8_t* seed) noexcept {
    ThreadGenerator generator;
    set_key(generator, seed);
    return generator;
}

bool fork_seen(const ThreadGenerator& generator) noexcept {
    return fork_seen_by(generator, fork_count());
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

void draw_into(ThreadGenerator& generator, std::size_t count, DrawSink& sink) noexcept {
    if (count == 0) {
        return;
    }
    const std::size_t left = count - pass_buffered(generator, sink, count);
    draw_whole_steps(generator, sink, left / draws_per_step);
    if (left % draws_per_step != 0) {
        // The last partial step goes through the buffer, whose rest serves later draws.
        refill(generator);
        pass_buffered(generator, sink, left % draws_per_step);
    }
}

const ChachaForm& bulk_chacha_form() noexcept {
    static const ChachaForm& form = choose_chacha_form(runtime::cpu_features());
    return form;
}

} // namespace tesk::random
