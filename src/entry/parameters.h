// parameters.h — from argument objects to the plain values a function body takes, and back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "array/array_check.h"
#include "array/numpy_api.h"
#include "array/view.h"
#include "binding/arguments.h"
#include "binding/convert.h"
#include "binding/result.h"
#include "entry/signature.h"
#include "entry/static_text.h"
#include "runtime/float64_buffer.h"
#include "runtime/float64_view.h"

namespace tesk::entry {

/// One argument after its conversion; which member holds it follows from its kind.
struct ConvertedArgument {
    PyArrayObject* array = nullptr; ///< borrowed from the call's arguments
    double real = 0.0;
    std::uint64_t size = 0;
};

/// The converted argument with `result` in `member`, or the result's error rewritten with
/// the parameter's name.
template <typename T>
binding::Result<ConvertedArgument> converted(const Parameter& parameter, binding::Result<T> result,
                                             T ConvertedArgument::*member) {
    if (!result.ok()) {
        return binding::rewrite_argument_error(parameter.name, result.take_error());
    }
    ConvertedArgument argument;
    argument.*member = result.value();
    return argument;
}

/// Converts one argument; an error is rewritten with the parameter's name. Arrays are
/// only checked here: their layout is read once every conversion has run. Inline, so that
/// a function's constant parameter kinds choose the conversion at compile time.
inline binding::Result<ConvertedArgument> convert_argument(const Parameter& parameter,
                                                           PyObject* object) {
    switch (parameter.kind) {
    case ParameterKind::float64_array:
    case ParameterKind::mutable_float64_array:
        return converted(parameter, array::extract_float64_array(object),
                         &ConvertedArgument::array);
    case ParameterKind::float64:
        return converted(parameter, binding::to_f64(object), &ConvertedArgument::real);
    case ParameterKind::index_size:
        return converted(parameter, binding::to_index_size(object), &ConvertedArgument::size);
    }
    __builtin_unreachable();
}

constexpr bool is_array(ParameterKind kind) noexcept {
    return kind == ParameterKind::float64_array || kind == ParameterKind::mutable_float64_array;
}

/// Whether converting `object` as `kind` may have run Python code (__float__, __index__,
/// or more) that could have changed an array converted before it. An exact float or int
/// is read as it stands.
inline bool conversion_may_run_code(ParameterKind kind, PyObject* object) noexcept {
    switch (kind) {
    case ParameterKind::float64:
        return !PyFloat_CheckExact(object);
    case ParameterKind::index_size:
        return !PyLong_CheckExact(object);
    case ParameterKind::float64_array:
    case ParameterKind::mutable_float64_array:
        break;
    }
    return true;
}

/// Whether check_arrays has anything to do for these parameters: an array that a later
/// conversion may change, or one that the body writes.
constexpr bool has_array_checks(std::span<const Parameter> parameters) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i].kind == ParameterKind::mutable_float64_array ||
            (is_array(parameters[i].kind) && i + 1 < parameters.size())) {
            return true;
        }
    }
    return false;
}

/// The array check of the conversion again, with the same errors.
binding::Result<void> check_array_again(const Parameter& parameter, PyObject* object);

/// ValueError "argument '<parameter>': assignment destination is read-only".
binding::Error read_only_error(const Parameter& parameter);

/// Runs once every argument is converted, right before the body. A later conversion may
/// have run Python code (__float__, __index__) that changed an array checked earlier, so
/// such an array is checked again, with the same errors; then arrays the body writes are
/// refused when NumPy marks them read-only. Inline over a fixed parameter table, so that
/// each function keeps only the tests its own parameters need.
template <std::size_t Count>
binding::Result<void> check_arrays(const std::array<Parameter, Count>& parameters,
                                   const std::array<PyObject*, Count>& arguments) {
    // Arrays before the last conversion that may have run Python code are checked again.
    std::size_t check_again_before = 0;
    for (std::size_t i = 0; i < Count; ++i) {
        if (conversion_may_run_code(parameters[i].kind, arguments[i])) {
            check_again_before = i;
        }
    }
    for (std::size_t i = 0; i < Count; ++i) {
        if (!is_array(parameters[i].kind)) {
            continue;
        }
        if (i < check_again_before) {
            if (binding::Result<void> checked = check_array_again(parameters[i], arguments[i]);
                !checked.ok()) {
                return checked;
            }
        }
        // Writing through a read-only array could change memory that others rely on
        // being immutable (bytes objects under frombuffer), or fault on read-only pages.
        if (parameters[i].kind == ParameterKind::mutable_float64_array &&
            (array::fields_of(reinterpret_cast<PyArrayObject*>(arguments[i]))->flags &
             NPY_ARRAY_WRITEABLE) == 0) {
            return read_only_error(parameters[i]);
        }
    }
    return {};
}

/// The value a body receives for a parameter of kind `Kind`, alive while the body runs.
template <ParameterKind Kind> class BodyArgument;

template <> class BodyArgument<ParameterKind::float64_array> {
public:
    explicit BodyArgument(const ConvertedArgument& argument)
        : borrow_(argument.array), view_(array::view_of(argument.array)) {}
    const runtime::Float64View& get() const noexcept { return view_; }

private:
    array::ReadonlyBorrow borrow_;
    runtime::Float64View view_;
};

template <> class BodyArgument<ParameterKind::mutable_float64_array> {
public:
    explicit BodyArgument(const ConvertedArgument& argument)
        : view_(array::view_of(argument.array)) {}
    const runtime::Float64View& get() const noexcept { return view_; }

private:
    runtime::Float64View view_;
};

template <> class BodyArgument<ParameterKind::float64> {
public:
    explicit BodyArgument(const ConvertedArgument& argument) noexcept : value_(argument.real) {}
    double get() const noexcept { return value_; }

private:
    double value_;
};

template <> class BodyArgument<ParameterKind::index_size> {
public:
    explicit BodyArgument(const ConvertedArgument& argument) noexcept : value_(argument.size) {}
    std::uint64_t get() const noexcept { return value_; }

private:
    std::uint64_t value_;
};

/// A new reference to a body's result as a Python object.
PyObject* to_python(runtime::Float64Buffer&& result);
PyObject* to_python(Ucs2Text text);
PyObject* none();

} // namespace tesk::entry
