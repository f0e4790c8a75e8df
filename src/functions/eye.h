// eye.h — eye(size): the size × size float64 identity matrix.
#pragma once

#include <cstdint>

#include "runtime/float64_buffer.h"

namespace tesk::functions {

/// The row-major size × size identity. Fails when size² or its byte count does not fit;
/// throws std::bad_alloc when the memory is not there.
runtime::Float64Buffer eye(std::uint64_t size);

} // namespace tesk::functions
