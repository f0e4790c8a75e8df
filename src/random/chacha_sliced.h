// chacha_sliced.h — word-sliced ChaCha12: one block per vector lane.
//
// Included only by form files (through the SSE family's kernel), each compiling it with
// its own instruction-set flags. Everything here sits in an anonymous namespace so that
// each of those files keeps a private copy: a shared inline definition could otherwise
// be emitted with one file's flags and reused by the linker in all of them.
#pragma once

#include <cstdint>

#include "random/chacha.h"

namespace tesk::random {
namespace {

/// ChaCha12 of the `Lanes::count` blocks from `counter` on: on return x[i] holds output
/// word i of block counter + j in lane j. `Lanes` names the vector type and its
/// lane-wise operations: splat, load (of `count` 32-bit values), add, quarter_round.
template <typename Lanes>
void sliced_chacha12(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     typename Lanes::Vector (&x)[chacha_block_words]) noexcept {
    using Vector = typename Lanes::Vector;
    alignas(64) std::uint32_t low[Lanes::count];
    alignas(64) std::uint32_t high[Lanes::count];
    for (std::size_t j = 0; j < Lanes::count; ++j) {
        const std::uint64_t number = counter + j; // wraps modulo 2^64
        low[j] = static_cast<std::uint32_t>(number);
        high[j] = static_cast<std::uint32_t>(number >> 32);
    }
    Vector input[chacha_block_words];
    for (std::size_t i = 0; i < 4; ++i) {
        input[i] = Lanes::splat(chacha_constants[i]);
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        input[4 + i] = Lanes::splat(key[i]);
    }
    input[12] = Lanes::load(low);
    input[13] = Lanes::load(high);
    input[14] = Lanes::splat(static_cast<std::uint32_t>(stream));
    input[15] = Lanes::splat(static_cast<std::uint32_t>(stream >> 32));

    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = input[i];
    }
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        Lanes::quarter_round(x[0], x[4], x[8], x[12]);
        Lanes::quarter_round(x[1], x[5], x[9], x[13]);
        Lanes::quarter_round(x[2], x[6], x[10], x[14]);
        Lanes::quarter_round(x[3], x[7], x[11], x[15]);
        Lanes::quarter_round(x[0], x[5], x[10], x[15]);
        Lanes::quarter_round(x[1], x[6], x[11], x[12]);
        Lanes::quarter_round(x[2], x[7], x[8], x[13]);
        Lanes::quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = Lanes::add(x[i], input[i]);
    }
}

} // namespace
} // namespace tesk::random
