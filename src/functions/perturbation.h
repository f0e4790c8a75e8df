// perturbation.h — double_and_random_perturbation(x, perturbation_scaling).
#pragma once

#include <span>
#include <string_view>

#include "array/view.h"
#include "binding/arguments.h"
#include "binding/result.h"
#include "random/thread_generator.h"

namespace tesk::functions {

inline constexpr std::string_view perturbation_parameters[] = {"x", "perturbation_scaling"};
inline constexpr binding::ArgSpec perturbation_spec{.function_name =
                                                        "double_and_random_perturbation",
                                                    .positional = perturbation_parameters,
                                                    .required_positional = 2};

/// Rewrites every element v, in logical row-major order and with one draw each, as
/// ((u − 0.5) × scaling) + (v + v).
void perturb_view(const array::Float64View& view, double scaling,
                  const random::GeneratorHandle& generator);

/// Python double_and_random_perturbation(x, perturbation_scaling): None.
binding::Result<PyObject*> double_and_random_perturbation(std::span<PyObject* const> slots);

} // namespace tesk::functions
