// generator_slot_test.cpp — the per-thread slot: creation, shared handles and teardown.
#include "entropy_fake.h"
#include "random/thread_generator.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <pthread.h>
#include <thread>
#include <utility>

namespace tesk::random {
namespace {

using testing::FakeKernel;
using testing::FakeOutcome;

/// Runs `body` on a new thread, whose generator slot is therefore fresh.
void on_new_thread(const std::function<void()>& body) {
    std::thread(body).join();
}

std::vector<std::uint8_t> key_bytes(const ThreadGenerator& generator) {
    std::vector<std::uint8_t> bytes(seed_bytes);
    std::memcpy(bytes.data(), generator.key, seed_bytes);
    return bytes;
}

TEST(ThreadGenerator, CreationIsKeyedFromTheEntropySource) {
    FakeKernel kernel;
    on_new_thread([] {
        const GeneratorHandle handle = thread_generator();
        EXPECT_EQ(key_bytes(handle.generator()), FakeKernel::seed(0));
        EXPECT_EQ(handle.generator().index, generator_buffer_words);
        EXPECT_EQ(handle.generator().block_counter, 0u);
        EXPECT_EQ(handle.generator().bytes_until_reseed, reseed_threshold_bytes);
    });
    EXPECT_EQ(kernel.log(), (std::vector<std::string>{"getrandom 0 1", "getrandom 32 0"}));
}

TEST(ThreadGenerator, HandlesOfOneThreadShareOneGenerator) {
    FakeKernel kernel;
    on_new_thread([] {
        const GeneratorHandle first = thread_generator();
        const GeneratorHandle second = thread_generator();
        EXPECT_EQ(&first.generator(), &second.generator());
        next_u64(first.generator());
        EXPECT_EQ(second.generator().index, 2u);
    });
    EXPECT_EQ(kernel.bytes_served(), seed_bytes);
}

TEST(ThreadGenerator, ThreadsGetTheirOwnGeneratorsAndSeeds) {
    FakeKernel kernel;
    std::vector<std::uint8_t> keys[2];
    for (auto& key : keys) {
        on_new_thread([&key] { key = key_bytes(thread_generator().generator()); });
    }
    EXPECT_EQ(keys[0], FakeKernel::seed(0));
    EXPECT_EQ(keys[1], FakeKernel::seed(1));
}

TEST(ThreadGenerator, FailedCreationReportsTheErrorAndIsRetried) {
    FakeKernel kernel;
    kernel.script_getrandom({FakeOutcome::failure(EIO)});
    on_new_thread([] {
        try {
            thread_generator();
            ADD_FAILURE() << "creation should have failed";
        } catch (const runtime::InternalFailure& failure) {
            EXPECT_EQ(failure.message(),
                      std::string(contract_text::thread_rng_failed) + std::strerror(EIO));
        }
        const GeneratorHandle handle = thread_generator();
        EXPECT_EQ(key_bytes(handle.generator()), FakeKernel::seed(0));
    });
}

/// Work for the end of a thread, after its slot's teardown: the slot is torn down in
/// the C library's first round of thread-exit destructors, and this one defers itself
/// to the second.
struct LateWork {
    std::function<void()> run;
    bool deferred = false;
};

pthread_key_t late_key = [] {
    pthread_key_t key;
    pthread_key_create(&key, [](void* value) {
        auto* work = static_cast<LateWork*>(value);
        if (!std::exchange(work->deferred, true)) {
            pthread_setspecific(late_key, work);
            return;
        }
        work->run();
        delete work;
    });
    return key;
}();

void at_late_thread_exit(std::function<void()> run) {
    pthread_setspecific(late_key, new LateWork{std::move(run)});
}

TEST(ThreadGenerator, RequestDuringTeardownFailsWithAccessError) {
    FakeKernel kernel;
    std::string message;
    on_new_thread([&message] {
        at_late_thread_exit([&message] {
            try {
                thread_generator();
            } catch (const runtime::InternalFailure& failure) {
                message = failure.message();
            }
        });
        thread_generator();
    });
    EXPECT_EQ(message, std::string(contract_text::tls_destroyed) + ": " +
                           contract_text::tls_destroyed_rendering);
}

TEST(ThreadGenerator, HandleOutlivingTheSlotKeepsTheGeneratorUsable) {
    FakeKernel kernel;
    std::uint64_t late_draw = 0;
    on_new_thread([&late_draw] {
        // The slot has let go when this runs; the handle holds the last reference.
        at_late_thread_exit([handle = thread_generator(), &late_draw] {
            late_draw = next_u64(handle.generator());
        });
    });
    ThreadGenerator reference = seeded_generator(FakeKernel::seed(0).data());
    EXPECT_EQ(late_draw, next_u64(reference));
}

} // namespace
} // namespace tesk::random
