// trap.h — the trap: where every entry from the interpreter ends its C++ exceptions.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "binding/call_frame.h"
#include "binding/error.h"
#include "binding/result.h"
#include "runtime/failure.h"
#include "runtime/thread_key.h"

namespace tesk::binding {

/// Hands an error to the interpreter. When making the exception fails, that failure is
/// raised instead, and when that fails too, MemoryError.
void restore_error(Error error);

/// Raises the PanicException of an internal failure (`message`, or the generic text
/// for a failure that carried none), or MemoryError when even that cannot be made.
void restore_failure(const std::string* message);

/// In a catch (...) handler: whether what was caught is the C library's forced unwinding
/// of the thread (pthread_exit, with which the interpreter ends a daemon thread at exit),
/// whose unwinding must reach the thread's start. It is the one exception not thrown by
/// C++ that reaches the module, and both C++ runtimes it is built with (GCC's, and LLVM's
/// in the portable wheel) leave std::current_exception empty for such an exception.
inline bool caught_forced_unwind() noexcept {
    return !std::current_exception();
}

/// From the handler that caught a forced unwinding, lets it go on to the thread's start.
[[noreturn]] inline void resume_forced_unwind() {
#if defined(_LIBCPP_VERSION)
    runtime::exit_thread_again();
#else
    throw;
#endif
}

/// Runs `body` (returning Result<PyObject*> holding a new reference) inside a call
/// frame and the trap, the one place where C++ exceptions end. Returns the object, or
/// null with the exception set. The frame enters CPython's recursion guard first when
/// `counts_as_recursion` is set.
///
/// Not noexcept, and the trap lets a forced unwinding pass (caught_forced_unwind).
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
    } catch (const runtime::InternalFailure& failure) {
        restore_failure(&failure.message());
    } catch (const std::bad_alloc&) {
        // As the interpreter raises it, without asking for memory.
        PyErr_NoMemory();
    } catch (...) {
        if (caught_forced_unwind()) {
            frame.abandon();
            resume_forced_unwind();
        }
        restore_failure(nullptr);
    }
    return nullptr;
}

} // namespace tesk::binding
