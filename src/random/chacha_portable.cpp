// chacha_portable.cpp — the reference ChaCha block function, one 32-bit word at a time.
#include "random/chacha.h"
#include "random/chacha_round.h"

#include <cstring>

namespace tesk::random {
namespace {

struct WordLanes {
    static std::uint32_t add(std::uint32_t a, std::uint32_t b) noexcept { return a + b; }
    static std::uint32_t bitxor(std::uint32_t a, std::uint32_t b) noexcept { return a ^ b; }
    template <int Bits> static std::uint32_t rotate(std::uint32_t value) noexcept {
        return (value << Bits) | (value >> (32 - Bits));
    }
};

} // namespace

void chacha_block(const std::uint32_t* input, int double_rounds, std::uint32_t* output) noexcept {
    std::uint32_t x[chacha_block_words];
    std::memcpy(x, input, sizeof x);
    for (int round = 0; round < double_rounds; ++round) {
        double_round<WordLanes>(x);
    }
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        output[i] = x[i] + input[i];
    }
}

namespace portable {

void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept {
    std::uint32_t input[chacha_block_words];
    std::memcpy(input, chacha_constants, sizeof chacha_constants);
    std::memcpy(input + 4, key, chacha_key_words * sizeof(std::uint32_t));
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);
    for (int block = 0; block < 4; ++block) {
        const std::uint64_t number = counter + static_cast<std::uint64_t>(block);
        input[12] = static_cast<std::uint32_t>(number);
        input[13] = static_cast<std::uint32_t>(number >> 32);
        std::uint32_t words[chacha_block_words];
        chacha_block(input, chacha12_double_rounds, words);
        // x86-64 is little-endian, so the words' memory image is the key-stream bytes.
        std::memcpy(out + block * chacha_block_bytes, words, chacha_block_bytes);
    }
}

} // namespace portable
} // namespace tesk::random
