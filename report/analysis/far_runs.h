// The runs of a comparison far from the fleet's median, and the repetitions far from their label's.
#pragma once

#include "analysis/comparison_model.h"

namespace report {

// Runs far from the median: a geometric mean (single-thread or overall) far
// from the fleet's median of it, whatever the baseline; into c.outliers,
// furthest first. Needs the rows and geometric means.
void find_outliers(ProgramComparison& c, double noise);

// The repetitions of each label far from the label's others, tested so
// that plain noise rarely marks one; into c.far. Needs the rows.
void find_far_repetitions(ProgramComparison& c, double noise);

}  // namespace report
