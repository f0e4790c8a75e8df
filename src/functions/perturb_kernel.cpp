// perturb_kernel.cpp — the portable perturbation, strided runs, and the choice of form.
#include "functions/perturb_kernel.h"

#include "random/generator.h"
#include "runtime/cpu_features.h"
#include "runtime/float64_view.h"

namespace tesk::functions {
namespace {

/// The formula's own sequence: for scalings without an exact centred_draw_factor.
inline void perturb_at(std::byte* at, std::uint64_t draw, double scaling) noexcept {
    const double value = runtime::load_f64(at);
    const double unit = random::unit_f64(draw);
    runtime::store_f64(at, ((unit - 0.5) * scaling) + (value + value));
}

constexpr PerturbForm forms[] = {
    {"avx512", runtime::cpu_feature::avx512f | runtime::cpu_feature::avx512dq,
     &perturb_contiguous_avx512},
    {"avx2", runtime::cpu_feature::avx2 | runtime::cpu_feature::fma, &perturb_contiguous_avx2},
    {"portable", 0, &perturb_contiguous_portable},
};

constexpr PerturbKeystreamForm keystream_forms[] = {
    {"avx512", runtime::cpu_feature::avx512f | runtime::cpu_feature::avx512dq,
     &perturb_keystream_avx512},
};

/// The same result from (draw >> 11) − 2^52, which the arithmetic shift of the draw with
/// its top bit flipped yields, and the exact factor: one conversion and one product.
inline void perturb_centred_at(std::byte* at, std::uint64_t draw, double factor) noexcept {
    const double value = runtime::load_f64(at);
    const auto centred = static_cast<std::int64_t>(draw ^ (std::uint64_t{1} << 63)) >> 11;
    runtime::store_f64(at, (static_cast<double>(centred) * factor) + (value + value));
}

} // namespace

double centred_draw_factor(double scaling) noexcept {
    const double factor = scaling * 0x1.0p-53;
    // Scaling back up is exact, so the round trip fails exactly when bits were lost
    // (and for NaN, which never compares equal).
    return factor * 0x1.0p53 == scaling ? factor : __builtin_nan("");
}

bool doubling_fuses(double factor) noexcept {
    return __builtin_fabs(factor) < 0x1.0p917;
}

void perturb_with_factor(std::byte* data, const std::uint64_t* draws, std::size_t count,
                         double scaling, PerturbWithFactor fusing,
                         PerturbWithFactor separate) noexcept {
    const double factor = centred_draw_factor(scaling);
    if (factor != factor) {
        perturb_contiguous_portable(data, draws, count, scaling);
        return;
    }
    (doubling_fuses(factor) ? fusing : separate)(reinterpret_cast<double*>(data), draws, count,
                                                 factor);
}

void perturb_contiguous_portable(std::byte* data, const std::uint64_t* draws, std::size_t count,
                                 double scaling) noexcept {
    perturb_strided(data, sizeof(double), draws, count, scaling);
}

std::span<const PerturbForm> perturb_forms() noexcept {
    return forms;
}

PerturbContiguous perturb_contiguous_form() noexcept {
    static const PerturbContiguous form =
        runtime::choose_form(perturb_forms(), runtime::cpu_features()).function;
    return form;
}

std::span<const PerturbKeystreamForm> perturb_keystream_forms() noexcept {
    return keystream_forms;
}

PerturbKeystream perturb_keystream_form() noexcept {
    static const PerturbKeystream form = [] {
        const PerturbKeystreamForm* fused =
            runtime::find_form(perturb_keystream_forms(), runtime::cpu_features());
        return fused != nullptr ? fused->function : nullptr;
    }();
    return form;
}

void perturb_strided(std::byte* data, std::ptrdiff_t step, const std::uint64_t* draws,
                     std::size_t count, double scaling) noexcept {
    const double factor = centred_draw_factor(scaling);
    if (factor != factor) {
        for (std::size_t i = 0; i < count; ++i, data += step) {
            perturb_at(data, draws[i], scaling);
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i, data += step) {
        perturb_centred_at(data, draws[i], factor);
    }
}

} // namespace tesk::functions
