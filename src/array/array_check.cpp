// array_check.cpp — the float64 array check and its two refusals.
#include "array/array_check.h"

#include <optional>
#include <string>

#include "binding/call_frame.h"
#include "binding/convert.h"
#include "binding/first_use_cell.h"
#include "runtime/contract_texts.h"

namespace tesk::array {
namespace {

binding::FirstUseCell<PyArray_Descr> float64_descr_cell;

std::string descr_text(PyArray_Descr* descr) {
    std::optional<std::string> text = binding::object_text(reinterpret_cast<PyObject*>(descr));
    return text ? std::move(*text) : std::string("(unknown)");
}

} // namespace

bool is_numpy_array(PyObject* object) {
    PyTypeObject* type = array_type();
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

PyArray_Descr* float64_descr() {
    return float64_descr_cell.get([] {
        PyObject* descr = reinterpret_cast<PyObject*>(descr_from_type(NPY_DOUBLE));
        return reinterpret_cast<PyArray_Descr*>(binding::require_non_null(descr));
    });
}

binding::Result<PyArrayObject*> extract_float64_array(PyObject* object) {
    if (!is_numpy_array(object)) {
        return binding::downcast_error(object, contract_text::array_target);
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* descr = fields_of(array)->descr;
    if (descr == nullptr) {
        // No error is pending here; the failure is still that of an unusable API result.
        binding::fail_python_api_call();
    }
    PyArray_Descr* expected = float64_descr();
    // NumPy's own comparison starts with this identity test; most arrays pass it.
    if (descr == expected || equiv_types(descr, expected)) {
        return array;
    }
    std::string message = contract_text::type_mismatch_from;
    message += descr_text(descr);
    message += contract_text::type_mismatch_to;
    message += descr_text(expected);
    return binding::Error::type_error(std::move(message));
}

} // namespace tesk::array
