// The mark of a figure against its baseline: the noise band, the test between repetitions.
#pragma once

#include <cstddef>
#include <optional>

#include "analysis/comparison_model.h"

namespace report {

// How many times longer the run takes than the baseline for the same work:
// baseline / run for rates and improvements, run / baseline for seconds.
double time_factor(double ratio, Better better);

// The mark of a ratio: "same" within the noise band, measured on the ratio's
// logarithm so that twice as fast and twice as slow lie equally far.
Mark classify(double ratio, Better better, double noise);

// The one rule for "far from the median", on logarithms of ratios: `x` far
// from `median` given the spread `mad` (absent: no spread, the band alone
// decides) and the noise band in percent.
bool far_from_median(double x, double median, std::optional<double> mad, double noise);

// The fewest pairs that let the two-sided paired test of a figure reach
// `significance_level` (6: each side needs 2^-n <= 2.5%).
std::size_t figure_pairs_needed();

// The test between `m` repetitions of the baseline and `n` of a label: none
// below min_repetitions_a_side on either side.
SignificanceTest test_for(std::size_t m, std::size_t n);

// The pairs column `column`'s figures are tested on: its pairing with the
// baseline, when it has figure_pairs_needed pairs; else none.
const Pairing* figure_pairing(const ProgramComparison& c, std::size_t column);

// `cell` against `base`: its ratio and mark, and with repetitions on both
// sides the test of the change, whose estimate, interval and significance
// give the ratio shown and the mark. `paired`: the column's pairs of rounds
// with the baseline, to test pair by pair.
void compare_cell(Cell& cell, const Cell& base, Better better, double noise,
                  const Pairing* paired = nullptr);

}  // namespace report
