// thread_slot.cpp — each thread's generator slot: creation, handles and thread-exit teardown.
#include "random/thread_generator.h"

#include "random/entropy.h"
#include "random/fork_counter.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"
#include "runtime/thread_key.h"

#include <cstdlib>
#include <new>

namespace tesk::random {
namespace {

void drop_reference(SharedGenerator* shared) noexcept {
    if (--shared->references == 0) {
        destroy_shared_generator(shared);
    }
}

/// What a torn-down slot holds: no generator can be stored after it.
constinit char torn_down_mark = 0;

void tear_down_slot(void* value) noexcept;

/// The calling thread's generator slot: empty (null), a generator holding the slot's
/// reference, or the torn-down mark. Its teardown at thread exit is the key's
/// destructor, registered once for every thread.
const runtime::ThreadKey slot(&tear_down_slot);

/// At thread exit the slot gives up its generator, which lives on only while handles
/// to it remain. The mark stays through every later round of the C library's
/// destructors, so that code they run meets the torn-down slot.
void tear_down_slot(void* value) noexcept {
    if (value != &torn_down_mark) {
        drop_reference(static_cast<SharedGenerator*>(value));
    }
    static_cast<void>(slot.set(&torn_down_mark));
}

/// A new generator keyed from the entropy source, holding the slot's reference.
SharedGenerator* create_generator() {
    std::uint8_t seed[seed_bytes];
    if (auto error = fill_entropy(seed, seed_bytes)) {
        runtime::fail(contract_text::thread_rng_failed + entropy_error_text(*error));
    }
    register_fork_handlers();
    void* memory = std::malloc(sizeof(SharedGenerator));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return new (memory) SharedGenerator{1, seeded_generator(seed)};
}

} // namespace

void destroy_shared_generator(SharedGenerator* shared) noexcept {
    shared->~SharedGenerator();
    std::free(shared);
}

GeneratorHandle thread_generator() {
    void* value = slot.get();
    if (value == &torn_down_mark) {
        runtime::fail(contract_text::tls_destroyed, contract_text::tls_destroyed_rendering);
    }
    if (value != nullptr) [[likely]] {
        auto* shared = static_cast<SharedGenerator*>(value);
        drop_buffer_after_fork(shared->generator);
        return GeneratorHandle(shared);
    }
    SharedGenerator* shared = create_generator();
    if (!slot.set(shared)) {
        destroy_shared_generator(shared);
        throw std::bad_alloc();
    }
    return GeneratorHandle(shared);
}

} // namespace tesk::random
