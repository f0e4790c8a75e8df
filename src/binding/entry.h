// entry.h — the entry template: call frame, trap, error restore.
#pragma once

#include <array>
#include <cxxabi.h>
#include <new>
#include <optional>
#include <string>
#include <span>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/error.h"
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

/// The body of a module function: receives one borrowed reference per parameter.
using FunctionBody = Result<PyObject*> (*)(std::span<PyObject* const> slots);

/// The METH_FASTCALL | METH_KEYWORDS entry of a function described by `Spec`.
template <const ArgSpec& Spec, FunctionBody Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return run_in_frame([&]() -> Result<PyObject*> {
        std::array<PyObject*, Spec.slot_count()> slots{};
        if (std::optional<Error> error = bind_arguments(Spec, args, nargs, kwnames, slots)) {
            return std::move(*error);
        }
        return Body(slots);
    }, true);
}

} // namespace tesk::binding
