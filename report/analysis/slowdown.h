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
// whether the label needs more than (1 + P/100) times the baseline's time,
// and its dual asks whether it needs at most that. A trip needs one label
// shown slower: the level 5% of that test is shared equally among the labels
// of the comparison (Bonferroni), so at most one false trip in twenty
// comparisons with no slowdown beyond P%. A pass needs every label shown
// within: a false pass needs each of their tests to pass falsely, so each may
// use the whole 5% and the chance of a false pass stays at most 5%
// (intersection-union), whatever the number of programs and labels. A label is shown slower than P%, shown
// within P%, or neither: then the repetitions cannot tell. Single figures
// stay information: they explain which passes carried the slowdown.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/pairing.h"
#include "analysis/repetitions.h"
#include "analysis/threshold_test.h"

namespace report {

// The gate's familywise error: the chance that it trips on any program or
// label when nothing got slower than its threshold.
inline constexpr double gate_alpha = 0.05;

// The fewest repetitions a side for the gate to test a slowdown, those of
// every test between labels; with fewer it falls back on the band alone and
// says the slowdown was untested.
inline constexpr std::size_t gate_min_repetitions = min_repetitions_a_side;

// Each pair's log time factor over `rows`: the mean over the figures of the
// log of the label's repetition's time over the baseline's of the same
// round; absent when a repetition lacks one of the figures.
std::optional<std::vector<double>> paired_log_times(const ProgramComparison& c,
                                                    std::size_t column,
                                                    const std::vector<std::size_t>& rows,
                                                    const Pairing& pairing);

// What the tests of a label show at the gate's percentage P.
enum class LabelOutcome {
    fail,          // shown more than (1 + P/100) times the baseline's time
    pass,          // shown at most (1 + P/100) times it
    inconclusive,  // neither: the noise hides a P% slowdown either way
    accepted,      // inconclusive, and --accept-inconclusive counts it a pass
};

// Past this many repetitions a side the count that would decide is said as
// "more than" it.
inline constexpr std::size_t decide_cap = 100;

struct ProgramSlowdown {
    std::size_t comparison = 0;  // index into the comparisons
    std::size_t run = 0;         // the label's column
    std::vector<std::size_t> rows;  // the figures the time factor is over
    std::optional<stats::SlowdownTest> test;  // absent: no repetition had every figure
    double alpha = gate_alpha;                // this test's share of the level
    // The level of the pass test: the whole of it (a pass needs every label's).
    double within_alpha = gate_alpha;
    // When the label and the baseline ran interleaved: their rounds' pairs.
    // `paired`: the tests are on the pairs (the signed-rank test where they
    // reach its level, else Student's t on them); false with fewer than
    // gate_min_repetitions pairs (the unpaired test decides then).
    std::optional<Pairing> pairing;
    bool paired = false;
    // The dual test, whether the label needs at most the limit: its bound is
    // the lower bound of the baseline's time over the label's.
    std::optional<stats::SlowdownTest> within;
    LabelOutcome outcome = LabelOutcome::inconclusive;
    // The spread of the log time factors the tests read (pooled over the two
    // sides, or of the pairs) and its degrees of freedom.
    double spread = 0;
    std::size_t spread_dof = 0;
    // For an inconclusive label: the repetitions a side (pairs, when paired)
    // that give the gate at least a decide_power chance to decide, the same
    // for every inconclusive label (the largest of their own); absent past
    // decide_cap.
    std::optional<std::size_t> decide_at;
    // For an inconclusive label: the one far repetition (of it or of the
    // baseline) without which its tests would decide; the one to run again.
    const Run* rerun = nullptr;

