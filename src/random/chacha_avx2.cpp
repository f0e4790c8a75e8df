// chacha_avx2.cpp — ChaCha12 form: four blocks, one matrix row of two blocks per 256-bit register.
#include "random/chacha.h"

#include "random/chacha_avx2_rotate.h"

namespace tesk::random::avx2 {
namespace {

/// One matrix: rows a, b, c, d, each register carrying the row of two blocks.
struct Rows {
    __m256i a, b, c, d;
};

void quarter_round(Rows& r) noexcept {
    r.a = _mm256_add_epi32(r.a, r.b);
    r.d = rotate_lanes<16>(_mm256_xor_si256(r.d, r.a));
    r.c = _mm256_add_epi32(r.c, r.d);
    r.b = rotate_lanes<12>(_mm256_xor_si256(r.b, r.c));
    r.a = _mm256_add_epi32(r.a, r.b);
    r.d = rotate_lanes<8>(_mm256_xor_si256(r.d, r.a));
    r.c = _mm256_add_epi32(r.c, r.d);
    r.b = rotate_lanes<7>(_mm256_xor_si256(r.b, r.c));
}

// Rotating rows b, c and d by one, two and three words lines the diagonals up as
// columns, so the diagonal round is a column round between two shuffles.
void diagonals_to_columns(Rows& r) noexcept {
    r.b = _mm256_shuffle_epi32(r.b, 0x39);
    r.c = _mm256_shuffle_epi32(r.c, 0x4E);
    r.d = _mm256_shuffle_epi32(r.d, 0x93);
}

void columns_to_diagonals(Rows& r) noexcept {
    r.b = _mm256_shuffle_epi32(r.b, 0x93);
    r.c = _mm256_shuffle_epi32(r.c, 0x4E);
    r.d = _mm256_shuffle_epi32(r.d, 0x39);
}

/// Row d of blocks `first` and `first + 1`: counter low and high word, then the stream.
__m256i counter_row(std::uint64_t first, std::uint64_t stream) noexcept {
    const std::uint64_t second = first + 1;
    return _mm256_setr_epi32(static_cast<int>(static_cast<std::uint32_t>(first)),
                             static_cast<int>(static_cast<std::uint32_t>(first >> 32)),
                             static_cast<int>(static_cast<std::uint32_t>(stream)),
                             static_cast<int>(static_cast<std::uint32_t>(stream >> 32)),
                             static_cast<int>(static_cast<std::uint32_t>(second)),
                             static_cast<int>(static_cast<std::uint32_t>(second >> 32)),
                             static_cast<int>(static_cast<std::uint32_t>(stream)),
                             static_cast<int>(static_cast<std::uint32_t>(stream >> 32)));
}

/// Adds the input back and stores the pair of blocks: low 128-bit halves form the first.
void store_pair(const Rows& x, const Rows& input, std::uint8_t* out) noexcept {
    const __m256i a = _mm256_add_epi32(x.a, input.a);
    const __m256i b = _mm256_add_epi32(x.b, input.b);
    const __m256i c = _mm256_add_epi32(x.c, input.c);
    const __m256i d = _mm256_add_epi32(x.d, input.d);
    auto* target = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(target, _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(target + 1, _mm256_permute2x128_si256(c, d, 0x20));
    _mm256_storeu_si256(target + 2, _mm256_permute2x128_si256(a, b, 0x31));
    _mm256_storeu_si256(target + 3, _mm256_permute2x128_si256(c, d, 0x31));
}

} // namespace

void chacha12_blocks(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                     std::uint8_t* out) noexcept {
    const __m256i constants = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(chacha_constants)));
    const __m256i key_low =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
    const __m256i key_high =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
    const Rows first_input{constants, key_low, key_high, counter_row(counter, stream)};
    const Rows second_input{constants, key_low, key_high, counter_row(counter + 2, stream)};

    // The two pairs are independent chains; interleaving them keeps the ports busy.
    Rows first = first_input;
    Rows second = second_input;
    for (int round = 0; round < chacha12_double_rounds; ++round) {
        quarter_round(first);
        quarter_round(second);
        diagonals_to_columns(first);
        diagonals_to_columns(second);
        quarter_round(first);
        quarter_round(second);
        columns_to_diagonals(first);
        columns_to_diagonals(second);
    }
    store_pair(first, first_input, out);
    store_pair(second, second_input, out + 2 * chacha_block_bytes);
}

} // namespace tesk::random::avx2
