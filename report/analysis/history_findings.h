// What the analysis of a fleet's histories finds: series, change points, drifts and fleet events.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/figures.h"
#include "analysis/history.h"
#include "analysis/machine_differences.h"
#include "model/run.h"

namespace report {

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

// The name of a series' figure: "single rate" or "overall rate", as a comparison names it.
inline const char* figure_name(bool overall) {
    return figure_kind(overall ? FigureId::overall_rate : FigureId::single_rate).name;
}

// Whether a change of a figure's rate, in percent, is for the worse: the
// rate fell. Every finding of a history (change points, drifts, fleet
// events) and the gate on it tell the direction by this.
inline bool is_worse(double change_percent) {
    return change_percent < 0;
}

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

}  // namespace report
