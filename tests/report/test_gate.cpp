// The regression gate's statistics: the exact rank test with ties against a
// count of every arrangement, the one-sided test of a time factor against its
// threshold with the bound dual to it, and the leave-one-out score.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/stats.h"
#include "analysis/threshold_test.h"
#include "fleet.h"
#include "input/parse.h"
#include "model/natural_order.h"

using namespace report;
using RunT = report::Run;  // testing::Test has a Run() of its own

namespace {

// P(U >= u) and P(U <= u) for b against a by trying every way of choosing
// which of the pooled values are b's: the definition of the exact
// conditional test, computed the slow way.
std::pair<double, double> enumerated(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> pooled(a);
    pooled.insert(pooled.end(), b.begin(), b.end());
    auto u_of = [&](const std::vector<bool>& is_b) {
        double u = 0;
        for (std::size_t i = 0; i < pooled.size(); ++i)
            for (std::size_t j = 0; j < pooled.size(); ++j)
                if (is_b[j] && !is_b[i])
                    u += pooled[j] > pooled[i] ? 1 : pooled[j] == pooled[i] ? 0.5 : 0;
        return u;
    };
    std::vector<bool> observed(pooled.size(), false);
    std::fill(observed.begin() + static_cast<long>(a.size()), observed.end(), true);
    double u = u_of(observed);
    std::vector<bool> pick(observed);
    std::sort(pick.begin(), pick.end());
    double all = 0, upper = 0, lower = 0;
    do {
        double v = u_of(pick);
        all += 1;
        upper += v >= u - 1e-9;
        lower += v <= u + 1e-9;
    } while (std::next_permutation(pick.begin(), pick.end()));
    return {upper / all, lower / all};
}

TEST(GateStatistics, RankSumExactWithTiesMatchesEveryArrangement) {
    struct Case {
        std::vector<double> a, b;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}},                  // no ties, extreme
        {{1.5, 1.5, 2, 3, 3}, {2, 3, 3, 4, 4}},               // ties within and across
        {{0.123456, 0.123456, 0.123457}, {0.123457, 0.123457, 0.123458}},  // 6-digit ties
        {{5, 5, 5}, {5, 5, 5, 5}},                            // every value the same
        {{1, 2, 2, 2, 3, 4}, {2, 2, 5, 6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.a) + " " + ::testing::PrintToString(c.b));
        auto r = stats::rank_sum(c.a, c.b);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->exact);
        auto [upper, lower] = enumerated(c.a, c.b);
        EXPECT_NEAR(r->p_greater, upper, 1e-12);
        EXPECT_NEAR(r->p_less, lower, 1e-12);
        EXPECT_NEAR(r->p_two_sided, std::min(1.0, 2 * std::min(upper, lower)), 1e-12);
    }
    // Without ties, the two-sided p agrees with the U test's exact count.
    std::vector<double> a = {1, 4, 6, 9, 11}, b = {2, 3, 5, 7, 8, 10};
    EXPECT_NEAR(stats::rank_sum(a, b)->p_two_sided, stats::mann_whitney(a, b)->p, 1e-12);
    EXPECT_FALSE(stats::rank_sum({}, b));
    EXPECT_FALSE(stats::rank_sum(std::vector<double>{NAN}, b));
}

