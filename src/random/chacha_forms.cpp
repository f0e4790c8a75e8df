// chacha_forms.cpp — the table of compiled block-function forms and the choice among them.
#include "random/chacha.h"
#include "runtime/cpu_features.h"
#include "runtime/dispatch.h"

#include <algorithm>

namespace tesk::random {
namespace {

// Best first: the choice walks down the list and takes the first form the processor
// can run. SSE2 needs no bit (x86-64 baseline); the portable form closes the list as
// the reference that the others are tested against.
constexpr ChachaForm forms[] = {
    {"avx512_x32", runtime::cpu_feature::avx512f, 32, &avx512::chacha12_x32},
    {"avx2_x16", runtime::cpu_feature::avx2, 16, &avx2::chacha12_x16},
    {"avx512_x4", runtime::cpu_feature::avx512f, 4, &avx512::chacha12_x4},
    {"avx2_x4", runtime::cpu_feature::avx2, 4, &avx2::chacha12_x4},
    {"avx_x4", runtime::cpu_feature::avx, 4, &avx::chacha12_x4},
    {"sse41_x4", runtime::cpu_feature::sse41, 4, &sse41::chacha12_x4},
    {"ssse3_x4", runtime::cpu_feature::ssse3, 4, &ssse3::chacha12_x4},
    {"sse2_x4", 0, 4, &sse2::chacha12_x4},
    {"portable_x4", 0, 4, &portable::chacha12_x4},
};

static_assert(std::ranges::all_of(forms, [](const ChachaForm& form) {
    return form.blocks_per_call % 4 == 0 && chacha_max_blocks_per_call % form.blocks_per_call == 0;
}));

} // namespace

std::span<const ChachaForm> chacha_forms() noexcept {
    return forms;
}

const ChachaForm& choose_chacha_form(std::uint64_t features,
                                     std::size_t max_blocks_per_call) noexcept {
    return runtime::choose_form(chacha_forms(), features, [=](const ChachaForm& form) {
        return form.blocks_per_call <= max_blocks_per_call;
    });
}

} // namespace tesk::random
