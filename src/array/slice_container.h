// slice_container.h — PySliceContainer, the Python owner of a result buffer.
#pragma once

#include <cstddef>

#include "binding/python.h"
#include "runtime/float64_buffer.h"

namespace tesk::array {

/// The PySliceContainer type, created on first use and kept for the process.
PyTypeObject* slice_container_type();

/// A new container (new reference) that owns `memory`, `count` float64 (none for a
/// result without elements), and lends them as writeable bytes through the buffer
/// protocol. When the object cannot be made the memory is freed and the call fails.
PyObject* new_slice_container(runtime::Float64Memory memory, std::size_t count);

} // namespace tesk::array
