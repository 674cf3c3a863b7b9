// The order people expect of labels and names that carry numbers:
// "release-1.9" before "release-1.10", "host-2" before "host-10".
#pragma once

#include <string_view>

namespace report {

// Whether `a` sorts before `b`: runs of digits compare as numbers (by value,
// then the shorter spelling, "7" before "07"), everything else byte by byte.
// A strict weak order, so it can sort and break ties.
bool natural_less(std::string_view a, std::string_view b);

}  // namespace report
