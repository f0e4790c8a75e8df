// thread_slot.h — the calling thread's generator, created on its first request.
#pragma once

#include "random/generator.h"

namespace tesk::random {

/// The calling thread's generator, created and seeded on the thread's first request and
/// reseeded first after a fork, so that no two processes go on with one stream. It lives
/// until the thread ends, on a page of its own that the kernel empties in a forked child
/// where it can (Linux 4.14 and later), so that even a fork that runs no fork handlers
/// (a raw fork system call, glibc's _Fork) leaves the child a generator to reseed. Fails
/// (internal failure) when the seed cannot be read, after a fork also once more reopening
/// the device, with the generator left to reseed at the next request; when the fork
/// handlers cannot be registered; or during the thread's teardown. A failed creation
/// leaves nothing behind, so the next request tries again.
ThreadGenerator& thread_generator();

} // namespace tesk::random
