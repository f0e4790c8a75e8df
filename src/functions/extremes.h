// extremes.h — running maximum and minimum of float64 runs, in portable and SIMD forms.
#pragma once

#include <cstddef>
#include <limits>

#include "array/view.h"

namespace tesk::functions {

/// The largest and smallest non-NaN values met so far, and whether a NaN was met.
/// Zeros are compared by value only: which zero (or which NaN) the searches yield
/// is settled afterwards, in logical order.
struct Extremes {
    double max = -std::numeric_limits<double>::infinity();
    double min = std::numeric_limits<double>::infinity();
    bool any_nan = false;

    /// False while only NaNs have been met.
    bool any_number() const noexcept { return max >= min; }
};

/// Folds `count` contiguous float64 values at `data` (any alignment) into `extremes`.
using FoldContiguous = void (*)(const std::byte* data, std::size_t count, Extremes& extremes);

void fold_contiguous_portable(const std::byte* data, std::size_t count,
                              Extremes& extremes) noexcept;
void fold_contiguous_avx2(const std::byte* data, std::size_t count, Extremes& extremes) noexcept;
void fold_contiguous_avx512(const std::byte* data, std::size_t count,
                            Extremes& extremes) noexcept;

/// The widest form this processor runs, chosen once.
FoldContiguous fold_contiguous_form() noexcept;

/// Folds any run: contiguous ones through the SIMD form, others element by element.
void fold_run(const array::Run& run, Extremes& extremes) noexcept;

} // namespace tesk::functions
