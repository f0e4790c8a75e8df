// generator_test.cpp — draws, refills, reseeding, fork detection and bulk drawing.
#include "draw_writer.h"
#include "entropy_fake.h"
#include "random/chacha.h"
#include "random/fork_counter.h"
#include "random/generator.h"
#include "runtime/cpu_features.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace tesk::random {
namespace {

using runtime::cpu_features;
namespace cpu_feature = runtime::cpu_feature;

using testing::FakeKernel;
using testing::FakeOutcome;

const std::vector<std::uint8_t> creation_seed = FakeKernel::seed(40);

std::vector<std::uint32_t> key_of(const std::vector<std::uint8_t>& seed) {
    std::vector<std::uint32_t> key(chacha_key_words);
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = seed[4 * i] | (seed[4 * i + 1] << 8) | (seed[4 * i + 2] << 16) |
                 (static_cast<std::uint32_t>(seed[4 * i + 3]) << 24);
    }
    return key;
}

/// Word `n` of the ChaCha12 key stream of `seed` (nonce 0), by the reference block.
std::uint32_t stream_word(const std::vector<std::uint8_t>& seed, std::uint64_t n) {
    const auto key = key_of(seed);
    const std::uint64_t block = n / chacha_block_words;
    std::uint32_t input[chacha_block_words] = {chacha_constants[0], chacha_constants[1],
                                               chacha_constants[2], chacha_constants[3]};
    std::copy(key.begin(), key.end(), input + 4);
    input[12] = static_cast<std::uint32_t>(block);
    input[13] = static_cast<std::uint32_t>(block >> 32);
    std::uint32_t output[chacha_block_words];
    chacha_block(input, chacha12_double_rounds, output);
    return output[n % chacha_block_words];
}

std::uint64_t stream_draw(const std::vector<std::uint8_t>& seed, std::uint64_t first_word) {
    return stream_word(seed, first_word) |
           (static_cast<std::uint64_t>(stream_word(seed, first_word + 1)) << 32);
}

/// How many 32-byte seeds the generator has asked the kernel for.
std::size_t seed_requests(const FakeKernel& kernel) {
    const auto log = kernel.log();
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), "getrandom 32 0"));
}

/// A generator in its initial state that sees no fork: its snapshot is the current count.
ThreadGenerator fresh_generator() {
    ThreadGenerator generator = seeded_generator(creation_seed.data());
    generator.fork_snapshot = fork_count();
    return generator;
}

TEST(Generator, FirstDrawIsWordsZeroAndOneOfBlockZero) {
    FakeKernel kernel;
    ThreadGenerator generator = fresh_generator();
    const std::uint64_t expected = stream_draw(creation_seed, 0);
    EXPECT_EQ(next_f64(generator), static_cast<double>(expected >> 11) / 9007199254740992.0);
    EXPECT_EQ(generator.index, 2u);
    EXPECT_EQ(generator.block_counter, 4u);
    EXPECT_EQ(generator.bytes_until_reseed, reseed_threshold_bytes - refill_step_bytes);
    EXPECT_TRUE(kernel.log().empty());
}

TEST(Generator, ThirtySecondDrawEndsTheBufferAndTheNextRefills) {
    FakeKernel kernel;
    ThreadGenerator generator = fresh_generator();
    for (int i = 0; i < 31; ++i) {
        next_u64(generator);
    }
    EXPECT_EQ(next_u64(generator), stream_draw(creation_seed, 62));
    EXPECT_EQ(generator.index, 64u);
    EXPECT_EQ(next_u64(generator), stream_draw(creation_seed, 64));
    EXPECT_EQ(generator.index, 2u);
    EXPECT_EQ(generator.block_counter, 8u);
}

TEST(Generator, UnitValuesSpanZeroToOneMinusUlp) {
    EXPECT_EQ(unit_f64(0), 0.0);
    EXPECT_EQ(unit_f64(0x7FF), 0.0);
    EXPECT_EQ(unit_f64(0x800), 0x1.0p-53);
    EXPECT_EQ(unit_f64(~std::uint64_t{0}), 1.0 - 0x1.0p-53);
    EXPECT_EQ(unit_f64(std::uint64_t{1} << 63), 0.5);
}

