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
    {"avx512", runtime::cpu_feature::avx512f, 32, &avx512::chacha12_blocks},
    {"avx2x17", runtime::cpu_feature::avx2, 68, &avx2x17::chacha12_blocks},
    {"avx512x4", runtime::cpu_feature::avx512f, 4, &avx512x4::chacha12_blocks},
    {"avx2", runtime::cpu_feature::avx2, 4, &avx2::chacha12_blocks},
    {"avx", runtime::cpu_feature::avx, 4, &avx::chacha12_blocks},
    {"sse41", runtime::cpu_feature::sse41, 4, &sse41::chacha12_blocks},
    {"ssse3", runtime::cpu_feature::ssse3, 4, &ssse3::chacha12_blocks},
    {"sse2", 0, 4, &sse2::chacha12_blocks},
    {"portable", 0, 4, &portable::chacha12_blocks},
};

static_assert(std::ranges::all_of(forms, [](const ChachaForm& form) {
    return form.blocks_per_call % 4 == 0 && form.blocks_per_call <= chacha_max_blocks_per_call;
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
