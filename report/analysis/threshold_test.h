// The tests a regression gate decides with, a time factor against a threshold or against none.
//
// A one-sided test of a time factor against a threshold rather than against
// no change, with the confidence bound dual to it, made with the exact rank
// tests of rank_sum.h that keep their level when printed values tie; the
// two-sided change test built on it; and the leave-one-out score of a
// repetition among its own. Computation only; the views present the results.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "analysis/rank_sum.h"

namespace report::stats {

// How a one-sided slowdown test was made.
enum class SlowdownMethod {
    rank_sum,  // exact where small: robust to one disturbed repetition
    welch,     // where the rank test cannot reach the level (3 against 3)
    constant,  // both sides without spread: the difference is what it is
    signed_rank,  // paired by round: Wilcoxon signed-rank on each round's time factor
    paired_t,     // paired by round, too few rounds for the signed-rank test to reach the
                  // level: Student's t on each round's log time factor
};

// A one-sided test that a run's time exceeds `limit` times the baseline's,
// on the logarithms of each repetition's time (a shift there is a factor):
// the null hypothesis is "at most `limit` times", so a change below the
// threshold is not evidence against it, however many repetitions there are.
// `bound` is the lower confidence bound of the time factor dual to the test:
// p <= alpha exactly when bound > limit (up to the steps of a rank test).
struct SlowdownTest {
    SlowdownMethod method = SlowdownMethod::rank_sum;
    double estimate = 1;    // time factor: Hodges-Lehmann, else the ratio of geometric means
    double p = 1;           // one-sided, against `limit`
    double bound = 0;       // lower confidence bound of the time factor; 0: none at this level
    double confidence = 0;  // the bound's real level (at least 1 - alpha, exactly so for Welch)
    bool significant = false;  // p <= alpha
};
std::optional<SlowdownTest> slowdown_test(std::span<const double> base_log_times,
                                          std::span<const double> run_log_times, double limit,
                                          double alpha);

// A two-sided test of a change, b against a, on logarithms: the two
// one-sided slowdown tests against no change at alpha/2 each, so that the
// interval [low, high] of the factor exp(b - a) is dual to it: `significant`
// exactly when the interval excludes 1 (up to the steps of a rank test).
// `estimate` is the same test's estimate, the quantity the interval is for;
// `confidence` the interval's real level (at least 1 - alpha). `high` is
// infinite where no upper bound reaches the level.
struct ChangeTest {
    SlowdownMethod method = SlowdownMethod::rank_sum;
    double estimate = 1;
    double low = 0, high = 0;
    double confidence = 0;
    double p = 1;  // two-sided
    bool significant = false;
};
std::optional<ChangeTest> change_test(std::span<const double> a_logs,
                                      std::span<const double> b_logs, double alpha);

// The method slowdown_test uses for m against n values at `alpha`.
SlowdownMethod slowdown_method(std::size_t m, std::size_t n, double alpha);

// Each value's robust score against the others alone (leave-one-out): its
// distance from their median in units of their median absolute deviation
// scaled to a normal standard deviation. A value cannot hide in a spread it
// makes itself. Absent where the others have no spread.
std::vector<std::optional<double>> leave_one_out_scores(std::span<const double> values);

}  // namespace report::stats
