// Statistics of samples of figures, kept apart from any presentation: every
// aggregate bench_report shows (medians, geometric means, spreads, outlier
// scores) is computed here.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "model/run.h"

namespace report::stats {

// The middle value; the mean of the two middle values for an even count.
// Absent for no values.
std::optional<double> median(std::span<const double> values);

// exp(mean(ln x)) over positive values; absent when there is none or any
// value is not positive.
std::optional<double> geometric_mean(std::span<const double> values);

struct Range {
    double min = 0;
    double max = 0;
    std::optional<double> spread;  // max / min, when min > 0
};
std::optional<Range> range(std::span<const double> values);

// Median of the absolute deviations from the median (unscaled).
std::optional<double> median_absolute_deviation(std::span<const double> values);

// The median absolute deviation times this is a standard deviation on
// normal noise: the scale of every robust score and spread.
inline constexpr double mad_to_standard_deviation = 1.4826;

// Sample standard deviation over the mean, as a fraction (0.05 = 5%); absent
// for fewer than two values or a zero mean.
std::optional<double> coefficient_of_variation(std::span<const double> values);

// How far `x` lies from the median of a sample, in units of its median
// absolute deviation scaled to a normal distribution's standard deviation
// (x mad_to_standard_deviation). Absent when the deviation is zero.
std::optional<double> robust_score(double x, double median, double mad);

// A two-sided Mann–Whitney U test of whether two samples come from one
// distribution. Exact for samples without ties of up to 50 values each (the
// distribution of U counted) and for samples with ties of up to 60 values in
// all (conditional on the ties, rank_sum.h), else the normal
// approximation with the correction for ties and for continuity.
struct MannWhitney {
    double u = 0;  // U of the first sample: pairs (a, b) with a > b, ties counting half
    double p = 1;  // two-sided p-value
    bool exact = false;
};
std::optional<MannWhitney> mann_whitney(std::span<const double> a, std::span<const double> b);

// Welch's two-sided t-test of whether two samples have one mean, for samples
// of at least two values each with some spread.
struct Welch {
    double t = 0;
    double degrees_of_freedom = 0;
    double p = 1;
};
std::optional<Welch> welch(std::span<const double> a, std::span<const double> b);

// The ratio of b's typical value to a's, from positive samples: the
// Hodges–Lehmann estimate of the shift of ln b against ln a (the median of
// every pairwise difference), with the distribution-free confidence interval
// that the Mann–Whitney test gives (Moses), of at least `confidence`.
struct RatioInterval {
    double estimate = 1;
    double low = 1, high = 1;
    double confidence = 0;  // the interval's exact coverage, at least the level asked
};
std::optional<RatioInterval> ratio_interval(std::span<const double> a, std::span<const double> b,
                                            double confidence = 0.95);

// The threads of a run's multi-thread pass: the "Thread(s): N" it printed when
// plausible, else the threads reported by the test, else absent.
std::optional<int> thread_count(const Run& run, const Test* test = nullptr);

}  // namespace report::stats
