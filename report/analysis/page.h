// What a report page shows, worked out here so that the page only draws: the
// histories of its labels (the rates of each test by day with the change
// points that fall on them) and the scaling of a label's repetitions (each
// thread's rate in every repetition, with their median).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analysis/change_points.h"
#include "analysis/history.h"

namespace report {

// One rate of one test by day: each day's median with its lowest and highest.
struct HistoryRate {
    bool overall = false;  // the overall rate, else the single-thread rate
    std::vector<HistoryPoint> points;
    std::vector<const ChangePoint*> change_points;  // of this test and rate
    const HistorySeries::Ramp* ramp = nullptr;      // when this rate drifts
};

// A test of one history: its rates that have a day's figure, the
// single-thread rate first.
struct HistoryTest {
    std::string key;
    std::string unit;  // as the first run with the test printed it
    std::vector<HistoryRate> rates;
};

// One label's history of one program.
struct ProgramHistory {
    const History* history = nullptr;
    std::size_t runs = 0;                           // over every day
    std::vector<const ChangePoint*> change_points;  // of every test and rate
    std::vector<const Drift*> drifts;               // of the program's figures
    std::vector<HistoryTest> tests;                 // in the catalogue's order
};

struct LabelHistory {
    std::string label;
    std::vector<ProgramHistory> programs;
    std::size_t days = 0;  // the most days of its programs
};

struct HistoryPage {
    const HistoryAnalysis* analysis = nullptr;  // null: no history analysed
    std::vector<LabelHistory> labels;           // the furthest moved first, at most as many as asked
    std::size_t labels_total = 0;               // labels with a history
};

// The page's view of `analysis`: the histories of `labels` labels, those
// whose figures moved furthest (a change point or a drift) first, then in the
// order given. `against_baseline` adds how far a label's level stands from
// its baseline's (worst_first.h's baseline_moves): a host at x0.6 of the
// fleet's first is among the first shown though its history is flat. The
// page keeps pointers into `analysis`.
HistoryPage history_page(const HistoryAnalysis& analysis, std::size_t labels,
                         const std::map<std::string, double>& against_baseline = {});

// A rate in each repetition of a label that has it, and their median.
struct RepeatedRate {
    std::vector<double> values;  // finite, in the order of the repetitions
    std::optional<double> median;
};

// One thread of the multi-thread pass over a label's repetitions.
struct RepeatedThread {
    int thread = 0;
    RepeatedRate rate;
    bool out_of_memory = false;  // in any repetition
};

// One test over a label's repetitions: what a chart of its scaling draws.
struct RepeatedScaling {
    std::string key;
    std::string unit;  // as the first repetition with the test printed it
    RepeatedRate single;
    bool single_out_of_memory = false;    // in any repetition
    std::vector<RepeatedThread> threads;  // by thread number
    RepeatedRate overall;                 // over repetitions whose every thread completed
};

// Each test with per-thread rates of `repetitions` (runs of one program
// under one label), in the catalogue's order.
std::vector<RepeatedScaling> repeated_scaling(const std::vector<const Run*>& repetitions);

}  // namespace report
