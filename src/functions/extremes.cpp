// extremes.cpp — the portable extremes fold, strided runs, and the choice of form.
#include "functions/extremes.h"

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

void fold_contiguous_portable(const std::byte* data, std::size_t count,
                              Extremes& extremes) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        fold_value(array::load_f64(data + i * sizeof(double)), extremes);
    }
}

FoldContiguous fold_contiguous_form() noexcept {
    static const FoldContiguous form = choose_form();
    return form;
}

void fold_run(const array::Run& run, Extremes& extremes) noexcept {
    if (run.step == sizeof(double)) {
        fold_contiguous_form()(run.start, run.count, extremes);
        return;
    }
    const std::byte* at = run.start;
    for (std::size_t i = 0; i < run.count; ++i, at += run.step) {
        fold_value(array::load_f64(at), extremes);
    }
}

} // namespace tesk::functions
