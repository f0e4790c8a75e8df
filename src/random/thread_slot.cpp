// thread_slot.cpp — each thread's generator slot: creation, handles and thread-exit teardown.
#include "random/thread_generator.h"

#include "random/entropy.h"
#include "random/fork_counter.h"
#include "runtime/failure.h"

#include <cstdlib>
#include <new>

namespace tesk::random {
namespace {

enum class SlotState : unsigned char { not_registered, registered, torn_down };

/// The calling thread's generator slot. Trivially constructed, so reading it costs no
/// initialisation check; the teardown is registered separately, on first need.
struct Slot {
    SlotState state = SlotState::not_registered;
    SharedGenerator* generator = nullptr;
};

constinit thread_local Slot slot;

void drop_reference(SharedGenerator* shared) noexcept {
    if (--shared->references == 0) {
        destroy_shared_generator(shared);
    }
}

/// Its destructor runs at thread exit: the slot gives up its generator, which lives on
/// only while handles to it remain.
struct SlotTeardown {
    SlotTeardown() = default;
    SlotTeardown(const SlotTeardown&) = delete;
    SlotTeardown& operator=(const SlotTeardown&) = delete;
    ~SlotTeardown() {
        SharedGenerator* shared = slot.generator;
        slot.generator = nullptr;
        slot.state = SlotState::torn_down;
        if (shared != nullptr) {
            drop_reference(shared);
        }
    }
};

void register_teardown() {
    // The first pass through this declaration registers the destructor with the C
    // runtime's thread-exit list.
    thread_local SlotTeardown teardown;
    static_cast<void>(teardown);
    slot.state = SlotState::registered;
}

/// A new generator keyed from the entropy source, holding the slot's reference.
SharedGenerator* create_generator() {
    std::uint8_t seed[seed_bytes];
    if (auto error = fill_entropy(seed, seed_bytes)) {
        runtime::fail("could not initialize thread_rng: " + entropy_error_text(*error));
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
    if (slot.generator != nullptr) [[likely]] {
        drop_buffer_after_fork(slot.generator->generator);
        return GeneratorHandle(slot.generator);
    }
    if (slot.state == SlotState::torn_down) {
        runtime::fail("cannot access a Thread Local Storage value during or after destruction",
                      "AccessError");
    }
    if (slot.state == SlotState::not_registered) {
        register_teardown();
    }
    slot.generator = create_generator();
    return GeneratorHandle(slot.generator);
}

} // namespace tesk::random
