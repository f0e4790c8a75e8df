// function_entry.h — the entry of every module function: bind, convert, check, call, return.
#pragma once

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
template <const auto& Signature, auto Body, std::size_t... I>
[[gnu::noinline]] auto call_body(const ConvertedArgument* converted, std::index_sequence<I...>) {
    [[maybe_unused]] std::tuple<BodyArgument<Signature.parameters[I].kind>...> arguments(
        converted[I]...);
    return Body(std::get<I>(arguments).get()...);
}

/// The METH_FASTCALL | METH_KEYWORDS entry of the function that `Signature` describes and
/// `Body` computes: binds the arguments, converts each in order, checks the arrays again,
/// calls the body with plain values and returns its result as a new reference.
template <const auto& Signature, auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using binding::Error;
    using binding::Result;
    return binding::run_in_frame(
        [&]() -> Result<PyObject*> {
            constexpr std::size_t count = Signature.parameters.size();
            std::array<PyObject*, count> arguments{};
            if (std::optional<Error> error = binding::bind_arguments(Signature.arguments(), args,
                                                                     nargs, kwnames, arguments)) {
                return std::move(*error);
            }
            std::array<ConvertedArgument, count> converted{};
            for (std::size_t i = 0; i < count; ++i) {
                Result<ConvertedArgument> argument =
                    convert_argument(Signature.parameters[i], arguments[i]);
                if (!argument.ok()) {
                    return argument.take_error();
                }
                converted[i] = argument.value();
            }
            if (Result<void> checked = check_arrays(Signature.parameters, arguments);
                !checked.ok()) {
                return checked.take_error();
            }
            constexpr auto indices = std::make_index_sequence<count>();
            if constexpr (std::is_void_v<decltype(call_body<Signature, Body>(nullptr, indices))>) {
                call_body<Signature, Body>(converted.data(), indices);
                return none();
            } else {
                return to_python(call_body<Signature, Body>(converted.data(), indices));
            }
        },
        true);
}

} // namespace tesk::entry
