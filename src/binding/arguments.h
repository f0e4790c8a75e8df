// arguments.h — static argument descriptions, the binder, and the argument-error rewrite.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "binding/error.h"
#include "binding/python.h"

namespace tesk::binding {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

/// The constant parameter list of one function.
struct ArgSpec {
    std::string_view class_name = {}; ///< absent when data() is null
    std::string_view function_name = {};
    std::span<const std::string_view> positional = {};
    std::size_t positional_only = 0;
    std::size_t required_positional = 0;
    std::span<const KeywordOnlyParameter> keyword_only = {};

    constexpr std::size_t slot_count() const { return positional.size() + keyword_only.size(); }
};

/// Fills `slots` (all null on entry) with borrowed references to the arguments of a
/// METH_FASTCALL | METH_KEYWORDS call, or returns the binding TypeError.
std::optional<Error> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, std::span<PyObject*> slots);

/// A conversion TypeError of `parameter` becomes "argument '<parameter>': <message>",
/// keeping the incoming __cause__; any other error is returned unchanged.
Error rewrite_argument_error(std::string_view parameter, Error error);

} // namespace tesk::binding
