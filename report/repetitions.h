// The repetitions of one measurement: runs of one program that share a label,
// summarised figure by figure as a sample (median, spread, n).
#pragma once

#include <vector>

#include "run.h"
#include "table.h"

namespace report {

// A table per program and label with two or more runs: each test's single
// rate, overall rate and improvement as the median of the repetitions, their
// minimum and maximum, coefficient of variation and count.
std::vector<Table> repetition_tables(const std::vector<Run>& runs);

}  // namespace report
