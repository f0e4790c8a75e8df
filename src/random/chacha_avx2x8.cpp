// chacha_avx2x8.cpp — ChaCha12 form: eight blocks word-sliced in 256-bit registers.
#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random::avx2x8 {
namespace {

constexpr std::size_t blocks = 8;

// The rounds are written in assembly: the sixteen words of eight blocks and the scratch
// register a rotation by 12 or 7 needs exceed the sixteen vector registers, and GCC
// spills and reloads several words in every quarter round. Here word w lives in ymm w;
// during the steps that rotate by 12 or 7, which do not touch words 0 to 3, word 3 waits
// in memory and ymm3 serves as the scratch register.
#define TESK_Y(n) "%%ymm" #n
#define TESK_ADD(s, t) "vpaddd " TESK_Y(t) ", " TESK_Y(s) ", " TESK_Y(s) "\n\t"
#define TESK_XOR(m, s) "vpxor " TESK_Y(s) ", " TESK_Y(m) ", " TESK_Y(m) "\n\t"
// The rotations by 16 and 8 move whole bytes: one byte shuffle each.
#define TESK_SHUFFLE_STEP(a, b, d, mask) TESK_ADD(a, b) TESK_XOR(d, a) "vpshufb %[" #mask "], " TESK_Y(d) ", " TESK_Y(d) "\n\t"
#define TESK_SHIFT_STEP(c, d, b, bits, rest)                                                       \
    TESK_ADD(c, d) TESK_XOR(b, c) "vpslld $" #bits ", " TESK_Y(b) ", %%ymm3\n\t"                   \
    "vpsrld $" #rest ", " TESK_Y(b) ", " TESK_Y(b) "\n\t"                                          \
    "vpor %%ymm3, " TESK_Y(b) ", " TESK_Y(b) "\n\t"
#define TESK_PARK "vmovdqa %%ymm3, %[parked]\n\t"
#define TESK_FETCH "vmovdqa %[parked], %%ymm3\n\t"
// Four quarter rounds, (a_k, b_k, c_k, d_k) with a_k = k, one step at a time for all four
// so that four independent chains are in flight.
#define TESK_QUARTER_ROUNDS(b0, c0, d0, b1, c1, d1, b2, c2, d2, b3, c3, d3)                        \
    TESK_SHUFFLE_STEP(0, b0, d0, rotate16) TESK_SHUFFLE_STEP(1, b1, d1, rotate16)                  \
    TESK_SHUFFLE_STEP(2, b2, d2, rotate16) TESK_SHUFFLE_STEP(3, b3, d3, rotate16) TESK_PARK        \
    TESK_SHIFT_STEP(c0, d0, b0, 12, 20) TESK_SHIFT_STEP(c1, d1, b1, 12, 20)                        \
    TESK_SHIFT_STEP(c2, d2, b2, 12, 20) TESK_SHIFT_STEP(c3, d3, b3, 12, 20) TESK_FETCH             \
    TESK_SHUFFLE_STEP(0, b0, d0, rotate8) TESK_SHUFFLE_STEP(1, b1, d1, rotate8)                    \
    TESK_SHUFFLE_STEP(2, b2, d2, rotate8) TESK_SHUFFLE_STEP(3, b3, d3, rotate8) TESK_PARK          \
    TESK_SHIFT_STEP(c0, d0, b0, 7, 25) TESK_SHIFT_STEP(c1, d1, b1, 7, 25)                          \
    TESK_SHIFT_STEP(c2, d2, b2, 7, 25) TESK_SHIFT_STEP(c3, d3, b3, 7, 25) TESK_FETCH
#define TESK_SPLAT(offset, from, to) "vpbroadcastd " #offset "(%[" #from "]), " TESK_Y(to) "\n\t"
#define TESK_REGISTER(n) register __m256i w##n asm("xmm" #n);
#define TESK_OPERAND(n) "=x"(w##n),
#define TESK_RESULT(n) x[n] = w##n;
#define TESK_IN_REGISTERS(op)                                                                      \
    op(0) op(1) op(2) op(3) op(4) op(5) op(6) op(7) op(8) op(9) op(10) op(11) op(12) op(13) op(14)  \
        op(15)

/// Twelve rounds on the eight blocks, without the final addition of the input. `counters`
/// holds words 12 (the counter's low words) and 13; `x` receives the permuted words.
[[gnu::always_inline]] inline void chacha12_rounds(const std::uint32_t* key,
                                                   const std::uint32_t* stream_words,
                                                   const std::uint32_t* counters,
                                                   __m256i (&x)[chacha_block_words]) noexcept {
    alignas(32) static constexpr std::uint8_t rotate16[32] = {
        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};
    alignas(32) static constexpr std::uint8_t rotate8[32] = {
        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14};
    __m256i parked;
    TESK_IN_REGISTERS(TESK_REGISTER)
    int rounds = chacha12_double_rounds;
    asm volatile(
        TESK_SPLAT(0, constants, 0) TESK_SPLAT(4, constants, 1) TESK_SPLAT(8, constants, 2)
        TESK_SPLAT(12, constants, 3) TESK_SPLAT(0, key, 4) TESK_SPLAT(4, key, 5)
        TESK_SPLAT(8, key, 6) TESK_SPLAT(12, key, 7) TESK_SPLAT(16, key, 8)
        TESK_SPLAT(20, key, 9) TESK_SPLAT(24, key, 10) TESK_SPLAT(28, key, 11)
        "vmovdqa 0(%[counters]), " TESK_Y(12) "\n\t"
        "vmovdqa 32(%[counters]), " TESK_Y(13) "\n\t"
        TESK_SPLAT(0, stream, 14) TESK_SPLAT(4, stream, 15)
        "1:\n\t"
        // Columns.
        TESK_QUARTER_ROUNDS(4, 8, 12, 5, 9, 13, 6, 10, 14, 7, 11, 15)
        // Diagonals.
        TESK_QUARTER_ROUNDS(5, 10, 15, 6, 11, 12, 7, 8, 13, 4, 9, 14)
        "dec %[rounds]\n\t"
        "jnz 1b\n\t"
        : TESK_IN_REGISTERS(TESK_OPERAND)[rounds] "+r"(rounds), [parked] "=m"(parked)
        : [constants] "r"(chacha_constants), [key] "r"(key), [stream] "r"(stream_words),
          [counters] "r"(counters), [rotate16] "m"(rotate16), [rotate8] "m"(rotate8),
          "m"(*reinterpret_cast<const std::uint32_t(*)[chacha_key_words]>(key)),
          "m"(*reinterpret_cast<const std::uint32_t(*)[2]>(stream_words)),
          "m"(*reinterpret_cast<const std::uint32_t(*)[2 * blocks]>(counters))
        : "cc");
    TESK_IN_REGISTERS(TESK_RESULT)
}

#undef TESK_IN_REGISTERS
#undef TESK_RESULT
#undef TESK_OPERAND
#undef TESK_REGISTER
#undef TESK_SPLAT
#undef TESK_QUARTER_ROUNDS
#undef TESK_FETCH
#undef TESK_PARK
#undef TESK_SHIFT_STEP
#undef TESK_SHUFFLE_STEP
#undef TESK_XOR
#undef TESK_ADD
#undef TESK_Y

/// Transposes eight words (registers w[0..7], lane j = block j) into the eight 32-byte
/// halves they form in the blocks, and stores half `half` of every block.
void store_half(const __m256i* w, int half, std::uint8_t* out) noexcept {
    const __m256i t0 = _mm256_unpacklo_epi32(w[0], w[1]);
    const __m256i t1 = _mm256_unpackhi_epi32(w[0], w[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(w[2], w[3]);
    const __m256i t3 = _mm256_unpackhi_epi32(w[2], w[3]);
    const __m256i t4 = _mm256_unpacklo_epi32(w[4], w[5]);
    const __m256i t5 = _mm256_unpackhi_epi32(w[4], w[5]);
    const __m256i t6 = _mm256_unpacklo_epi32(w[6], w[7]);
    const __m256i t7 = _mm256_unpackhi_epi32(w[6], w[7]);
    // u[r] holds, per 128-bit half h, words 0-3 (u) or 4-7 (v) of block 4h + r.
    const __m256i u[4] = {_mm256_unpacklo_epi64(t0, t2), _mm256_unpackhi_epi64(t0, t2),
                          _mm256_unpacklo_epi64(t1, t3), _mm256_unpackhi_epi64(t1, t3)};
    const __m256i v[4] = {_mm256_unpacklo_epi64(t4, t6), _mm256_unpackhi_epi64(t4, t6),
                          _mm256_unpacklo_epi64(t5, t7), _mm256_unpackhi_epi64(t5, t7)};
    for (int r = 0; r < 4; ++r) {
        std::uint8_t* low_block = out + r * chacha_block_bytes + half * 32;
        std::uint8_t* high_block = low_block + 4 * chacha_block_bytes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(low_block),
                            _mm256_permute2x128_si256(u[r], v[r], 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(high_block),
                            _mm256_permute2x128_si256(u[r], v[r], 0x31));
    }
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    // Words 12 and 13 of block counter + j: the counter wraps modulo 2^64.
    alignas(32) std::uint32_t counters[2 * blocks];
    for (std::size_t j = 0; j < blocks; ++j) {
        const std::uint64_t number = counter + j;
        counters[j] = static_cast<std::uint32_t>(number);
        counters[blocks + j] = static_cast<std::uint32_t>(number >> 32);
    }
    const std::uint32_t stream_words[2] = {static_cast<std::uint32_t>(stream),
                                           static_cast<std::uint32_t>(stream >> 32)};
    __m256i x[chacha_block_words];
    chacha12_rounds(key, stream_words, counters, x);
    for (std::size_t i = 0; i < 4; ++i) {
        x[i] = _mm256_add_epi32(x[i], _mm256_set1_epi32(static_cast<int>(chacha_constants[i])));
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        x[4 + i] = _mm256_add_epi32(x[4 + i], _mm256_set1_epi32(static_cast<int>(key[i])));
    }
    for (std::size_t i = 0; i < 2; ++i) {
        x[12 + i] = _mm256_add_epi32(
            x[12 + i], _mm256_load_si256(reinterpret_cast<const __m256i*>(counters + i * blocks)));
        x[14 + i] = _mm256_add_epi32(x[14 + i], _mm256_set1_epi32(static_cast<int>(stream_words[i])));
    }
    store_half(x, 0, out);
    store_half(x + 8, 1, out);
}

} // namespace tesk::random::avx2x8