// The test is of the threshold, not of no change: a real slowdown below the
// threshold never becomes significant with more repetitions, one beyond it
// does; the method is the one that can reach the level.
TEST(GateStatistics, SlowdownTestAgainstTheThreshold) {
    struct Case {
        std::size_t n;
        double slowdown;  // true time factor
        double limit;
        double alpha;
        stats::SlowdownMethod method;
        bool significant;
    };
    const Case cases[] = {
        {20, 1.01, 1.02, 0.05, stats::SlowdownMethod::rank_sum, false},
        {20, 1.04, 1.02, 0.05, stats::SlowdownMethod::rank_sum, true},
        {5, 1.01, 1.02, 0.025, stats::SlowdownMethod::rank_sum, false},
        {5, 1.06, 1.02, 0.025, stats::SlowdownMethod::rank_sum, true},
        {3, 1.01, 1.02, 0.025, stats::SlowdownMethod::welch, false},
        {3, 1.06, 1.02, 0.025, stats::SlowdownMethod::welch, true},
        {4, 1.06, 1.02, 0.025, stats::SlowdownMethod::rank_sum, true},  // 1/70 reaches 0.025
        {3, 0.90, 1.02, 0.04, stats::SlowdownMethod::welch, false},     // faster
        {3, 1.06, 1.02, 0.05, stats::SlowdownMethod::rank_sum, true},   // 1/20 is 0.05
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.n << " x" << c.slowdown << " limit " << c.limit);
        std::vector<double> a, b;
        for (std::size_t i = 0; i < c.n; ++i) {
            // Spread of about 0.2%, interleaved so that no side is all above.
            double wobble = 0.002 * (static_cast<double>(i % 5) - 2) / 2;
            a.push_back(wobble);
            b.push_back(std::log(c.slowdown) - wobble * 0.9);
        }
        auto t = stats::slowdown_test(a, b, c.limit, c.alpha);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->method, c.method);
        EXPECT_EQ(t->significant, c.significant) << "p " << t->p;
        EXPECT_NEAR(t->estimate, c.slowdown, 0.003);
        EXPECT_LE(t->bound, t->estimate);
    }
}

// The bound is dual to the test: significant exactly when the bound lies
// beyond the limit, for either method, on random samples and limits.
TEST(GateStatistics, BoundDualToTheTest) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 0.02);
    int checked = 0;
    for (std::size_t n : {3, 5, 8}) {
        for (int k = 0; k < 60; ++k) {
            std::vector<double> a, b;
            double shift = 0.01 * (k % 7);
            for (std::size_t i = 0; i < n; ++i) {
                a.push_back(noise(rng));
                b.push_back(shift + noise(rng));
            }
            for (double limit : {1.0, 1.01, 1.02, 1.05}) {
                auto t = stats::slowdown_test(a, b, limit, 0.025);
                ASSERT_TRUE(t);
                // Away from the bound's own step, where either answer is right.
                if (std::fabs(std::log(t->bound) - std::log(limit)) < 1e-9)
                    continue;
                EXPECT_EQ(t->significant, t->bound > limit)
                    << "n " << n << " p " << t->p << " bound " << t->bound << " limit " << limit;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 600);
}

// What the bound's level really is, printed beside it.
TEST(GateStatistics, RealLevelsAndZeroSpread) {
    std::vector<double> a5 = {0, 0.01, 0.02, 0.03, 0.04}, b5 = {0.05, 0.06, 0.07, 0.08, 0.09};
    // 5 against 5, one-sided 2.5%: U >= 23 has 1 + 1 + 2 of the 252 arrangements,
    // U >= 22 three more, beyond the level.
    EXPECT_NEAR(stats::slowdown_test(a5, b5, 1.02, 0.025)->confidence, 1 - 4.0 / 252, 1e-12);
    std::vector<double> a3 = {0, 0.01, 0.02}, b3 = {0.05, 0.06, 0.08};
    EXPECT_NEAR(stats::slowdown_test(a3, b3, 1.02, 0.1)->confidence, 0.9, 1e-12);
    EXPECT_DOUBLE_EQ(stats::smallest_one_sided_p(5, 5), 1.0 / 252);
    EXPECT_NEAR(stats::student_quantile(0.025, 1e6), 1.959964, 1e-5);
    EXPECT_NEAR(stats::student_quantile(0.05, 2), 2.919986, 1e-5);

    // Identical repetitions: an 11% slowdown is what it is, not "p = 1".
    std::vector<double> same(3, 0), slower(3, std::log(1.11));
    auto t = stats::slowdown_test(same, slower, 1.02, 0.025);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->method, stats::SlowdownMethod::constant);
    EXPECT_TRUE(t->significant);
    EXPECT_NEAR(t->estimate, 1.11, 1e-12);
    EXPECT_FALSE(stats::slowdown_test(same, same, 1.02, 0.025)->significant);
    EXPECT_FALSE(stats::slowdown_test(same, slower, 1.2, 0.025)->significant);
    // One side constant, the other not: Welch still has a spread to go on.
    std::vector<double> spread = {std::log(1.10), std::log(1.11), std::log(1.12)};
    EXPECT_EQ(stats::slowdown_test(same, spread, 1.02, 0.025)->method,
              stats::SlowdownMethod::welch);
    EXPECT_FALSE(stats::slowdown_test(same, spread, 0, 0.025));
}

