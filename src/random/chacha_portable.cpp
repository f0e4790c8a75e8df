// chacha_portable.cpp — the reference ChaCha block function, one 32-bit word at a time.
#include "random/chacha.h"

#include <cstring>

namespace tesk::random {
namespace {

std::uint32_t rotate_left(std::uint32_t value, int bits) noexcept {
    return (value << bits) | (value >> (32 - bits));
}

void quarter_round(std::uint32_t* x, int a, int b, int c, int d) noexcept {
    x[a] += x[b];
    x[d] = rotate_left(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotate_left(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotate_left(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotate_left(x[b] ^ x[c], 7);
}

} // namespace

void chacha_block(const std::uint32_t* input, int double_rounds, std::uint32_t* output) noexcept {
    std::uint32_t x[chacha_block_words];
    std::memcpy(x, input, sizeof x);
    for (int round = 0; round < double_rounds; ++round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        output[i] = x[i] + input[i];
    }
}

namespace portable {

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
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
