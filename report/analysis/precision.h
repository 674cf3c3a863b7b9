// How well the repetitions of a `run` pin a build's speed down, for its
// stopping rules: the spread of each timed pass over the repetitions (what
// --until-stable reads: the machine's noise, which more repetitions do not
// shrink), and the confidence interval of the gated statistic (what
// --precision reads: it narrows as repetitions are added). Computation only.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/run.h"

namespace report {

// The rate of every timed pass of one repetition, by pass name
// ("Float Streaming, one thread", "Float Streaming, all threads"): the
// single-thread and the overall rate of each test, the figures the gate's
// time factor is over.
using PassRates = std::map<std::string, double>;
PassRates pass_rates(const Run& run);

// The pass whose rate varies most over the repetitions: its coefficient of
// variation (standard deviation over mean) and its fastest over its slowest
// repetition. Absent with fewer than two repetitions of any pass.
struct Variation {
    std::string pass;
    double cv = 0;
    double spread = 1;  // fastest / slowest
    std::size_t repetitions = 0;
};
std::optional<Variation> widest_variation(const std::vector<PassRates>& repetitions);

// ln of each repetition's time relative to `reference`: the geometric mean,
// over the passes both have, of reference rate / repetition rate. Absent when
// they share no pass.
std::optional<double> log_time_factor(const PassRates& reference, const PassRates& repetition);

// The two-sided interval of the gated statistic's centre, from per-repetition
// (or per-round) log time factors: the Hodges-Lehmann estimate with, on each
// side, the one-sided 95% bound of the Wilcoxon signed-rank test the paired
// gate uses (so a 90% interval). It exists from 5 values (1/2^5 < 5%).
struct PrecisionInterval {
    std::size_t values = 0;
    double estimate = 1;  // the time factor
    std::optional<double> low, high;  // absent below 5 values
    double confidence = 0;            // the interval's real level
    // The wider side relative to the estimate, as a fraction (0.012: ±1.2%).
    std::optional<double> half_width() const;
};
inline constexpr double precision_alpha = 0.05;  // per side
std::optional<PrecisionInterval> precision_interval(std::span<const double> log_factors);

// The log time factors of one build's repetitions against the pass rates'
// medians over those same repetitions: the interval of their centre is that
// of the build's own geometric mean, relative to itself.
std::vector<double> self_log_factors(const std::vector<PassRates>& repetitions);

}  // namespace report
