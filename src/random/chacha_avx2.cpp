// chacha_avx2.cpp — ChaCha12 form: four blocks, one matrix row of two blocks per 256-bit register.
#include "random/chacha.h"

#include <immintrin.h>

namespace tesk::random::avx2 {
namespace {

/// Rotation of every 32-bit lane left by `Bits`; 16 and 8 move whole bytes.
template <int Bits> __m256i rotate_lanes(__m256i x) noexcept {
    if constexpr (Bits == 16) {
        return _mm256_shuffle_epi8(x, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1,
                                                      0, 3, 2, 13, 12, 15, 14, 9, 8, 11, 10, 5, 4,
                                                      7, 6, 1, 0, 3, 2));
    } else if constexpr (Bits == 8) {
        return _mm256_shuffle_epi8(x, _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2,
                                                      1, 0, 3, 14, 13, 12, 15, 10, 9, 8, 11, 6, 5,
                                                      4, 7, 2, 1, 0, 3));
    } else {
        return _mm256_or_si256(_mm256_slli_epi32(x, Bits), _mm256_srli_epi32(x, 32 - Bits));
    }
}

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

/// Row d of blocks `first` and `first + 1`: the counter (low word first), then the stream.
/// Little-endian, a 64-bit lane holds words 12 and 13 or 14 and 15.
__m256i counter_row(std::uint64_t first, std::uint64_t stream) noexcept {
    return _mm256_setr_epi64x(static_cast<long long>(first), static_cast<long long>(stream),
                              static_cast<long long>(first + 1), static_cast<long long>(stream));
}

/// The input rows of blocks `counter` and `counter + 1` (`first`) and of the next two.
void input_rows(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, Rows& first,
                Rows& second) noexcept {
    const __m256i constants = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(chacha_constants)));
    const __m256i key_low =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
    const __m256i key_high =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
    first = Rows{constants, key_low, key_high, counter_row(counter, stream)};
    second = Rows{constants, key_low, key_high, counter_row(counter + 2, stream)};
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
    Rows first;
    Rows second;
    input_rows(key, counter, stream, first, second);
    // The two pairs are independent chains; interleaving them keeps the ports busy.
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
    // Rebuilt rather than kept: kept through the rounds, the input rows crowd the state
    // out of the registers, and the reloads lengthen the chains. Hiding the arguments'
    // values stops the optimiser from reusing the rows built before.
    asm("" : "+r"(key), "+r"(counter), "+r"(stream));
    Rows first_input;
    Rows second_input;
    input_rows(key, counter, stream, first_input, second_input);
    store_pair(first, first_input, out);
    store_pair(second, second_input, out + 2 * chacha_block_bytes);
}

} // namespace tesk::random::avx2
