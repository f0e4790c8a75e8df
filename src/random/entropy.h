// entropy.h — random bytes from the kernel: getrandom, or /dev/urandom once the pool is ready.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace tesk::random {

/// Why the kernel could not supply bytes: an errno value (1 to 2^31 - 1), or an internal
/// code from 2^31 up. Never zero.
struct EntropyError {
    std::uint32_t code;
};

/// First internal code; smaller codes are errno values.
constexpr std::uint32_t entropy_internal_codes = 0x80000000;
/// A call failed but errno held zero or a negative value.
constexpr std::uint32_t entropy_errno_not_positive = 0x80000001;

/// Fills all `length` bytes of `buffer` with fresh kernel randomness, or returns the
/// error of the call that failed (the bytes written so far are then unspecified); a call
/// that returns no bytes fails with EIO. The /dev/urandom descriptor is kept open between
/// requests and used only while its number still names the device it was opened as
/// (same device and inode); otherwise the device is opened again, and the number, now
/// someone else's, is left alone. A `length` of 0 succeeds without any system call. Safe
/// to call from several threads.
std::optional<EntropyError> fill_entropy(std::uint8_t* buffer, std::size_t length) noexcept;

/// The message text of `error`: the system's description of an errno value, or the
/// fixed text of an internal code.
std::string entropy_error_text(EntropyError error);

/// The C-library functions through which the entropy source reaches the kernel.
struct EntropyCalls {
    long (*syscall)(long number, ...);
    int (*open64)(const char* path, int flags, ...);
    int (*fstat)(int descriptor, struct stat* status);
    ssize_t (*read)(int descriptor, void* buffer, std::size_t length);
    int (*poll)(pollfd* descriptors, nfds_t count, int timeout);
    int (*close)(int descriptor);
};

/// Test only. Routes the source's calls through `calls` and forgets the getrandom probe
/// result and the cached /dev/urandom descriptor (without closing it), so that the next
/// request starts afresh. Returns the calls in use before. Not thread-safe: no other
/// thread may be inside fill_entropy meanwhile.
EntropyCalls replace_entropy_calls_for_testing(const EntropyCalls& calls) noexcept;

} // namespace tesk::random
