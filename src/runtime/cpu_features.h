// cpu_features.h — which vector instruction sets this processor and its OS support.
#pragma once

#include <cstdint>

namespace tesk::runtime {

/// Bits of the processor-feature word. SSE2 has no bit: x86-64 always has it.
namespace cpu_feature {
constexpr std::uint64_t ssse3 = 1u << 0;
constexpr std::uint64_t sse41 = 1u << 1;
constexpr std::uint64_t avx = 1u << 2;
constexpr std::uint64_t avx2 = 1u << 3;
constexpr std::uint64_t avx512f = 1u << 4;
/// Set in the cached word once detection has run, so that 0 can mean "not yet".
constexpr std::uint64_t detected = std::uint64_t{1} << 63;
} // namespace cpu_feature

/// The raw identification values the feature word is decoded from.
struct CpuidRegisters {
    std::uint32_t leaf1_ecx = 0;
    std::uint32_t leaf7_ebx = 0; ///< leaf 7, sub-leaf 0; 0 when the processor lacks leaf 7
    std::uint64_t xcr0 = 0;      ///< xgetbv(0); meaningful only when leaf 1 reports OSXSAVE
};

/// The cpu_feature bits (without `detected`) that `registers` describe. Wide-register
/// features count only when the OS saves the registers they need (XCR0).
std::uint64_t decode_cpu_features(const CpuidRegisters& registers) noexcept;

/// This processor's feature word with `detected` set. Detected on the first call and
/// cached; concurrent first calls compute and store the same value.
std::uint64_t cpu_features() noexcept;

} // namespace tesk::runtime
