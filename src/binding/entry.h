// entry.h — the trap, and the entry template of every module function.
#pragma once

#include <algorithm>
#include <array>
#include <cxxabi.h>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/error.h"
#include "binding/parameters.h"
#include "binding/result.h"
#include "runtime/failure.h"

namespace tesk::binding {

/// Hands an error to the interpreter. When making the exception fails, that failure is
/// raised instead, and when that fails too, MemoryError.
void restore_error(Error error);

/// Raises the PanicException of an internal failure (`message`, or the generic text
/// for a failure that carried none), or MemoryError when even that cannot be made.
void restore_failure(const std::string* message);

/// Runs `body` (returning Result<PyObject*> holding a new reference) inside a call
/// frame and the trap, the one place where C++ exceptions end. Returns the object, or
/// null with the exception set. The frame enters CPython's recursion guard first when
/// `counts_as_recursion` is set.
///
/// Not noexcept, and the trap lets abi::__forced_unwind pass: the interpreter ends a
/// daemon thread at exit with pthread_exit, whose unwinding must reach the thread's start.
template <typename Body> PyObject* run_in_frame(Body&& body, bool counts_as_recursion = false) {
    CallFrame frame;
    try {
        Result<PyObject*> result = counts_as_recursion && !frame.enter_recursion_guard()
                                       ? Result<PyObject*>(Error::fetch())
                                       : body();
        if (result.ok()) {
            return result.value();
        }
        restore_error(result.take_error());
    } catch (const abi::__forced_unwind&) {
        frame.abandon();
        throw;
    } catch (const runtime::InternalFailure& failure) {
        restore_failure(&failure.message());
    } catch (const std::bad_alloc&) {
        // As the interpreter raises it, without asking for memory.
        PyErr_NoMemory();
    } catch (...) {
        restore_failure(nullptr);
    }
    return nullptr;
}

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
    return run_in_frame(
        [&]() -> Result<PyObject*> {
            constexpr std::size_t count = Signature.parameters.size();
            std::array<PyObject*, count> arguments{};
            // Every parameter by position, the common call, leaves the binder nothing to do.
            if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count)) {
                std::copy_n(args, count, arguments.begin());
            } else if (std::optional<Error> error = bind_arguments(Signature.arguments(), args,
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
            if constexpr (has_array_checks(Signature.parameters)) {
                if (Result<void> checked = check_arrays(Signature.parameters, arguments);
                    !checked.ok()) {
                    return checked.take_error();
                }
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

} // namespace tesk::binding
