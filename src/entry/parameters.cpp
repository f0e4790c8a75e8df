// parameters.cpp — the checks after the conversions, and results.
#include "entry/parameters.h"

#include <cstring>

#include "array/array_check.h"
#include "array/array_result.h"
#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/convert.h"
#include "runtime/contract_texts.h"

namespace tesk::entry {

using binding::Error;
using binding::Result;

Result<void> check_array_again(std::string_view name, PyObject* object) {
    Result<PyArrayObject*> array = array::extract_float64_array(object);
    if (!array.ok()) {
        return binding::rewrite_argument_error(name, array.take_error());
    }
    return {};
}

Error read_only_error(std::string_view name) {
    return Error::value_error("argument '" + std::string(name) +
                              "': " + contract_text::read_only_destination);
}

PyObject* to_python(runtime::Float64Buffer&& result) {
    return array::to_numpy_array(std::move(result));
}

PyObject* to_python(Ucs2Text text) {
    // Nothing can fail between here and the caller, so the str goes straight to it.
    PyObject* str = binding::require_non_null(
        PyUnicode_New(static_cast<Py_ssize_t>(text.length), text.max_char));
    std::memcpy(PyUnicode_2BYTE_DATA(str), text.units, text.length * sizeof(char16_t));
    return str;
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

} // namespace tesk::entry