TEST(Generator, The257thRefillReseedsAndRestartsTheCounter) {
    FakeKernel kernel;
    ThreadGenerator generator = fresh_generator();
    for (int refills = 0; refills < 256; ++refills) {
        refill(generator);
    }
    EXPECT_EQ(seed_requests(kernel), 0u);
    EXPECT_EQ(generator.bytes_until_reseed, 0);
    EXPECT_EQ(generator.block_counter, 1024u);
    EXPECT_EQ(generator.buffer[0], stream_word(creation_seed, 255 * 64));

    refill(generator);
    EXPECT_EQ(seed_requests(kernel), 1u);
    EXPECT_EQ(generator.buffer[0], stream_word(FakeKernel::seed(0), 0));
    EXPECT_EQ(generator.buffer[63], stream_word(FakeKernel::seed(0), 63));
    EXPECT_EQ(generator.block_counter, 4u);
    EXPECT_EQ(generator.bytes_until_reseed, reseed_threshold_bytes - refill_step_bytes);
}

TEST(Generator, FailedReseedKeepsTheKeyAndWaitsAnotherBudget) {
    FakeKernel kernel;
    kernel.script_getrandom({FakeOutcome::failure(EIO)});
    ThreadGenerator generator = fresh_generator();
    generator.bytes_until_reseed = 0;
    generator.block_counter = 1024;
    const std::uint64_t snapshot = generator.fork_snapshot;
    refill(generator);
    EXPECT_EQ(generator.buffer[0], stream_word(creation_seed, 1024 * 16));
    EXPECT_EQ(generator.block_counter, 1028u);
    EXPECT_EQ(generator.bytes_until_reseed, reseed_threshold_bytes - refill_step_bytes);
    EXPECT_EQ(generator.fork_snapshot, snapshot);
    for (int refills = 0; refills < 255; ++refills) {
        refill(generator);
    }
    EXPECT_EQ(seed_requests(kernel), 1u);
    refill(generator);
    EXPECT_EQ(seed_requests(kernel), 2u);
    EXPECT_EQ(generator.buffer[0], stream_word(FakeKernel::seed(0), 0));
}

struct SnapshotCase {
    std::uint64_t offset; ///< snapshot minus the current fork count
    bool reseeds;
};

class ForkSnapshot : public ::testing::TestWithParam<SnapshotCase> {};

