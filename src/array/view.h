// view.h — a NumPy float64 array as a Float64View.
#pragma once

#include "array/numpy_api.h"
#include "runtime/float64_view.h"

namespace tesk::array {

/// Builds the view of a float64 array; fails for more than 32 dimensions.
runtime::Float64View view_of(PyArrayObject* array);

} // namespace tesk::array
