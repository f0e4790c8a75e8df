// perturb_kernel.cpp — the portable perturbation, strided runs, and the choice of form.
#include "functions/perturb_kernel.h"

#include "random/thread_generator.h"
#include "runtime/cpu_features.h"
#include "runtime/float64_view.h"

namespace tesk::functions {
namespace {

inline void perturb_at(std::byte* at, std::uint64_t draw, double scaling) noexcept {
    const double value = runtime::load_f64(at);
    const double unit = random::unit_f64(draw);
    runtime::store_f64(at, ((unit - 0.5) * scaling) + (value + value));
}

constexpr PerturbForm forms[] = {
    {"avx512", runtime::cpu_feature::avx512f, &perturb_contiguous_avx512},
    {"avx2", runtime::cpu_feature::avx2, &perturb_contiguous_avx2},
    {"portable", 0, &perturb_contiguous_portable},
};

} // namespace

void perturb_contiguous_portable(std::byte* data, const std::uint64_t* draws, std::size_t count,
                                 double scaling) noexcept {
    perturb_strided(data, sizeof(double), draws, count, scaling);
}

std::span<const PerturbForm> perturb_forms() noexcept { return forms; }

PerturbContiguous perturb_contiguous_form() noexcept {
    static const PerturbContiguous form =
        runtime::choose_form(perturb_forms(), runtime::cpu_features()).function;
    return form;
}

void perturb_strided(std::byte* data, std::ptrdiff_t step, const std::uint64_t* draws,
                     std::size_t count, double scaling) noexcept {
    for (std::size_t i = 0; i < count; ++i, data += step) {
        perturb_at(data, draws[i], scaling);
    }
}

} // namespace tesk::functions
