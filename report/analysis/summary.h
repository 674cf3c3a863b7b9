// The derived figures of one test (rates, improvement, efficiency, the spread
// of the threads), computed from what the run printed; `show` and the HTML
// report present them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/run.h"

namespace report {

// Rates are in the test's printed unit (Test::unit); multiply by
// Test::unit_scale for per second. Anything the run did not print is absent.
struct TestSummary {
    std::optional<double> single_rate;
    std::optional<double> overall_rate;
    std::optional<double> improvement;         // as printed, else overall / single
    std::optional<double> efficiency;          // improvement / threads
    std::optional<double> per_thread_overall;  // overall / threads
    std::optional<double> thread_min;          // per-thread rates of the multi-thread pass
    std::optional<double> thread_median;
    std::optional<double> thread_max;
    std::optional<double> spread;            // max / min
    std::optional<double> single_megabytes;  // MB/s, memory low/high speeds
    std::optional<double> overall_megabytes;
    int threads = 0;  // threads of the run (Thread(s): N, else counted)
};

TestSummary summarize(const Run& run, const Test& test);

}  // namespace report
