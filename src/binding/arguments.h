// arguments.h — static argument descriptions, the binder, and the argument-error rewrite.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "binding/error.h"
#include "binding/python.h"

namespace tesk::binding {

/// The parameters of one function: positional-or-keyword, all required, in order.
struct ArgSpec {
    std::string_view function_name;
    std::span<const std::string_view> names;
};

/// Fills `slots` (all null on entry) with borrowed references to the arguments of a
/// METH_FASTCALL | METH_KEYWORDS call, or returns the binding TypeError.
std::optional<Error> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, std::span<PyObject*> slots);

/// A conversion TypeError of `parameter` becomes "argument '<parameter>': <message>",
/// keeping the incoming __cause__; any other error is returned unchanged.
Error rewrite_argument_error(std::string_view parameter, Error error);

} // namespace tesk::binding
