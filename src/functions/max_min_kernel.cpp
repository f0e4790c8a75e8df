// max_min_kernel.cpp — the portable extremes fold, strided runs, and the choice of form.
#include "functions/max_min_kernel.h"

#include <limits>

#include "runtime/cpu_features.h"
#include "runtime/float64_view.h"

namespace tesk::functions {
namespace {

// The comparisons are false for a NaN value, so NaNs never enter max or min.
inline void fold_value(double value, Extremes& extremes) noexcept {
    extremes.max = value > extremes.max ? value : extremes.max;
    extremes.min = value < extremes.min ? value : extremes.min;
    extremes.any_nan |= value != value;
}

constexpr FoldForm forms[] = {
    {"avx512", runtime::cpu_feature::avx512f, &fold_contiguous_avx512},
    {"avx2", runtime::cpu_feature::avx2, &fold_contiguous_avx2},
    {"portable", 0, &fold_contiguous_portable},
};

} // namespace

Extremes no_extremes() noexcept {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    return Extremes{-infinity, infinity, false};
}

bool any_number(const Extremes& extremes) noexcept {
    return extremes.max >= extremes.min;
}

void fold_contiguous_portable(const std::byte* data, std::size_t count,
                              Extremes& extremes) noexcept {
    fold_strided(data, sizeof(double), count, extremes);
}

std::span<const FoldForm> fold_forms() noexcept {
    return forms;
}

FoldContiguous fold_contiguous_form() noexcept {
    static const FoldContiguous form =
        runtime::choose_form(fold_forms(), runtime::cpu_features()).function;
    return form;
}

void fold_strided(const std::byte* data, std::ptrdiff_t step, std::size_t count,
                  Extremes& extremes) noexcept {
    for (std::size_t i = 0; i < count; ++i, data += step) {
        fold_value(runtime::load_f64(data), extremes);
    }
}

} // namespace tesk::functions
