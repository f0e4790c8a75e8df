// extremes.cpp — the portable extremes fold, strided runs, and the choice of form.
#include "functions/extremes.h"

#include <limits>

#include "array/view.h"
#include "random/cpu_features.h"

namespace tesk::functions {
namespace {

// The comparisons are false for a NaN value, so NaNs never enter max or min.
inline void fold_value(double value, Extremes& extremes) noexcept {
    extremes.max = value > extremes.max ? value : extremes.max;
    extremes.min = value < extremes.min ? value : extremes.min;
    extremes.any_nan |= value != value;
}

FoldContiguous choose_form() noexcept {
    const std::uint64_t features = random::cpu_features();
    if (features & random::cpu_feature::avx512f) {
        return &fold_contiguous_avx512;
    }
    if (features & random::cpu_feature::avx2) {
        return &fold_contiguous_avx2;
    }
    return &fold_contiguous_portable;
}

} // namespace

Extremes no_extremes() noexcept {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    return Extremes{-infinity, infinity, false};
}

bool any_number(const Extremes& extremes) noexcept { return extremes.max >= extremes.min; }

void fold_contiguous_portable(const std::byte* data, std::size_t count,
                              Extremes& extremes) noexcept {
    fold_strided(data, sizeof(double), count, extremes);
}

FoldContiguous fold_contiguous_form() noexcept {
    static const FoldContiguous form = choose_form();
    return form;
}

void fold_strided(const std::byte* data, std::ptrdiff_t step, std::size_t count,
                  Extremes& extremes) noexcept {
    for (std::size_t i = 0; i < count; ++i, data += step) {
        fold_value(array::load_f64(data), extremes);
    }
}

} // namespace tesk::functions
