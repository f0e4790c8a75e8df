// slice_container.h — PySliceContainer, the Python owner of a result buffer.
#pragma once

#include <cstddef>

#include "binding/python.h"

namespace tesk::array {

/// Frees (buffer, length, capacity) when the container goes.
using BufferRelease = void (*)(void* buffer, std::size_t length, std::size_t capacity);

/// Releases a float64 buffer from the C allocator; capacity 0 means no storage.
void release_float64_buffer(void* buffer, std::size_t length, std::size_t capacity) noexcept;

/// The PySliceContainer type, created on first use and kept for the process.
PyTypeObject* slice_container_type();

/// A new container (new reference) owning the buffer, whose first `length` float64
/// elements it lends as writeable bytes through the buffer protocol. When the object
/// cannot be made the buffer is released and the call fails.
PyObject* new_slice_container(void* buffer, std::size_t length, std::size_t capacity,
                              BufferRelease release);

} // namespace tesk::array
