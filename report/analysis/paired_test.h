// The paired test of two builds run in alternation on one machine: per round,
// the log of the new build's time over the old one's (a drift that moves both
// builds of a round alike cancels in it), then a one-sided Wilcoxon
// signed-rank test of whether those differences lie above the log of the
// threshold, with the confidence bound dual to it. Computation only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "analysis/threshold_test.h"

namespace report::stats {

struct SignedRankTest {
    std::size_t pairs = 0;  // rounds that entered (a difference exactly on the threshold drops out)
    double estimate = 1;    // time factor: the Hodges-Lehmann median of the Walsh averages
    double p = 1;           // one-sided, against `limit`; exact, conditional on tied ranks
    double bound = 0;       // lower confidence bound of the time factor; 0: none at this level
    double confidence = 0;  // the bound's real level
    bool significant = false;  // p <= alpha
};

// `log_factors[i]` is ln(new time / old time) of round i. The null hypothesis
// is "at most `limit` times the old build's time", so a slowdown below the
// threshold is no evidence against it. With n rounds the smallest p-value is
// 1 / 2^n: 5 rounds can reach 5%, 6 can reach 2.5%. Absent without a round or
// with a value that is not finite.
std::optional<SignedRankTest> signed_rank_slowdown(std::span<const double> log_factors,
                                                   double limit, double alpha);

// The one-sided test of the same hypothesis on the same rounds where they are
// too few for the signed-rank test to reach `alpha` (2^-n above it): Student's
// t on the log time factors, its bound the t bound of their mean. Absent with
// fewer than 2 rounds or a value that is not finite.
std::optional<SlowdownTest> paired_t_slowdown(std::span<const double> log_factors, double limit,
                                              double alpha);

// The two-sided test of a change on pairs: `log_ratios[i]` is ln(b / a) of
// round i, and the two one-sided signed-rank tests against no change at
// alpha / 2 each give the interval [low, high] of the factor, dual to the
// test, around the Hodges-Lehmann estimate. `high` is infinite and `low` 0
// where the pairs are too few for the level (2^-n > alpha / 2). Absent as
// signed_rank_slowdown is.
std::optional<ChangeTest> paired_change_test(std::span<const double> log_ratios, double alpha);

// P(W+ >= w) for the signed-rank statistic of n untied pairs (ranks 1..n):
// the exact upper tail, for the bound and for the tests.
double signed_rank_upper(std::size_t n, std::size_t w);

}  // namespace report::stats
