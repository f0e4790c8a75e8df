// perturbation.h — double_and_random_perturbation(x, perturbation_scaling).
#pragma once

#include "runtime/float64_view.h"

namespace tesk::functions {

/// Rewrites every element v of `x` in place, in logical row-major order and with one
/// draw of the calling thread's generator each, as ((u − 0.5) × scaling) + (v + v).
void double_and_random_perturbation(const runtime::Float64View& x, double perturbation_scaling);

} // namespace tesk::functions
