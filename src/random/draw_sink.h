// draw_sink.h — bulk draws: where they go (DrawSink) and how the generator hands them over.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/generator.h"

namespace tesk::random {

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
    /// Uses the next `count` draws, which the generator has computed.
    virtual void consume(const std::uint64_t* draws, std::size_t count) noexcept = 0;
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
/// end, the last partial step through the buffer) to consume().
void draw_into(ThreadGenerator& generator, std::size_t count, DrawSink& sink) noexcept;

} // namespace tesk::random
