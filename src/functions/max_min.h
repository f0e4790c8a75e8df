// max_min.h — max_min(x): [largest, smallest] of a float64 array.
#pragma once

#include <span>
#include <string_view>

#include "array/result.h"
#include "array/view.h"
#include "binding/arguments.h"
#include "binding/result.h"

namespace tesk::functions {

inline constexpr std::string_view max_min_parameters[] = {"x"};
inline constexpr binding::ArgSpec max_min_spec{
    .function_name = "max_min", .positional = max_min_parameters, .required_positional = 1};

/// [max, min] as the two sequential searches in logical order define them (the last
/// NaN or the last of equal maxima; the first of equal minima, NaNs passed over),
/// or an empty array for a view without elements.
array::OwnedFloat64Array max_min_of_view(const array::Float64View& view);

/// Python max_min(x): a new reference to the result as a NumPy array.
binding::Result<PyObject*> max_min(std::span<PyObject* const> slots);

} // namespace tesk::functions
