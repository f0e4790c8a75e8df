// entropy_fake.cpp — the scripted kernel behind FakeKernel.
#include "entropy_fake.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include <sys/syscall.h>

namespace tesk::random::testing {
namespace {

FakeKernel* active = nullptr;

constexpr int random_descriptor = 1000;
constexpr int urandom_descriptor = 1001;

std::string device_of(int descriptor) {
    switch (descriptor) {
    case random_descriptor:
        return "/dev/random";
    case urandom_descriptor:
        return "/dev/urandom";
    default:
        return "fd" + std::to_string(descriptor);
    }
}

/// Takes the next scripted outcome, or plain success once the script is used up.
FakeOutcome next_outcome(std::deque<FakeOutcome>& script) {
    if (script.empty()) {
        return {};
    }
    FakeOutcome outcome = script.front();
    script.pop_front();
    return outcome;
}

} // namespace

struct FakeCalls {
    static long serve(FakeOutcome outcome, void* buffer, std::size_t length) {
        if (outcome.fails) {
            errno = outcome.error;
            return -1;
        }
        const std::size_t count = std::min(length, outcome.max_bytes);
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        for (std::size_t i = 0; i < count; ++i) {
            bytes[i] = FakeKernel::byte_at(active->position_ + i);
        }
        active->position_ += count;
        return static_cast<long>(count);
    }

    static long syscall(long number, ...) {
        if (number != SYS_getrandom) {
            throw std::logic_error("unexpected system call " + std::to_string(number));
        }
        std::va_list arguments;
        va_start(arguments, number);
        void* buffer = va_arg(arguments, void*);
        const std::size_t length = va_arg(arguments, std::size_t);
        const unsigned flags = va_arg(arguments, unsigned);
        va_end(arguments);
        const std::lock_guard lock(active->mutex_);
        active->log_.push_back("getrandom " + std::to_string(length) + " " + std::to_string(flags));
        if (buffer == nullptr) {
            if (active->probe_error_ != 0) {
                errno = active->probe_error_;
                return -1;
            }
            return 0;
        }
        return serve(next_outcome(active->getrandom_script_), buffer, length);
    }

    static int open64(const char* path, int flags, ...) {
        const std::lock_guard lock(active->mutex_);
        const std::string name(path);
        active->log_.push_back("open64 " + name + (flags == (O_RDONLY | O_CLOEXEC) ? "" : " ?"));
        const FakeOutcome outcome = next_outcome(active->open_scripts_[name]);
        if (outcome.fails) {
            errno = outcome.error;
            return -1;
        }
        if (name == "/dev/random") {
            return random_descriptor;
        }
        active->urandom_number_ = FakeKernel::UrandomNumber::device;
        return urandom_descriptor;
    }

    static int fstat(int descriptor, struct stat* status) {
        const std::lock_guard lock(active->mutex_);
        const bool urandom = descriptor == urandom_descriptor;
        if ((!urandom && descriptor != random_descriptor) ||
            (urandom && active->urandom_number_ == FakeKernel::UrandomNumber::closed)) {
            errno = EBADF;
            return -1;
        }
        *status = {};
        status->st_dev = 6;
        // A reused number names another file on the same device, as /dev/null would be.
        const bool reused = urandom && active->urandom_number_ == FakeKernel::UrandomNumber::reused;
        status->st_ino = reused ? 3 : static_cast<ino_t>(descriptor);
        return 0;
    }

    static ssize_t read(int descriptor, void* buffer, std::size_t length) {
        const std::lock_guard lock(active->mutex_);
        active->log_.push_back("read " + device_of(descriptor) + " " + std::to_string(length));
        return serve(next_outcome(active->read_script_), buffer, length);
    }

    static int poll(pollfd* descriptors, nfds_t count, int timeout) {
        FakeOutcome outcome;
        std::chrono::milliseconds delay;
        {
            const std::lock_guard lock(active->mutex_);
            std::string entry = "poll " + device_of(descriptors[0].fd);
            if (count != 1 || descriptors[0].events != POLLIN || timeout != -1) {
                entry += " ?";
            }
            active->log_.push_back(entry);
            outcome = next_outcome(active->poll_script_);
            delay = active->poll_delay_;
        }
        std::this_thread::sleep_for(delay);
        if (outcome.fails) {
            errno = outcome.error;
            return -1;
        }
        descriptors[0].revents = POLLIN;
        return 1;
    }

    static int close(int descriptor) {
        const std::lock_guard lock(active->mutex_);
        active->log_.push_back("close " + device_of(descriptor));
        return 0;
    }
};

FakeKernel::FakeKernel() {
    if (active != nullptr) {
        throw std::logic_error("only one FakeKernel at a time");
    }
    active = this;
    previous_ = replace_entropy_calls_for_testing({&FakeCalls::syscall, &FakeCalls::open64,
                                                   &FakeCalls::fstat, &FakeCalls::read,
                                                   &FakeCalls::poll, &FakeCalls::close});
}

FakeKernel::~FakeKernel() {
    replace_entropy_calls_for_testing(previous_);
    active = nullptr;
}

std::uint8_t FakeKernel::byte_at(std::size_t position) {
    // A multiplier coprime to 256 gives every seed distinct, non-trivial bytes.
    return static_cast<std::uint8_t>((position * 167 + 13) ^ (position >> 8));
}

std::vector<std::uint8_t> FakeKernel::seed(std::size_t k) {
    std::vector<std::uint8_t> bytes(32);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = byte_at(32 * k + i);
    }
    return bytes;
}

void FakeKernel::set_probe_error(int error) {
    const std::lock_guard lock(mutex_);
    probe_error_ = error;
}

void FakeKernel::script_getrandom(std::deque<FakeOutcome> outcomes) {
    const std::lock_guard lock(mutex_);
    getrandom_script_ = std::move(outcomes);
}

void FakeKernel::script_read(std::deque<FakeOutcome> outcomes) {
    const std::lock_guard lock(mutex_);
    read_script_ = std::move(outcomes);
}

void FakeKernel::script_poll(std::deque<FakeOutcome> outcomes) {
    const std::lock_guard lock(mutex_);
    poll_script_ = std::move(outcomes);
}

void FakeKernel::script_open(const std::string& path, std::deque<FakeOutcome> outcomes) {
    const std::lock_guard lock(mutex_);
    open_scripts_[path] = std::move(outcomes);
}

void FakeKernel::reuse_urandom_number() {
    const std::lock_guard lock(mutex_);
    urandom_number_ = UrandomNumber::reused;
}

void FakeKernel::close_urandom_number() {
    const std::lock_guard lock(mutex_);
    urandom_number_ = UrandomNumber::closed;
}

void FakeKernel::set_poll_delay(std::chrono::milliseconds delay) {
    const std::lock_guard lock(mutex_);
    poll_delay_ = delay;
}

void FakeKernel::rewind() {
    const std::lock_guard lock(mutex_);
    position_ = 0;
}

std::vector<std::string> FakeKernel::log() const {
    const std::lock_guard lock(mutex_);
    return log_;
}

void FakeKernel::clear_log() {
    const std::lock_guard lock(mutex_);
    log_.clear();
}

std::size_t FakeKernel::bytes_served() const {
    const std::lock_guard lock(mutex_);
    return position_;
}

} // namespace tesk::random::testing
