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

PyObject* to_numpy_array(runtime::Float64Buffer&& result) {
    npy_intp dims[2];
    npy_intp byte_strides[2];
    bool row_major = result.count != 0;
    std::ptrdiff_t row_major_stride = 1;
    for (int i = result.ndim - 1; i >= 0; --i) {
        dims[i] = static_cast<npy_intp>(result.shape[i]);
        byte_strides[i] = static_cast<npy_intp>(result.strides[i]) * npy_intp{sizeof(double)};
        row_major = row_major && result.strides[i] == row_major_stride;
        row_major_stride *= static_cast<std::ptrdiff_t>(result.shape[i]);
    }
    // Given no strides, NumPy lays the array out row-major and knows its contiguity without
    // working it out from strides: the same array, made with less work.
    const npy_intp* strides = row_major ? nullptr : byte_strides;
    double* data = result.data != nullptr ? result.data.get() : &placeholder_storage;
    // The container owns the memory from here on; this function owns the container until
    // NumPy takes it as the array's base.
    binding::OwnedReference container(new_slice_container(std::move(result.data), result.count));

    PyArray_Descr* descr = float64_descr();
    Py_INCREF(descr); // taken over by the call below
    PyObject* created = new_from_descr(array_type(), descr, result.ndim, dims, strides, data,
                                       NPY_ARRAY_WRITEABLE, nullptr);
    binding::require_non_null(created);
    // The container takes over as base. What NumPy's setter would add is for bases that
    // are arrays themselves, or arrays that have a base already; a fresh array given a
    // container is neither, so the field is set directly.
    fields_of(reinterpret_cast<PyArrayObject*>(created))->base = container.release();
    return created;
}

} // namespace tesk::array