TEST(GateStatistics, LeaveOneOutScores) {
    // The far value is scored against the others' spread alone.
    std::vector<double> v = {0, 0.01, -0.01, 0.02, 0.3};
    auto s = stats::leave_one_out_scores(v);
    ASSERT_EQ(s.size(), v.size());
    // Others of 0.3: {0, 0.01, -0.01, 0.02}: median 0.005, MAD 0.01.
    EXPECT_NEAR(*s[4], (0.3 - 0.005) / (1.4826 * 0.01), 1e-9);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_LT(std::fabs(*s[i]), 3.5) << i;
    // Others without spread: no score.
    auto flat = stats::leave_one_out_scores(std::vector<double>{1, 1, 1, 2});
    EXPECT_FALSE(flat[3]);
    EXPECT_FALSE(flat[0]);  // its others, {1, 1, 2}, have MAD 0 too
}

// Labels in the order people number them; a strict weak order throughout.
TEST(GateStatistics, NaturalOrderOfLabels) {
    const std::vector<std::string> expected = {
        "",          "1",         "7",         "07",        "10",       "host-2",
        "host-10",   "host-010",  "release-1.9", "release-1.10", "release-1.10a",
        "release-2", "vm",        "vm@f58a6f21", "\xff"};
    std::vector<std::string> shuffled(expected.rbegin(), expected.rend());
    std::swap(shuffled[2], shuffled[9]);
    std::sort(shuffled.begin(), shuffled.end(), natural_less);
    EXPECT_EQ(shuffled, expected);
    for (const std::string& x : expected)
        EXPECT_FALSE(natural_less(x, x)) << x;
    EXPECT_TRUE(natural_less("a99999999999999999999999", "a100000000000000000000000"));
}

// A host of a fleet is an outlier beyond a robust score of 3.5: one at 3 is
// not, one at 4.5 is. Thirteen hosts whose log speeds have median 0 and a
// median absolute deviation of 0.01 (their own, the two far ones included),
// every pass at exactly its host's speed, compared with their median.
TEST(GateOutliers, FleetJustInsideAndJustOutsideTheScore) {
    const double unit = 1.4826 * 0.01;  // one robust unit of log speed
    const std::vector<double> near = {0, 0.005, -0.005, 0.01, -0.01, 0.01, -0.01, 0.015, -0.015,
                                      0.02, -0.02};
    struct Host {
        std::string name;
        double log_speed;
    };
    std::vector<Host> hosts;
    for (std::size_t i = 0; i < near.size(); ++i)
        hosts.push_back({"host-" + std::to_string(i + 1), near[i]});
    hosts.push_back({"inside", 3 * unit});      // 4.5% faster: score 3
    hosts.push_back({"outside", -4.5 * unit});  // 6.5% slower: score -4.5
    std::vector<RunT> runs;
    for (const Host& h : hosts) {
        std::string text = noisy_results_file(Program::processors, std::exp(h.log_speed), 0, 2, 1);
        RunT r = std::get<RunT>(parse_run(text, h.name + "/results.txt"));
        r.label = h.name;
        runs.push_back(std::move(r));
    }
    std::vector<const RunT*> ptrs;
    for (const RunT& r : runs)
        ptrs.push_back(&r);
    CompareSettings settings;
    settings.median = true;
    std::vector<ProgramComparison> cs = compare_runs(ptrs, settings);
    ASSERT_EQ(cs.size(), 1u);
    std::set<std::string> found;
    for (const Outlier& o : cs[0].outliers) {
        found.insert(cs[0].runs[o.run]->label);
        ASSERT_TRUE(o.score);
        EXPECT_NEAR(*o.score, 4.5, 0.01);
    }
    EXPECT_EQ(found, std::set<std::string>{"outside"});
}

}  // namespace
