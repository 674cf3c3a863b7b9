// The history of a label: its runs by day, and where its machine changed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/machine_differences.h"
#include "model/calendar.h"
#include "model/run.h"

namespace report {

// When a run started: machine.json's UTC start ("2026-12-08T10:39:33Z", kept
// in the run or in its record), else
// the local time and date of its name ("2026-12-08T10:39:33"); absent when
// neither is known.
std::optional<std::string> run_start(const Run& run);

// The runs of one label and program, by day: the history of a machine.
struct HistoryDay {
    std::string date;              // "2026-12-08"
    long days = 0;                 // days since 1970-01-01
    std::vector<const Run*> runs;  // earliest first
};
struct History {
    std::string label;
    Program program{};
    std::vector<HistoryDay> days;  // earliest first
    // The machine changed between days[index - 1] and days[index]: the last
    // run with machine.json before days[index] against that day's first.
    struct Change {
        std::size_t index = 0;
        std::vector<ContextDifference> differences;
    };
    std::vector<Change> changes;
};
// Every label and program with runs on at least two days (the runs of a
// label are its repetitions), in the order the labels first appear; runs
// whose start is unknown, or not a date of the calendar, are left out.
std::vector<History> histories(const std::vector<const Run*>& runs);

// One day's figure: the median of its runs with their lowest and highest.
struct HistoryPoint {
    std::size_t day = 0;  // index into History::days
    double min = 0, median = 0, max = 0;
    std::size_t runs = 0;
};
// The single-thread (or, with `overall`, the overall) rate of test `key` on
// each day that has it.
std::vector<HistoryPoint> history_points(const History& history, const std::string& key,
                                         bool overall);
}  // namespace report
