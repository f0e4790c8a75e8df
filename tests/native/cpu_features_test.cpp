// cpu_features_test.cpp — decoding of made-up cpuid/xgetbv values, and this host's word.
#include "runtime/cpu_features.h"

#include <gtest/gtest.h>

namespace tesk::runtime {
namespace {

constexpr std::uint32_t ssse3 = 1u << 9;
constexpr std::uint32_t sse41 = 1u << 19;
constexpr std::uint32_t xsave = 1u << 26;
constexpr std::uint32_t osxsave = 1u << 27;
constexpr std::uint32_t avx = 1u << 28;
constexpr std::uint32_t avx2 = 1u << 5;
constexpr std::uint32_t avx512f = 1u << 16;
constexpr std::uint64_t xmm_ymm = 0b110;
constexpr std::uint64_t xmm_ymm_zmm = 0b1110'0110;

struct Decoding {
    const char* label;
    CpuidRegisters registers;
    std::uint64_t expected;
};

class Decode : public ::testing::TestWithParam<Decoding> {};

TEST_P(Decode, ReportsOnlyUsableFeatures) {
    EXPECT_EQ(decode_cpu_features(GetParam().registers), GetParam().expected)
        << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Registers, Decode,
    ::testing::Values(
        Decoding{"nothing", {0, 0, 0}, 0},
        Decoding{"ssse3", {ssse3, 0, 0}, cpu_feature::ssse3},
        Decoding{"sse41", {sse41 | ssse3, 0, 0}, cpu_feature::sse41 | cpu_feature::ssse3},
        Decoding{"avx enabled", {avx | xsave | osxsave, 0, xmm_ymm}, cpu_feature::avx},
        Decoding{"avx without osxsave", {avx | xsave, 0, xmm_ymm}, 0},
        Decoding{"avx without xsave", {avx | osxsave, 0, xmm_ymm}, 0},
        Decoding{"avx without ymm state", {avx | xsave | osxsave, 0, 0b010}, 0},
        Decoding{"avx without xmm state", {avx | xsave | osxsave, 0, 0b100}, 0},
        Decoding{"avx2 enabled", {xsave | osxsave, avx2, xmm_ymm}, cpu_feature::avx2},
        Decoding{"avx2 without ymm state", {avx | xsave | osxsave, avx2, 0b011}, 0},
        Decoding{"avx512f enabled",
                 {avx | xsave | osxsave, avx2 | avx512f, xmm_ymm_zmm},
                 cpu_feature::avx | cpu_feature::avx2 | cpu_feature::avx512f},
        Decoding{"avx512f without hi16_zmm state",
                 {avx | xsave | osxsave, avx2 | avx512f, 0b0110'0110},
                 cpu_feature::avx | cpu_feature::avx2},
        Decoding{"avx512f without opmask state",
                 {avx | xsave | osxsave, avx512f, 0b1100'0110},
                 cpu_feature::avx},
        Decoding{"avx512f without ymm state", {xsave | osxsave, avx512f, 0b1110'0000}, 0},
        Decoding{"avx512f without osxsave", {avx | xsave, avx512f, xmm_ymm_zmm}, 0},
        Decoding{"everything",
                 {0xFFFFFFFF, 0xFFFFFFFF, ~std::uint64_t{0}},
                 cpu_feature::ssse3 | cpu_feature::sse41 | cpu_feature::avx |
                     cpu_feature::avx2 | cpu_feature::avx512f}));

TEST(CpuFeatures, HostWordIsMarkedDetectedAndAgreesWithTheCompiler) {
    const std::uint64_t features = cpu_features();
    EXPECT_NE(features & cpu_feature::detected, 0u);
    EXPECT_EQ(cpu_features(), features);
    // The compiler's own detection, which also checks the OS-enabled register state.
    __builtin_cpu_init();
    EXPECT_EQ((features & cpu_feature::ssse3) != 0, __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ((features & cpu_feature::sse41) != 0, __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ((features & cpu_feature::avx) != 0, __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ((features & cpu_feature::avx2) != 0, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ((features & cpu_feature::avx512f) != 0, __builtin_cpu_supports("avx512f") != 0);
}

} // namespace
} // namespace tesk::runtime
