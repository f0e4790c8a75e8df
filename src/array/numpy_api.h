// numpy_api.h — NumPy's C-API table, reached at run time through its capsule.
#pragma once

#include "binding/python.h"

// NumPy's headers give the array structure, the flags and the type numbers; the
// table itself comes from the capsule, never from import_array or a link.
#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#endif
#include <numpy/ndarraytypes.h>

namespace tesk::array {

/// The C-API table, fetched on the first call in the process and kept forever.
void* const* numpy_api();

/// NumPy's array type.
PyTypeObject* array_type();

/// a new reference to the descriptor of a built-in type number.
PyArray_Descr* descr_from_type(int type_number);

/// a new array over `data`; steals one reference to `descr`.
PyObject* new_from_descr(PyTypeObject* subtype, PyArray_Descr* descr, int nd, const npy_intp* dims,
                         const npy_intp* strides, void* data, int flags, PyObject* obj);

/// whether NumPy counts the two descriptors as the same element type.
bool equiv_types(PyArray_Descr* first, PyArray_Descr* second);

/// makes `base` own the array's data; steals the reference to `base`.
int set_base_object(PyArrayObject* array, PyObject* base);

/// The array structure behind an array object.
inline PyArrayObject_fields* fields_of(PyArrayObject* array) {
    return reinterpret_cast<PyArrayObject_fields*>(array);
}

} // namespace tesk::array
