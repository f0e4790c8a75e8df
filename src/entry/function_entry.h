// function_entry.h — the entry of every module function: bind, convert, check, call, return.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arguments.h"
#include "binding/trap.h"
#include "entry/parameters.h"
#include "entry/signature.h"

namespace tesk::entry {

/// Builds the body's arguments and calls it. Not inlined: views and the draw buffer of
/// the bodies stay off the frames that run an argument's Python code.
template <auto Body, typename... Kinds, std::size_t... I>
[[gnu::noinline]] auto call_body(const ConvertedArguments<Kinds...>& converted,
                                 std::index_sequence<I...>) {
    [[maybe_unused]] std::tuple<Received<Kinds>...> received(std::get<I>(converted)...);
    return Body(std::get<I>(received).value...);
}

/// Converts the bound arguments in order, checks the arrays again, calls the body and
/// returns its result as a new reference.
template <auto Body, typename... Kinds, std::size_t... I>
binding::Result<PyObject*> convert_and_call(const Signature<Kinds...>& signature,
                                            const std::array<PyObject*, sizeof...(I)>& arguments,
                                            std::index_sequence<I...> indices) {
    ConvertedArguments<Kinds...> converted{};
    std::optional<binding::Error> error;
    // In order, up to the first that fails.
    static_cast<void>(
        (convert_argument<Kinds>(signature.names[I], arguments[I], std::get<I>(converted), error) &&
         ...));
    if (error.has_value()) {
        return std::move(*error);
    }
    if constexpr (has_array_checks<Kinds...>()) {
        if (std::optional<binding::Error> refused =
                check_arrays<Kinds...>(signature.names, arguments, indices)) {
            return std::move(*refused);
        }
    }
    if constexpr (std::is_void_v<decltype(call_body<Body, Kinds...>(converted, indices))>) {
        call_body<Body, Kinds...>(converted, indices);
        return none();
    } else {
        return to_python(call_body<Body, Kinds...>(converted, indices));
    }
}

/// The METH_FASTCALL | METH_KEYWORDS entry of the function that `Signature` describes and
/// `Body` computes: binds the arguments, then converts them by kind, checks the arrays
/// again, calls the body with plain values and returns its result as a new reference.
template <const auto& Signature, auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::run_in_frame(
        [&]() -> binding::Result<PyObject*> {
            constexpr std::size_t count = Signature.count;
            std::array<PyObject*, count> arguments{};
            // Every parameter by position, the common call, leaves the binder nothing to do.
            if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count)) {
                std::copy_n(args, count, arguments.begin());
            } else if (std::optional<binding::Error> error = binding::bind_arguments(
                           Signature.arguments(), args, nargs, kwnames, arguments)) {
                return std::move(*error);
            }
            return convert_and_call<Body>(Signature, arguments, std::make_index_sequence<count>());
        },
        true);
}

} // namespace tesk::entry
