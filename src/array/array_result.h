// array_result.h — handing a float64 result to NumPy without a copy.
#pragma once

#include "binding/python.h"
#include "runtime/float64_buffer.h"

namespace tesk::array {

/// A NumPy array over the result's memory (borrowed, held by the call frame's pool) whose
/// base is a PySliceContainer that frees the memory. Nothing is copied, and the memory is
/// freed on every failure.
PyObject* to_numpy_array(runtime::Float64Buffer result);

} // namespace tesk::array
