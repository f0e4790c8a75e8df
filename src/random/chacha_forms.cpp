// chacha_forms.cpp — the table of compiled block-function forms and the choice among them.
#include "random/chacha.h"
#include "random/cpu_features.h"

namespace tesk::random {
namespace {

// Best first: the choice walks down the list and takes the first form the processor
// can run. SSE2 needs no bit (x86-64 baseline); the portable form closes the list as
// the reference that the others are tested against.
constexpr ChachaForm forms[] = {
    {"avx512", cpu_feature::avx512f, 32, &avx512::chacha12_blocks},
    {"avx2x16", cpu_feature::avx2, 16, &avx2x16::chacha12_blocks},
    {"avx2", cpu_feature::avx2, 4, &avx2::chacha12_blocks},
    {"avx", cpu_feature::avx, 4, &avx::chacha12_blocks},
    {"sse41", cpu_feature::sse41, 4, &sse41::chacha12_blocks},
    {"ssse3", cpu_feature::ssse3, 4, &ssse3::chacha12_blocks},
    {"sse2", 0, 4, &sse2::chacha12_blocks},
    {"portable", 0, 4, &portable::chacha12_blocks},
};

} // namespace

std::span<const ChachaForm> chacha_forms() noexcept { return forms; }

const ChachaForm& choose_chacha_form(std::uint64_t features,
                                     std::size_t max_blocks_per_call) noexcept {
    for (const ChachaForm& form : forms) {
        if ((form.required_features & ~features) == 0 &&
            form.blocks_per_call <= max_blocks_per_call) {
            return form;
        }
    }
    return forms[std::size(forms) - 1];
}

} // namespace tesk::random
