// call_frame.h — call frame, owned-object pool, pending reference-count queue, lock guard.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/python.h"

namespace tesk::binding {

/// Brackets every entry from the interpreter. Opening counts the interpreter lock as
/// held by this thread, applies queued reference-count changes and marks the pool;
/// closing releases, oldest first, every reference registered since the mark, and
/// leaves CPython's recursion guard if the frame entered it.
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
    bool in_recursion_guard_ = false;
    bool abandoned_ = false;
};

/// Takes over a new reference returned by the interpreter and keeps it until the
/// innermost open frame closes; returns the same pointer, now usable as borrowed.
/// A null pointer prints the pending exception and fails with "Python API call failed".
PyObject* register_new(PyObject* object);

/// Returns `object` unchanged, or, for null, prints the pending exception and fails
/// with "Python API call failed": for new references that the caller keeps itself.
PyObject* require_new(PyObject* object);

/// Whether this thread really holds the interpreter lock: false only while a thread that
/// the interpreter ends at exit unwinds through a call.
bool thread_holds_interpreter_lock() noexcept;

/// Py_INCREF now when this thread holds the lock inside the module, else queued.
void safe_incref(PyObject* object) noexcept;

/// Py_DECREF now when this thread holds the lock inside the module, else queued.
void safe_release(PyObject* object) noexcept;

/// True when this thread is inside a frame or lock guard of the module.
bool lock_held() noexcept;

/// Takes the interpreter lock on a thread that has no frame; opens a frame of its own.
/// Error::render needs it: the text of an error can be asked for where no call holds the
/// lock. Where not even an interpreter runs yet (a host program that only embeds the
/// module's code), the first guard starts one.
class LockGuard {
public:
    LockGuard();
    /// Releasing guards out of order has no orderly path and ends the process.
    ~LockGuard();
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    PyGILState_STATE state_;
    std::optional<CallFrame> frame_;
};

/// Test hooks: the pool length and lock-nesting counter of the calling thread.
std::size_t pool_length() noexcept;
std::size_t lock_count() noexcept;

} // namespace tesk::binding
