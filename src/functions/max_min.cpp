// max_min.cpp — max_min(x): one fused pass for the values, logical order for the bits.
#include "functions/max_min.h"

#include "functions/max_min_kernel.h"

namespace tesk::functions {
namespace {

/// Contiguous runs go through the SIMD form, others element by element.
void fold_run(const runtime::Run& run, Extremes& extremes) noexcept {
    if (run.step == sizeof(double)) {
        fold_contiguous_form()(run.start, run.count, extremes);
    } else {
        fold_strided(run.start, run.step, run.count, extremes);
    }
}

bool is_nan(double value) noexcept {
    return value != value;
}
bool is_zero(double value) noexcept {
    return value == 0.0;
}

/// The view without its zero-stride axes. Along such an axis the same addresses come
/// round again, each time after their first visit: in logical order, the addresses in
/// the order of their first visits are those of this smaller view.
runtime::Float64View without_repeating_axes(const runtime::Float64View& view) {
    runtime::AxisList axes(view.ndim());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < view.ndim(); ++i) {
        if (view.axis(i).stride != 0) {
            axes[kept++] = view.axis(i);
        }
    }
    axes.truncate(kept);
    return runtime::Float64View(view.data(), std::move(axes));
}

/// The first element of the view, in logical order, that satisfies `wanted`; the
/// caller knows that one exists. A broadcast view costs what its distinct memory does.
template <typename Predicate>
const std::byte* first_in_logical_order(const runtime::Float64View& view, Predicate wanted) {
    runtime::RunWalk walk(without_repeating_axes(view));
    runtime::Run run;
    while (walk.next(run)) {
        const std::byte* at = run.start;
        for (std::size_t i = 0; i < run.count; ++i, at += run.step) {
            if (wanted(runtime::load_f64(at))) {
                return at;
            }
        }
    }
    return view.data();
}

} // namespace

runtime::Float64Buffer max_min(const runtime::Float64View& x) {
    if (x.element_count() == 0) {
        return runtime::Float64Buffer{
            .data = nullptr, .count = 0, .ndim = 1, .shape = {0, 0}, .strides = {0, 0}};
    }
    // Equal values that differ in their bits are only the two zeros and NaNs, so
    // the values come from one pass in whatever order memory is cheapest to read.
    // Only when an extreme is a zero or a NaN is the element that the sequential
    // searches would keep looked up, in logical order.
    Extremes extremes = no_extremes();
    runtime::RunWalk walk(x.address_ordered());
    runtime::Run run;
    while (walk.next(run)) {
        fold_run(run, extremes);
    }

    double max = extremes.max;
    if (extremes.any_nan) {
        max = runtime::load_f64(first_in_logical_order(x.reversed(), is_nan));
    } else if (max == 0.0) {
        max = runtime::load_f64(first_in_logical_order(x.reversed(), is_zero));
    }
    double min = extremes.min;
    if (!any_number(extremes)) {
        min = runtime::load_f64(x.data());
    } else if (min == 0.0) {
        min = runtime::load_f64(first_in_logical_order(x, is_zero));
    }

    runtime::Float64Buffer result{.data = runtime::allocate_float64(2, false),
                                  .count = 2,
                                  .ndim = 1,
                                  .shape = {2, 0},
                                  .strides = {1, 0}};
    result.data.get()[0] = max;
    result.data.get()[1] = min;
    return result;
}

} // namespace tesk::functions
