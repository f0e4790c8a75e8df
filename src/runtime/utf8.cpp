// utf8.cpp — UTF-8 sequences as RFC 3629 defines them, and U+FFFD replacement.
#include "runtime/utf8.h"

namespace tesk::runtime {
namespace {

/// The sequence starting at `i`: its length if well formed, else the length of its
/// maximal ill-formed subpart (at least 1).
struct Sequence {
    std::size_t length;
    bool well_formed;
};

Sequence sequence_at(std::string_view text, std::size_t i) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
        return {1, true};
    }
    // The range of the second byte alone excludes the overlong forms, the
    // surrogates and the code points above U+10FFFF.
    std::size_t trailing;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        if (lead == 0xE0) {
            second_low = 0xA0;
        } else if (lead == 0xED) {
            second_high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        if (lead == 0xF0) {
            second_low = 0x90;
        } else if (lead == 0xF4) {
            second_high = 0x8F;
        }
    } else {
        return {1, false};
    }
    std::size_t length = 1;
    while (length <= trailing && i + length < text.size()) {
        const unsigned char next = bytes[i + length];
        const unsigned char low = length == 1 ? second_low : 0x80;
        const unsigned char high = length == 1 ? second_high : 0xBF;
        if (next < low || next > high) {
            break;
        }
        ++length;
    }
    return {length, length == trailing + 1};
}

} // namespace

std::size_t utf8_error_offset(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const Sequence sequence = sequence_at(text, i);
        if (!sequence.well_formed) {
            return i;
        }
        i += sequence.length;
    }
    return std::string_view::npos;
}

std::string decode_utf8_lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Sequence sequence = sequence_at(text, i);
        if (sequence.well_formed) {
            out.append(text.substr(i, sequence.length));
        } else {
            out.append("\xEF\xBF\xBD");
        }
        i += sequence.length;
    }
    return out;
}

} // namespace tesk::runtime
