// utf8.cpp — strict UTF-8 validation (RFC 3629 well-formed byte sequences).
#include "random/utf8.h"

#include <cstdint>

namespace tesk::random {

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Sequence length, and the range of the second byte, which alone excludes the
        // overlong forms, the surrogates and code points above U+10FFFF.
        std::size_t length = 0;
        std::uint8_t second_min = 0x80;
        std::uint8_t second_max = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) {
                second_min = 0xA0;
            } else if (lead == 0xED) {
                second_max = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) {
                second_min = 0x90;
            } else if (lead == 0xF4) {
                second_max = 0x8F;
            }
        } else {
            return false;
        }
        if (size - i < length || bytes[i + 1] < second_min || bytes[i + 1] > second_max) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

} // namespace tesk::random
