// draw_into.cpp — bulk draws: buffered draws, runs of refill steps under one key, and the
// form that computes them.
#include "random/bulk_form.h"
#include "random/chacha.h"
#include "random/draw_sink.h"
#include "random/refill_step.h"
#include "runtime/cpu_features.h"

#include <algorithm>
#include <cstring>

namespace tesk::random {
namespace {

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
    if (generator.bytes_until_reseed <= 0 || fork_seen(generator)) {
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
