// call_frame.h — the call frame: owned-object pool and frame nesting of a thread.
#pragma once

#include <cstddef>

#include "binding/python.h"

namespace tesk::binding {

/// Brackets every entry from the interpreter. Opening counts one more open frame on this
/// thread and marks the pool; closing releases, oldest first, every reference registered
/// since the mark, and leaves CPython's recursion guard if the frame entered it.
///
/// Closing is not noexcept: at interpreter exit, a daemon thread that asks for the lock
/// back is ended with pthread_exit, whose forced unwind passes through here. The trap
/// marks the frame abandoned then, and closing touches nothing of the interpreter's:
/// the lock is not held, and the references the call held stay with the exiting process.
class CallFrame {
public:
    CallFrame() noexcept;
    ~CallFrame() noexcept(false);
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

    /// Counts a nested call as one level of recursion, as CPython's own calls of C
    /// functions are counted, so that recursion through an argument's callbacks ends in
    /// RecursionError rather than in a stack overflow. False, with the RecursionError
    /// pending, at the limit.
    bool enter_recursion_guard() noexcept;

    /// The thread is being ended without the lock: closing must leave the interpreter alone.
    void abandon() noexcept { abandoned_ = true; }

private:
    static constexpr std::size_t no_mark = ~std::size_t{0};
    std::size_t mark_;
    /// Opened while another frame of this thread was open, known when the depth is read.
    bool nested_ = false;
    bool in_recursion_guard_ = false;
    bool abandoned_ = false;
};

/// Takes over a new reference returned by the interpreter and keeps it until the
/// innermost open frame closes; returns the same pointer, now usable as borrowed.
/// A null pointer fails as fail_python_api_call does.
PyObject* register_new(PyObject* object);

/// Returns `object` unchanged, or, for null, fails as fail_python_api_call does: for new
/// references that the caller keeps itself.
PyObject* require_non_null(PyObject* object);

/// Prints the pending exception, if any, and fails with "Python API call failed": where
/// an interpreter call returned null, or a value it returned cannot be used.
[[noreturn]] void fail_python_api_call();

/// Py_DECREF, unless this thread does not hold the interpreter lock: a daemon thread
/// that the interpreter ends at exit unwinds through a call without it, and the
/// references it held stay with the exiting process.
void safe_release(PyObject* object) noexcept;

} // namespace tesk::binding
