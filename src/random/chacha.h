// chacha.h — the ChaCha block-function contract that every instruction-set form meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// The rule for every header that a file compiled with instruction-set flags includes
// (the files whose names end in an instruction set, such as chacha_avx2.cpp): it holds
// declarations, constants and types, and any inline function it defines sits in an
// anonymous namespace. An inline function of external linkage would be emitted by every
// such file with that file's flags, and the linker would keep one copy for all callers,
// baseline ones included. Headers with such functions (generator.h) stay out.

namespace tesk::random {

/// "expand 32-byte k" as four little-endian words: input words 0 to 3 of every block.
inline constexpr std::uint32_t chacha_constants[4] = {0x61707865, 0x3320646E, 0x79622D32,
                                                      0x6B206574};
constexpr std::size_t chacha_key_words = 8;
constexpr std::size_t chacha_block_words = 16;
constexpr std::size_t chacha_block_bytes = 64;
/// ChaCha12: six double rounds, each a column round followed by a diagonal round.
constexpr int chacha12_double_rounds = 6;
/// The most blocks any form writes per call.
constexpr std::size_t chacha_max_blocks_per_call = 32;

/// Writes a form's fixed number of consecutive ChaCha12 key-stream blocks for the eight
/// key words `key` and the 64-bit stream identifier `stream` (input words 14 and 15),
/// starting at block `counter` (input words 12 and 13, low word first). The counter
/// wraps modulo 2^64 from one block to the next. `out` receives 64 bytes per block.
using ChachaBlocks = void (*)(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                              std::uint8_t* out) noexcept;

/// One compiled form of the block function. Its name is the instruction set, "_x", and
/// the blocks it writes per call.
struct ChachaForm {
    std::string_view name;
    std::uint64_t required_features; ///< cpu_feature bits the form needs
    std::size_t blocks_per_call;
    ChachaBlocks blocks;
};

/// The reference block function for any number of double rounds: `output` receives the
/// permuted 16-word `input` plus `input`, word by word modulo 2^32.
void chacha_block(const std::uint32_t* input, int double_rounds, std::uint32_t* output) noexcept;

// The forms, by instruction set. "Sliced" forms hold one block per 32-bit lane and word
// i of every block in register i; "row" forms hold one matrix row of a few blocks per
// register.

namespace portable {
/// Four blocks, one word at a time; the reference every other form must match.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
} // namespace portable

namespace sse2 {
/// Four blocks sliced in 128-bit registers, rotations by shifts and word shuffles.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
} // namespace sse2

namespace ssse3 {
/// Four blocks sliced in 128-bit registers, rotation by 8 as a byte shuffle.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
} // namespace ssse3

namespace sse41 {
/// The SSSE3 algorithm compiled for SSE4.1.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
} // namespace sse41

namespace avx {
/// The SSE4.1 algorithm with VEX (three-operand) encoding.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
} // namespace avx

namespace avx2 {
/// Four blocks in row form, two per 256-bit register.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
/// Sixteen blocks sliced in 256-bit registers, as two groups of eight taking turns.
void chacha12_x16(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                  std::uint8_t* out) noexcept;
} // namespace avx2

namespace avx512 {
/// Four blocks in row form, all four per 512-bit register: the refill step's form where
/// AVX-512F is available.
void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept;
/// Thirty-two blocks sliced in 512-bit registers, as two interleaved groups of sixteen.
void chacha12_x32(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                  std::uint8_t* out) noexcept;
} // namespace avx512

/// Every compiled form, best first; the last entry is the portable reference.
std::span<const ChachaForm> chacha_forms() noexcept;

/// The first form, best first, whose required features are all in `features` and that
/// writes at most `max_blocks_per_call` blocks per call. Never fails: the portable form
/// needs nothing.
const ChachaForm& choose_chacha_form(std::uint64_t features,
                                     std::size_t max_blocks_per_call = SIZE_MAX) noexcept;

} // namespace tesk::random
