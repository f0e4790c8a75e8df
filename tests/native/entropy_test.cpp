// entropy_test.cpp — the entropy source's paths, driven through a scripted kernel.
#include "entropy_fake.h"
#include "random/entropy.h"
#include "runtime/contract_texts.h"
#include "runtime/utf8.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace tesk::random {
namespace {

using testing::FakeKernel;
using testing::FakeOutcome;
using Log = std::vector<std::string>;

const Log file_path_opening = {"open64 /dev/random", "poll /dev/random", "close /dev/random",
                               "open64 /dev/urandom"};

Log concat(std::initializer_list<Log> parts) {
    Log all;
    for (const Log& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::vector<std::uint8_t> expected_bytes(std::size_t first, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = FakeKernel::byte_at(first + i);
    }
    return bytes;
}

std::optional<std::uint32_t> request(std::vector<std::uint8_t>& buffer) {
    auto error = fill_entropy(buffer.data(), buffer.size());
    return error ? std::optional(error->code) : std::nullopt;
}

TEST(Entropy, ZeroLengthRequestMakesNoCallAndDoesNotProbe) {
    FakeKernel kernel;
    std::uint8_t byte = 0xAB;
    EXPECT_FALSE(fill_entropy(&byte, 0));
    EXPECT_EQ(byte, 0xAB);
    EXPECT_TRUE(kernel.log().empty());

    std::vector<std::uint8_t> buffer(32);
    EXPECT_FALSE(request(buffer));
    EXPECT_EQ(kernel.log(), (Log{"getrandom 0 1", "getrandom 32 0"}));
}

TEST(Entropy, ProbesOnceThenUsesGetrandomWithoutFlags) {
    FakeKernel kernel;
    std::vector<std::uint8_t> first(32);
    std::vector<std::uint8_t> second(32);
    EXPECT_FALSE(request(first));
    EXPECT_FALSE(request(second));
    EXPECT_EQ(kernel.log(), (Log{"getrandom 0 1", "getrandom 32 0", "getrandom 32 0"}));
    EXPECT_EQ(first, expected_bytes(0, 32));
    EXPECT_EQ(second, expected_bytes(32, 32));
}

class ProbeError : public ::testing::TestWithParam<int> {};

TEST_P(ProbeError, OnlyEnosysAndEpermSelectTheFilePath) {
    const int error = GetParam();
    FakeKernel kernel;
    kernel.set_probe_error(error);
    std::vector<std::uint8_t> buffer(32);
    EXPECT_FALSE(request(buffer));
    EXPECT_FALSE(request(buffer));
    const bool file_path = error == ENOSYS || error == EPERM;
    const Log expected = file_path ? concat({{"getrandom 0 1"},
                                             file_path_opening,
                                             {"read /dev/urandom 32", "read /dev/urandom 32"}})
                                   : Log{"getrandom 0 1", "getrandom 32 0", "getrandom 32 0"};
    EXPECT_EQ(kernel.log(), expected);
    EXPECT_EQ(buffer, expected_bytes(32, 32));
}

INSTANTIATE_TEST_SUITE_P(Errors, ProbeError,
                         ::testing::Values(ENOSYS, EPERM, EAGAIN, EINVAL, EINTR, 0, -1));

class FilePath : public ::testing::TestWithParam<int> {};

TEST_P(FilePath, RetriesInterruptionsAndPollEagain) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    kernel.script_open("/dev/random", {FakeOutcome::failure(EINTR)});
    kernel.script_poll({FakeOutcome::failure(EINTR), FakeOutcome::failure(EAGAIN)});
    kernel.script_open("/dev/urandom", {FakeOutcome::failure(EINTR)});
    kernel.script_read({FakeOutcome::failure(EINTR)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_FALSE(request(buffer));
    EXPECT_EQ(kernel.log(), (Log{"getrandom 0 1", "open64 /dev/random", "open64 /dev/random",
                                 "poll /dev/random", "poll /dev/random", "poll /dev/random",
                                 "close /dev/random", "open64 /dev/urandom", "open64 /dev/urandom",
                                 "read /dev/urandom 32", "read /dev/urandom 32"}));
    EXPECT_EQ(buffer, expected_bytes(0, 32));
}

TEST_P(FilePath, ShortReadsContinueWhereTheyStopped) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    kernel.script_read({FakeOutcome::partial(5), FakeOutcome::partial(20)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_FALSE(request(buffer));
    EXPECT_EQ(kernel.log(),
              concat({{"getrandom 0 1"},
                      file_path_opening,
                      {"read /dev/urandom 32", "read /dev/urandom 27", "read /dev/urandom 7"}}));
    EXPECT_EQ(buffer, expected_bytes(0, 32));
}

TEST_P(FilePath, ReadOfNoBytesFailsWithEioAndIsNotRepeated) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    kernel.script_read({FakeOutcome::partial(5), FakeOutcome::partial(0)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional<std::uint32_t>(EIO));
    EXPECT_EQ(kernel.log(), concat({{"getrandom 0 1"},
                                    file_path_opening,
                                    {"read /dev/urandom 32", "read /dev/urandom 27"}}));
}

TEST_P(FilePath, NumberNoLongerNamingTheDeviceIsReopenedNotReadOrClosed) {
    for (const bool closed : {false, true}) {
        FakeKernel kernel;
        kernel.set_probe_error(GetParam());
        std::vector<std::uint8_t> buffer(32);
        EXPECT_FALSE(request(buffer));
        if (closed) {
            kernel.close_urandom_number();
        } else {
            kernel.reuse_urandom_number();
        }
        EXPECT_FALSE(request(buffer));
        EXPECT_FALSE(request(buffer));
        EXPECT_EQ(kernel.log(), concat({{"getrandom 0 1"},
                                        file_path_opening,
                                        {"read /dev/urandom 32"},
                                        file_path_opening,
                                        {"read /dev/urandom 32", "read /dev/urandom 32"}}))
            << (closed ? "closed" : "reused");
        EXPECT_EQ(buffer, expected_bytes(64, 32));
    }
}

TEST_P(FilePath, FailedOpenOfUrandomLeavesNothingCached) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    kernel.script_open("/dev/urandom", {FakeOutcome::failure(ENOENT)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional<std::uint32_t>(ENOENT));
    EXPECT_FALSE(request(buffer));
    EXPECT_EQ(
        kernel.log(),
        concat(
            {{"getrandom 0 1"}, file_path_opening, file_path_opening, {"read /dev/urandom 32"}}));
}

TEST_P(FilePath, FailedPollStillClosesAndIsRepeatedNextTime) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    kernel.script_poll({FakeOutcome::failure(EINVAL)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional<std::uint32_t>(EINVAL));
    EXPECT_FALSE(request(buffer));
    EXPECT_EQ(kernel.log(), concat({{"getrandom 0 1", "open64 /dev/random", "poll /dev/random",
                                     "close /dev/random"},
                                    file_path_opening,
                                    {"read /dev/urandom 32"}}));
}

TEST_P(FilePath, FailedOpenOfRandomNeitherPollsNorCloses) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    kernel.script_open("/dev/random", {FakeOutcome::failure(EACCES)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional<std::uint32_t>(EACCES));
    EXPECT_EQ(kernel.log(), (Log{"getrandom 0 1", "open64 /dev/random"}));
}

TEST_P(FilePath, ConcurrentFirstRequestsOpenOneDescriptor) {
    FakeKernel kernel;
    kernel.set_probe_error(GetParam());
    // The slow readiness wait lets the second thread reach the descriptor lock while
    // the first one is still opening.
    kernel.set_poll_delay(std::chrono::milliseconds(100));
    std::vector<std::uint8_t> first(32);
    std::vector<std::uint8_t> second(32);
    std::optional<std::uint32_t> first_result;
    std::optional<std::uint32_t> second_result;
    std::thread a([&] { first_result = request(first); });
    std::thread b([&] { second_result = request(second); });
    a.join();
    b.join();
    EXPECT_FALSE(first_result);
    EXPECT_FALSE(second_result);
    const Log log = kernel.log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "open64 /dev/urandom"), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), "read /dev/urandom 32"), 2);
}

