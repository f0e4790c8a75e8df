// chacha_test.cpp — known-answer vectors and agreement of every block-function form.
#include "random/chacha.h"
#include "runtime/cpu_features.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tesk::random {
namespace {

using runtime::cpu_features;
namespace cpu_feature = runtime::cpu_feature;

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

/// The input matrix with a 64-bit block counter (words 12-13) and stream (words 14-15).
std::vector<std::uint32_t> input_matrix(const std::uint32_t* key, std::uint64_t counter,
                                        std::uint64_t stream) {
    std::vector<std::uint32_t> input(chacha_constants, chacha_constants + 4);
    input.insert(input.end(), key, key + chacha_key_words);
    input.push_back(static_cast<std::uint32_t>(counter));
    input.push_back(static_cast<std::uint32_t>(counter >> 32));
    input.push_back(static_cast<std::uint32_t>(stream));
    input.push_back(static_cast<std::uint32_t>(stream >> 32));
    return input;
}

std::vector<std::uint8_t> reference_keystream(const std::uint32_t* key, std::uint64_t counter,
                                              std::uint64_t stream, int double_rounds,
                                              std::size_t blocks) {
    std::vector<std::uint8_t> bytes(blocks * chacha_block_bytes);
    for (std::size_t b = 0; b < blocks; ++b) {
        const auto input = input_matrix(key, counter + b, stream);
        std::uint32_t words[chacha_block_words];
        chacha_block(input.data(), double_rounds, words);
        std::memcpy(bytes.data() + b * chacha_block_bytes, words, chacha_block_bytes);
    }
    return bytes;
}

TEST(ChachaBlock, Rfc8439BlockFunctionVectorWithTwentyRounds) {
    // RFC 8439 section 2.3.2: key 00..1f, nonce 00:00:00:09:00:00:00:4a:00:00:00:00 and
    // block count 1. In the 64-bit counter layout the first nonce word is the counter's
    // high word and the other two form the stream identifier.
    std::uint32_t key[chacha_key_words];
    for (std::uint32_t i = 0; i < chacha_key_words; ++i) {
        key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
    }
    const auto input = input_matrix(key, 0x09000000'00000001, 0x00000000'4a000000);
    std::uint32_t output[chacha_block_words];
    chacha_block(input.data(), 10, output);
    const std::uint32_t expected[chacha_block_words] = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
        0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
        0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(std::vector(output, output + 16), std::vector(expected, expected + 16));
}

// Published key streams for the all-zero 256-bit key and the all-zero 64-bit nonce.
const std::string zero_key_chacha8 =
    "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
    "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42";
const std::string zero_key_chacha12 =
    "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
    "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
    "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
    "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316";
const std::string zero_key_chacha20 =
    "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
    "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586";

TEST(ChachaBlock, ZeroKeyVectorsForEightTwelveAndTwentyRounds) {
    const std::uint32_t zero_key[chacha_key_words] = {};
    EXPECT_EQ(reference_keystream(zero_key, 0, 0, 4, 1), from_hex(zero_key_chacha8));
    EXPECT_EQ(reference_keystream(zero_key, 0, 0, 6, 2), from_hex(zero_key_chacha12));
    EXPECT_EQ(reference_keystream(zero_key, 0, 0, 10, 1), from_hex(zero_key_chacha20));
}

class Form : public ::testing::TestWithParam<ChachaForm> {
protected:
    void SetUp() override {
        if ((GetParam().required_features & ~cpu_features()) != 0) {
            GTEST_SKIP() << "this processor cannot run the " << GetParam().name << " form";
        }
    }

