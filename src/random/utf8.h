// utf8.h — strict UTF-8 validation for texts that come from the C library.
#pragma once

#include <string_view>

namespace tesk::random {

/// Whether `text` is well-formed UTF-8: no stray continuation bytes, no overlong forms,
/// no surrogates, nothing above U+10FFFF, no sequence cut short.
bool is_valid_utf8(std::string_view text) noexcept;

} // namespace tesk::random
