// The gate's test of each program of each label against the baseline: one
// primary statistic per (program, label), so that the gate's familywise error
// is held at its level over everything it looks at, at the repetitions people
// afford.
//
// The statistic is each repetition's time factor: the geometric mean, over
// the timed passes of every test (the single-thread and the overall rate of
// each, the figures that measure a pass; MB/s, seconds and per-thread figures
// restate them, the improvement divides two of them), of the baseline's
// median over the repetition's value. The baseline's repetitions give their
// own time factors against the same medians. A one-sided test then asks
// whether the label needs more than (1 + P/100) times the baseline's time;
// the level 5% is shared equally among the tests of the comparison
// (Bonferroni), so at most one false trip in twenty comparisons with no
// slowdown, whatever the number of programs and labels. Single figures stay
// information: they explain which passes carried the slowdown.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/pairing.h"
#include "analysis/threshold_test.h"

namespace report {

// The gate's familywise error: the chance that it trips on any program or
// label when nothing got slower than its threshold.
inline constexpr double gate_alpha = 0.05;

// The fewest repetitions a side for the gate to test a slowdown; with fewer
// it falls back on the band alone and says the slowdown was untested.
inline constexpr std::size_t gate_min_repetitions = 3;

// Each pair's log time factor over `rows`: the mean over the figures of the
// log of the label's repetition's time over the baseline's of the same
// round; absent when a repetition lacks one of the figures.
std::optional<std::vector<double>> paired_log_times(const ProgramComparison& c,
                                                    std::size_t column,
                                                    const std::vector<std::size_t>& rows,
                                                    const Pairing& pairing);

struct ProgramSlowdown {
    std::size_t comparison = 0;  // index into the comparisons
    std::size_t run = 0;         // the label's column
    std::vector<std::size_t> rows;  // the figures the time factor is over
    std::optional<stats::SlowdownTest> test;  // absent: no repetition had every figure
    double alpha = gate_alpha;                // this test's share of the level
    // When the label and the baseline ran interleaved: their rounds' pairs.
    // `paired`: the test is the paired one; false with too few pairs to
    // reach the share of the level (the unpaired test decides then).
    std::optional<Pairing> pairing;
    bool paired = false;
};

struct SlowdownFamily {
    std::vector<ProgramSlowdown> tested;  // at least 3 repetitions a side
    // Columns compared with fewer: (comparison, column).
    std::vector<std::pair<std::size_t, std::size_t>> untested;
};

// The tests of every label against its program's baseline at the threshold
// of `percent`; nothing for a comparison against the median of the labels.
SlowdownFamily slowdown_family(const std::vector<ProgramComparison>& comparisons, double percent);

// Each repetition's log time factor of a column over `rows`, against the
// baseline's medians; absent when a repetition lacks one of the figures.
std::optional<std::vector<double>> repetition_log_times(const ProgramComparison& c,
                                                        std::size_t column,
                                                        const std::vector<std::size_t>& rows);

}  // namespace report
