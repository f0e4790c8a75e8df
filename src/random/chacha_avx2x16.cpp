// chacha_avx2x16.cpp — ChaCha12 form: sixteen blocks as two word-sliced groups of eight.
#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random::avx2x16 {
namespace {

constexpr std::size_t group_blocks = 8;
constexpr std::size_t groups = 2;

/// The sixteen words of eight blocks: word i of block first + j in lane j of [i].
using Group = __m256i[chacha_block_words];

// The rounds are written in assembly. One group of eight blocks fills the sixteen vector
// registers, and its four quarter rounds per half round are too few independent chains:
// the shifts and byte shuffles, which only two of the four vector pipes execute, bunch up
// at every step. So the two groups take turns by half rounds, the waiting one in memory,
// and the processor overlaps the end of one group's half round with the start of the
// other's. Word w of the active group lives in ymm w. The rotations by 12 and 7 need a
// scratch register: during those steps, which do not touch words 0 to 3, word 3 waits in
// memory and ymm3 serves.
// Assembly text: laid out by hand, one instruction per line.
// clang-format off
#define TESK_Y(n) "%%ymm" #n
#define TESK_ADD(s, t) "vpaddd " TESK_Y(t) ", " TESK_Y(s) ", " TESK_Y(s) "\n\t"
#define TESK_XOR(m, s) "vpxor " TESK_Y(s) ", " TESK_Y(m) ", " TESK_Y(m) "\n\t"
// a += b, d = (d ^ a) <<< 16 or 8: whole bytes move, one byte shuffle.
#define TESK_SHUFFLE_STEP(a, b, d, mask)                                                           \
    TESK_ADD(a, b) TESK_XOR(d, a) "vpshufb %[" #mask "], " TESK_Y(d) ", " TESK_Y(d) "\n\t"
// c += d, b = (b ^ c) <<< bits, with ymm3 as scratch.
#define TESK_SHIFT_STEP(c, d, b, bits, rest)                                                       \
    TESK_ADD(c, d) TESK_XOR(b, c) "vpslld $" #bits ", " TESK_Y(b) ", %%ymm3\n\t"                   \
    "vpsrld $" #rest ", " TESK_Y(b) ", " TESK_Y(b) "\n\t"                                          \
    "vpor %%ymm3, " TESK_Y(b) ", " TESK_Y(b) "\n\t"
#define TESK_PARK(home) "vmovdqa %%ymm3, 3*32(%[" #home "])\n\t"
#define TESK_FETCH(home) "vmovdqa 3*32(%[" #home "]), %%ymm3\n\t"
// The four quarter rounds (k, b_k, c_k, d_k) of the group whose home is `home`, one step
// at a time for all four. Word 3 is left in its home.
#define TESK_QUARTER_ROUNDS(home, b0, c0, d0, b1, c1, d1, b2, c2, d2, b3, c3, d3)                  \
    TESK_SHUFFLE_STEP(0, b0, d0, rotate16) TESK_SHUFFLE_STEP(1, b1, d1, rotate16)                  \
    TESK_SHUFFLE_STEP(2, b2, d2, rotate16) TESK_SHUFFLE_STEP(3, b3, d3, rotate16) TESK_PARK(home)  \
    TESK_SHIFT_STEP(c0, d0, b0, 12, 20) TESK_SHIFT_STEP(c1, d1, b1, 12, 20)                        \
    TESK_SHIFT_STEP(c2, d2, b2, 12, 20) TESK_SHIFT_STEP(c3, d3, b3, 12, 20) TESK_FETCH(home)       \
    TESK_SHUFFLE_STEP(0, b0, d0, rotate8) TESK_SHUFFLE_STEP(1, b1, d1, rotate8)                    \
    TESK_SHUFFLE_STEP(2, b2, d2, rotate8) TESK_SHUFFLE_STEP(3, b3, d3, rotate8) TESK_PARK(home)    \
    TESK_SHIFT_STEP(c0, d0, b0, 7, 25) TESK_SHIFT_STEP(c1, d1, b1, 7, 25)                          \
    TESK_SHIFT_STEP(c2, d2, b2, 7, 25) TESK_SHIFT_STEP(c3, d3, b3, 7, 25)
#define TESK_COLUMNS(home) TESK_QUARTER_ROUNDS(home, 4, 8, 12, 5, 9, 13, 6, 10, 14, 7, 11, 15)
#define TESK_DIAGONALS(home) TESK_QUARTER_ROUNDS(home, 5, 10, 15, 6, 11, 12, 7, 8, 13, 4, 9, 14)
// Stores word n of the active group (but word 3, already home) and loads that of the next.
#define TESK_SWAP_WORD(n, from, to)                                                                \
    "vmovdqa " TESK_Y(n) ", " #n "*32(%[" #from "])\n\t"                                           \
    "vmovdqa " #n "*32(%[" #to "]), " TESK_Y(n) "\n\t"
#define TESK_SWAP(from, to)                                                                        \
    TESK_SWAP_WORD(0, from, to) TESK_SWAP_WORD(1, from, to) TESK_SWAP_WORD(2, from, to)            \
    TESK_FETCH(to) TESK_SWAP_WORD(4, from, to) TESK_SWAP_WORD(5, from, to)                         \
    TESK_SWAP_WORD(6, from, to) TESK_SWAP_WORD(7, from, to) TESK_SWAP_WORD(8, from, to)            \
    TESK_SWAP_WORD(9, from, to) TESK_SWAP_WORD(10, from, to) TESK_SWAP_WORD(11, from, to)          \
    TESK_SWAP_WORD(12, from, to) TESK_SWAP_WORD(13, from, to) TESK_SWAP_WORD(14, from, to)         \
    TESK_SWAP_WORD(15, from, to)

// clang-format on
#define TESK_REGISTER(n) register __m256i w##n asm("xmm" #n);
#define TESK_OPERAND(n) "=x"(w##n),
#define TESK_RESULT(n) second[n] = w##n;
#define TESK_LOAD(n) "vmovdqa " #n "*32(%[first]), " TESK_Y(n) "\n\t"
#define TESK_EACH_WORD(op)                                                                         \
    op(0) op(1) op(2) op(4) op(5) op(6) op(7) op(8) op(9) op(10) op(11) op(12) op(13) op(14) op(15)

/// The twelve rounds on both groups, without the final addition of the input: each group
/// starts from its input words in `x`. Group 0 ends with its permuted words there, group
/// 1 with its permuted words in `second`.
[[gnu::always_inline]] inline void chacha12_rounds(Group (&x)[groups], Group& second) noexcept {
    alignas(32) static constexpr std::uint8_t rotate16[32] = {
        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};
    alignas(32) static constexpr std::uint8_t rotate8[32] = {
        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14};
    TESK_EACH_WORD(TESK_REGISTER)
    int rounds = chacha12_double_rounds;
    asm volatile(
        // Group 0 comes in, group 1 waits.
        TESK_EACH_WORD(TESK_LOAD)
            TESK_FETCH(first) "jmp 1f\n\t"
                              "0:\n\t" TESK_SWAP(second, first) "1:\n\t" TESK_COLUMNS(first)
                                  TESK_SWAP(first, second) TESK_COLUMNS(second)
                                      TESK_SWAP(second, first) TESK_DIAGONALS(first)
                                          TESK_SWAP(first, second)
                                              TESK_DIAGONALS(second) "dec %[rounds]\n\t"
                                                                     "jnz 0b\n\t"
        // Group 0 is home; group 1 stays in the registers, but for word 3.
        : TESK_EACH_WORD(TESK_OPERAND)[rounds] "+r"(rounds), "+m"(x)
        : [first] "r"(x[0]), [second] "r"(x[1]), [rotate16] "m"(rotate16), [rotate8] "m"(rotate8)
        : "cc", "xmm3");
    TESK_EACH_WORD(TESK_RESULT)
    second[3] = x[1][3];
}

#undef TESK_EACH_WORD
#undef TESK_LOAD
#undef TESK_RESULT
#undef TESK_OPERAND
#undef TESK_REGISTER
#undef TESK_SWAP
#undef TESK_SWAP_WORD
#undef TESK_DIAGONALS
#undef TESK_COLUMNS
#undef TESK_QUARTER_ROUNDS
#undef TESK_FETCH
#undef TESK_PARK
#undef TESK_SHIFT_STEP
#undef TESK_SHUFFLE_STEP
#undef TESK_XOR
#undef TESK_ADD
#undef TESK_Y

/// The input words of the eight blocks from `first` on.
[[gnu::always_inline]] inline void input_words(const std::uint32_t* key, std::uint64_t first,
                                               std::uint64_t stream, Group& words) noexcept {
    for (std::size_t i = 0; i < 4; ++i) {
        words[i] = _mm256_set1_epi32(static_cast<int>(chacha_constants[i]));
    }
    for (std::size_t i = 0; i < chacha_key_words; ++i) {
        words[4 + i] = _mm256_set1_epi32(static_cast<int>(key[i]));
    }
    // Built in registers: eight 32-bit stores read back as one vector could not be
    // forwarded, and the load would wait for the stores to reach the cache.
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    words[12] = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(first)), lanes);
    // A lane whose low word wrapped (is below its offset, unsigned) carries into the high
    // word; the signed comparison sees unsigned order once the top bits are flipped.
    const __m256i top = _mm256_set1_epi32(INT32_MIN);
    const __m256i carried =
        _mm256_cmpgt_epi32(_mm256_xor_si256(lanes, top), _mm256_xor_si256(words[12], top));
    words[13] = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(first >> 32)), carried);
    words[14] = _mm256_set1_epi32(static_cast<int>(stream));
    words[15] = _mm256_set1_epi32(static_cast<int>(stream >> 32));
}

