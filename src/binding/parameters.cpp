// parameters.cpp — argument conversions by kind, the checks after them, and results.
#include "binding/parameters.h"

#include "array/array_check.h"
#include "array/result.h"
#include "binding/arguments.h"
#include "binding/convert.h"

namespace tesk::binding {
namespace {

bool is_array(ParameterKind kind) noexcept {
    return kind == ParameterKind::float64_array || kind == ParameterKind::mutable_float64_array;
}

} // namespace

Result<ConvertedArgument> convert_argument(const Parameter& parameter, PyObject* object) {
    ConvertedArgument converted;
    std::optional<Error> error;
    switch (parameter.kind) {
    case ParameterKind::float64_array:
    case ParameterKind::mutable_float64_array:
        if (Result<PyArrayObject*> array = array::extract_float64_array(object); array.ok()) {
            converted.array = array.value();
        } else {
            error.emplace(array.take_error());
        }
        break;
    case ParameterKind::float64:
        if (Result<double> real = to_f64(object); real.ok()) {
            converted.real = real.value();
        } else {
            error.emplace(real.take_error());
        }
        break;
    case ParameterKind::index_size:
        if (Result<std::uint64_t> size = to_index_size(object); size.ok()) {
            converted.size = size.value();
        } else {
            error.emplace(size.take_error());
        }
        break;
    }
    if (error.has_value()) {
        return rewrite_argument_error(parameter.name, std::move(*error));
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
                return rewrite_argument_error(parameter.name, array.take_error());
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
    return new_str_from_text(std::string(text));
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

} // namespace tesk::binding
