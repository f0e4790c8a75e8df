// max_min.cpp — max_min(x): one fused pass for the values, logical order for the bits.
#include "functions/max_min.h"

#include <cstdlib>
#include <new>

#include "array/array_check.h"
#include "functions/extremes.h"

namespace tesk::functions {
namespace {

/// Contiguous runs go through the SIMD form, others element by element.
void fold_run(const array::Run& run, Extremes& extremes) noexcept {
    if (run.step == sizeof(double)) {
        fold_contiguous_form()(run.start, run.count, extremes);
    } else {
        fold_strided(run.start, run.step, run.count, extremes);
    }
}

bool is_nan(double value) noexcept { return value != value; }
bool is_zero(double value) noexcept { return value == 0.0; }

/// The view without its zero-stride axes. Along such an axis the same addresses come
/// round again, each time after their first visit: in logical order, the addresses in
/// the order of their first visits are those of this smaller view.
array::Float64View without_repeating_axes(const array::Float64View& view) {
    array::AxisList axes(view.ndim());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < view.ndim(); ++i) {
        if (view.axis(i).stride != 0) {
            axes[kept++] = view.axis(i);
        }
    }
    axes.truncate(kept);
    return array::Float64View(view.data(), std::move(axes));
}

/// The first element of the view, in logical order, that satisfies `wanted`; the
/// caller knows that one exists. A broadcast view costs what its distinct memory does.
template <typename Predicate>
const std::byte* first_in_logical_order(const array::Float64View& view, Predicate wanted) {
    array::RunWalk walk(without_repeating_axes(view));
    array::Run run;
    while (walk.next(run)) {
        const std::byte* at = run.start;
        for (std::size_t i = 0; i < run.count; ++i, at += run.step) {
            if (wanted(array::load_f64(at))) {
                return at;
            }
        }
    }
    return view.data();
}

} // namespace

array::OwnedFloat64Array max_min_of_view(const array::Float64View& view) {
    if (view.element_count() == 0) {
        return array::OwnedFloat64Array(array::OwnedFloat64Array::placeholder(), 0, 0, 1, {0, 0},
                                        {0, 0});
    }
    // Equal values that differ in their bits are only the two zeros and NaNs, so
    // the values come from one pass in whatever order memory is cheapest to read.
    // Only when an extreme is a zero or a NaN is the element that the sequential
    // searches would keep looked up, in logical order.
    Extremes extremes = no_extremes();
    array::RunWalk walk(view.address_ordered());
    array::Run run;
    while (walk.next(run)) {
        fold_run(run, extremes);
    }

    double max = extremes.max;
    if (extremes.any_nan) {
        max = array::load_f64(first_in_logical_order(view.reversed(), is_nan));
    } else if (max == 0.0) {
        max = array::load_f64(first_in_logical_order(view.reversed(), is_zero));
    }
    double min = extremes.min;
    if (!any_number(extremes)) {
        min = array::load_f64(view.data());
    } else if (min == 0.0) {
        min = array::load_f64(first_in_logical_order(view, is_zero));
    }

    auto* buffer = static_cast<double*>(std::malloc(2 * sizeof(double)));
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    buffer[0] = max;
    buffer[1] = min;
    return array::OwnedFloat64Array(buffer, 2, 2, 1, {2, 0}, {1, 0});
}

binding::Result<PyObject*> max_min(std::span<PyObject* const> slots) {
    binding::Result<PyArrayObject*> x = array::extract_float64_array(slots[0]);
    if (!x.ok()) {
        return binding::rewrite_argument_error("x", x.take_error());
    }
    array::ReadonlyBorrow borrow(x.value());
    PyObject* result = array::to_numpy_array(max_min_of_view(array::view_of(x.value())));
    Py_INCREF(result);
    return result;
}

} // namespace tesk::functions