/// Transposes eight words (w[0..7], lane j = block j) into the eight 32-byte halves they
/// form in the blocks, and stores half `half` of every block.
[[gnu::always_inline]] inline void store_half(const __m256i* w, int half,
                                              std::uint8_t* out) noexcept {
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

/// Adds the input words to a group's permuted words and stores its eight blocks.
[[gnu::always_inline]] inline void store_group(Group& words, const Group& input,
                                               std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        words[i] = _mm256_add_epi32(words[i], input[i]);
    }
    store_half(words, 0, out);
    store_half(words + 8, 1, out);
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    alignas(32) Group x[groups];
    for (std::size_t g = 0; g < groups; ++g) {
        input_words(key, counter + g * group_blocks, stream, x[g]);
    }
    Group second;
    chacha12_rounds(x, second);
    // The input words are rebuilt rather than kept: the rounds leave no register to keep
    // them in. Hiding the arguments' values from the optimiser stops it from reusing (and
    // so storing and reloading) the vectors built from them before.
    asm("" : "+r"(key), "+r"(counter), "+r"(stream));
    // Group 0 first: its words are final a half round before group 1's.
    Group input;
    input_words(key, counter, stream, input);
    store_group(x[0], input, out);
    input_words(key, counter + group_blocks, stream, input);
    store_group(second, input, out + group_blocks * chacha_block_bytes);
}

} // namespace tesk::random::avx2x16
