// The statistics every aggregate reads, on values worked out by hand, and the
// per-thread summary `show` prints from them.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/distributions.h"
#include "analysis/stats.h"
#include "analysis/summary.h"

using namespace report;

namespace {

TEST(Stats, KnownValues) {
    struct Case {
        std::vector<double> values;
        std::optional<double> median, geometric_mean, mad, spread;
    };
    const Case cases[] = {
        {{}, {}, {}, {}, {}},
        {{5}, 5, 5, 0, 1},
        {{4, 1, 3}, 3, std::cbrt(12.0), 1, 4},
        {{1, 2, 3, 10}, 2.5, std::pow(60.0, 0.25), 1, 10},  // even: mean of the middle two
        {{2, 8, -1}, 2, {}, 3, {}},                         // no geometric mean below zero
        {{0, 4}, 2, {}, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values.size());
        EXPECT_EQ(stats::median(c.values), c.median);
        std::optional<double> g = stats::geometric_mean(c.values);
        ASSERT_EQ(g.has_value(), c.geometric_mean.has_value());
        if (g) {
            EXPECT_NEAR(*g, *c.geometric_mean, 1e-12);
        }
        EXPECT_EQ(stats::median_absolute_deviation(c.values), c.mad);
        std::optional<stats::Range> r = stats::range(c.values);
        EXPECT_EQ(r ? r->spread : std::nullopt, c.spread);
    }
    // Sample standard deviation of 2, 4, 4, 4, 5, 5, 7, 9 is 2.138..., mean 5.
    std::vector<double> v = {2, 4, 4, 4, 5, 5, 7, 9};
    EXPECT_NEAR(*stats::coefficient_of_variation(v), std::sqrt(32.0 / 7) / 5, 1e-12);
    EXPECT_FALSE(stats::coefficient_of_variation(std::vector<double>{3}));
    EXPECT_NEAR(*stats::robust_score(7, 5, 1), 2 / 1.4826, 1e-12);
    EXPECT_FALSE(stats::robust_score(7, 5, 0));
}

// Two-sided critical values of U at alpha = 0.05 from the published tables
// (the largest U still significant): a sample pair at the critical value is
// significant, one step above is not.
TEST(Stats, MannWhitneyAgainstThePublishedTable) {
    struct Case {
        int m, n, critical;
    };
    const Case cases[] = {{5, 5, 2}, {4, 6, 2}, {6, 6, 5}, {8, 8, 13}, {10, 10, 23}, {5, 10, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.m << " against " << c.n);
        // b is 0..n-1; a's values placed so that exactly `u` pairs (a > b)
        // arise, each a value above as many b values as are left to place.
        auto sample = [&](int u) {
            std::vector<double> a, b;
            for (int j = 0; j < c.n; ++j)
                b.push_back(j);
            for (int i = 0; i < c.m; ++i) {
                int here = std::min(u, c.n);
                a.push_back(here > 0 ? here - 0.5 - 0.001 * i : -1.0 - i);  // no ties
                u -= here;
            }
            return std::pair{a, b};
        };
        for (int u : {c.critical, c.critical + 1}) {
            auto [a, b] = sample(u);
            std::optional<stats::MannWhitney> r = stats::mann_whitney(a, b);
            ASSERT_TRUE(r);
            EXPECT_DOUBLE_EQ(r->u, u);
            EXPECT_TRUE(r->exact);
            EXPECT_EQ(r->p <= 0.05, u == c.critical)
                << c.m << "x" << c.n << " U=" << u << " p=" << r->p;
        }
    }
    // Five against five fully apart: p = 2 / C(10, 5).
    std::vector<double> low = {1, 2, 3, 4, 5}, high = {6, 7, 8, 9, 10};
    EXPECT_NEAR(stats::mann_whitney(low, high)->p, 2.0 / 252, 1e-12);
    // Three against three can never reach 0.05: the smallest p is 0.1.
    EXPECT_NEAR(stats::mann_whitney(std::vector<double>{1, 2, 3}, std::vector<double>{4, 5, 6})->p,
                0.1, 1e-12);
    // Ties at small n: counted exactly, conditional on them (test_gate.cpp
    // checks the counts), and no evidence when everything is equal.
    std::vector<double> same = {1, 1, 1};
    EXPECT_TRUE(stats::mann_whitney(same, same)->exact);
    EXPECT_DOUBLE_EQ(stats::mann_whitney(same, same)->p, 1);

    // The ratio of a 3% slower sample: estimate and an interval around it.
    std::vector<double> base = {100, 100.4, 99.7, 100.2, 99.9};
    std::vector<double> slower;
    for (double x : base)
        slower.push_back(x * 0.97);
    std::optional<stats::RatioInterval> ci = stats::ratio_interval(base, slower);
    ASSERT_TRUE(ci);
    EXPECT_NEAR(ci->estimate, 0.97, 0.002);
    EXPECT_LT(ci->low, ci->estimate);
    EXPECT_GT(ci->high, ci->estimate);
    EXPECT_LT(ci->high, 1.0);
    EXPECT_NEAR(ci->confidence, 1 - 8.0 / 252, 1e-12);  // k = 3 for five against five
}

// Student's t tail against the published table, and Welch's test on a worked case.
TEST(Stats, WelchAgainstKnownValues) {
    // Two-sided 5% critical values: 12.706 (1), 4.303 (2), 2.776 (4), 2.228 (10), 1.960 (inf).
    struct Case {
        double t, dof;
    };
    for (Case c :
         {Case{12.706, 1}, Case{4.303, 2}, Case{2.776, 4}, Case{2.228, 10}, Case{1.960, 1e6}})
        EXPECT_NEAR(2 * stats::student_upper_tail(c.t, c.dof), 0.05, 2e-4) << c.dof;
    // a = 1, 2, 3 (mean 2, variance 1), b = 4, 5, 6: t = 3 / sqrt(2/3), 4 degrees of freedom.
    std::optional<stats::Welch> w =
        stats::welch(std::vector<double>{1, 2, 3}, std::vector<double>{4, 5, 6});
    ASSERT_TRUE(w);
    EXPECT_NEAR(w->t, 3 / std::sqrt(2.0 / 3), 1e-12);
    EXPECT_NEAR(w->degrees_of_freedom, 4, 1e-12);
    EXPECT_NEAR(w->p, 0.0213, 1e-4);
    EXPECT_FALSE(stats::welch(std::vector<double>{1, 1}, std::vector<double>{1, 1}));
}

// The distributions agree with the values the p-values and bounds were
// computed from before (a continued fraction of the incomplete beta function,
// a bisection of it, erfc) far below the printed digits, and a NaN or no
// degrees of freedom give NaN rather than an exception.
TEST(Stats, DistributionsAsTheyWere) {
    struct Case {
        char kind;  // t: upper tail, q: quantile of the upper tail, z: normal upper tail
        double x, dof, expected;
    };
    const Case cases[] = {
        {'t', 0.5, 1, 0.35241638234956674},       {'t', 2, 2, 0.091751709536136941},
        {'t', 3.1, 2.7, 0.030640885265177144},    {'t', -1.2, 4, 0.85182430334382331},
        {'t', 4.5, 9.3, 0.00068560976392721055},  {'t', 6, 30, 6.9713843836023788e-07},
        {'t', 1.96, 1e6, 0.024998033802460032},   {'q', 0.025, 2, 4.3026527297481545},
        {'q', 0.05, 3.5, 2.2224334936494716},     {'q', 0.001, 7, 4.7852896286389859},
        {'q', 0.00025, 4, 10.306254681808484},    {'z', -1.5, 0, 0.93319279873114191},
        {'z', 0, 0, 0.5},                         {'z', 2.5, 0, 0.0062096653257761392},
        {'z', 9, 0, 1.1285884059538422e-19},
    };
    for (const Case& c : cases) {
        double got = c.kind == 't'   ? stats::student_upper_tail(c.x, c.dof)
                     : c.kind == 'q' ? stats::student_quantile(c.x, c.dof)
                                     : stats::normal_upper_tail(c.x);
        EXPECT_NEAR(got, c.expected, 1e-7 * c.expected) << c.kind << " " << c.x << " " << c.dof;
    }
    const double nan = std::nan("");
    EXPECT_TRUE(std::isnan(stats::student_upper_tail(nan, 3)));
    EXPECT_TRUE(std::isnan(stats::student_upper_tail(1, nan)));
    EXPECT_TRUE(std::isnan(stats::student_upper_tail(1, 0)));
    EXPECT_TRUE(std::isnan(stats::student_quantile(0.05, -1)));
    EXPECT_TRUE(std::isnan(stats::normal_upper_tail(nan)));
    EXPECT_EQ(stats::student_upper_tail(INFINITY, 3), 0);
}

TEST(Stats, ThreadCountOfARun) {
    report::Run run;
    report::Test test;
    test.threads.resize(3);
    EXPECT_EQ(stats::thread_count(run, &test), 3);  // counted when not printed
    run.threads = 8;
    EXPECT_EQ(stats::thread_count(run, &test), 8);  // printed wins
    run.threads = 0;
    EXPECT_EQ(stats::thread_count(run), std::nullopt);
    run.threads = 1LL << 40;  // implausible: counted instead
    EXPECT_EQ(stats::thread_count(run, &test), 3);
}

// `show`'s per-thread median, efficiency and spread on an odd and an even
// number of threads.
TEST(Stats, ShowSummaryPerThread) {
    struct Case {
        std::vector<double> rates;
        double median, efficiency, spread;
    };
    const Case cases[] = {
        {{3, 1, 2}, 2, 6.0 / 3, 3},
        {{4, 1, 3, 2}, 2.5, 10.0 / 4, 4},
    };
    for (const Case& c : cases) {
        report::Run run;
        run.threads = static_cast<long long>(c.rates.size());
        report::Test t;
        t.key = "float";
        t.complete = true;
        t.single_rate = Figure{"1", 1};
        double sum = 0;
        for (std::size_t i = 0; i < c.rates.size(); ++i) {
            t.threads.push_back({static_cast<int>(i), {}, Figure{"r", c.rates[i]}, {}, false});
            sum += c.rates[i];
        }
        t.overall_rate = Figure{"o", sum};
        TestSummary s = summarize(run, t);
        EXPECT_DOUBLE_EQ(*s.thread_median, c.median) << c.rates.size();
        EXPECT_DOUBLE_EQ(*s.efficiency, c.efficiency) << c.rates.size();
        EXPECT_DOUBLE_EQ(*s.spread, c.spread) << c.rates.size();
    }
}

}  // namespace
