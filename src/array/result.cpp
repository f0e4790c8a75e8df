// result.cpp — handing a result buffer to NumPy as an array owned by PySliceContainer.
#include "array/result.h"

#include <utility>

#include "array/array_check.h"
#include "array/slice_container.h"
#include "binding/call_frame.h"
#include "binding/owned_reference.h"

namespace tesk::array {
namespace {

alignas(double) double placeholder_storage = 0.0;

} // namespace

double* OwnedFloat64Array::placeholder() noexcept { return &placeholder_storage; }

OwnedFloat64Array::OwnedFloat64Array(OwnedFloat64Array&& other) noexcept
    : buffer_(other.buffer_), length_(other.length_),
      capacity_(std::exchange(other.capacity_, 0)), ndim_(other.ndim_), shape_(other.shape_),
      strides_(other.strides_) {}

OwnedFloat64Array::~OwnedFloat64Array() { release_float64_buffer(buffer_, length_, capacity_); }

PyObject* to_numpy_array(OwnedFloat64Array array) {
    npy_intp dims[2];
    npy_intp byte_strides[2];
    for (int i = 0; i < array.ndim_; ++i) {
        dims[i] = static_cast<npy_intp>(array.shape_[i]);
        byte_strides[i] = static_cast<npy_intp>(array.strides_[i]) * npy_intp{sizeof(double)};
    }
    double* data = array.buffer_;
    // From here on the container owns the buffer, and this function owns the
    // container until NumPy takes it as the array's base.
    const std::size_t capacity = std::exchange(array.capacity_, 0);
    binding::OwnedReference container(
        new_slice_container(data, array.length_, capacity, &release_float64_buffer));

    PyTypeObject* type = array_type();
    PyArray_Descr* descr = float64_descr();
    Py_INCREF(descr); // taken over by the call below
    PyObject* created = new_from_descr(type, descr, array.ndim_, dims, byte_strides, data,
                                       NPY_ARRAY_WRITEABLE, nullptr);
    binding::require_new(created);
    // Status not examined: a fresh array without a base cannot refuse one.
    set_base_object(reinterpret_cast<PyArrayObject*>(created), container.release());
    return binding::register_new(created);
}

} // namespace tesk::array
