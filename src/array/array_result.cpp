// array_result.cpp — handing a result's memory to NumPy as an array owned by PySliceContainer.
#include "array/array_result.h"

#include "array/array_check.h"
#include "array/slice_container.h"
#include "binding/call_frame.h"
#include "binding/owned_reference.h"

namespace tesk::array {
namespace {

/// NumPy wants a non-null, aligned data pointer even for an array without elements.
alignas(double) double placeholder_storage = 0.0;

} // namespace

PyObject* to_numpy_array(runtime::Float64Buffer result) {
    npy_intp dims[2];
    npy_intp byte_strides[2];
    for (int i = 0; i < result.ndim; ++i) {
        dims[i] = static_cast<npy_intp>(result.shape[i]);
        byte_strides[i] = static_cast<npy_intp>(result.strides[i]) * npy_intp{sizeof(double)};
    }
    double* data = result.data != nullptr ? result.data.get() : &placeholder_storage;
    // The container owns the memory from here on; this function owns the container until
    // NumPy takes it as the array's base.
    binding::OwnedReference container(new_slice_container(std::move(result.data), result.count));

    PyArray_Descr* descr = float64_descr();
    Py_INCREF(descr); // taken over by the call below
    PyObject* created = new_from_descr(array_type(), descr, result.ndim, dims, byte_strides, data,
                                       NPY_ARRAY_WRITEABLE, nullptr);
    binding::require_new(created);
    // Status not examined: a fresh array without a base cannot refuse one.
    set_base_object(reinterpret_cast<PyArrayObject*>(created), container.release());
    return binding::register_new(created);
}

} // namespace tesk::array
