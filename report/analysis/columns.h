// The columns of a comparison, a label each, and which of them is the baseline.
#pragma once

#include <vector>

#include "analysis/comparison_model.h"

namespace report {

// Columns by label, in the natural order of the labels (release-1.9 before
// release-1.10), a label's repetitions in the order given.
void gather_columns(ProgramComparison& c, const std::vector<const Run*>& runs);

// The label holding the baseline run named, else of the input named first
// the label that ran first, else the first label in order; none with the
// median. Its column comes first, and is the reference of the machines; with
// the median, the first column is.
void choose_baseline(ProgramComparison& c, const CompareSettings& s);

// Each column's pairs of rounds with the baseline's, where they ran interleaved.
void pair_with_baseline(ProgramComparison& c);

}  // namespace report
