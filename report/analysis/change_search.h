// The search for change points in a plain series, and the settings of every search built on it.
//
// The method is E-Divisive means (Matteson and James, 2014) with alpha = 1:
// within a stretch of days, the split that maximises the energy distance
// between the days before and the days after is the candidate; it stands when
// a permutation test says the stretch holds a change at all (p at most
// `significance`), and each side is then searched again (binary
// segmentation) until no candidate stands. A second pass then slides windows
// of a few weeks over each level found, tested the same way at a stricter
// level (their number makes many chances), so that a short excursion (a
// change and its reversal within weeks), which one split of a long stretch
// does not see, is found; each window that stands splits its level, and the
// two sides are searched again from the first pass. The test's statistic is the
// largest standardised rank sum over the splits allowed, so its p-value
// accounts for the best split having been picked, and ranks make it
// distribution-free. The series is the natural logarithm of each day's
// median, so that a level is a ratio. One disturbed run moves one rank, and a
// side is never shorter than `min_segment` days, so it cannot make a change
// point on its own.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace report {

struct ChangePointSettings {
    // Days on each side of a change at least: a change is seen this many
    // days after it happened, never sooner.
    std::size_t min_segment = 5;
    // The largest p of the permutation test at which a split stands: the
    // rate of false change points per stretch searched on pure noise. The
    // validation benchmark measures the rates per host-year (README).
    double significance = 0.01;
    // The second pass: windows of these lengths (days), each moved by a
    // quarter of its length, and the largest p at which a window's split
    // stands. The level is chosen against the false change points measured on
    // pure noise (README): the windows are many, each must be surer.
    std::vector<std::size_t> windows = {12, 24, 48};
    double window_significance = 0.0002;
    // The least change of level a change point makes, as a fraction of the
    // level (the medians either side of the split): a smaller one, however
    // sure, is no change point. Half the smallest regression gate of 1%, and
    // far above a change in the last digit a program prints.
    double minimum_effect = 0.005;
    // The shortest ramp (days from its start to its end) that is said to be
    // a drift: a quicker move reads as a step at 2-5% noise a night, and is
    // told as one.
    std::size_t shortest_drift = 28;
    // Threads that search the histories of an analysis at once; 0: one per
    // processor. The answers are the same whatever the number.
    std::size_t threads = 0;
};

// A change in a plain series: `index` is the first value of the new level.
// `p` is local to the stretch or window whose test found it (`span` values
// long): it accounts for the split picked within it, not for the many
// stretches and windows searched.
struct SeriesChange {
    std::size_t index = 0;
    double p = 1;
    std::size_t span = 0;
    bool window = false;  // found by the windows' pass, else by a stretch's test
};
// The change points of `values` (finite, in time order), earliest first.
std::vector<SeriesChange> series_change_points(std::span<const double> values,
                                               const ChangePointSettings& settings = {});

// The mid-ranks of `values` into `ranks`: 1 for the least, and tied values
// share the mean of the places they hold. False when `values` hold one value
// throughout (or none). `order` is room the caller keeps for the work, so
// that ranking many windows allocates nothing.
bool mid_ranks(std::span<const double> values, std::vector<double>& ranks,
               std::vector<std::size_t>& order);

}  // namespace report
