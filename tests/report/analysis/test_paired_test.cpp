// The paired signed-rank test of interleaved rounds: its exact distribution
// against the published critical values, ties, the threshold it tests
// against, and the bound dual to it.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "analysis/paired_test.h"

using namespace report::stats;

namespace {

// One-sided 5% critical values of the smaller signed-rank sum T (reject when
// T <= c), n = 5 .. 12, as the tables print them.
TEST(SignedRank, ExactTailMatchesThePublishedCriticalValues) {
    const int critical[] = {0, 2, 3, 5, 8, 10, 13, 17};
    for (std::size_t n = 5; n <= 12; ++n) {
        std::size_t all = n * (n + 1) / 2;
        std::size_t c = static_cast<std::size_t>(critical[n - 5]);
        // By symmetry P(T <= c) = P(W+ >= all - c).
        EXPECT_LE(signed_rank_upper(n, all - c), 0.05) << n;
        EXPECT_GT(signed_rank_upper(n, all - c - 1), 0.05) << n;
    }
    EXPECT_DOUBLE_EQ(signed_rank_upper(4, 10), 1.0 / 16);  // every sign positive
    EXPECT_DOUBLE_EQ(signed_rank_upper(4, 0), 1.0);
}

std::vector<double> logs(const std::vector<double>& factors) {
    std::vector<double> out;
    for (double f : factors)
        out.push_back(std::log(f));
    return out;
}

// The same slowdown in every round, whatever the round's own drift, is found;
// the test is against the threshold, so a slowdown below it is not.
TEST(SignedRank, TestsAgainstTheThresholdNotAgainstNoChange) {
    struct Case {
        std::vector<double> factors;  // new / old per round
        double limit;
        bool significant;
    };
    const Case cases[] = {
        {{1.06, 1.05, 1.07, 1.06, 1.05, 1.06}, 1.02, true},   // 6% against a 2% gate
        {{1.01, 1.012, 1.009, 1.011, 1.01, 1.013}, 1.02, false},  // 1% is below a 2% gate
        {{1.01, 1.012, 1.009, 1.011, 1.01, 1.013}, 1.0, true},    // and a change against none
        {{1.06, 1.05, 1.07, 1.06}, 1.02, false},  // 4 rounds cannot reach 5% (1/16)
        {{0.97, 1.03, 0.99, 1.01, 1.0, 0.98}, 1.02, false},  // no change
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.factors.size() << " factors at " << c.limit);
        auto t = signed_rank_slowdown(logs(c.factors), c.limit, 0.05);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->significant, c.significant) << c.factors.size() << " at " << c.limit;
        // Without ties the bound is dual to the test.
        if (t->bound > 0) {
            EXPECT_EQ(t->bound > c.limit, t->significant) << t->bound;
        }
        EXPECT_GE(t->confidence, t->bound > 0 ? 0.95 : 0.0);
    }
}

// Differences that print alike tie; the exact conditional p keeps its level:
// six equal differences above the threshold have p = 1/64.
TEST(SignedRank, TiesZerosAndTheEstimate) {
    auto t = signed_rank_slowdown(logs({1.05, 1.05, 1.05, 1.05, 1.05, 1.05}), 1.02, 0.05);
    ASSERT_TRUE(t);
    EXPECT_DOUBLE_EQ(t->p, 1.0 / 64);
    EXPECT_NEAR(t->estimate, 1.05, 1e-12);
    // A round exactly on the threshold drops out of the test.
    const std::vector<double> on_threshold = {0.0, 0.1, 0.1, 0.1, 0.1, 0.1};
    t = signed_rank_slowdown(on_threshold, 1.0, 0.05);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->pairs, 5u);
    EXPECT_DOUBLE_EQ(t->p, 1.0 / 32);
    EXPECT_FALSE(signed_rank_slowdown({}, 1.02, 0.05));
    const std::vector<double> not_finite = {0.1, NAN};
    EXPECT_FALSE(signed_rank_slowdown(not_finite, 1.02, 0.05));
}


