// The fields of one line of a results file or transcript, read off its
// front: a prefix, a figure, a count, a unit, the note of threads that ran
// out of memory. The parser (parse.cpp) puts the lines together.
#pragma once

#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "model/run.h"

namespace report::parse_fields {

inline bool starts(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// The unit as it follows a figure, with its leading space.
inline std::string unit_text(const Test& test) {
    return " " + test.unit;
}

inline bool eat(std::string_view& s, std::string_view prefix) {
    if (!starts(s, prefix))
        return false;
    s.remove_prefix(prefix.size());
    return true;
}

// A figure from the front of `s`, up to the next space. Accepts what a C++
// stream prints for a double, "inf" and "nan" included.
inline std::optional<Figure> take_figure(std::string_view& s) {
    std::size_t end = s.find(' ');
    std::string_view token = s.substr(0, end);
    if (token.empty())
        return std::nullopt;
    double value = 0;
    auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec != std::errc() || ptr != token.data() + token.size())
        return std::nullopt;
    s.remove_prefix(token.size());
    return Figure{std::string(token), value};
}

// A non-negative decimal integer from the front of `s`.
template <typename Int>
std::optional<Int> take_integer(std::string_view& s) {
    Int value = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || ptr == s.data())
        return std::nullopt;
    s.remove_prefix(static_cast<std::size_t>(ptr - s.data()));
    return value;
}

// " (incomplete: N thread(s) ran out of memory)" at the end of `s`, if there.
inline int take_incomplete(std::string_view& s) {
    constexpr std::string_view head = " (incomplete: ";
    constexpr std::string_view tail = " thread(s) ran out of memory)";
    std::size_t at = s.find(head);
    if (at == std::string_view::npos || s.size() < tail.size() ||
        s.substr(s.size() - tail.size()) != tail)
        return 0;
    std::string_view n = s.substr(at + head.size(), s.size() - tail.size() - at - head.size());
    std::string_view digits = n;
    auto count = take_integer<int>(digits);
    if (!count || !digits.empty() || *count <= 0)
        return 0;
    s = s.substr(0, at);
    return *count;
}

}  // namespace report::parse_fields
