// thread_key.h — per-thread values whose first use and thread-exit work cannot abort.
#pragma once

#include <pthread.h>

namespace tesk::runtime {

/// A thread-specific data key with a thread-exit destructor. Unlike a `thread_local`
/// in a library loaded at run time, whose block the C library allocates on a thread's
/// first touch and whose destructor registration allocates too (both abort the process
/// when memory runs out), a key's slot needs no allocation for the first keys of a
/// process, and storing into a later one reports its failure.
///
/// The destructor runs at thread exit for a non-null value, with the slot already
/// cleared; storing a value again from it makes the C library run it once more, a
/// bounded number of times.
class ThreadKey {
public:
    /// Creates the key; a process out of keys ends here, at load, with a report.
    explicit ThreadKey(void (*destructor)(void*)) noexcept;
    ThreadKey(const ThreadKey&) = delete;
    ThreadKey& operator=(const ThreadKey&) = delete;

    void* get() const noexcept { return pthread_getspecific(key_); }

    /// Stores the calling thread's value; false when the C library has no memory for
    /// the slot (only past the first keys, on a thread's first store).
    [[nodiscard]] bool set(void* value) const noexcept;

private:
    pthread_key_t key_;
};

/// Touches the C++ runtime's per-thread state (the exception-handling globals) on the
/// calling thread, so that the first exception thrown later, std::bad_alloc included,
/// finds it in place. The C library allocates that block on first touch and ends the
/// process when it cannot: done where nothing else has been allocated yet.
void prepare_thread_runtime() noexcept;

#if defined(_LIBCPP_VERSION)
/// From a catch (...) handler that caught the calling thread's forced unwinding (its end
/// through pthread_exit), ends the thread afresh with pthread_exit: with LLVM's libc++abi
/// (the portable wheel's C++ runtime) `throw;` cannot resume a forced unwinding, it raises
/// it anew, finds no handler and ends the process. Not noexcept: the unwinding leaves
/// through here.
[[noreturn]] void exit_thread_again();
#endif

} // namespace tesk::runtime
