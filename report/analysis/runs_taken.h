// Which of a label's runs a comparison takes. Runs that share a label are
// compared as repetitions of one moment; a label whose runs span more than a
// day, and were not all made by one `run`, is a history instead: pooling its
// nights would compare a year of one machine with a year of another, levels,
// upgrades and all. Such a label is compared by its most recent runs: its
// last `run` when that made enough repetitions to test, else the runs since
// its last change point (the one `history` finds), or at the end of its last
// drift when that is later (the level the drift reached, never the drift
// pooled), else, when its history holds no change, all of it as one level.
// Every output says which.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/run.h"

namespace report {

// How a label's runs were chosen.
enum class RunsRule {
    last_run,      // the repetitions of its last `run`
    since_change,  // the runs on and after its last change point
    drift_end,     // the runs at the end of its last drift (at least drift_end_runs)
    one_level,     // all of them: its history holds no change
    since_date,    // --since: the runs on and after a day
    all,           // --all: every run, pooled as repetitions
};

// The fewest runs taken at a drift's end: a drift still going on, or ended
// days ago, leaves this many of the latest runs, near the level it reached.
constexpr std::size_t drift_end_runs = 5;

struct RunsChoice {
    std::optional<std::string> since;  // "YYYY-MM-DD"
    bool all = false;
};

// One label's choice, said by the outputs.
struct LabelRuns {
    std::string label;
    Program program{};
    RunsRule rule = RunsRule::one_level;
    std::size_t taken = 0, total = 0;
    std::string first, last;  // the days of the first and last run taken
    std::string from, to;     // the days of the first and last run of the label
    std::string change;       // since_change: the day of the change; drift_end: the drift's end
};

struct RunsTaken {
    std::vector<const Run*> runs;   // those taken, in the order given
    std::vector<LabelRuns> labels;  // the histories and every label --since cut, in order
    // --since left a label with no run: its name, said as an error.
    std::optional<std::string> emptied;
};

// What a comparison of `runs` takes of them (labels as compare shows them).
RunsTaken take_runs(const std::vector<const Run*>& runs, const RunsChoice& choice);

// Of each label whose runs are a history, the runs of its last `run` (its
// latest run alone, when no `run` made several together); every run of the
// other labels: a label's latest figures, as a dashboard shows them.
std::vector<const Run*> take_last_runs(const std::vector<const Run*>& runs);

}  // namespace report
