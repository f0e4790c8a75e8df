// chacha_avx2.cpp — ChaCha12 forms in 256-bit registers: four blocks in row form, sixteen
// sliced.
#include "random/chacha_rows.h"
#include "random/chacha_sliced.h"

#include <immintrin.h>

/// The rounds of two sliced groups of eight blocks, generated in assembly
/// (chacha_avx2_rounds.S): words[g] holds group g's input words on entry, its permuted
/// words on return.
extern "C" void
    tesk_chacha12_avx2_rounds(__m256i (*words)[tesk::random::chacha_block_words]) noexcept;

namespace tesk::random::avx2 {
namespace {

/// The 256-bit lanes, for row_chacha12_x4 and input_words.
struct Avx2Lanes {
    using Vector = __m256i;
    static constexpr bool rebuilds_input = true;
    static constexpr std::size_t row_blocks = 2;

    static Vector splat(std::uint32_t word) noexcept {
        return _mm256_set1_epi32(static_cast<int>(word));
    }
    static Vector add(Vector a, Vector b) noexcept { return _mm256_add_epi32(a, b); }
    static Vector bitxor(Vector a, Vector b) noexcept { return _mm256_xor_si256(a, b); }
    /// Rotation of every 32-bit lane left by `Bits`; 16 and 8 move whole bytes.
    template <int Bits> static Vector rotate(Vector x) noexcept {
        if constexpr (Bits == 16) {
            return _mm256_shuffle_epi8(x, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6,
                                                          1, 0, 3, 2, 13, 12, 15, 14, 9, 8, 11, 10,
                                                          5, 4, 7, 6, 1, 0, 3, 2));
        } else if constexpr (Bits == 8) {
            return _mm256_shuffle_epi8(x, _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7,
                                                          2, 1, 0, 3, 14, 13, 12, 15, 10, 9, 8, 11,
                                                          6, 5, 4, 7, 2, 1, 0, 3));
        } else {
            return _mm256_or_si256(_mm256_slli_epi32(x, Bits), _mm256_srli_epi32(x, 32 - Bits));
        }
    }

    /// Words 12 and 13 of blocks first to first + 7, built in registers: eight 32-bit
    /// stores read back as one vector could not be forwarded. A lane whose low word
    /// wrapped (is below its offset, unsigned) carries into the high word; the signed
    /// comparison sees unsigned order once the top bits are flipped.
    static void counter_words(std::uint64_t first, Vector& low, Vector& high) noexcept {
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        low = _mm256_add_epi32(splat(static_cast<std::uint32_t>(first)), lanes);
        const __m256i top = _mm256_set1_epi32(INT32_MIN);
        const __m256i carried =
            _mm256_cmpgt_epi32(_mm256_xor_si256(lanes, top), _mm256_xor_si256(low, top));
        high = _mm256_sub_epi32(splat(static_cast<std::uint32_t>(first >> 32)), carried);
    }

    static Vector broadcast_row(const std::uint32_t* words) noexcept {
        return _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(words)));
    }
    /// Row 3 of blocks `first` and `first + 1`: the counter (low word first), then the
    /// stream. Little-endian, a 64-bit lane holds words 12 and 13 or 14 and 15.
    static Vector counter_row(std::uint64_t first, std::uint64_t stream) noexcept {
        return _mm256_setr_epi64x(static_cast<long long>(first), static_cast<long long>(stream),
                                  static_cast<long long>(first + 1),
                                  static_cast<long long>(stream));
    }
    template <int Words> static Vector rotate_words(Vector x) noexcept {
        return _mm256_shuffle_epi32(
            x, (Words | ((Words + 1) % 4) << 2 | ((Words + 2) % 4) << 4 | ((Words + 3) % 4) << 6));
    }
    /// The pair of blocks: low 128-bit halves form the first.
    static void store_rows(Vector a, Vector b, Vector c, Vector d, std::uint8_t* out) noexcept {
        auto* target = reinterpret_cast<__m256i*>(out);
        _mm256_storeu_si256(target, _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(target + 1, _mm256_permute2x128_si256(c, d, 0x20));
        _mm256_storeu_si256(target + 2, _mm256_permute2x128_si256(a, b, 0x31));
        _mm256_storeu_si256(target + 3, _mm256_permute2x128_si256(c, d, 0x31));
    }
};

constexpr std::size_t group_blocks = 8;

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

/// Adds the input words of the eight blocks from `counter` on to the group's permuted
/// words and stores the blocks.
[[gnu::always_inline]] inline void store_group(const std::uint32_t* key, std::uint64_t counter,
                                               std::uint64_t stream,
                                               __m256i (&x)[chacha_block_words],
                                               std::uint8_t* out) noexcept {
    __m256i input[chacha_block_words];
    input_words<Avx2Lanes>(key, counter, stream, input);
    for (std::size_t i = 0; i < chacha_block_words; ++i) {
        x[i] = Avx2Lanes::add(x[i], input[i]);
    }
    store_half(x, 0, out);
    store_half(x + 8, 1, out);
}

} // namespace

void chacha12_x4(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                 std::uint8_t* out) noexcept {
    row_chacha12_x4<Avx2Lanes>(key, counter, stream, out);
}

void chacha12_x16(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                  std::uint8_t* out) noexcept {
    alignas(32) __m256i words[2][chacha_block_words];
    input_words<Avx2Lanes>(key, counter, stream, words[0]);
    input_words<Avx2Lanes>(key, counter + group_blocks, stream, words[1]);
    tesk_chacha12_avx2_rounds(words);
    // The input words are rebuilt rather than kept: hiding the arguments' values from the
    // optimiser stops it from keeping (and so storing and reloading) the ones built before.
    asm("" : "+r"(key), "+r"(counter), "+r"(stream));
    store_group(key, counter, stream, words[0], out);
    store_group(key, counter + group_blocks, stream, words[1],
                out + group_blocks * chacha_block_bytes);
}

} // namespace tesk::random::avx2
