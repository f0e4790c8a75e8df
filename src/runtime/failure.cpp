// failure.cpp — the stderr report of internal failures and the backtrace switch.
#include "runtime/failure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

namespace tesk::runtime {
namespace {

// Read on every report rather than cached: a report is rare, and a test may set
// the variable after the module was loaded.
bool backtrace_requested() noexcept {
    const char* value = std::getenv("TESK_BACKTRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void write_backtrace() noexcept {
    void* frames[64];
    int count = ::backtrace(frames, 64);
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
    ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

} // namespace

void report(std::string_view message, std::source_location where) noexcept {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::strcpy(name, "<unnamed>");
    }
    std::fprintf(stderr, "tesk: internal failure in thread '%s' at %s:%u:%u: %.*s\n", name,
                 where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
                 message.data());
    if (backtrace_requested()) {
        write_backtrace();
    }
    std::fflush(stderr);
}

void fail(std::string message, std::source_location where) {
    report(message, where);
    throw InternalFailure(std::move(message));
}

void fail(std::string_view expectation, std::string_view rendering, std::source_location where) {
    std::string message;
    message.reserve(expectation.size() + 2 + rendering.size());
    message.append(expectation).append(": ").append(rendering);
    fail(std::move(message), where);
}

void resume(std::string message) { throw InternalFailure(std::move(message)); }

void fatal(std::string_view message, std::source_location where) noexcept {
    report(message, where);
    std::fputs("tesk: this failure has no orderly path; aborting\n", stderr);
    std::abort();
}

} // namespace tesk::runtime
