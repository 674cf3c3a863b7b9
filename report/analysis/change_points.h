// Change points in a label's history: the days on which a figure moved to a
// new level and stayed there, how far and how surely; the machine fields that
// changed with them; and the changes that many labels of a fleet share.
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
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis/history.h"
#include "analysis/machine_differences.h"
#include "model/run.h"

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

// A series of one label's history: a figure by day.
struct HistorySeries {
    std::size_t history = 0;  // index into HistoryAnalysis::histories
    std::string test;         // a test key, or "geomean" for the run's geometric mean of rates
    bool overall = false;     // the overall rate, else the single-thread rate
    std::vector<std::size_t> days;  // indexes into History::days, earliest first
    std::vector<double> values;     // each day's median of its runs' figures
    // The ramp of a drifting series: its first and last days (indexes into
    // History::days), the fitted figure on each, and the last's 95% interval.
    struct Ramp {
        std::size_t start = 0, end = 0;
        double from = 0, to = 0, to_low = 0, to_high = 0;
    };
    std::optional<Ramp> ramp;
};

// The name of a series' figure: "single rate" or "overall rate".
const char* figure_name(bool overall);

struct ChangePoint {
    std::size_t series = 0;  // index into HistoryAnalysis::series
    std::string label;
    Program program{};
    std::string test;  // as HistorySeries::test
    bool overall = false;
    std::string date;         // first day of the new level
    std::string last_before;  // the last day before it with the figure
    long days = 0;            // `date` in days since 1970-01-01
    double before = 0, after = 0;  // medians of the days of the levels either side
    double change_percent = 0;     // (after / before - 1) x 100; below 0 is worse
    // The p of the test that found it, local to its stretch or window of
    // `p_days` days (SeriesChange).
    double p = 1;
    std::size_t p_days = 0;
    bool p_window = false;
    // What changed on the machine between the last run before and the first
    // run of the new level; empty when nothing did or it is not known.
    std::vector<ContextDifference> causes;
};

// A label's figures of one program drifting one way together: one finding
// however many of its figures drift. Its size, interval and dates are those
// of its first drifting figure in the order of the series (the geometric
// means first).
struct Drift {
    std::size_t series = 0;  // that figure's, index into HistoryAnalysis::series
    std::string label;
    Program program{};
    std::string test;  // as HistorySeries::test
    bool overall = false;
    std::string start, end;         // the first and last days of the ramp
    long start_days = 0, end_days = 0;  // the same in days since 1970-01-01
    // The ramp ends so near the figure's last day (under half the shortest
    // drift) that the level after it does not show that it stopped.
    bool ongoing = false;
    // The ramp's change from start to end and its 95% interval; below 0 is worse.
    double change_percent = 0, low_percent = 0, high_percent = 0;
    std::size_t figures = 0;        // the program's figures that drift this way
    std::size_t figures_total = 0;  // the program's figures with a history
};

// A change of the machine in a label's history that moved none of its figures.
struct QuietMachineChange {
    std::string label;
    Program program{};
    std::string date, last_before;
    std::vector<ContextDifference> differences;
};

// Change points of several labels, in one direction, on one day or the next
// (a rollout seen on consecutive nights), or sharing a cause within a week.
struct FleetEvent {
    std::string date, last_date;   // the first and last days of its change points
    bool worse = false;            // the figures fell
    std::vector<std::string> labels;  // sorted
    std::vector<std::size_t> change_points;  // indexes into HistoryAnalysis::change_points
    struct Cause {
        ContextDifference difference;
        std::size_t labels = 0;  // labels of the event that had it
    };
    std::vector<Cause> causes;  // the most shared first
};

struct HistoryAnalysis {
    std::vector<History> histories;
    std::vector<HistorySeries> series;
    std::vector<ChangePoint> change_points;  // by label order, then date
    std::vector<Drift> drifts;               // by label order
    std::vector<FleetEvent> fleet_events;    // by date
    std::vector<QuietMachineChange> quiet_machine_changes;
    std::size_t labels = 0;  // labels with a history
    // Labels and programs whose runs all fall on one day (or have no date):
    // no history at all.
    std::vector<std::pair<std::string, Program>> without_history;
};

// Every series of every history of `runs` and their change points, causes,
// fleet events and machine changes that moved nothing.
HistoryAnalysis analyse_history(const std::vector<const Run*>& runs,
                                const ChangePointSettings& settings = {});

// What a report of an analysis shows: the change points, fleet events and
// quiet machine changes on or after a day (days since 1970-01-01).
struct HistorySelection {
    std::vector<std::size_t> change_points, fleet_events, quiet_machine_changes;
    std::vector<std::size_t> drifts;  // those still going on at the day, or after it
};
HistorySelection select_since(const HistoryAnalysis& analysis, std::optional<long> since);

// The verdict of a gate on change points on or after a day (days since
// 1970-01-01): `worse` the change points for the worse it found,
// `worse_drifts` the drifts for the worse that go on at or after it; `unjudged`
// the labels whose history cannot show a change there (fewer than
// min_segment days on either side of it).
struct HistoryGate {
    enum Verdict { pass, fail, too_little } verdict = pass;
    std::vector<std::size_t> worse;
    // The drifts for the worse still going on at the day, or begun after it.
    std::vector<std::size_t> worse_drifts;
    std::vector<std::string> unjudged;
};
HistoryGate history_gate(const HistoryAnalysis& analysis, long since,
                         const ChangePointSettings& settings = {});

}  // namespace report
