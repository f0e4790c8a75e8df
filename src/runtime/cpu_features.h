// cpu_features.h — which vector instruction sets this processor and its OS support.
#pragma once

#include <cstdint>
#include <string_view>

namespace tesk::runtime {

/// Bits of the processor-feature word. SSE2 has no bit: x86-64 always has it.
namespace cpu_feature {
constexpr std::uint64_t ssse3 = 1u << 0;
constexpr std::uint64_t sse41 = 1u << 1;
constexpr std::uint64_t avx = 1u << 2;
constexpr std::uint64_t avx2 = 1u << 3;
constexpr std::uint64_t avx512f = 1u << 4;
constexpr std::uint64_t avx512dq = 1u << 5;
constexpr std::uint64_t fma = 1u << 6;
} // namespace cpu_feature

/// The raw identification values the feature word is decoded from.
struct CpuidRegisters {
    std::uint32_t leaf1_ecx = 0;
    std::uint32_t leaf7_ebx = 0; ///< leaf 7, sub-leaf 0; 0 when the processor lacks leaf 7
    std::uint64_t xcr0 = 0;      ///< xgetbv(0); meaningful only when leaf 1 reports OSXSAVE
};

/// The cpu_feature bits that `registers` describe. Wide-register
/// features count only when the OS saves the registers they need (XCR0).
std::uint64_t decode_cpu_features(const CpuidRegisters& registers) noexcept;

/// Environment variable naming features to treat as absent (see disabled_cpu_features).
inline constexpr const char* disable_cpu_features_variable = "TESK_DISABLE_CPU_FEATURES";

/// The cpu_feature bits that a list of feature names takes away. Names are separated by
/// commas and/or spaces, from "SSSE3", "SSE41", "AVX", "AVX2", "FMA", "AVX512F" and
/// "AVX512DQ".
/// Taking a feature away takes away every feature above it in that order too: each form
/// is compiled with flags that let the compiler use the instructions of the sets below
/// (the AVX-512 forms may contain AVX2 instructions), so it must not run without them.
/// Each unknown name is passed to `unknown` and otherwise ignored.
std::uint64_t disabled_cpu_features(std::string_view names,
                                    void (*unknown)(std::string_view name)) noexcept;

/// This processor's feature word, less what TESK_DISABLE_CPU_FEATURES takes away. Detected,
/// and the variable read, once per process on the first call.
std::uint64_t cpu_features() noexcept;

} // namespace tesk::runtime
