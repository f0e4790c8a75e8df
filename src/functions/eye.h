// eye.h — eye(size): the size × size float64 identity matrix.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "array/result.h"
#include "binding/arguments.h"
#include "binding/result.h"

namespace tesk::functions {

inline constexpr std::string_view eye_parameters[] = {"size"};
inline constexpr binding::ArgSpec eye_spec{
    .function_name = "eye", .positional = eye_parameters, .required_positional = 1};

/// The row-major n × n identity in a zero-filled buffer of its own. Fails when n·n or
/// its byte count does not fit; throws std::bad_alloc when the memory is not there.
array::OwnedFloat64Array identity_matrix(std::uint64_t n);

/// Python eye(size): a new reference to the identity as a NumPy array.
binding::Result<PyObject*> eye(std::span<PyObject* const> slots);

} // namespace tesk::functions
