// cpu_features.cpp — cpuid/xgetbv detection of the vector units, cached process-wide.
#include "runtime/cpu_features.h"

#include <algorithm>
#include <cpuid.h>
#include <cstdio>
#include <cstdlib>

namespace tesk::runtime {
namespace {

constexpr std::uint32_t leaf1_ecx_ssse3 = 1u << 9;
constexpr std::uint32_t leaf1_ecx_fma = 1u << 12;
constexpr std::uint32_t leaf1_ecx_sse41 = 1u << 19;
constexpr std::uint32_t leaf1_ecx_xsave = 1u << 26;
constexpr std::uint32_t leaf1_ecx_osxsave = 1u << 27;
constexpr std::uint32_t leaf1_ecx_avx = 1u << 28;
constexpr std::uint32_t leaf7_ebx_avx2 = 1u << 5;
constexpr std::uint32_t leaf7_ebx_avx512f = 1u << 16;
constexpr std::uint32_t leaf7_ebx_avx512dq = 1u << 17;
/// XCR0: SSE (XMM) and AVX (upper YMM) register state.
constexpr std::uint64_t xcr0_ymm_state = 0b110;
/// XCR0: opmask, upper halves of ZMM0-15, and ZMM16-31.
constexpr std::uint64_t xcr0_zmm_state = 0b1110'0000;

struct NamedFeature {
    std::string_view name;
    std::uint64_t feature;
};

// Lowest first: each set's forms may use the instructions of every set before it.
constexpr NamedFeature feature_chain[] = {
    {"SSSE3", cpu_feature::ssse3},       {"SSE41", cpu_feature::sse41},
    {"AVX", cpu_feature::avx},           {"AVX2", cpu_feature::avx2},
    {"FMA", cpu_feature::fma},           {"AVX512F", cpu_feature::avx512f},
    {"AVX512DQ", cpu_feature::avx512dq},
};

/// The feature called `name` and every feature above it; 0 for an unknown name.
std::uint64_t feature_and_above(std::string_view name) noexcept {
    std::uint64_t features = 0;
    bool found = false;
    for (const NamedFeature& entry : feature_chain) {
        found = found || entry.name == name;
        if (found) {
            features |= entry.feature;
        }
    }
    return features;
}

void report_unknown_feature(std::string_view name) noexcept {
    std::fprintf(stderr, "tesk: %s: unknown feature '%.*s' ignored\n",
                 disable_cpu_features_variable, static_cast<int>(name.size()), name.data());
    std::fflush(stderr);
}

std::uint64_t read_xcr0() noexcept {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    // xgetbv by opcode, so that this file needs no XSAVE compiler flag.
    __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

CpuidRegisters read_cpuid_registers() noexcept {
    CpuidRegisters registers;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    const unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf >= 1) {
        __cpuid(1, eax, ebx, ecx, edx);
        registers.leaf1_ecx = ecx;
    }
    if (max_leaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        registers.leaf7_ebx = ebx;
    }
    // xgetbv faults unless the OS has enabled it, which OSXSAVE reports.
    if ((registers.leaf1_ecx & leaf1_ecx_osxsave) != 0) {
        registers.xcr0 = read_xcr0();
    }
    return registers;
}

} // namespace

std::uint64_t decode_cpu_features(const CpuidRegisters& registers) noexcept {
    std::uint64_t features = 0;
    if ((registers.leaf1_ecx & leaf1_ecx_ssse3) != 0) {
        features |= cpu_feature::ssse3;
    }
    if ((registers.leaf1_ecx & leaf1_ecx_sse41) != 0) {
        features |= cpu_feature::sse41;
    }
    // The wide registers are usable only if the OS saves them across context switches.
    const bool xsave_enabled = (registers.leaf1_ecx & leaf1_ecx_xsave) != 0 &&
                               (registers.leaf1_ecx & leaf1_ecx_osxsave) != 0;
    const bool ymm_saved = xsave_enabled && (registers.xcr0 & xcr0_ymm_state) == xcr0_ymm_state;
    const bool zmm_saved = ymm_saved && (registers.xcr0 & xcr0_zmm_state) == xcr0_zmm_state;
    if (ymm_saved && (registers.leaf1_ecx & leaf1_ecx_avx) != 0) {
        features |= cpu_feature::avx;
    }
    if (ymm_saved && (registers.leaf7_ebx & leaf7_ebx_avx2) != 0) {
        features |= cpu_feature::avx2;
    }
    if (ymm_saved && (registers.leaf1_ecx & leaf1_ecx_fma) != 0) {
        features |= cpu_feature::fma;
    }
    if (zmm_saved && (registers.leaf7_ebx & leaf7_ebx_avx512f) != 0) {
        features |= cpu_feature::avx512f;
    }
    if (zmm_saved && (registers.leaf7_ebx & leaf7_ebx_avx512dq) != 0) {
        features |= cpu_feature::avx512dq;
    }
    return features;
}

std::uint64_t disabled_cpu_features(std::string_view names,
                                    void (*unknown)(std::string_view name)) noexcept {
    constexpr std::string_view separators = ", ";
    std::uint64_t disabled = 0;
    std::size_t start = names.find_first_not_of(separators);
    while (start != std::string_view::npos) {
        const std::size_t end = std::min(names.find_first_of(separators, start), names.size());
        const std::string_view name = names.substr(start, end - start);
        const std::uint64_t features = feature_and_above(name);
        if (features == 0) {
            unknown(name);
        }
        disabled |= features;
        start = names.find_first_not_of(separators, end);
    }
    return disabled;
}

std::uint64_t cpu_features() noexcept {
    // A static initialised once, so that an unknown name is reported only once even
    // when threads race to the first call.
    static const std::uint64_t features = [] {
        const char* names = std::getenv(disable_cpu_features_variable);
        const std::uint64_t disabled =
            names == nullptr ? 0 : disabled_cpu_features(names, &report_unknown_feature);
        return decode_cpu_features(read_cpuid_registers()) & ~disabled;
    }();
    return features;
}

} // namespace tesk::runtime
