// max_min.h — max_min(x): [largest, smallest] of a float64 array.
#pragma once

#include "runtime/float64_buffer.h"
#include "runtime/float64_view.h"

namespace tesk::functions {

/// [max, min] as the two sequential searches in logical order define them (the last
/// NaN or the last of equal maxima; the first of equal minima, NaNs passed over), or an
/// empty vector for a view without elements.
runtime::Float64Buffer max_min(const runtime::Float64View& x);

} // namespace tesk::functions
