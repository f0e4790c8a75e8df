// cpu_features_test.cpp — decoding of made-up cpuid/xgetbv values, the names that take
// features away, and this host's word.
#include "runtime/cpu_features.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace tesk::runtime {
namespace {

constexpr std::uint32_t ssse3 = 1u << 9;
constexpr std::uint32_t fma = 1u << 12;
constexpr std::uint32_t sse41 = 1u << 19;
constexpr std::uint32_t xsave = 1u << 26;
constexpr std::uint32_t osxsave = 1u << 27;
constexpr std::uint32_t avx = 1u << 28;
constexpr std::uint32_t avx2 = 1u << 5;
constexpr std::uint32_t avx512f = 1u << 16;
constexpr std::uint32_t avx512dq = 1u << 17;
constexpr std::uint64_t xmm_ymm = 0b110;
constexpr std::uint64_t xmm_ymm_zmm = 0b1110'0110;

struct Decoding {
    const char* label;
    CpuidRegisters registers;
    std::uint64_t expected;
};

class Decode : public ::testing::TestWithParam<Decoding> {};

TEST_P(Decode, ReportsOnlyUsableFeatures) {
    EXPECT_EQ(decode_cpu_features(GetParam().registers), GetParam().expected) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Registers, Decode,
    ::testing::Values(
        Decoding{"nothing", {0, 0, 0}, 0}, Decoding{"ssse3", {ssse3, 0, 0}, cpu_feature::ssse3},
        Decoding{"sse41", {sse41 | ssse3, 0, 0}, cpu_feature::sse41 | cpu_feature::ssse3},
        Decoding{"avx enabled", {avx | xsave | osxsave, 0, xmm_ymm}, cpu_feature::avx},
        Decoding{"avx without osxsave", {avx | xsave, 0, xmm_ymm}, 0},
        Decoding{"avx without xsave", {avx | osxsave, 0, xmm_ymm}, 0},
        Decoding{"avx without ymm state", {avx | xsave | osxsave, 0, 0b010}, 0},
        Decoding{"avx without xmm state", {avx | xsave | osxsave, 0, 0b100}, 0},
        Decoding{"avx2 enabled", {xsave | osxsave, avx2, xmm_ymm}, cpu_feature::avx2},
        Decoding{"avx2 without ymm state", {avx | xsave | osxsave, avx2, 0b011}, 0},
        Decoding{"fma enabled",
                 {fma | xsave | osxsave, avx2, xmm_ymm},
                 cpu_feature::fma | cpu_feature::avx2},
        Decoding{"fma without ymm state", {fma | xsave | osxsave, 0, 0b010}, 0},
        Decoding{"avx512f enabled",
                 {avx | xsave | osxsave, avx2 | avx512f, xmm_ymm_zmm},
                 cpu_feature::avx | cpu_feature::avx2 | cpu_feature::avx512f},
        Decoding{"avx512dq enabled",
                 {xsave | osxsave, avx512f | avx512dq, xmm_ymm_zmm},
                 cpu_feature::avx512f | cpu_feature::avx512dq},
        Decoding{"avx512dq without zmm state", {xsave | osxsave, avx512dq, xmm_ymm}, 0},
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
                 cpu_feature::ssse3 | cpu_feature::sse41 | cpu_feature::avx | cpu_feature::avx2 |
                     cpu_feature::fma | cpu_feature::avx512f | cpu_feature::avx512dq}));

std::vector<std::string> unknown_names;

void collect_unknown(std::string_view name) {
    unknown_names.emplace_back(name);
}

struct Disabling {
    const char* names;
    std::uint64_t expected;
    std::vector<std::string> unknown;
};

class Disable : public ::testing::TestWithParam<Disabling> {};

TEST_P(Disable, TakesAwayTheNamedFeaturesAndThoseAboveThem) {
    unknown_names.clear();
    EXPECT_EQ(disabled_cpu_features(GetParam().names, &collect_unknown), GetParam().expected)
        << "'" << GetParam().names << "'";
    EXPECT_EQ(unknown_names, GetParam().unknown) << "'" << GetParam().names << "'";
}

constexpr std::uint64_t from_avx512f = cpu_feature::avx512f | cpu_feature::avx512dq;
constexpr std::uint64_t from_fma = cpu_feature::fma | from_avx512f;
constexpr std::uint64_t from_avx2 = cpu_feature::avx2 | from_fma;
constexpr std::uint64_t from_avx = cpu_feature::avx | from_avx2;
constexpr std::uint64_t from_ssse3 = cpu_feature::ssse3 | cpu_feature::sse41 | from_avx;

INSTANTIATE_TEST_SUITE_P(
    Names, Disable,
    ::testing::Values(Disabling{"", 0, {}}, Disabling{" ,, ", 0, {}},
                      Disabling{"AVX512DQ", cpu_feature::avx512dq, {}},
                      Disabling{"AVX512F", from_avx512f, {}}, Disabling{"FMA", from_fma, {}},
                      Disabling{"AVX2", from_avx2, {}}, Disabling{"AVX", from_avx, {}},
                      Disabling{"SSE41", cpu_feature::sse41 | from_avx, {}},
                      Disabling{"SSSE3", from_ssse3, {}},
                      Disabling{",AVX512F, AVX2 ,", from_avx2, {}},
                      Disabling{"AVX512F AVX2 AVX SSE41 SSSE3", from_ssse3, {}},
                      Disabling{"avx2,AVX5,AVX512FX,AVX", from_avx, {"avx2", "AVX5", "AVX512FX"}},
                      Disabling{"SSE2 SSE4.1", 0, {"SSE2", "SSE4.1"}}));

TEST(CpuFeatures, HostWordAgreesWithTheCompiler) {
    const std::uint64_t features = cpu_features();
    EXPECT_EQ(cpu_features(), features);
    // The compiler's own detection, which also checks the OS-enabled register state,
    // less what the environment of this run takes away.
    const char* names = std::getenv(disable_cpu_features_variable);
    const std::uint64_t disabled =
        names == nullptr ? 0 : disabled_cpu_features(names, [](std::string_view) {});
    __builtin_cpu_init();
    const struct {
        std::uint64_t feature;
        bool supported;
    } checks[] = {
        {cpu_feature::ssse3, __builtin_cpu_supports("ssse3") != 0},
        {cpu_feature::sse41, __builtin_cpu_supports("sse4.1") != 0},
        {cpu_feature::avx, __builtin_cpu_supports("avx") != 0},
        {cpu_feature::avx2, __builtin_cpu_supports("avx2") != 0},
        {cpu_feature::fma, __builtin_cpu_supports("fma") != 0},
        {cpu_feature::avx512f, __builtin_cpu_supports("avx512f") != 0},
        {cpu_feature::avx512dq, __builtin_cpu_supports("avx512dq") != 0},
    };
    for (const auto& check : checks) {
        EXPECT_EQ((features & check.feature) != 0,
                  check.supported && (disabled & check.feature) == 0)
            << "feature bit " << check.feature;
    }
}

} // namespace
} // namespace tesk::runtime
