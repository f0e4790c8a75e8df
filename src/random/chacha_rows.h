// chacha_rows.h — four ChaCha12 blocks in row form: one matrix row of several blocks per
// register.
//
// Inline code in an anonymous namespace: instruction-set files include this (see the rule
// in chacha.h).
#pragma once

#include <cstdint>

#include "random/chacha.h"
#include "random/chacha_round.h"

namespace tesk::random {
namespace {

/// Rotates rows b, c and d of every matrix by `Words`, twice and three times as many words.
template <typename Lanes, int Words, typename Rows, std::size_t Chains>
[[gnu::always_inline]] inline void rotate_rows(Rows (&x)[Chains]) noexcept {
    for (Rows& r : x) {
        r.b = Lanes::template rotate_words<Words % 4>(r.b);
        r.c = Lanes::template rotate_words<2 * Words % 4>(r.c);
        r.d = Lanes::template rotate_words<3 * Words % 4>(r.d);
    }
}

/// Four blocks from `counter` on. Each register holds one row of `Lanes::row_blocks`
/// consecutive blocks, one block per 128-bit lane, and 4 / row_blocks such matrices run
/// side by side as independent chains. `Lanes` adds to the operations of quarter_round
/// rebuilds_input (whether the input rows are built again after the rounds rather than
/// kept), broadcast_row (four words into every 128-bit lane), counter_row (row 3 of the blocks
/// from a given one on), rotate_words<N> (each 128-bit lane's words down by N) and
/// store_rows (the blocks of one matrix, input added, in order).
template <typename Lanes>
[[gnu::always_inline]] inline void row_chacha12_x4(const std::uint32_t* key, std::uint64_t counter,
                                                   std::uint64_t stream,
                                                   std::uint8_t* out) noexcept {
    using Vector = typename Lanes::Vector;
    constexpr std::size_t chains = 4 / Lanes::row_blocks;
    struct Rows {
        Vector a, b, c, d;
    };
    const auto input_rows = [](const std::uint32_t* key, std::uint64_t counter,
                               std::uint64_t stream, Rows(&rows)[chains]) {
        for (std::size_t k = 0; k < chains; ++k) {
            rows[k] = Rows{Lanes::broadcast_row(chacha_constants), Lanes::broadcast_row(key),
                           Lanes::broadcast_row(key + 4),
                           Lanes::counter_row(counter + k * Lanes::row_blocks, stream)};
        }
    };
    Rows x[chains];
    input_rows(key, counter, stream, x);
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        for (Rows& r : x) {
            quarter_round<Lanes>(r.a, r.b, r.c, r.d);
        }
        // Rotating rows b, c and d by one, two and three words lines the diagonals up as
        // columns, so the diagonal round is a column round between two rotations.
        rotate_rows<Lanes, 1>(x);
        for (Rows& r : x) {
            quarter_round<Lanes>(r.a, r.b, r.c, r.d);
        }
        rotate_rows<Lanes, 3>(x);
    }
    Rows input[chains];
    if constexpr (Lanes::rebuilds_input) {
        // Kept through the rounds in sixteen registers, the input rows crowd the state out,
        // and the reloads lengthen the chains. Hiding the arguments' values stops the
        // optimiser from reusing the rows built before.
        asm("" : "+r"(key), "+r"(counter), "+r"(stream));
    }
    input_rows(key, counter, stream, input);
    for (std::size_t k = 0; k < chains; ++k) {
        Lanes::store_rows(Lanes::add(x[k].a, input[k].a), Lanes::add(x[k].b, input[k].b),
                          Lanes::add(x[k].c, input[k].c), Lanes::add(x[k].d, input[k].d),
                          out + k * Lanes::row_blocks * chacha_block_bytes);
    }
}

} // namespace
} // namespace tesk::random
