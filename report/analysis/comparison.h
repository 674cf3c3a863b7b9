// A comparison of runs: each figure of each label against its baseline, a program each.
//
// It reads runs and computes; it never formats, prints or loads anything.
// What it makes is comparison_model.h's; how a figure is marked,
// marking.h's. The views (text, Markdown, CSV, JSON, HTML) present it.
#pragma once

#include <vector>

#include "analysis/comparison_model.h"
#include "analysis/marking.h"
#include "model/run.h"

namespace report {

// Compares the runs, grouped by program in order of first appearance, and
// within a program by label (the baseline's column first, the others in the
// labels' natural order): runs with one label are repetitions, a sample. A
// program's baseline is the label of its run among `settings.baselines`,
// else, of the runs of the input named first (Run::input) when they come
// from several, the label that ran first, else the first label; or the
// median of the labels. Between two labels with at least
// min_repetitions_a_side repetitions each a figure is marked better or worse
// only when the change is significant (Mann-Whitney U where it can reach the
// level, else Welch's t-test on the logarithms) and outside the noise band.
std::vector<ProgramComparison> compare_runs(const std::vector<const Run*>& runs,
                                            const CompareSettings& settings);

}  // namespace report
