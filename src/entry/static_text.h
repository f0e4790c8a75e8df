// static_text.h — a text fixed at compile time, kept in the form a str stores it in.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tesk::entry {

/// A text whose largest character lies between U+0100 and U+FFFF, the range for which a
/// str keeps two bytes per character: its code units are exactly what such a str holds,
/// so making one takes an allocation and a copy, no decoding and no scan.
struct Ucs2Text {
    const char16_t* units;
    std::size_t length;
    char16_t max_char;
};

/// The characters of UTF-8 text: every byte that does not continue a sequence.
consteval std::size_t utf8_character_count(std::string_view utf8) {
    std::size_t count = 0;
    for (char byte : utf8) {
        count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

/// UTF-8 text decoded at compile time into the code units of a Ucs2Text. A text outside
/// that range, or malformed UTF-8, does not compile.
template <std::size_t Length> struct StaticUcs2Text {
    std::array<char16_t, Length> units{};
    char16_t max_char = 0;

    consteval explicit StaticUcs2Text(std::string_view utf8) {
        std::size_t at = 0;
        for (std::size_t i = 0; i < Length; ++i) {
            const auto lead = static_cast<unsigned char>(utf8.at(at));
            if (lead >= 0xF0 || (lead >= 0x80 && lead < 0xC0)) {
                throw "only characters up to U+FFFF, in well-formed UTF-8";
            }
            const std::size_t continuation = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : 2;
            unsigned value = continuation == 0   ? lead
                             : continuation == 1 ? lead & 0x1F
                                                 : lead & 0x0F;
            for (std::size_t k = 1; k <= continuation; ++k) {
                const auto byte = static_cast<unsigned char>(utf8.at(at + k));
                if ((byte & 0xC0) != 0x80) {
                    throw "only characters up to U+FFFF, in well-formed UTF-8";
                }
                value = (value << 6) | (byte & 0x3F);
            }
            units[i] = static_cast<char16_t>(value);
            max_char = units[i] > max_char ? units[i] : max_char;
            at += 1 + continuation;
        }
        if (at != utf8.size() || max_char < 0x100) {
            throw "a text with a character above U+00FF, and nothing after its last one";
        }
    }

    constexpr Ucs2Text text() const noexcept { return Ucs2Text{units.data(), Length, max_char}; }
};

} // namespace tesk::entry
