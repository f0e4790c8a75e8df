// chacha.h — the ChaCha block-function contract that every instruction-set form meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Declarations only. Files compiled with different instruction-set flags include this
// header, and an inline body here could be emitted with one file's flags and then be
// picked by the linker for all of them.

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
constexpr std::size_t chacha_max_blocks_per_call = 68;

/// Writes a form's fixed number of consecutive ChaCha12 key-stream blocks for the eight
/// key words `key` and the 64-bit stream identifier `stream` (input words 14 and 15),
/// starting at block `counter` (input words 12 and 13, low word first). The counter
/// wraps modulo 2^64 from one block to the next. `out` receives 64 bytes per block.
using ChachaBlocks = void (*)(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                              std::uint8_t* out) noexcept;

/// One compiled form of the block function.
struct ChachaForm {
    std::string_view name;
    std::uint64_t required_features; ///< cpu_feature bits the form needs
    std::size_t blocks_per_call;
    ChachaBlocks blocks;
};

/// The reference block function for any number of double rounds: `output` receives the
/// permuted 16-word `input` plus `input`, word by word modulo 2^32.
void chacha_block(const std::uint32_t* input, int double_rounds, std::uint32_t* output) noexcept;

namespace portable {
/// Four blocks, one word at a time; the reference every other form must match.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace portable

namespace sse2 {
/// Four blocks word-sliced in 128-bit registers, rotations by shifts and word shuffles.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace sse2

namespace ssse3 {
/// Four blocks word-sliced in 128-bit registers, rotation by 8 as a byte shuffle.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace ssse3

namespace sse41 {
/// The SSSE3 algorithm compiled for SSE4.1.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace sse41

namespace avx {
/// The SSE4.1 algorithm with VEX (three-operand) encoding.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace avx

namespace avx2 {
/// Four blocks, two per 256-bit register, one row of the matrix per register.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace avx2

namespace avx2x17 {
/// Sixty-eight blocks: four passes of seventeen, sixteen as two groups of eight word-sliced
/// in 256-bit registers and taking turns, one in general-purpose registers alongside.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace avx2x17

namespace avx512x4 {
/// Four blocks, one matrix row of all four per 512-bit register (AVX-512F only): the
/// refill step's form where AVX-512 is available.
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept;
} // namespace avx512x4

namespace avx512 {
/// Thirty-two blocks: two interleaved groups of sixteen, word-sliced in 512-bit registers
/// (AVX-512F only).
void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
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