    std::vector<std::uint8_t> run(const std::uint32_t* key, std::uint64_t counter,
                                  std::uint64_t stream) const {
        std::vector<std::uint8_t> out(GetParam().blocks_per_call * chacha_block_bytes);
        GetParam().blocks(key, counter, stream, out.data());
        return out;
    }
};

TEST_P(Form, ZeroKeyChacha12Vector) {
    const std::uint32_t zero_key[chacha_key_words] = {};
    const auto expected = from_hex(zero_key_chacha12);
    auto out = run(zero_key, 0, 0);
    out.resize(expected.size());
    EXPECT_EQ(out, expected);
}

TEST_P(Form, MatchesTheReferenceAcrossCounterCarriesAndWrap) {
    const std::uint64_t counters[] = {
        0, 1, 3, 1000, 0x00000000'FFFFFFFF, 0x00000000'FFFFFFF9, 0x00000000'FFFFFFFD,
        0x00000001'FFFFFFF3, 0x12345678'FFFFFFFE, 0xFFFFFFFF'FFFFFFFF, 0xFFFFFFFF'FFFFFFF8,
        0xFFFFFFFF'FFFFFFFD, 0x7FFFFFFF'FFFFFFFF,
        // Carries and the wrap inside a second group of 16.
        0x00000000'FFFFFFF0, 0x00000000'FFFFFFEC, 0xFFFFFFFF'FFFFFFE9,
        // ... and at blocks 33 and 67, for any form that writes that many blocks.
        0x00000000'FFFFFFDF, 0xFFFFFFFF'FFFFFFBD};
    std::mt19937_64 random(2024);
    for (int trial = 0; trial < 8; ++trial) {
        std::uint32_t key[chacha_key_words];
        for (std::uint32_t& word : key) {
            word = static_cast<std::uint32_t>(random());
        }
        const std::uint64_t stream = trial == 0 ? 0 : random();
        for (const std::uint64_t counter : counters) {
            EXPECT_EQ(run(key, counter, stream),
                      reference_keystream(key, counter, stream, chacha12_double_rounds,
                                          GetParam().blocks_per_call))
                << "counter " << counter << ", stream " << stream;
        }
    }
}

TEST_P(Form, WritesExactlyItsBlocks) {
    const std::uint32_t key[chacha_key_words] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::size_t size = GetParam().blocks_per_call * chacha_block_bytes;
    std::vector<std::uint8_t> out(size + 2 * 64, 0xA5);
    GetParam().blocks(key, 77, 0, out.data() + 64);
    EXPECT_EQ(std::vector(out.begin(), out.begin() + 64), std::vector<std::uint8_t>(64, 0xA5));
    EXPECT_EQ(std::vector(out.end() - 64, out.end()), std::vector<std::uint8_t>(64, 0xA5));
}

INSTANTIATE_TEST_SUITE_P(EveryForm, Form, ::testing::ValuesIn(chacha_forms()),
                         [](const auto& info) { return std::string(info.param.name); });

struct Choice {
    std::uint64_t features;
    std::size_t max_blocks;
    std::string_view expected;
};

class FormChoice : public ::testing::TestWithParam<Choice> {};

TEST_P(FormChoice, TakesTheBestFormThatFits) {
    EXPECT_EQ(choose_chacha_form(GetParam().features, GetParam().max_blocks).name,
              GetParam().expected);
}

constexpr std::uint64_t all_features = cpu_feature::ssse3 | cpu_feature::sse41 | cpu_feature::avx |
                                       cpu_feature::avx2 | cpu_feature::avx512f;

INSTANTIATE_TEST_SUITE_P(
    Features, FormChoice,
    ::testing::Values(Choice{all_features, SIZE_MAX, "avx512_x32"},
                      Choice{all_features & ~cpu_feature::avx512f, 15, "avx2_x4"},
                      Choice{all_features, 4, "avx512_x4"},
                      Choice{all_features & ~cpu_feature::avx512f, 4, "avx2_x4"},
                      Choice{all_features & ~cpu_feature::avx512f, SIZE_MAX, "avx2_x16"},
                      Choice{cpu_feature::avx | cpu_feature::sse41, SIZE_MAX, "avx_x4"},
                      Choice{cpu_feature::sse41 | cpu_feature::ssse3, 4, "sse41_x4"},
                      Choice{cpu_feature::ssse3, SIZE_MAX, "ssse3_x4"},
                      Choice{cpu_feature::avx2, 4, "avx2_x4"}, Choice{0, SIZE_MAX, "sse2_x4"}));

} // namespace
} // namespace tesk::random
