// chacha_forms_bench.cpp — key-stream rate of every block-function form, and of fill_u64.
//
// Output, one item per line:
//   form <name> <ns per 8 bytes> ns/8B <GB/s> GB/s    for every form this processor runs
//   active <name>                                     the form fill_u64 uses
//   fill_u64 <ns per draw> ns/8B <GB/s> GB/s          bulk drawing from the thread generator
// Each figure is the best of several timed rounds, so it approximates the undisturbed rate.
// Time is the thread's CPU time, as `openssl speed` divides by CPU time: on a shared
// machine, the periods other processes hold the processor then do not count.
#include "../tests/native/draw_writer.h"
#include "random/bulk_form.h"
#include "random/chacha.h"
#include "random/thread_slot.h"
#include "runtime/cpu_features.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <time.h>

namespace {

/// The calling thread's CPU time, as a std::chrono clock.
struct ThreadCpuClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<ThreadCpuClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        timespec spent{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
        return time_point(std::chrono::seconds(spent.tv_sec) +
                          std::chrono::nanoseconds(spent.tv_nsec));
    }
};

using Clock = ThreadCpuClock;

/// One cache line of output: vectors of these are aligned to 64 bytes.
struct alignas(64) Line {
    std::uint8_t bytes[64];
};
using tesk::random::ChachaForm;

constexpr int rounds = 7;
constexpr auto round_length = std::chrono::milliseconds(150);

/// Best nanoseconds per 8 bytes over the rounds; `produce` makes `bytes_per_call` bytes.
template <typename Produce>
double best_ns_per_8_bytes(std::size_t bytes_per_call, Produce produce) {
    // Reading the thread's CPU time is a system call: batches of about a mebibyte keep
    // its cost out of the figures.
    const std::size_t batch = std::max<std::size_t>(1, (std::size_t{1} << 20) / bytes_per_call);
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
        std::size_t calls = 0;
        const auto start = Clock::now();
        auto now = start;
        while (now - start < round_length) {
            for (std::size_t repeat = 0; repeat < batch; ++repeat) {
                produce();
            }
            calls += batch;
            now = Clock::now();
        }
        const double ns = std::chrono::duration<double, std::nano>(now - start).count();
        best = std::min(best, ns / (static_cast<double>(calls * bytes_per_call) / 8.0));
    }
    return best;
}

void print_rate(const char* prefix, std::string_view name, double ns_per_8_bytes) {
    std::printf("%s%.*s %.4f ns/8B %.2f GB/s\n", prefix, static_cast<int>(name.size()), name.data(),
                ns_per_8_bytes, 8.0 / ns_per_8_bytes);
}

} // namespace

int main() {
    const std::uint64_t features = tesk::runtime::cpu_features();
    const std::uint32_t key[tesk::random::chacha_key_words] = {0x03020100, 0x07060504, 0x0b0a0908,
                                                               0x0f0e0d0c, 0x13121110, 0x17161514,
                                                               0x1b1a1918, 0x1f1e1d1c};
    std::size_t widest = 0;
    for (const ChachaForm& form : tesk::random::chacha_forms()) {
        widest = std::max(widest, form.blocks_per_call);
    }
    // Output aligned to cache lines, as the module's own draw buffers are: a form's
    // full-width stores would otherwise straddle two lines half of the time.
    std::vector<Line> out(widest);
    for (const ChachaForm& form : tesk::random::chacha_forms()) {
        if ((form.required_features & ~features) != 0) {
            continue;
        }
        std::uint64_t counter = 0;
        const std::size_t bytes = form.blocks_per_call * tesk::random::chacha_block_bytes;
        const double ns = best_ns_per_8_bytes(bytes, [&] {
            form.blocks(key, counter, 0, out.data()->bytes);
            counter += form.blocks_per_call;
        });
        print_rate("form ", form.name, ns);
        std::fflush(stdout);
    }
    std::printf("active %.*s\n", static_cast<int>(tesk::random::bulk_chacha_form().name.size()),
                tesk::random::bulk_chacha_form().name.data());

    // Batches of 1024 draws, as the perturbation takes them where it writes them out
    // (AVX-512 forms take theirs straight from the key stream); reseeds from the
    // kernel every 64 KiB are part of the cost.
    tesk::random::ThreadGenerator& generator = tesk::random::thread_generator();
    std::vector<Line> draws(1024 / 8);
    const double ns = best_ns_per_8_bytes(draws.size() * sizeof(Line), [&] {
        tesk::random::fill_u64(generator,
                               reinterpret_cast<std::uint64_t*>(draws.data()), 1024);
    });
    print_rate("", "fill_u64", ns);
    return 0;
}
