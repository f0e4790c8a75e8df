// max_min_kernel.h — running maximum and minimum of float64 runs, in portable and SIMD forms.
#pragma once

#include <cstddef>
#include <span>

#include "runtime/dispatch.h"

// Included by the instruction-set form files, so it holds no inline code: the linker
// could otherwise pick their copy of it for every caller.

namespace tesk::functions {

/// The largest and smallest non-NaN values met so far (±infinity at the start), and
/// whether a NaN was met. Zeros are compared by value only: which zero (or which NaN)
/// the searches yield is settled afterwards, in logical order.
struct Extremes {
    double max;
    double min;
    bool any_nan;
};

/// Extremes before the first value.
Extremes no_extremes() noexcept;

/// False while only NaNs have been met.
bool any_number(const Extremes& extremes) noexcept;

/// Folds `count` contiguous float64 values at `data` (any alignment) into `extremes`.
using FoldContiguous = void (*)(const std::byte* data, std::size_t count, Extremes& extremes);

void fold_contiguous_portable(const std::byte* data, std::size_t count,
                              Extremes& extremes) noexcept;
void fold_contiguous_avx2(const std::byte* data, std::size_t count, Extremes& extremes) noexcept;
void fold_contiguous_avx512(const std::byte* data, std::size_t count, Extremes& extremes) noexcept;

using FoldForm = runtime::KernelForm<FoldContiguous>;

/// Every compiled form, best first; the portable one closes the table.
std::span<const FoldForm> fold_forms() noexcept;

/// The best form this processor runs, chosen once.
FoldContiguous fold_contiguous_form() noexcept;

/// Folds `count` values `step` bytes apart, element by element.
void fold_strided(const std::byte* data, std::ptrdiff_t step, std::size_t count,
                  Extremes& extremes) noexcept;

} // namespace tesk::functions
