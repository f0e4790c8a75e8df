// float64_buffer.h — a float64 result in memory of the module's own, before NumPy sees it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdlib>
#include <memory>

namespace tesk::runtime {

/// Returns memory from the C allocator.
struct FreeMemory {
    void operator()(double* data) const noexcept { std::free(data); }
};

using Float64Memory = std::unique_ptr<double, FreeMemory>;

/// `count` float64 from the C allocator, zero-filled when `zeroed`; none (null) for 0.
/// Throws std::bad_alloc when the memory is not there.
Float64Memory allocate_float64(std::size_t count, bool zeroed);

/// A one- or two-dimensional float64 result: its memory, the element count, the shape and
/// the strides in elements. A result without elements has no memory.
struct Float64Buffer {
    Float64Memory data;
    std::size_t count = 0;
    int ndim = 1;
    std::array<std::size_t, 2> shape{};
    std::array<std::ptrdiff_t, 2> strides{};
};

} // namespace tesk::runtime
