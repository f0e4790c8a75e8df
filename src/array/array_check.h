// array_check.h — accepting a NumPy array whose element type is float64.
#pragma once

#include "array/numpy_api.h"
#include "binding/result.h"

namespace tesk::array {

/// True for instances of NumPy's array type and of its subtypes.
bool is_numpy_array(PyObject* object);

/// The float64 descriptor (borrowed), looked up on first use and kept for the process.
PyArray_Descr* float64_descr();

/// The object itself (borrowed) when it is a float64 NumPy array; otherwise the
/// TypeError that the argument-error rewrite reports for the parameter.
binding::Result<PyArrayObject*> extract_float64_array(PyObject* object);

} // namespace tesk::array
