// parameters.h — from argument objects to the plain values a function body takes, and back.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "array/numpy_api.h"
#include "array/view.h"
#include "binding/result.h"
#include "entry/signature.h"
#include "runtime/float64_buffer.h"
#include "runtime/float64_view.h"

namespace tesk::entry {

/// One argument after its conversion; which member holds it follows from its kind.
struct ConvertedArgument {
    PyArrayObject* array = nullptr; ///< borrowed from the call's arguments
    double real = 0.0;
    std::uint64_t size = 0;
};

/// Converts one argument; an error is rewritten with the parameter's name. Arrays are
/// only checked here: their layout is read once every conversion has run.
binding::Result<ConvertedArgument> convert_argument(const Parameter& parameter, PyObject* object);

/// Runs once every argument is converted, right before the body. A later conversion may
/// have run Python code (__float__, __index__) that changed an array checked earlier, so
/// such an array is checked again, with the same errors; then arrays the body writes are
/// refused when NumPy marks them read-only.
binding::Result<void> check_arrays(std::span<const Parameter> parameters,
                                   std::span<PyObject* const> arguments);

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
PyObject* to_python(runtime::Float64Buffer result);
PyObject* to_python(std::string_view text);
PyObject* none();

} // namespace tesk::entry