INSTANTIATE_TEST_SUITE_P(ProbeFailures, FilePath, ::testing::Values(ENOSYS, EPERM));

TEST(Entropy, ShortAndInterruptedGetrandomCallsContinue) {
    FakeKernel kernel;
    kernel.script_getrandom(
        {FakeOutcome::partial(10), FakeOutcome::failure(EINTR), FakeOutcome::partial(1)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_FALSE(request(buffer));
    EXPECT_EQ(kernel.log(), (Log{"getrandom 0 1", "getrandom 32 0", "getrandom 22 0",
                                 "getrandom 22 0", "getrandom 21 0"}));
    EXPECT_EQ(buffer, expected_bytes(0, 32));
}

struct FailureCase {
    int error;
    std::uint32_t code;
};

class CallFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CallFailure, GetrandomReportsErrnoOrNotPositive) {
    FakeKernel kernel;
    kernel.script_getrandom({FakeOutcome::failure(GetParam().error)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional(GetParam().code));
}

TEST_P(CallFailure, ReadReportsErrnoOrNotPositive) {
    FakeKernel kernel;
    kernel.set_probe_error(ENOSYS);
    kernel.script_read({FakeOutcome::partial(3), FakeOutcome::failure(GetParam().error)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional(GetParam().code));
}

TEST_P(CallFailure, OpenAndPollReportErrnoOrNotPositive) {
    for (const char* device : {"/dev/random", "/dev/urandom"}) {
        FakeKernel kernel;
        kernel.set_probe_error(EPERM);
        kernel.script_open(device, {FakeOutcome::failure(GetParam().error)});
        std::vector<std::uint8_t> buffer(32);
        EXPECT_EQ(request(buffer), std::optional(GetParam().code)) << device;
    }
    FakeKernel kernel;
    kernel.set_probe_error(EPERM);
    kernel.script_poll({FakeOutcome::failure(GetParam().error)});
    std::vector<std::uint8_t> buffer(32);
    EXPECT_EQ(request(buffer), std::optional(GetParam().code)) << "poll";
}

INSTANTIATE_TEST_SUITE_P(Errors, CallFailure,
                         ::testing::Values(FailureCase{EIO, EIO}, FailureCase{ENOMEM, ENOMEM},
                                           FailureCase{0, 0x80000001},
                                           FailureCase{-5, 0x80000001}));

TEST(EntropyErrorText, OsErrorsUseTheSystemDescription) {
    EXPECT_EQ(entropy_error_text({ENOENT}), std::strerror(ENOENT));
    EXPECT_EQ(entropy_error_text({EIO}), std::strerror(EIO));
}

TEST(EntropyErrorText, UndescribedOsErrorFallsBackToItsNumber) {
    EXPECT_EQ(entropy_error_text({5000}), std::string(contract_text::os_error) + "5000");
    EXPECT_EQ(entropy_error_text({0x7FFFFFFF}),
              std::string(contract_text::os_error) + "2147483647");
}

TEST(EntropyErrorText, InternalCodes) {
    EXPECT_EQ(entropy_error_text({0x80000001}), contract_text::errno_not_positive);
    EXPECT_EQ(entropy_error_text({0x80000002}),
              std::string(contract_text::unknown_error) + "2147483650");
    EXPECT_EQ(entropy_error_text({0x80000000}),
              std::string(contract_text::unknown_error) + "2147483648");
    EXPECT_EQ(entropy_error_text({0xFFFFFFFF}),
              std::string(contract_text::unknown_error) + "4294967295");
}

struct Utf8Case {
    const char* text;
    std::size_t length;
    bool valid;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, AcceptsExactlyWellFormedSequences) {
    const Utf8Case& c = GetParam();
    EXPECT_EQ(runtime::is_valid_utf8(std::string_view(c.text, c.length)), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8,
    ::testing::Values(Utf8Case{"No such file", 12, true}, Utf8Case{"", 0, true},
                      Utf8Case{"\xC3\xA9t\xC3\xA9", 6, true},        // été
                      Utf8Case{"\xE6\x96\x87\xE4\xBB\xB6", 6, true}, // 文件
                      Utf8Case{"\xF0\x9F\x98\x80", 4, true},         // U+1F600
                      Utf8Case{"\xF4\x8F\xBF\xBF", 4, true},         // U+10FFFF
                      Utf8Case{"\xED\x9F\xBF", 3, true},             // U+D7FF
                      Utf8Case{"\x80", 1, false},                    // stray continuation
                      Utf8Case{"\xC0\xAF", 2, false},                // overlong '/'
                      Utf8Case{"\xC1\xBF", 2, false},                // overlong
                      Utf8Case{"\xE0\x9F\xBF", 3, false},            // overlong 3-byte
                      Utf8Case{"\xF0\x8F\xBF\xBF", 4, false},        // overlong 4-byte
                      Utf8Case{"\xED\xA0\x80", 3, false},            // surrogate U+D800
                      Utf8Case{"\xF4\x90\x80\x80", 4, false},        // above U+10FFFF
                      Utf8Case{"\xF5\x80\x80\x80", 4, false},        // invalid lead
                      Utf8Case{"\xE6\x96", 2, false},                // cut short
                      Utf8Case{"\xE6\x96x", 3, false},               // bad continuation
                      Utf8Case{"ab\xF0\x9F\x98", 5, false},          // cut short at end
                      Utf8Case{"\xFF", 1, false}));

} // namespace
} // namespace tesk::random
