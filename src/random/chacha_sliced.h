// chacha_sliced.h — sliced ChaCha12: one block per 32-bit lane, word i in register i.
//
// Inline code in an anonymous namespace: instruction-set files include this (see the rule
// in chacha.h).
#pragma once

#include <cstdint>

#include "random/chacha.h"
#include "random/chacha_round.h"

namespace tesk::random {
namespace {

/// The input words of the `Lanes::count` blocks from `counter` on: word i of block
/// counter + j in lane j of words[i]. `Lanes` adds to the operations of quarter_round
/// splat (a word in every lane) and counter_words (words 12 and 13, with the carry).
template <typename Lanes>
[[gnu::always_inline]] inline void
input_words(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
            typename Lanes::Vector (&words)[chacha_block_words]) noexcept {
    for (std::size_t i = 0; i < 4; ++i) {
        words[i] = Lanes::splat(chacha_constants[i]);
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        words[4 + i] = Lanes::splat(key[i]);
    }
    Lanes::counter_words(counter, words[12], words[13]);
    words[14] = Lanes::splat(static_cast<std::uint32_t>(stream));
    words[15] = Lanes::splat(static_cast<std::uint32_t>(stream >> 32));
}

/// ChaCha12 of the `Lanes::count` blocks from `counter` on: on return x[i] holds output
/// word i of block counter + j in lane j.
template <typename Lanes>
[[gnu::always_inline]] inline void
sliced_chacha12(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                typename Lanes::Vector (&x)[chacha_block_words]) noexcept {
    input_words<Lanes>(key, counter, stream, x);
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        double_round<Lanes>(x);
    }
    // Rebuilt rather than kept: kept through the rounds, the input words crowd the state
    // out of the registers. Hiding the arguments' values stops the optimiser from reusing
    // (and so storing and reloading) the words built before.
    asm("" : "+r"(key), "+r"(counter), "+r"(stream));
    typename Lanes::Vector input[chacha_block_words];
    input_words<Lanes>(key, counter, stream, input);
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = Lanes::add(x[i], input[i]);
    }
}

} // namespace
} // namespace tesk::random
