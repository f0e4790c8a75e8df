// fork_counter.cpp — the process-wide fork counter and the once-only handler registration.
#include "random/fork_counter.h"

#include "runtime/contract_texts.h"
#include "runtime/failure.h"

#include <atomic>
#include <mutex>
#include <string>

#include <pthread.h>

namespace tesk::random {

// Starts at 1, so that a fork snapshot of 0, which is what a generator page that the
// kernel wiped in a forked child reads, always lies behind it.
constinit std::atomic<std::uint64_t> forks_counted{1};

namespace {

enum class Registration { pending, registered, poisoned };

// Written only under registration_mutex; the atomic lets the common case (already
// registered) skip the lock.
std::atomic<Registration> registration{Registration::pending};
std::mutex registration_mutex;

// The same handler serves as prepare, parent and child handler: a generator only needs
// to know that the count moved, not by how much.
extern "C" void count_fork() noexcept {
    forks_counted.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

void register_fork_handlers() {
    if (registration.load(std::memory_order_acquire) == Registration::registered) [[likely]] {
        return;
    }
    const std::lock_guard lock(registration_mutex);
    switch (registration.load(std::memory_order_relaxed)) {
    case Registration::registered:
        return;
    case Registration::poisoned:
        runtime::fail(contract_text::once_poisoned);
    case Registration::pending:
        break;
    }
    const int code = pthread_atfork(&count_fork, &count_fork, &count_fork);
    if (code != 0) {
        registration.store(Registration::poisoned, std::memory_order_relaxed);
        runtime::fail(contract_text::atfork_failed + std::to_string(code));
    }
    registration.store(Registration::registered, std::memory_order_release);
}

} // namespace tesk::random