TEST_P(ForkSnapshot, SnapshotBehindTheCounterMeansAFork) {
    FakeKernel kernel;
    ThreadGenerator generator = fresh_generator();
    generator.fork_snapshot = fork_count() + GetParam().offset;
    refill(generator);
    EXPECT_EQ(seed_requests(kernel), GetParam().reseeds ? 1u : 0u);
    if (GetParam().reseeds) {
        EXPECT_EQ(generator.fork_snapshot, fork_count());
        EXPECT_EQ(generator.buffer[0], stream_word(FakeKernel::seed(0), 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, ForkSnapshot,
                         ::testing::Values(SnapshotCase{0, false}, SnapshotCase{1, false},
                                           SnapshotCase{(std::uint64_t{1} << 63) - 1, false},
                                           SnapshotCase{std::uint64_t{1} << 63, true},
                                           SnapshotCase{~std::uint64_t{0}, true},
                                           SnapshotCase{~std::uint64_t{0} - 5, true}));

TEST(Generator, BothSidesOfAForkKeepTheBufferThenReseed) {
    register_fork_handlers();
    FakeKernel kernel;
    ThreadGenerator generator = fresh_generator();
    for (int i = 0; i < 3; ++i) {
        next_u64(generator);
    }
    const std::uint64_t before = fork_count();
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    // Both processes run the same checks; the child reports through its exit status.
    bool ok = fork_count() == before + 2;
    for (std::uint64_t word = 6; word < 64; word += 2) {
        ok = ok && next_u64(generator) == stream_draw(creation_seed, word);
    }
    ok = ok && seed_requests(kernel) == 0;
    ok = ok && next_u64(generator) == stream_draw(FakeKernel::seed(0), 0);
    ok = ok && seed_requests(kernel) == 1;
    ok = ok && generator.fork_snapshot == before + 2;
    if (child == 0) {
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed its checks";
    EXPECT_TRUE(ok) << "parent failed its checks";
}

void expect_same_state(const ThreadGenerator& actual, const ThreadGenerator& expected) {
    EXPECT_EQ(actual.index, expected.index);
    for (std::size_t i = expected.index; i < generator_buffer_words; ++i) {
        EXPECT_EQ(actual.buffer[i], expected.buffer[i]) << "buffer word " << i;
    }
    EXPECT_EQ(std::vector(actual.key, actual.key + 8), std::vector(expected.key, expected.key + 8));
    EXPECT_EQ(actual.block_counter, expected.block_counter);
    EXPECT_EQ(actual.bytes_until_reseed, expected.bytes_until_reseed);
    EXPECT_EQ(actual.fork_snapshot, expected.fork_snapshot);
}

struct BulkStart {
    std::uint64_t index;
    std::int64_t budget;
    std::uint64_t snapshot_offset; ///< from the current fork count
};

class FillU64 : public ::testing::TestWithParam<BulkStart> {};

TEST_P(FillU64, MatchesRepeatedNextU64) {
    const BulkStart start = GetParam();
    const std::size_t counts[] = {0,  1,  2,   15,  31,  32,  33,  63,   64,   65,   95,
                                  96, 97, 127, 128, 129, 159, 200, 1000, 4096, 9001, 17000};
    FakeKernel kernel;
    for (const std::size_t count : counts) {
        ThreadGenerator initial = fresh_generator();
        refill(initial);
        initial.index = start.index;
        initial.bytes_until_reseed = start.budget;
        initial.fork_snapshot = fork_count() + start.snapshot_offset;

        kernel.rewind();
        ThreadGenerator one_by_one = initial;
        std::vector<std::uint64_t> expected(count);
        for (std::uint64_t& draw : expected) {
            draw = next_u64(one_by_one);
        }
        const std::size_t expected_entropy = kernel.bytes_served();
        const ThreadGenerator expected_state = one_by_one;
        const std::uint64_t following = next_u64(one_by_one);

        kernel.rewind();
        ThreadGenerator bulk = initial;
        std::vector<std::uint64_t> actual(count + 1, 0x5A5A5A5A5A5A5A5A);
        fill_u64(bulk, actual.data(), count);
        EXPECT_EQ(actual.back(), 0x5A5A5A5A5A5A5A5Au) << "wrote past the end, count " << count;
        actual.pop_back();
        EXPECT_EQ(actual, expected) << "count " << count;
        EXPECT_EQ(kernel.bytes_served(), expected_entropy) << "count " << count;
        expect_same_state(bulk, expected_state);
        EXPECT_EQ(next_u64(bulk), following) << "count " << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, FillU64,
                         ::testing::Values(BulkStart{64, reseed_threshold_bytes, 0},
                                           BulkStart{0, 40000, 0}, BulkStart{2, 40000, 0},
                                           BulkStart{30, 256, 0}, BulkStart{62, 512, 0},
                                           BulkStart{64, 3 * 256, 0}, BulkStart{64, 5 * 256, 0},
                                           BulkStart{40, 0, 0}, BulkStart{64, 17 * 256, 0},
                                           BulkStart{64, reseed_threshold_bytes, ~std::uint64_t{0}},
                                           BulkStart{10, 2 * 256, ~std::uint64_t{0}},
                                           BulkStart{2, 300 * 256, 0}, BulkStart{34, 256, 0}));

TEST(FillU64, ReseedFailureInsideABatchKeepsTheOldKey) {
    FakeKernel kernel;
    ThreadGenerator initial = fresh_generator();
    initial.bytes_until_reseed = 2 * 256;
    ThreadGenerator one_by_one = initial;
    ThreadGenerator bulk = initial;
    std::vector<std::uint64_t> expected(200);
    kernel.script_getrandom({FakeOutcome::failure(EIO)});
    for (std::uint64_t& draw : expected) {
        draw = next_u64(one_by_one);
    }
    kernel.script_getrandom({FakeOutcome::failure(EIO)});
    std::vector<std::uint64_t> actual(200);
    fill_u64(bulk, actual.data(), actual.size());
    EXPECT_EQ(actual, expected);
    expect_same_state(bulk, one_by_one);
    EXPECT_EQ(actual[199], stream_draw(creation_seed, 398));
}

TEST(FillU64, ActiveFormIsTheWidestThisHostRuns) {
    const std::string_view name = bulk_chacha_form().name;
    std::size_t widest = 0;
    for (const ChachaForm& form : chacha_forms()) {
        if ((form.required_features & ~cpu_features()) == 0) {
            widest = std::max(widest, form.blocks_per_call);
        }
        if (form.name == name) {
            EXPECT_EQ(form.required_features & ~cpu_features(), 0u);
            EXPECT_EQ(form.blocks_per_call, widest);
            return;
        }
    }
    ADD_FAILURE() << "unknown form " << name;
}

} // namespace
} // namespace tesk::random
