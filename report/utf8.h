// Well-formed UTF-8, for the writers that must emit valid text (XML, JSON)
// from paths and labels that can hold any bytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace report {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when it
// is not one (overlong forms, surrogates and values past U+10FFFF included).
inline std::size_t utf8_length(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (c > 0xF4 || n == 0 || i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    unsigned char d = byte(i + 1);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
        (c == 0xF4 && d > 0x8F))
        return 0;
    return n;
}

}  // namespace report
