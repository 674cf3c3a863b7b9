// The Wilcoxon rank-sum test, exact and conditional on ties where the samples are small.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace report::stats {

// The Wilcoxon rank-sum (Mann-Whitney) test of whether `b` tends to exceed
// `a`. With at most `exact_limit` values in all it is exact and conditional
// on the ties: every way of choosing which of the pooled values are b's is
// counted on their mid-ranks, so values that print alike (6 digits make
// ties) keep the test at its level. Larger samples use the normal
// approximation with the variance corrected for ties.
struct RankSum {
    double u = 0;          // pairs (a, b) with b > a, ties counting half
    double p_greater = 1;  // P(U >= u): b exceeds a
    double p_less = 1;     // P(U <= u): b falls below a
    double p_two_sided = 1;
    bool exact = false;
};
inline constexpr std::size_t exact_limit = 60;
std::optional<RankSum> rank_sum(std::span<const double> a, std::span<const double> b);

// The smallest one-sided p-value a rank test of m against n values can give:
// 1 / C(m + n, m).
double smallest_one_sided_p(std::size_t m, std::size_t n);

// The real level of a one-sided rank test at `alpha` for m against n values
// without ties: one minus the largest attainable tail probability within it
// (1 - alpha past exact_limit values in all).
double rank_test_level(std::size_t m, std::size_t n, double alpha);

}  // namespace report::stats
