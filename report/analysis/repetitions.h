// The fewest repetitions a side that a test between two labels is made with.
#pragma once

#include <cstddef>

namespace report {

// The fewest repetitions on each side with which the tests between two
// labels give an interval: a comparison marks a figure on a test only then,
// the gate tests a slowdown only then, and a history's last `run` is
// compared alone only when it made this many.
inline constexpr std::size_t min_repetitions_a_side = 3;

}  // namespace report
