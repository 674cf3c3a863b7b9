// The rows of a comparison: each figure of each test read from every label and marked.
#pragma once

#include <optional>

#include "analysis/comparison_model.h"

namespace report {

// A row per figure of every test kept (`s.tests`, `s.figures`) that some
// label of `c` has, in catalogue order, each cell marked against the row's
// baseline: the baseline label's cell, or the median of the labels'.
void add_rows(ProgramComparison& c, const CompareSettings& s);

// One repetition's value of a row's figure, when it has a positive one.
std::optional<double> repetition_value(const Run& rep, const FigureRow& row);

}  // namespace report
