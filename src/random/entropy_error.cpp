// entropy_error.cpp — the message text of an entropy error code.
#include "random/entropy.h"
#include "runtime/contract_texts.h"
#include "runtime/utf8.h"

#include <cstring>

// The XSI strerror_r: it writes into the caller's buffer and returns a status, where the
// GNU variant that <string.h> declares in C++ may return a static string instead.
extern "C" int __xpg_strerror_r(int error, char* buffer, std::size_t length) noexcept;

namespace tesk::random {
namespace {

std::string os_error_fallback(std::uint32_t code) {
    return contract_text::os_error + std::to_string(code);
}

} // namespace

std::string entropy_error_text(EntropyError error) {
    if (error.code >= entropy_internal_codes) {
        if (error.code == entropy_errno_not_positive) {
            return contract_text::errno_not_positive;
        }
        return contract_text::unknown_error + std::to_string(error.code);
    }
    char text[128] = {};
    if (__xpg_strerror_r(static_cast<int>(error.code), text, sizeof text) != 0) {
        return os_error_fallback(error.code);
    }
    const std::string_view description(text, strnlen(text, sizeof text));
    if (!runtime::is_valid_utf8(description)) {
        return os_error_fallback(error.code);
    }
    return std::string(description);
}

} // namespace tesk::random
