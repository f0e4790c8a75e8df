// result.h — OwnedFloat64Array and its hand-over to NumPy without a copy.
#pragma once

#include <array>
#include <cstddef>

#include "binding/python.h"

namespace tesk::array {

/// A one- or two-dimensional float64 result in a buffer of the module's own. It
/// frees the buffer unless the buffer has been handed to NumPy.
class OwnedFloat64Array {
public:
    /// Non-null, aligned stand-in for the buffer of a result without elements.
    static double* placeholder() noexcept;

    /// Takes over `capacity` elements at `buffer` (from malloc or calloc; the
    /// placeholder when capacity is 0), of which `length` are initialised.
    OwnedFloat64Array(double* buffer, std::size_t length, std::size_t capacity, int ndim,
                      std::array<std::size_t, 2> shape,
                      std::array<std::ptrdiff_t, 2> element_strides) noexcept
        : buffer_(buffer), length_(length), capacity_(capacity), ndim_(ndim), shape_(shape),
          strides_(element_strides) {}
    OwnedFloat64Array(OwnedFloat64Array&& other) noexcept;
    OwnedFloat64Array(const OwnedFloat64Array&) = delete;
    OwnedFloat64Array& operator=(const OwnedFloat64Array&) = delete;
    ~OwnedFloat64Array();

    double* data() const noexcept { return buffer_; }

    friend PyObject* to_numpy_array(OwnedFloat64Array array);

private:
    double* buffer_;
    std::size_t length_;
    std::size_t capacity_;
    int ndim_;
    std::array<std::size_t, 2> shape_;
    std::array<std::ptrdiff_t, 2> strides_;
};

/// A NumPy array over the buffer (borrowed, held by the call frame's pool) whose
/// base is a PySliceContainer that frees the buffer. Nothing is copied, and the
/// buffer is released on every failure.
PyObject* to_numpy_array(OwnedFloat64Array array);

} // namespace tesk::array
