// entropy_fake.h — a scripted stand-in for the kernel behind the entropy source, for tests.
#pragma once

#include "random/entropy.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tesk::random::testing {

/// What one scripted call does: fail with `error` (which may be zero or negative), or
/// succeed with at most `max_bytes` bytes.
struct FakeOutcome {
    bool fails = false;
    int error = 0;
    std::size_t max_bytes = SIZE_MAX;

    static FakeOutcome failure(int error) { return {true, error, 0}; }
    static FakeOutcome partial(std::size_t bytes) { return {false, 0, bytes}; }
};

/// While alive, the entropy source talks to this object instead of the C library; its
/// destructor puts the C library back and forgets the probe and descriptor state, so
/// nothing carries over to the next test. Only one may exist at a time.
///
/// Bytes come from an endless deterministic sequence, `byte_at(position)`, so a request
/// of 32 bytes after n earlier bytes yields byte_at(n) to byte_at(n + 31). Every call but
/// fstat (a check, not a source) is logged as a short line ("getrandom 32 0", "open64
/// /dev/random", "poll /dev/random", "close /dev/random", "read /dev/urandom 32").
class FakeKernel {
public:
    FakeKernel();
    ~FakeKernel();
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    static std::uint8_t byte_at(std::size_t position);
    /// The 32 bytes that the k-th 32-byte request receives when nothing fails or is short.
    static std::vector<std::uint8_t> seed(std::size_t k);

    /// errno of the getrandom probe; 0 lets it succeed.
    void set_probe_error(int error);
    /// Outcomes of the next calls of each kind, in order; once used up, calls succeed.
    void script_getrandom(std::deque<FakeOutcome> outcomes);
    void script_read(std::deque<FakeOutcome> outcomes);
    void script_poll(std::deque<FakeOutcome> outcomes);
    void script_open(const std::string& path, std::deque<FakeOutcome> outcomes);
    /// What the kept /dev/urandom descriptor's number names from now on, as fstat reports
    /// it, until /dev/urandom is opened again: another file, or nothing (closed).
    void reuse_urandom_number();
    void close_urandom_number();
    /// How long each poll blocks before it reports readiness.
    void set_poll_delay(std::chrono::milliseconds delay);
    /// Serves the byte sequence from its start again.
    void rewind();

    std::vector<std::string> log() const;
    void clear_log();
    std::size_t bytes_served() const;

private:
    friend struct FakeCalls;
    mutable std::mutex mutex_;
    int probe_error_ = 0;
    std::deque<FakeOutcome> getrandom_script_;
    std::deque<FakeOutcome> read_script_;
    std::deque<FakeOutcome> poll_script_;
    std::map<std::string, std::deque<FakeOutcome>> open_scripts_;
    std::chrono::milliseconds poll_delay_{0};
    enum class UrandomNumber { device, reused, closed } urandom_number_ = UrandomNumber::device;
    std::size_t position_ = 0;
    std::vector<std::string> log_;
    EntropyCalls previous_;
};

} // namespace tesk::random::testing
