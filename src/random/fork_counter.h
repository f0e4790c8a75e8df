// fork_counter.h — counts forks of the process so that generators can reseed after one.
#pragma once

#include <atomic>
#include <cstdint>

namespace tesk::random {

/// The counter behind fork_count(), defined in fork_counter.cpp; declared here so that
/// every request for a generator reads it inline.
extern std::atomic<std::uint64_t> forks_counted;

/// 1 plus how many times the fork handlers have run in this process. A fork adds 2 in
/// each of parent and child: the handler runs before the fork and again on both sides
/// after it. Never 0 (short of 2^64 handler runs).
inline std::uint64_t fork_count() noexcept {
    return forks_counted.load(std::memory_order_relaxed);
}

/// Registers the fork handlers with pthread_atfork, once per process. If registration
/// fails, this call fails with the returned code and every later call fails with
/// "Once instance has previously been poisoned" (internal failures).
void register_fork_handlers();

} // namespace tesk::random
