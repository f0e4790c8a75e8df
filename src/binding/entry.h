// entry.h — the entry template: call frame, trap, error restore.
#pragma once

#include <array>
#include <new>
#include <optional>
#include <span>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/error.h"
#include "binding/result.h"
#include "runtime/failure.h"

namespace tesk::binding {

/// Hands an error to the interpreter; a failure while doing so has no orderly path
/// left but MemoryError.
void restore_error(Error error) noexcept;

/// Runs `body` (returning Result<PyObject*> holding a new reference) inside a call
/// frame and the trap. Returns the object, or null with the exception set.
template <typename Body> PyObject* run_in_frame(Body&& body) noexcept {
    CallFrame frame;
    std::optional<Error> error;
    try {
        Result<PyObject*> result = body();
        if (result.ok()) {
            return result.value();
        }
        error.emplace(result.take_error());
    } catch (const runtime::InternalFailure& failure) {
        error.emplace(Error::from_failure(failure.message()));
    } catch (const std::bad_alloc&) {
        error.emplace(Error::memory_error());
    } catch (...) {
        error.emplace(Error::from_unknown_failure());
    }
    restore_error(std::move(*error));
    return nullptr;
}

/// The body of a module function: receives one borrowed reference per parameter.
using FunctionBody = Result<PyObject*> (*)(std::span<PyObject* const> slots);

/// The METH_FASTCALL | METH_KEYWORDS entry of a function described by `Spec`.
template <const ArgSpec& Spec, FunctionBody Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return run_in_frame([&]() -> Result<PyObject*> {
        std::array<PyObject*, Spec.slot_count()> slots{};
        if (std::optional<Error> error = bind_arguments(Spec, args, nargs, kwnames, slots)) {
            return std::move(*error);
        }
        return Body(slots);
    });
}

} // namespace tesk::binding
