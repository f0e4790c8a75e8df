// generator_slot_test.cpp — the per-thread slot: creation, reseed after a fork, teardown.
#include "entropy_fake.h"
#include "random/thread_slot.h"
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
        const ThreadGenerator& generator = thread_generator();
        EXPECT_EQ(key_bytes(generator), FakeKernel::seed(0));
        EXPECT_EQ(generator.index, generator_buffer_words);
        EXPECT_EQ(generator.block_counter, 0u);
        EXPECT_EQ(generator.bytes_until_reseed, reseed_threshold_bytes);
    });
    EXPECT_EQ(kernel.log(), (std::vector<std::string>{"getrandom 0 1", "getrandom 32 0"}));
}

TEST(ThreadGenerator, RequestsOfOneThreadGetOneGenerator) {
    FakeKernel kernel;
    on_new_thread([] {
        ThreadGenerator& first = thread_generator();
        const ThreadGenerator& second = thread_generator();
        EXPECT_EQ(&first, &second);
        next_u64(first);
        EXPECT_EQ(second.index, 2u);
    });
    EXPECT_EQ(kernel.bytes_served(), seed_bytes);
}

TEST(ThreadGenerator, ThreadsGetTheirOwnGeneratorsAndSeeds) {
    FakeKernel kernel;
    std::vector<std::uint8_t> keys[2];
    for (auto& key : keys) {
        on_new_thread([&key] { key = key_bytes(thread_generator()); });
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
        EXPECT_EQ(key_bytes(thread_generator()), FakeKernel::seed(0));
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

/// Seed `k` of the fake kernel's byte sequence as the key of a fresh generator.
std::vector<std::uint8_t> seed_key(std::size_t k) {
    return key_bytes(seeded_generator(FakeKernel::seed(k).data()));
}

class AfterFork : public ::testing::TestWithParam<bool> {};

// A generator that has seen a fork (its snapshot behind the count), or reads all zeros as
// a page the kernel wiped in a child does, is reseeded before the request returns it;
// without a seed after a second attempt the request fails and leaves it untouched.
TEST_P(AfterFork, RequestReseedsFirstOrFailsLeavingTheGeneratorAsItWas) {
    const bool wiped = GetParam();
    FakeKernel kernel;
    on_new_thread([wiped, &kernel] {
        ThreadGenerator& generator = thread_generator();
        next_u64(generator);
        if (wiped) {
            std::memset(static_cast<void*>(&generator), 0, sizeof generator);
        } else {
            generator.fork_snapshot -= 2;
        }
        const ThreadGenerator before = generator;
        kernel.script_getrandom({FakeOutcome::failure(EIO), FakeOutcome::failure(ENOMEM)});
        try {
            thread_generator();
            ADD_FAILURE() << "the reseed should have failed";
        } catch (const runtime::InternalFailure& failure) {
            EXPECT_EQ(failure.message(),
                      std::string(contract_text::thread_rng_failed) + std::strerror(ENOMEM));
        }
        EXPECT_EQ(std::memcmp(&before, &generator, sizeof generator), 0);
        ThreadGenerator& reseeded = thread_generator();
        EXPECT_EQ(&reseeded, &generator);
        EXPECT_EQ(key_bytes(reseeded), seed_key(1));
        EXPECT_EQ(reseeded.index, generator_buffer_words);
        EXPECT_EQ(reseeded.block_counter, 0u);
        EXPECT_FALSE(fork_seen(reseeded));
    });
}

INSTANTIATE_TEST_SUITE_P(SeenOrWiped, AfterFork, ::testing::Bool());

} // namespace
} // namespace tesk::random
