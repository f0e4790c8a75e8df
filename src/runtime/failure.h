// failure.h — internal failures: the one exception type of the module and its report.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace tesk::runtime {

/// A stop of the current call on a broken invariant. It carries its message to the
/// trap of the call frame, which turns it into pyo3_runtime.PanicException.
class InternalFailure final : public std::exception {
public:
    explicit InternalFailure(std::string message) noexcept : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

/// Reports the failure on standard error (thread, message, source location, and a
/// backtrace when TESK_BACKTRACE=1), then throws InternalFailure.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

/// fail() for the "expectation: rendering" form of message.
[[noreturn]] void fail(std::string_view expectation, std::string_view rendering,
                       std::source_location where = std::source_location::current());

/// Throws InternalFailure without a report: for a failure that was already
/// reported elsewhere (a panic resumed from Python code).
[[noreturn]] void resume(std::string message);

/// For failures with no orderly path (frame open/close, destructors, callbacks):
/// reports and ends the process.
[[noreturn]] void fatal(std::string_view message,
                        std::source_location where = std::source_location::current()) noexcept;

/// Writes the report of a failure to standard error. Never throws.
void report(std::string_view message, std::source_location where) noexcept;

} // namespace tesk::runtime
