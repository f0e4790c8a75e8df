// utf8.h — UTF-8 well-formedness and lossy decoding, shared by every layer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tesk::runtime {

/// Byte offset of the first ill-formed sequence (stray continuation byte, overlong
/// form, surrogate, code point above U+10FFFF, cut-short sequence), or npos.
std::size_t utf8_error_offset(std::string_view text) noexcept;

/// Whether `text` is well-formed UTF-8.
inline bool is_valid_utf8(std::string_view text) noexcept {
    return utf8_error_offset(text) == std::string_view::npos;
}

/// `text` with every maximal ill-formed subsequence replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view text);

} // namespace tesk::runtime