    // The upper confidence bound of the time factor; infinite where the
    // repetitions reach no bound at this level.
    double upper() const;
};

struct SlowdownFamily {
    std::vector<ProgramSlowdown> tested;  // at least 3 repetitions a side
    // Columns compared with fewer: (comparison, column).
    std::vector<std::pair<std::size_t, std::size_t>> untested;
};

// The tests of every label against its program's baseline at the threshold
// of `percent`; nothing for a comparison against the median of the labels.
SlowdownFamily slowdown_family(const std::vector<ProgramComparison>& comparisons, double percent);

// The answer a comparison opens with: a label's time factor against its
// program's baseline, over the same pass rates as the gate's, with its 95%
// interval (paired by rounds where they ran interleaved).
struct Headline {
    std::size_t comparison = 0;
    std::size_t run = 0;     // the label's column
    std::size_t passes = 0;  // the rates the factor is over; 0: none comparable
    double estimate = 1;     // the time factor
    // The two-sided test whose interval holds the factor; absent with too
    // few repetitions for one (the estimate is then the ratio of the
    // geometric means).
    std::optional<stats::ChangeTest> test;
    bool paired = false;
    std::size_t pairs = 0;
    // Under a gate, a tested label's answer is the gate's own: `test` then
    // holds its estimate, the trip test's lower bound and the pass test's
    // upper bound, each at its own level and by its own method.
    struct GateSides {
        double low_confidence = 0, high_confidence = 0;
        stats::SlowdownMethod low_method = stats::SlowdownMethod::rank_sum;
        stats::SlowdownMethod high_method = stats::SlowdownMethod::rank_sum;
    };
    std::optional<GateSides> gate;
};
inline constexpr double headline_alpha = 0.05;

// Whether the headline shows a difference: its interval excludes 1.
bool difference_shown(const Headline& h);

// One headline per label compared with a baseline, in the order of the
// comparisons and their columns.
std::vector<Headline> headlines(const std::vector<ProgramComparison>& comparisons);

// The chance that "about N repetitions would decide" gives the gate, and
// the level of the upper confidence bound of the spread it is computed from.
// A count is said only where it comes out at decide_cap or less, which picks
// the comparisons whose spread came out small and whose estimate lay far from
// the limit by chance: bounds at 80% let the counts said decide in as few as
// a quarter of redraws, these in at least 90% (docs/gate.md).
inline constexpr double decide_power = 0.8;
inline constexpr double decide_spread_level = 0.95;
// The count reads the estimate's distance from the limit at this one-sided
// lower confidence bound: a noisy estimate overstates it.
inline constexpr double decide_distance_level = 0.9;

// The one-sided confidence of the bound of the drift-adjusted effect
// (analysis/common_slope.h) that a verdict on labels run one after the other
// must agree with: 70%, where a drift of 8% over 5 against 5 repetitions
// passes a real 1.5P slowdown in under 5% of comparisons while identical
// builds still pass a 5% gate in 85% (docs/gate.md).
inline constexpr double drift_check_level = 0.7;

// The chance each label's count must give it so that the gate, which
// decides only when every one of `labels` decides, decides with at least
// decide_power: the labels' chances multiply (their noise, shared by a
// machine's repetitions, makes them agree more, not less), and with
// `drift_tested` (labels run one after the other) the trend tests, each held
// to gate_alpha over the labels, may give no verdict though the labels
// decide: at most twice gate_alpha taken off first.
double label_decide_chance(std::size_t labels, bool drift_tested);

// The fewest repetitions a side (pairs when `paired`), more than `now`, at
// which a one-sided t test at `alpha` of a time factor whose log lies
// `distance` from the limit's has at least `chance` to show its side, the
// log values' spread taken at the decide_spread_level upper bound of
// `spread` (with `dof` degrees of freedom). With `drift_checked` (labels run
// one after the other) the drift-adjusted effect, about twice as wide, must
// also clear its drift_check_level bound: each condition at the square root
// of the chance. Absent past decide_cap, on the limit, or without a spread.
std::optional<std::size_t> repetitions_to_decide(double distance, double spread, std::size_t dof,
                                                 double alpha, bool paired, double now,
                                                 bool drift_checked = false,
                                                 double chance = decide_power);

// Each repetition's log time factor of a column over `rows`, against the
// baseline's medians; absent when a repetition lacks one of the figures.
std::optional<std::vector<double>> repetition_log_times(const ProgramComparison& c,
                                                        std::size_t column,
                                                        const std::vector<std::size_t>& rows);

}  // namespace report
