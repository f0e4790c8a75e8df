// parameters.cpp — argument conversions by kind, the checks after them, and results.
#include "entry/parameters.h"

#include "array/array_check.h"
#include "array/array_result.h"
#include "binding/arguments.h"
#include "binding/convert.h"

namespace tesk::entry {

using binding::Error;
using binding::Result;

namespace {

bool is_array(ParameterKind kind) noexcept {
    return kind == ParameterKind::float64_array || kind == ParameterKind::mutable_float64_array;
}

/// Puts a conversion's value into `slot`, or hands back its error.
template <typename T> std::optional<Error> store(Result<T> result, T& slot) {
    if (!result.ok()) {
        return result.take_error();
    }
    slot = result.value();
    return std::nullopt;
}

} // namespace

Result<ConvertedArgument> convert_argument(const Parameter& parameter, PyObject* object) {
    ConvertedArgument converted;
    std::optional<Error> error;
    switch (parameter.kind) {
    case ParameterKind::float64_array:
    case ParameterKind::mutable_float64_array:
        error = store(array::extract_float64_array(object), converted.array);
        break;
    case ParameterKind::float64:
        error = store(binding::to_f64(object), converted.real);
        break;
    case ParameterKind::index_size:
        error = store(binding::to_index_size(object), converted.size);
        break;
    }
    if (error.has_value()) {
        return binding::rewrite_argument_error(parameter.name, std::move(*error));
    }
    return converted;
}

Result<void> check_arrays(std::span<const Parameter> parameters,
                          std::span<PyObject* const> arguments) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const Parameter& parameter = parameters[i];
        if (!is_array(parameter.kind)) {
            continue;
        }
        if (i + 1 < parameters.size()) {
            Result<PyArrayObject*> array = array::extract_float64_array(arguments[i]);
            if (!array.ok()) {
                return binding::rewrite_argument_error(parameter.name, array.take_error());
            }
        }
        // Writing through a read-only array could change memory that others rely on
        // being immutable (bytes objects under frombuffer), or fault on read-only pages.
        if (parameter.kind == ParameterKind::mutable_float64_array &&
            (array::fields_of(reinterpret_cast<PyArrayObject*>(arguments[i]))->flags &
             NPY_ARRAY_WRITEABLE) == 0) {
            return Error::value_error("argument '" + std::string(parameter.name) +
                                      "': assignment destination is read-only");
        }
    }
    return {};
}

PyObject* to_python(runtime::Float64Buffer result) {
    PyObject* array = array::to_numpy_array(std::move(result));
    Py_INCREF(array);
    return array;
}

PyObject* to_python(std::string_view text) {
    return binding::new_str_from_text(std::string(text));
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

} // namespace tesk::entry
