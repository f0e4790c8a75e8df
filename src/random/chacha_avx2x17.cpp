// chacha_avx2x17.cpp — ChaCha12 form: four passes of seventeen blocks, sixteen as two
// word-sliced groups of eight in the vector registers and one in general-purpose registers.
#include "random/chacha.h"

#include <cstddef>
#include <immintrin.h>

namespace tesk::random::avx2x17 {
namespace {

constexpr std::size_t group_blocks = 8;
constexpr std::size_t groups = 2;
constexpr std::size_t vector_blocks = group_blocks * groups;
/// Blocks per pass: the vector groups' sixteen, then one in general-purpose registers.
constexpr std::size_t pass_blocks = vector_blocks + 1;
/// Passes per call: 68 blocks, a multiple of four.
constexpr std::size_t passes = 4;

/// The sixteen words of eight blocks: word i of block first + j in lane j of [i].
using Group = __m256i[chacha_block_words];

/// Everything the rounds keep in memory, all addressed from one base register.
struct alignas(64) State {
    Group x[groups];                          // 0, 512: the groups' homes
    std::uint32_t scalar[chacha_block_words]; // 1024: homes of the scalar block's words
    const std::uint32_t* key;                 // 1088
    std::uint64_t number;                     // 1096: the scalar block's counter
    std::uint64_t stream;                     // 1104
    std::uint8_t* out;                        // 1112: where the scalar block's 64 bytes go
    int rounds;                               // 1120: double rounds left
};
static_assert(offsetof(State, scalar) == 1024 && offsetof(State, key) == 1088 &&
              offsetof(State, number) == 1096 && offsetof(State, stream) == 1104 &&
              offsetof(State, out) == 1112 && offsetof(State, rounds) == 1120);

// The rounds are written in assembly. One group of eight blocks fills the sixteen vector
// registers, and its four quarter rounds per half round are too few independent chains:
// the shifts and byte shuffles, which only two of the four vector pipes execute, bunch up
// at every step. So the two groups take turns by half rounds, the waiting one in memory,
// and the processor overlaps the end of one group's half round with the start of the
// other's. Word w of the active group lives in ymm w. The rotations by 12 and 7 need a
// scratch register: during those steps, which do not touch words 0 to 3, word 3 waits in
// memory and ymm3 serves. Both homes and the round count are reached from one register.
//
// Between its steps run the rounds of a seventeenth block, one word per 32-bit
// general-purpose register; rotations there are one instruction, and the integer pipes
// are otherwise idle. Measured: integer work of one block per pass (24 operations per
// vector half round) costs the vector rounds under 1%; twice that costs about 12%, as
// much as a second block would bring, so one block it is. The block advances half a round
// per two vector half rounds, that is two of its quarter rounds per vector half round, a
// step (three operations) after every second vector step.
//
// Thirteen registers hold its words (the fourteenth available holds the base address;
// rsp and rbp are left alone), so three words wait in memory by turns. The quarter rounds
// go by pairs, one pair per vector half round. Column round: (0, 4, 8, 12) and
// (1, 5, 9, 13); then words 0, 1 and 5, done for this round, go home and words 2, 3 and 7
// take their registers for (2, 6, 10, 14) and (3, 7, 11, 15). Diagonal round:
// (2, 7, 8, 13) and (3, 4, 9, 14) first, then the trade back for (0, 5, 10, 15) and
// (1, 6, 11, 12): each double round ends with every word where it started. The trade
// sits after the first two vector steps of a half round, away from the swap's stores.
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
// Group homes: the first at the base, the second 512 bytes on.
#define TESK_HOME_first "0"
#define TESK_HOME_second "512"
#define TESK_PARK(home) "vmovdqa %%ymm3, " TESK_HOME_##home "+3*32(%[base])\n\t"
#define TESK_FETCH(home) "vmovdqa " TESK_HOME_##home "+3*32(%[base]), %%ymm3\n\t"
// Scalar registers by word; words 2, 3 and 7 share those of words 0, 1 and 5 by turns.
#define TESK_S0 eax
#define TESK_S1 ebx
#define TESK_S2 eax
#define TESK_S3 ebx
#define TESK_S4 ecx
#define TESK_S5 edx
#define TESK_S6 esi
#define TESK_S7 edx
#define TESK_S8 edi
#define TESK_S9 r8d
#define TESK_S10 r9d
#define TESK_S11 r10d
#define TESK_S12 r11d
#define TESK_S13 r12d
#define TESK_S14 r13d
#define TESK_S15 r14d
#define TESK_G(r) TESK_G_(r)
#define TESK_G_(r) "%%" #r
// Scalar steps: a += b, d = (d ^ a) <<< bits; c += d, b = (b ^ c) <<< bits.
#define TESK_SCALAR_AD(a, b, d, bits)                                                              \
    "addl " TESK_G(b) ", " TESK_G(a) "\n\t"                                                        \
    "xorl " TESK_G(a) ", " TESK_G(d) "\n\t"                                                        \
    "roll $" #bits ", " TESK_G(d) "\n\t"
#define TESK_SCALAR_CB(c, d, b, bits)                                                              \
    "addl " TESK_G(d) ", " TESK_G(c) "\n\t"                                                        \
    "xorl " TESK_G(c) ", " TESK_G(b) "\n\t"                                                        \
    "roll $" #bits ", " TESK_G(b) "\n\t"
// The registers of scalar quarter round (a, b, c, d).
#define TESK_SQ(a, b, c, d) TESK_SQ_(TESK_S##a, TESK_S##b, TESK_S##c, TESK_S##d)
#define TESK_SQ_(a, b, c, d) a, b, c, d
#define TESK_SCALAR_HOME(n) "1024+" #n "*4(%[base])"
#define TESK_SCALAR_STORE(n) "movl " TESK_G(TESK_S##n) ", " TESK_SCALAR_HOME(n) "\n\t"
#define TESK_SCALAR_LOAD(n) "movl " TESK_SCALAR_HOME(n) ", " TESK_G(TESK_S##n) "\n\t"
// Words o0, o1, o2 go home; words i0, i1, i2 take their registers.
#define TESK_TRADE(o0, o1, o2, i0, i1, i2)                                                         \
    TESK_SCALAR_STORE(o0) TESK_SCALAR_LOAD(i0) TESK_SCALAR_STORE(o1) TESK_SCALAR_LOAD(i1)          \
    TESK_SCALAR_STORE(o2) TESK_SCALAR_LOAD(i2)
// One vector half round of the group at `home` (vector quarter rounds (k, b_k, c_k, d_k)),
// with two scalar quarter rounds (a, b, c, d) and (e, f, g, h) interleaved, and `trade`
// after the first two vector steps.
#define TESK_HALF_ROUND(home, trade, b0, c0, d0, b1, c1, d1, b2, c2, d2, b3, c3, d3,                \
                        a, b, c, d, e, f, g, h)                                                    \
    TESK_SHUFFLE_STEP(0, b0, d0, rotate16) TESK_SHUFFLE_STEP(1, b1, d1, rotate16) trade            \
    TESK_SCALAR_AD(a, b, d, 16)                                                                    \
    TESK_SHUFFLE_STEP(2, b2, d2, rotate16) TESK_SHUFFLE_STEP(3, b3, d3, rotate16) TESK_PARK(home)  \
    TESK_SCALAR_AD(e, f, h, 16)                                                                    \
    TESK_SHIFT_STEP(c0, d0, b0, 12, 20) TESK_SHIFT_STEP(c1, d1, b1, 12, 20)                        \
    TESK_SCALAR_CB(c, d, b, 12)                                                                    \
    TESK_SHIFT_STEP(c2, d2, b2, 12, 20) TESK_SHIFT_STEP(c3, d3, b3, 12, 20) TESK_FETCH(home)       \
    TESK_SCALAR_CB(g, h, f, 12)                                                                    \
    TESK_SHUFFLE_STEP(0, b0, d0, rotate8) TESK_SHUFFLE_STEP(1, b1, d1, rotate8)                    \
    TESK_SCALAR_AD(a, b, d, 8)                                                                     \
    TESK_SHUFFLE_STEP(2, b2, d2, rotate8) TESK_SHUFFLE_STEP(3, b3, d3, rotate8) TESK_PARK(home)    \
    TESK_SCALAR_AD(e, f, h, 8)                                                                     \
    TESK_SHIFT_STEP(c0, d0, b0, 7, 25) TESK_SHIFT_STEP(c1, d1, b1, 7, 25)                          \
    TESK_SCALAR_CB(c, d, b, 7)                                                                     \
    TESK_SHIFT_STEP(c2, d2, b2, 7, 25) TESK_SHIFT_STEP(c3, d3, b3, 7, 25)                          \
    TESK_SCALAR_CB(g, h, f, 7)
#define TESK_COLUMNS(home, trade, ...)                                                             \
    TESK_HALF_ROUND(home, trade, 4, 8, 12, 5, 9, 13, 6, 10, 14, 7, 11, 15, __VA_ARGS__)
#define TESK_DIAGONALS(home, trade, ...)                                                           \
    TESK_HALF_ROUND(home, trade, 5, 10, 15, 6, 11, 12, 7, 8, 13, 4, 9, 14, __VA_ARGS__)
// Stores word n of the active group (but word 3, already home) and loads that of the next.
#define TESK_SWAP_WORD(n, from, to)                                                                \
    "vmovdqa " TESK_Y(n) ", " TESK_HOME_##from "+" #n "*32(%[base])\n\t"                           \
    "vmovdqa " TESK_HOME_##to "+" #n "*32(%[base]), " TESK_Y(n) "\n\t"
#define TESK_SWAP(from, to)                                                                        \
    TESK_SWAP_WORD(0, from, to) TESK_SWAP_WORD(1, from, to) TESK_SWAP_WORD(2, from, to)            \
    TESK_FETCH(to) TESK_SWAP_WORD(4, from, to) TESK_SWAP_WORD(5, from, to)                         \
    TESK_SWAP_WORD(6, from, to) TESK_SWAP_WORD(7, from, to) TESK_SWAP_WORD(8, from, to)            \
    TESK_SWAP_WORD(9, from, to) TESK_SWAP_WORD(10, from, to) TESK_SWAP_WORD(11, from, to)          \
    TESK_SWAP_WORD(12, from, to) TESK_SWAP_WORD(13, from, to) TESK_SWAP_WORD(14, from, to)         \
    TESK_SWAP_WORD(15, from, to)
// The scalar block's input words: immediates, or loads of values stored long before (the
// key) or as whole 8-byte values (a 4-byte load from part of a recent wider store is not
// forwarded and waits for the store to reach the cache). The counter's and stream's
// 64-bit values are split in the registers; 32-bit operations ignore the upper halves.
#define TESK_SCALAR_ENTRY                                                                          \
    "movq 1088(%[base]), %%r14\n\t"                                                                \
    "movl $%c[c2], " TESK_SCALAR_HOME(2) "\n\t"                                                    \
    "movl $%c[c3], " TESK_SCALAR_HOME(3) "\n\t"                                                    \
    "movl 12(%%r14), %%edx\n\t"                                                                    \
    "movl %%edx, " TESK_SCALAR_HOME(7) "\n\t"                                                      \
    "movl $%c[c0], %%eax\n\t"                                                                      \
    "movl $%c[c1], %%ebx\n\t"                                                                      \
    "movl 0(%%r14), %%ecx\n\t"                                                                     \
    "movl 4(%%r14), %%edx\n\t"                                                                     \
    "movl 8(%%r14), %%esi\n\t"                                                                     \
    "movl 16(%%r14), %%edi\n\t"                                                                    \
    "movl 20(%%r14), %%r8d\n\t"                                                                    \
    "movl 24(%%r14), %%r9d\n\t"                                                                    \
    "movl 28(%%r14), %%r10d\n\t"                                                                   \
    "movq 1096(%[base]), %%r11\n\t"                                                                \
    "movq %%r11, %%r12\n\t"                                                                        \
    "shrq $32, %%r12\n\t"                                                                          \
    "movq 1104(%[base]), %%r13\n\t"                                                                \
    "movq %%r13, %%r14\n\t"                                                                        \
    "shrq $32, %%r14\n\t"
// Two finished words (32-bit additions leave the upper halves zero) as one 8-byte store.
#define TESK_SCALAR_PAIR(low, high, offset)                                                        \
    "shlq $32, %%" #high "\n\t"                                                                    \
    "orq %%" #low ", %%" #high "\n\t"                                                              \
    "movq %%" #high ", " #offset "(%%r14)\n\t"
// The scalar block's final addition, stored straight to its place in the output. Words 14
// and 15 go home to free registers for the output and key addresses.
#define TESK_SCALAR_EXIT                                                                           \
    TESK_SCALAR_STORE(14) TESK_SCALAR_STORE(15)                                                    \
    "movq 1112(%[base]), %%r14\n\t"                                                                \
    "movq 1088(%[base]), %%r13\n\t"                                                                \
    "addl $%c[c0], %%eax\n\t"                                                                      \
    "addl $%c[c1], %%ebx\n\t"                                                                      \
    TESK_SCALAR_PAIR(rax, rbx, 0)                                                                  \
    "movl " TESK_SCALAR_HOME(2) ", %%eax\n\t"                                                      \
    "addl $%c[c2], %%eax\n\t"                                                                      \
    "movl " TESK_SCALAR_HOME(3) ", %%ebx\n\t"                                                      \
    "addl $%c[c3], %%ebx\n\t"                                                                      \
    TESK_SCALAR_PAIR(rax, rbx, 8)                                                                  \
    "addl 0(%%r13), %%ecx\n\t"                                                                     \
    "addl 4(%%r13), %%edx\n\t"                                                                     \
    TESK_SCALAR_PAIR(rcx, rdx, 16)                                                                 \
    "addl 8(%%r13), %%esi\n\t"                                                                     \
    "movl " TESK_SCALAR_HOME(7) ", %%eax\n\t"                                                      \
    "addl 12(%%r13), %%eax\n\t"                                                                    \
    TESK_SCALAR_PAIR(rsi, rax, 24)                                                                 \
    "addl 16(%%r13), %%edi\n\t"                                                                    \
    "addl 20(%%r13), %%r8d\n\t"                                                                    \
    TESK_SCALAR_PAIR(rdi, r8, 32)                                                                  \
    "addl 24(%%r13), %%r9d\n\t"                                                                    \
    "addl 28(%%r13), %%r10d\n\t"                                                                   \
    TESK_SCALAR_PAIR(r9, r10, 40)                                                                  \
    "addl 1096(%[base]), %%r11d\n\t"                                                               \
    "addl 1100(%[base]), %%r12d\n\t"                                                               \
    TESK_SCALAR_PAIR(r11, r12, 48)                                                                 \
    "movl " TESK_SCALAR_HOME(14) ", %%eax\n\t"                                                     \
    "addl 1104(%[base]), %%eax\n\t"                                                                \
    "movl " TESK_SCALAR_HOME(15) ", %%ebx\n\t"                                                     \
    "addl 1108(%[base]), %%ebx\n\t"                                                                \
    TESK_SCALAR_PAIR(rax, rbx, 56)
// clang-format on
#define TESK_REGISTER(n) register __m256i w##n asm("xmm" #n);
#define TESK_NEXT_OPERAND(n) , "=x"(w##n)
#define TESK_RESULT(n) second[n] = w##n;
#define TESK_LOAD(n) "vmovdqa " #n "*32(%[base]), " TESK_Y(n) "\n\t"
#define TESK_EACH_WORD(op)                                                                         \
    op(0) op(1) op(2) op(4) op(5) op(6) op(7) op(8) op(9) op(10) op(11) op(12) op(13) op(14) op(15)
#define TESK_EACH_LATER_WORD(op)                                                                   \
    op(1) op(2) op(4) op(5) op(6) op(7) op(8) op(9) op(10) op(11) op(12) op(13) op(14) op(15)

/// The twelve rounds on both groups, without the final addition of the input: each group
/// starts from its input words in `state.x`. Group 0 ends with its permuted words there,
/// group 1 with its permuted words in `second`. The scalar block, from the input that
/// `state.key`, `number` and `stream` give, goes complete (input added) to `state.out`.
[[gnu::always_inline]] inline void chacha12_rounds(State& state, Group& second) noexcept {
    alignas(32) static constexpr std::uint8_t rotate16[32] = {
        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
        2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};
    alignas(32) static constexpr std::uint8_t rotate8[32] = {
        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14};
    TESK_EACH_WORD(TESK_REGISTER)
    state.rounds = chacha12_double_rounds;
    // The state is reached through the base register only, and the clobbered "memory"
    // covers it (and the scalar block's output): an "m" operand for it could need a second
    // address register, which is not there when the address sanitiser keeps locals in a
    // frame of its own.
    // clang-format off
    asm volatile(
        // Group 0 and the scalar block come in, group 1 waits.
        TESK_EACH_WORD(TESK_LOAD) TESK_SCALAR_ENTRY
        TESK_FETCH(first) "jmp 1f\n\t"
        "0:\n\t"
        TESK_SWAP(second, first)
        "1:\n\t"
        TESK_COLUMNS(first, "", TESK_SQ(0, 4, 8, 12), TESK_SQ(1, 5, 9, 13))
        TESK_SWAP(first, second)
        TESK_COLUMNS(second, TESK_TRADE(0, 1, 5, 2, 3, 7),
                     TESK_SQ(2, 6, 10, 14), TESK_SQ(3, 7, 11, 15))
        TESK_SWAP(second, first)
        TESK_DIAGONALS(first, "", TESK_SQ(2, 7, 8, 13), TESK_SQ(3, 4, 9, 14))
        TESK_SWAP(first, second)
        TESK_DIAGONALS(second, TESK_TRADE(2, 3, 7, 0, 1, 5),
                       TESK_SQ(0, 5, 10, 15), TESK_SQ(1, 6, 11, 12))
        "decl 1120(%[base])\n\t"
        "jnz 0b\n\t"
        // Group 0 is home; group 1 stays in the registers, but for word 3.
        TESK_SCALAR_EXIT
        : "=x"(w0) TESK_EACH_LATER_WORD(TESK_NEXT_OPERAND)
        : [base] "r"(&state), [rotate16] "m"(rotate16), [rotate8] "m"(rotate8),
          [c0] "i"(chacha_constants[0]), [c1] "i"(chacha_constants[1]),
          [c2] "i"(chacha_constants[2]), [c3] "i"(chacha_constants[3])
        : "cc", "memory", "xmm3", "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10",
          "r11", "r12", "r13", "r14");
    // clang-format on
    TESK_EACH_WORD(TESK_RESULT)
    second[3] = state.x[1][3];
}

#undef TESK_EACH_LATER_WORD
#undef TESK_EACH_WORD
#undef TESK_LOAD
#undef TESK_RESULT
#undef TESK_NEXT_OPERAND
#undef TESK_REGISTER
#undef TESK_SCALAR_EXIT
#undef TESK_SCALAR_PAIR
#undef TESK_SCALAR_ENTRY
#undef TESK_SWAP
#undef TESK_SWAP_WORD
#undef TESK_DIAGONALS
#undef TESK_COLUMNS
#undef TESK_HALF_ROUND
#undef TESK_TRADE
#undef TESK_SCALAR_LOAD
#undef TESK_SCALAR_STORE
#undef TESK_SCALAR_HOME
#undef TESK_SQ_
#undef TESK_SQ
#undef TESK_SCALAR_CB
#undef TESK_SCALAR_AD
#undef TESK_G_
#undef TESK_G
#undef TESK_FETCH
#undef TESK_PARK
#undef TESK_HOME_second
#undef TESK_HOME_first
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

/// Seventeen blocks from `counter` on: the two groups' sixteen, then the scalar block.
/// Kept out of line: inlined four times into the caller, it measured slower.
[[gnu::noinline]] void pass(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                            std::uint8_t* out) noexcept {
    State state;
    for (std::size_t g = 0; g < groups; ++g) {
        input_words(key, counter + g * group_blocks, stream, state.x[g]);
    }
    state.key = key;
    state.number = counter + vector_blocks;
    state.stream = stream;
    state.out = out + vector_blocks * chacha_block_bytes;
    Group second;
    chacha12_rounds(state, second);
    // The input words are rebuilt rather than kept: the rounds leave no register to keep
    // them in. Hiding the arguments' values from the optimiser stops it from reusing (and
    // so storing and reloading) the vectors built from them before.
    asm("" : "+r"(key), "+r"(counter), "+r"(stream));
    // Group 0 first: its words are final a half round before group 1's.
    Group input;
    input_words(key, counter, stream, input);
    store_group(state.x[0], input, out);
    input_words(key, counter + group_blocks, stream, input);
    store_group(second, input, out + group_blocks * chacha_block_bytes);
}

} // namespace

/// 68 blocks: four passes of seventeen.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    for (std::size_t p = 0; p < passes; ++p) {
        pass(key, counter + p * pass_blocks, stream, out + p * pass_blocks * chacha_block_bytes);
    }
}

} // namespace tesk::random::avx2x17
