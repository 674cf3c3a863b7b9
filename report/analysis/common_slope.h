// The difference of two labels run one after the other, taken net of a
// drift of the machine: one straight line in start time fitted through both
// labels' repetitions (their own levels, one slope), the label's effect the
// gap between the two levels at the same moment. The slope comes from within
// each label only, so where one label ran wholly before the other the effect
// is known far less well than the plain difference: the gate reads it as a
// check on a verdict, not as the verdict. Computation only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace report::stats {

struct SlopeAdjusted {
    double effect = 0;    // the label's level less the baseline's, at one moment
    double slope = 0;     // a unit of time's change of both
    double error = 0;     // the effect's standard error
    std::size_t dof = 0;  // of the residuals: repetitions less 3
};

// `base_times[i]` and `base_values[i]` for each repetition of the baseline,
// the same for the label. Absent with fewer than 4 repetitions in all, sizes
// that do not match, a value that is not finite, or no spread in start time
// within either label (the slope would be the labels' difference itself).
std::optional<SlopeAdjusted> slope_adjusted(std::span<const double> base_times,
                                            std::span<const double> base_values,
                                            std::span<const double> run_times,
                                            std::span<const double> run_values);

}  // namespace report::stats
