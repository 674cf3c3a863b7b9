// What the metric exports (OpenMetrics, Bencher's format, a benchmark
// action's JSON) carry of a fleet: per label and program, the figures of its
// latest run (of a history, its last `run`: analysis/runs_taken.h),
// each the median of those repetitions with their lowest and highest.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/run.h"

namespace report {

// Which figure of a pass: a rate (in the test's unit a second), MB/s, the
// improvement (overall over single) or the pass's seconds.
enum class LatestKind { rate, megabytes, improvement, seconds };

struct LatestFigure {
    std::string test;  // Test::key
    bool overall = false;  // the overall (multi-thread) figure, else the single-thread pass's
    LatestKind kind = LatestKind::rate;
    std::string unit;  // "executions/s", "MB/s", "ratio", "s"
    double median = 0, low = 0, high = 0;
    std::size_t repetitions = 0;  // the repetitions that have the figure
};

struct LatestLabel {
    std::string label;
    Program program{};
    std::string host;   // machine.json's host name of the latest repetition; "" unknown
    std::string build;  // the first 12 hex digits of the program's SHA-256; "" unknown
    std::optional<long long> started;  // the latest repetition's start, Unix seconds (UTC)
    std::size_t repetitions = 0;
    std::vector<LatestFigure> figures;  // tests in the order printed, then each test's figures
};

// The labels and programs in the order they first appear.
std::vector<LatestLabel> latest_figures(const std::vector<Run>& runs);

// "single rate", "overall MB/s", "overall improvement", "single seconds".
std::string figure_words(const LatestFigure& f);

// A throughput, where bigger is better: a rate or MB/s (not the improvement
// or the seconds), the figures the CI benchmark formats carry.
bool is_throughput(const LatestFigure& f);

// The name the CI benchmark formats give a figure: "label/program/test/pass figure".
std::string benchmark_name(const LatestLabel& l, const LatestFigure& f);

}  // namespace report
