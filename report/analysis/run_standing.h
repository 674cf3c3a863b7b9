// What a comparison says of each run as a whole, for the views that show a
// run on one line or as one dot: its mark over every figure, its figure
// furthest on the slow side, the order of runs slowest first, and the figure
// whose tested ratio stands furthest from the ratio of its medians.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "analysis/comparison.h"

namespace report {

// A run's mark over all its figures: worse when any figure is worse, else
// better when any is better, else the same; none for the baseline's own
// column and for a run with no figure compared.
Mark overall_mark(const ProgramComparison& comparison, std::size_t run);

// The row of the run's figure furthest from the baseline on the slow side
// (the largest time factor, the first such row on a tie); absent for the
// baseline's own column and when no figure of the run has a ratio.
std::optional<std::size_t> worst_figure(const ProgramComparison& comparison, std::size_t run);

// Positions into `ratios` (ratios of rates to a baseline) slowest first: in
// ascending order of ratio, equal ones in their given order, those without a
// ratio (or with one that is not a number) last.
std::vector<std::size_t> slowest_first(const std::vector<std::optional<double>>& ratios);

// The runs of a comparison slowest first by the geometric mean of their
// overall rates: the fleet table's order.
std::vector<std::size_t> slowest_overall_first(const ProgramComparison& comparison);

// A figure of one run: its row and its column.
struct FigureAt {
    std::size_t row = 0;
    std::size_t run = 0;
};

// Of the figures whose ratio is a test's estimate standing apart from the
// ratio of the medians (Cell::medians_ratio), the one furthest from it, on
// a logarithmic scale; absent when none stands apart.
std::optional<FigureAt> furthest_apart(const ProgramComparison& comparison);

}  // namespace report
