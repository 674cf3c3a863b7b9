// The one reader of UTF-8: escaping, the width of text on a terminal or in a
// chart, cutting a long name and the checks of well-formed text all take
// their characters from here, so that a byte that is not UTF-8 counts the
// same way everywhere.
#pragma once

#include <cstddef>
#include <string_view>

namespace report {

// One character of text: its code point and length in bytes, and whether the
// bytes are well-formed UTF-8. A byte that starts no well-formed sequence
// (a stray continuation byte, an overlong form, a surrogate, a value past
// U+10FFFF, a sequence cut short) reads as U+FFFD, one byte long, so that
// what follows it is read afresh.
struct Utf8Char {
    char32_t code_point;
    std::size_t length;
    bool well_formed;
};

// The character that starts at text[i]; i must be within the text.
Utf8Char decode_utf8(std::string_view text, std::size_t i);

// Length of the well-formed UTF-8 sequence starting at text[i] (1 for ASCII),
// or 0 when it is not one.
std::size_t utf8_length(std::string_view text, std::size_t i);

// Bytes of the longest start of `text` no longer than `longest` that ends
// between two characters: a name cut there keeps no half character.
std::size_t utf8_cut(std::string_view text, std::size_t longest);

}  // namespace report
