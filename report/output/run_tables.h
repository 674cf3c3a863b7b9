// The tables of `show`: one per run, and one per label of repetitions (runs
// of one program that share a label, summarised figure by figure as a sample:
// median, spread, n).
#pragma once

#include <vector>

#include "model/run.h"
#include "output/table.h"

namespace report {

// A table per program and label with two or more runs: each test's single
// rate, overall rate and improvement as the median of the repetitions, their
// minimum and maximum, coefficient of variation and count.
std::vector<Table> repetition_tables(const std::vector<Run>& runs);

// One table per run: a row per test with the figures above, findings as
// notes; then, when a test has an improvement, its explanation (output/scaling_view.h).
std::vector<Table> show_tables(const Run& run);

}  // namespace report
