// perturb_kernel.cpp — the portable perturbation, strided runs, and the choice of form.
#include "functions/perturb_kernel.h"

#include "array/view.h"
#include "random/cpu_features.h"
#include "random/thread_generator.h"

namespace tesk::functions {
namespace {

inline void perturb_at(std::byte* at, std::uint64_t draw, double scaling) noexcept {
    const double value = array::load_f64(at);
    const double unit = random::unit_f64(draw);
    array::store_f64(at, ((unit - 0.5) * scaling) + (value + value));
}

PerturbContiguous choose_form() noexcept {
    const std::uint64_t features = random::cpu_features();
    if (features & random::cpu_feature::avx512f) {
        return &perturb_contiguous_avx512;
    }
    if (features & random::cpu_feature::avx2) {
        return &perturb_contiguous_avx2;
    }
    return &perturb_contiguous_portable;
}

} // namespace

void perturb_contiguous_portable(std::byte* data, const std::uint64_t* draws, std::size_t count,
                                 double scaling) noexcept {
    perturb_strided(data, sizeof(double), draws, count, scaling);
}

PerturbContiguous perturb_contiguous_form() noexcept {
    static const PerturbContiguous form = choose_form();
    return form;
}

void perturb_strided(std::byte* data, std::ptrdiff_t step, const std::uint64_t* draws,
                     std::size_t count, double scaling) noexcept {
    for (std::size_t i = 0; i < count; ++i, data += step) {
        perturb_at(data, draws[i], scaling);
    }
}

} // namespace tesk::functions