// The two-sided paired test of a figure: its interval holds the estimate, is
// dual to the test (excludes 1 exactly when it is significant, for pairs
// without ties), states a level of at least 95%, and inverts with its data;
// with fewer than 6 pairs no side reaches 2.5% and the interval is unbounded.
TEST(SignedRank, PairedChangeIntervalIsDualToItsTest) {
    struct Case {
        const char* name;
        std::vector<double> ratios;  // each pair's b / a
        bool significant;
    };
    const Case cases[] = {
        {"no change, 8 pairs", {1.01, 0.99, 1.003, 0.996, 1.007, 0.992, 1.012, 0.989}, false},
        {"3% slower, 8 pairs", {1.031, 1.027, 1.034, 1.029, 1.025, 1.036, 1.032, 1.028}, true},
        {"3% faster, 6 pairs", {0.971, 0.968, 0.974, 0.966, 0.973, 0.969}, true},
        {"one pair the other way, 10 pairs",
         {1.05, 1.04, 1.06, 1.045, 1.055, 1.052, 1.048, 1.041, 1.058, 0.97}, true},
        {"mixed, 12 pairs",
         {1.02, 0.98, 1.015, 0.99, 1.01, 1.005, 0.995, 1.03, 0.985, 1.001, 1.012, 0.993}, false},
        {"5 pairs cannot reach the level", {1.1, 1.11, 1.12, 1.13, 1.14}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> d = logs(c.ratios);
        auto t = paired_change_test(d, 0.05);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->method, SlowdownMethod::signed_rank);
        EXPECT_EQ(t->significant, c.significant);
        EXPECT_EQ(t->significant, t->p <= 0.05);
        EXPECT_LE(t->low, t->estimate);
        EXPECT_GE(t->high, t->estimate);
        EXPECT_GE(t->confidence, 0.95);
        EXPECT_EQ(t->significant, t->low > 1 || t->high < 1);
        if (c.ratios.size() < 6) {
            EXPECT_EQ(t->low, 0);
            EXPECT_TRUE(std::isinf(t->high));
        }
        // The pairs the other way round: the reciprocal interval.
        std::vector<double> back(d);
        for (double& x : back)
            x = -x;
        auto r = paired_change_test(back, 0.05);
        ASSERT_TRUE(r);
        EXPECT_NEAR(r->estimate * t->estimate, 1, 1e-12);
        if (t->low > 0) {
            EXPECT_NEAR(r->high * t->low, 1, 1e-12);
        }
        EXPECT_DOUBLE_EQ(r->p, t->p);
    }
    EXPECT_FALSE(paired_change_test(std::vector<double>{}, 0.05));
    EXPECT_FALSE(paired_change_test(std::vector<double>{0.01, NAN}, 0.05));
}

}  // namespace

// Too few rounds for the signed-rank test at a level: Student's t on the
// rounds' log factors, checked against the t distribution with 2 degrees of
// freedom in closed form (P(T > t) = (1 - t / sqrt(t^2 + 2)) / 2, and its 5%
// quantile 2.919986).
TEST(PairedT, TestsAgainstTheThresholdWithItsBound) {
    std::vector<double> d = {0.01, 0.02, 0.03};
    std::optional<report::stats::SlowdownTest> t = report::stats::paired_t_slowdown(d, 1, 0.05);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->method, report::stats::SlowdownMethod::paired_t);
    double se = 0.01 / std::sqrt(3.0), z = 0.02 / se;
    EXPECT_NEAR(t->p, (1 - z / std::sqrt(z * z + 2)) / 2, 1e-9);
    EXPECT_NEAR(t->bound, std::exp(0.02 - 2.919986 * se), 1e-6);
    EXPECT_TRUE(t->significant);
    EXPECT_NEAR(t->estimate, std::exp(0.02), 1e-12);
    // Against a limit above every round: not shown slower than it.
    EXPECT_FALSE(report::stats::paired_t_slowdown(d, std::exp(0.05), 0.05)->significant);
    // Rounds that all differ alike, one round, a value not finite.
    EXPECT_EQ(report::stats::paired_t_slowdown(std::vector<double>{0.1, 0.1}, 1, 0.05)->method,
              report::stats::SlowdownMethod::constant);
    EXPECT_FALSE(report::stats::paired_t_slowdown(std::vector<double>{0.1}, 1, 0.05));
    EXPECT_FALSE(report::stats::paired_t_slowdown(std::vector<double>{0.1, NAN}, 1, 0.05));
}
