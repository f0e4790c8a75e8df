// thread_slot.cpp — each thread's generator slot: creation on a page of its own, the
// reseed after a fork, and thread-exit teardown.
#include "random/thread_slot.h"

#include "random/entropy.h"
#include "random/fork_counter.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"
#include "runtime/thread_key.h"

#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace tesk::random {
namespace {

/// Linux's MADV_WIPEONFORK (4.14 and later), spelled out for C libraries whose headers
/// predate it. A kernel without it refuses the advice with EINVAL.
constexpr int wipe_on_fork_advice = 18;
#ifdef MADV_WIPEONFORK
static_assert(MADV_WIPEONFORK == wipe_on_fork_advice);
#endif

/// What a torn-down slot holds: no generator can be stored after it.
constinit char torn_down_mark = 0;

void tear_down_slot(void* value) noexcept;

/// The calling thread's generator slot: empty (null), the thread's generator, or the
/// torn-down mark. Its teardown at thread exit is the key's destructor, registered once
/// for every thread.
const runtime::ThreadKey slot(&tear_down_slot);

/// Whole pages for one generator: the advice applies to pages, and the generator shares
/// them with nothing that a child should keep.
std::size_t generator_pages_bytes() noexcept {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (sizeof(ThreadGenerator) + page - 1) / page * page;
}

void free_generator(ThreadGenerator* generator) noexcept {
    generator->~ThreadGenerator();
    munmap(generator, generator_pages_bytes());
}

/// At thread exit the slot frees its generator. The mark stays through every later round
/// of the C library's destructors, so that code they run meets the torn-down slot.
void tear_down_slot(void* value) noexcept {
    if (value != &torn_down_mark) {
        free_generator(static_cast<ThreadGenerator*>(value));
    }
    static_cast<void>(slot.set(&torn_down_mark));
}

/// A seed from the entropy source, tried `attempts` times; fails with the last error.
/// Each attempt opens the device again if it is no longer kept open.
void read_seed(std::uint8_t* seed, int attempts) {
    std::optional<EntropyError> error;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        error = fill_entropy(seed, seed_bytes);
        if (!error) {
            return;
        }
    }
    runtime::fail(contract_text::thread_rng_failed + entropy_error_text(*error));
}

/// A new generator keyed from the entropy source, on pages that a forked child sees
/// emptied. Where the kernel refuses the advice, the fork handlers alone mark forks.
ThreadGenerator* create_generator() {
    std::uint8_t seed[seed_bytes];
    read_seed(seed, 1);
    register_fork_handlers();
    void* memory = mmap(nullptr, generator_pages_bytes(), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        throw std::bad_alloc();
    }
    static_cast<void>(madvise(memory, generator_pages_bytes(), wipe_on_fork_advice));
    auto* generator = new (memory) ThreadGenerator(seeded_generator(seed));
    generator->fork_snapshot = fork_count();
    return generator;
}

/// After a fork the generator starts afresh from a new seed before anything is drawn,
/// never going on with the stream the other side of the fork has too. A seed that cannot
/// be had after a second attempt fails the request and leaves the generator as it was,
/// to be reseeded by the next one.
[[gnu::noinline, gnu::cold]] void reseed_after_fork(ThreadGenerator& generator) {
    std::uint8_t seed[seed_bytes];
    read_seed(seed, 2);
    generator = seeded_generator(seed);
    generator.fork_snapshot = fork_count();
}

} // namespace

ThreadGenerator& thread_generator() {
    void* value = slot.get();
    if (value == &torn_down_mark) {
        runtime::fail(contract_text::tls_destroyed, contract_text::tls_destroyed_rendering);
    }
    if (value != nullptr) [[likely]] {
        auto* generator = static_cast<ThreadGenerator*>(value);
        if (fork_seen(*generator)) [[unlikely]] {
            reseed_after_fork(*generator);
        }
        return *generator;
    }
    ThreadGenerator* generator = create_generator();
    if (!slot.set(generator)) {
        free_generator(generator);
        throw std::bad_alloc();
    }
    return *generator;
}

} // namespace tesk::random
