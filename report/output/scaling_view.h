// The words and tables of scaling: each improvement figure of a run
// explained (show, the page), and a sweep's curve as a table (show). They
// word what analysis/scaling.h decided and compute nothing of their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/scaling.h"
#include "output/table.h"

namespace report {

// "Scaling of PATH": a row per test with an improvement (the ideal, the
// improvement, the efficiency, the slowest thread against the mean) and
// notes that say what was measured of where the threads ran and what could
// not be; absent when no test has an improvement.
std::optional<Table> scaling_table(const Run& run, const RunScaling& scaling);

// One test's clock in words: "all-core clock x0.93 of the one-core clock
// (sampled scaling_cur_freq, 41 and 40 samples)", or why there is none.
std::string clock_phrase(const TestScaling& test, const ClockNote& clock);

// A table per sweep: each test's overall rate at each point, the ideal line
// (the one-thread rate times the threads), the efficiency, and SMT points marked.
std::vector<Table> curve_tables(const std::vector<SweepCurve>& curves);

// compare: after its own tables, a table per program and label (at most
// most_compared_labels of a program) with what show says of each test's
// improvement, as medians over the label's repetitions: the ideal, the
// improvement, the efficiency, the slowest thread's share and the all-core
// clock; under it, in a line or two, where the threads ran and the clock's
// source or why it could not be measured. Each fits 80 columns but for a
// label too long for a line of its own.
std::vector<Table> compare_scaling_tables(const std::vector<ProgramComparison>& comparisons);
inline constexpr std::size_t most_compared_labels = 10;

// show --format json: each run's explanation and each sweep's curve, the
// same numbers the text prints, as one JSON document ending in a newline.
std::string scaling_json(const std::vector<const Run*>& runs, const std::vector<SweepCurve>& curves);

}  // namespace report
