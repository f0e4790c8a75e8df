// entropy.cpp — fill_entropy: getrandom when the kernel offers it, /dev/urandom otherwise.
#include "random/entropy.h"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tesk::random {
namespace {

constexpr std::uint64_t getrandom_unknown = ~std::uint64_t{0};
constexpr std::uint64_t getrandom_unusable = 0;
constexpr std::uint64_t getrandom_usable = 1;
constexpr std::uint64_t no_descriptor = ~std::uint64_t{0};

// Every C-library call goes through this table so that tests can stand in for the
// kernel. Constant-initialised; replaced only by replace_entropy_calls_for_testing.
EntropyCalls calls = {&::syscall, &::open64, &::fstat, &::read, &::poll, &::close};

// Decided by the first request's probe and never changed after. Threads that find it
// unknown at the same moment both probe and store the same answer, so no lock.
std::atomic<std::uint64_t> getrandom_state{getrandom_unknown};

// The /dev/urandom descriptor, kept open for the life of the process, and the device and
// inode it was opened as. Read without a lock; only their replacement is serialised, by
// descriptor_mutex. The identity is written before the descriptor is published (release),
// and every opening of the device gives the same one, so a reader never finds a genuine
// descriptor at odds with it.
std::atomic<std::uint64_t> urandom_descriptor{no_descriptor};
std::atomic<std::uint64_t> urandom_device{0};
std::atomic<std::uint64_t> urandom_inode{0};
pthread_mutex_t descriptor_mutex = PTHREAD_MUTEX_INITIALIZER;

class DescriptorLock {
public:
    DescriptorLock() noexcept { pthread_mutex_lock(&descriptor_mutex); }
    ~DescriptorLock() { pthread_mutex_unlock(&descriptor_mutex); }
    DescriptorLock(const DescriptorLock&) = delete;
    DescriptorLock& operator=(const DescriptorLock&) = delete;
};

EntropyError error_from_errno(int error) noexcept {
    return error > 0 ? EntropyError{static_cast<std::uint32_t>(error)}
                     : EntropyError{entropy_errno_not_positive};
}

/// Fills the buffer by repeated `attempt(position, remaining)` calls, which return a
/// byte count or a negative value with errno set. Short counts simply lead to another
/// call; EINTR repeats the call; any other errno is the result. A call that returns no
/// bytes fails with EIO: a file at its end (what a reused descriptor number may name)
/// would otherwise be read forever.
template <typename Attempt>
std::optional<EntropyError> fill_by(std::uint8_t* position, std::size_t remaining,
                                    Attempt attempt) noexcept {
    while (remaining > 0) {
        const long result = attempt(position, remaining);
        if (result == 0) {
            return EntropyError{EIO};
        }
        if (result > 0) {
            position += result;
            remaining -= static_cast<std::size_t>(result);
            continue;
        }
        const int error = errno;
        if (error != EINTR) {
            return error_from_errno(error);
        }
    }
    return std::nullopt;
}

/// Probes once per process with an empty non-blocking request. Only ENOSYS and EPERM
/// rule the system call out; any other failure (EAGAIN included) means it exists.
bool getrandom_available() noexcept {
    std::uint64_t state = getrandom_state.load(std::memory_order_relaxed);
    if (state == getrandom_unknown) {
        bool available = true;
        if (calls.syscall(SYS_getrandom, static_cast<void*>(nullptr), std::size_t{0},
                          static_cast<unsigned>(GRND_NONBLOCK)) < 0) {
            const int error = errno;
            available = error != ENOSYS && error != EPERM;
        }
        state = available ? getrandom_usable : getrandom_unusable;
        getrandom_state.store(state, std::memory_order_relaxed);
    }
    return state == getrandom_usable;
}

/// Opens `path` read-only and close-on-exec, repeating an interrupted open.
std::optional<EntropyError> open_device(const char* path, int& descriptor) noexcept {
    for (;;) {
        const int result = calls.open64(path, O_RDONLY | O_CLOEXEC);
        if (result >= 0) {
            descriptor = result;
            return std::nullopt;
        }
        const int error = errno;
        if (error != EINTR) {
            return error_from_errno(error);
        }
    }
}

/// Blocks until the kernel's pool is initialised: /dev/random turns readable then.
/// The /dev/random descriptor is closed whether or not the wait succeeds.
std::optional<EntropyError> wait_for_random_pool() noexcept {
    int descriptor = -1;
    if (auto error = open_device("/dev/random", descriptor)) {
        return error;
    }
    std::optional<EntropyError> outcome;
    pollfd request{descriptor, POLLIN, 0};
    for (;;) {
        if (calls.poll(&request, 1, -1) >= 0) {
            break;
        }
        const int error = errno;
        if (error != EINTR && error != EAGAIN) {
            outcome = error_from_errno(error);
            break;
        }
    }
    calls.close(descriptor);
    return outcome;
}

/// Whether the kept descriptor `cached` still names the device it was opened as. A closed
/// number fails the check, and so does one reused for any other file.
bool still_urandom(std::uint64_t cached) noexcept {
    if (cached == no_descriptor) {
        return false;
    }
    struct stat status {};
    return calls.fstat(static_cast<int>(cached), &status) == 0 &&
           static_cast<std::uint64_t>(status.st_dev) ==
               urandom_device.load(std::memory_order_relaxed) &&
           static_cast<std::uint64_t>(status.st_ino) ==
               urandom_inode.load(std::memory_order_relaxed);
}

/// Opens /dev/urandom after the readiness wait, records its device and inode, and
/// publishes its descriptor. Called with descriptor_mutex held.
std::optional<EntropyError> open_urandom(int& descriptor) noexcept {
    if (auto error = wait_for_random_pool()) {
        return error;
    }
    if (auto error = open_device("/dev/urandom", descriptor)) {
        return error;
    }
    struct stat status {};
    if (calls.fstat(descriptor, &status) != 0) {
        const int error = errno;
        calls.close(descriptor);
        return error_from_errno(error);
    }
    urandom_device.store(static_cast<std::uint64_t>(status.st_dev), std::memory_order_relaxed);
    urandom_inode.store(static_cast<std::uint64_t>(status.st_ino), std::memory_order_relaxed);
    urandom_descriptor.store(static_cast<std::uint64_t>(descriptor), std::memory_order_release);
    return std::nullopt;
}

/// The kept /dev/urandom descriptor, checked to be the device still; opened (again) by
/// the first caller that finds none or finds its number taken over. On failure nothing is
/// kept, so the next request waits and opens again.
std::optional<EntropyError> obtain_urandom_descriptor(int& descriptor) noexcept {
    std::uint64_t cached = urandom_descriptor.load(std::memory_order_acquire);
    if (still_urandom(cached)) [[likely]] {
        descriptor = static_cast<int>(cached);
        return std::nullopt;
    }
    DescriptorLock lock;
    // Another thread may have opened it while this one waited for the lock.
    cached = urandom_descriptor.load(std::memory_order_relaxed);
    if (still_urandom(cached)) {
        descriptor = static_cast<int>(cached);
        return std::nullopt;
    }
    // A number that no longer names the device belongs to whoever reused it: forgotten,
    // never closed.
    urandom_descriptor.store(no_descriptor, std::memory_order_relaxed);
    return open_urandom(descriptor);
}

} // namespace

std::optional<EntropyError> fill_entropy(std::uint8_t* buffer, std::size_t length) noexcept {
    if (length == 0) {
        return std::nullopt;
    }
    if (getrandom_available()) {
        return fill_by(buffer, length, [](std::uint8_t* position, std::size_t remaining) {
            return calls.syscall(SYS_getrandom, position, remaining, 0u);
        });
    }
    int descriptor = -1;
    if (auto error = obtain_urandom_descriptor(descriptor)) {
        return error;
    }
    return fill_by(buffer, length, [descriptor](std::uint8_t* position, std::size_t remaining) {
        return static_cast<long>(calls.read(descriptor, position, remaining));
    });
}

EntropyCalls replace_entropy_calls_for_testing(const EntropyCalls& replacement) noexcept {
    const EntropyCalls previous = calls;
    calls = replacement;
    getrandom_state.store(getrandom_unknown, std::memory_order_relaxed);
    urandom_descriptor.store(no_descriptor, std::memory_order_relaxed);
    return previous;
}

} // namespace tesk::random
