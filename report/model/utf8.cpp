#include "model/utf8.h"

namespace report {

namespace {

constexpr Utf8Char not_utf8{0xFFFD, 1, false};

// The bytes a sequence has from its first byte, 0 for one that starts none
// (a continuation byte, C0 and C1 which could only start overlong forms,
// F5 to FF which could only start values past U+10FFFF).
std::size_t sequence_length(unsigned char c) {
    if (c < 0x80)
        return 1;
    if (c < 0xC2 || c > 0xF4)
        return 0;
    return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
}

}  // namespace

Utf8Char decode_utf8(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    std::size_t n = sequence_length(c);
    if (n == 1)
        return {c, 1, true};
    if (n == 0 || i + n > text.size())
        return not_utf8;
    // The second byte's range also rules out the overlong three- and
    // four-byte forms, the surrogates and the values past U+10FFFF.
    unsigned char d = byte(i + 1);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) ||
        (c == 0xF4 && d > 0x8F))
        return not_utf8;
    char32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return not_utf8;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    return {cp, n, true};
}

std::size_t utf8_length(std::string_view text, std::size_t i) {
    Utf8Char c = decode_utf8(text, i);
    return c.well_formed ? c.length : 0;
}

std::size_t utf8_cut(std::string_view text, std::size_t longest) {
    std::size_t cut = 0;
    while (cut < text.size()) {
        std::size_t next = cut + decode_utf8(text, cut).length;
        if (next > longest)
            break;
        cut = next;
    }
    return cut;
}

}  // namespace report
