// chacha_round.h — the ChaCha quarter round and double round, over any lane operations.
//
// Inline code in an anonymous namespace: instruction-set files include this (see the rule
// in chacha.h).
#pragma once

#include <cstddef>

#include "random/chacha.h"

namespace tesk::random {
namespace {

/// The quarter round on (a, b, c, d). `Lanes` names the value type (`Vector`, a 32-bit
/// word or a register of them) and its lane-wise operations: add and bitxor modulo 2^32,
/// rotate<Bits> to the left.
template <typename Lanes, typename Vector>
[[gnu::always_inline]] inline void quarter_round(Vector& a, Vector& b, Vector& c,
                                                 Vector& d) noexcept {
    a = Lanes::add(a, b);
    d = Lanes::template rotate<16>(Lanes::bitxor(d, a));
    c = Lanes::add(c, d);
    b = Lanes::template rotate<12>(Lanes::bitxor(b, c));
    a = Lanes::add(a, b);
    d = Lanes::template rotate<8>(Lanes::bitxor(d, a));
    c = Lanes::add(c, d);
    b = Lanes::template rotate<7>(Lanes::bitxor(b, c));
}

/// A column round, then a diagonal round, on the sixteen words `x`.
template <typename Lanes, typename Vector>
[[gnu::always_inline]] inline void double_round(Vector (&x)[chacha_block_words]) noexcept {
    quarter_round<Lanes>(x[0], x[4], x[8], x[12]);
    quarter_round<Lanes>(x[1], x[5], x[9], x[13]);
    quarter_round<Lanes>(x[2], x[6], x[10], x[14]);
    quarter_round<Lanes>(x[3], x[7], x[11], x[15]);
    quarter_round<Lanes>(x[0], x[5], x[10], x[15]);
    quarter_round<Lanes>(x[1], x[6], x[11], x[12]);
    quarter_round<Lanes>(x[2], x[7], x[8], x[13]);
    quarter_round<Lanes>(x[3], x[4], x[9], x[14]);
}

} // namespace
} // namespace tesk::random
