// The regression gate's statistics: the exact rank test with ties against a
// count of every arrangement, the one-sided test of a time factor against its
// threshold with the bound dual to it, and the leave-one-out score.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/common_slope.h"
#include "analysis/comparison.h"
#include "analysis/distributions.h"
#include "analysis/gate.h"
#include "analysis/stats.h"
#include "analysis/threshold_test.h"
#include "analysis/trend.h"
#include "output/gate_view.h"
#include "machine/record.h"
#include "fleet.h"
#include "input/parse.h"
#include "model/natural_order.h"
#include "process.h"

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
        // A quarter of the values tied or fewer: counted from the counts
        // without ties, the tied values taken out and put back as groups.
        {{1, 2, 3, 3, 5, 6}, {4, 7, 8, 9, 10, 11}},                  // a pair within a
        {{1, 2, 4, 5, 7, 9, 11, 15}, {3, 5, 8, 10, 10, 12, 13, 14}},  // across, and within b
        {{1, 2, 3, 3, 5, 6, 7, 8}, {3, 9, 10, 11, 12, 13, 14, 16}},   // three tied at 3
        {{9, 10, 11, 12, 13, 14, 15, 16}, {1, 2, 3, 4, 5, 6, 8, 8}},  // the lowest tail
        {{1, 2, 4, 4, 6, 8, 9, 11, 13, 15}, {3, 5, 7, 10, 10, 10, 12, 14, 16, 17}},  // two groups
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

// Every interval printed beside a figure is for the ratio printed beside it,
// dual to the test that sets its mark and at the real level it states: at
// 3 against 3 (Welch), 3 against 4, 5 against 5 and 4 against 6 (rank-sum),
// with no change, a change inside the band and one beyond it, and without
// spread.
TEST(GateStatistics, FigureIntervalsAgreeWithTheirMarks) {
    struct Case {
        int base, run;
        double speed, sigma;  // of the run's label; the baseline's speed is 1
    };
    const Case cases[] = {{3, 3, 1, 0.02},   {3, 3, 0.9, 0.02}, {3, 4, 1, 0.03},  {3, 4, 0.85, 0.01},
                          {5, 5, 1, 0.02},   {5, 5, 0.99, 0.002}, {5, 5, 0.9, 0.05}, {4, 6, 1.1, 0.02},
                          {3, 3, 0.89, 0},   {5, 5, 1, 0}};
    unsigned seed = 101;
    int intervals = 0, marked = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.base << " v " << c.run << " speed " << c.speed
                                          << " sigma " << c.sigma);
        std::vector<RunT> runs;
        for (auto [label, n, speed] : {std::tuple{"base", c.base, 1.0}, {"new", c.run, c.speed}})
            for (int k = 0; k < n; ++k) {
                std::string text =
                    noisy_results_file(Program::processors, speed, c.sigma, 2, c.sigma > 0 ? seed++ : 1);
                RunT r = std::get<RunT>(parse_run(text, std::string(label) + ".txt"));
                r.label = label;
                runs.push_back(std::move(r));
            }
        std::vector<const RunT*> ptrs;
        for (const RunT& r : runs)
            ptrs.push_back(&r);
        std::vector<ProgramComparison> cs = compare_runs(ptrs, {});
        ASSERT_EQ(cs.size(), 1u);
        ASSERT_TRUE(cs[0].baseline);
        std::size_t col = 1 - *cs[0].baseline;
        for (const FigureRow& row : cs[0].rows) {
            const Cell& cell = row.cells[col];
            if (!cell.interval)
                continue;
            ++intervals;
            const stats::RatioInterval& i = *cell.interval;
            ASSERT_TRUE(cell.ratio);
            EXPECT_EQ(*cell.ratio, i.estimate) << row.test << " " << row.figure;
            EXPECT_LE(i.low, i.estimate * (1 + 1e-12));
            EXPECT_GE(i.high, i.estimate * (1 - 1e-12));
            EXPECT_GE(i.confidence, 0.95 - 1e-12);
            bool excludes_one = i.low > 1 || i.high < 1;
            bool changed = cell.mark == Mark::better || cell.mark == Mark::worse;
            marked += changed;
            // A change is marked only where the interval excludes 1; an
            // interval excluding 1 beside "=" only for an estimate in the band.
            if (changed) {
                EXPECT_TRUE(excludes_one) << row.figure << " [" << i.low << ", " << i.high << "]";
            } else if (excludes_one) {
                EXPECT_LE(std::fabs(std::log(i.estimate)), std::log(1 + cs[0].noise / 100) + 1e-12)
                    << row.figure << " [" << i.low << ", " << i.high << "]";
            }
            EXPECT_EQ(excludes_one, cell.p && *cell.p <= significance_level)
                << row.figure << " p " << cell.p.value_or(-1);
        }
    }
    EXPECT_GT(intervals, 100);
    EXPECT_GT(marked, 10);
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

namespace {

namespace fs = std::filesystem;

// One label's repetitions as `bench_report run` lays them out:
// DIR/LABEL/20261208T10MMSSZ-N/ with both programs' results files and,
// where given, a machine.json saying how the repetition ended.
struct Label {
    std::string name;
    int repetitions;
    double time;   // time factor against 1
    double noise;  // per pass
    std::string outcome = "";  // machine.json's outcome for the last repetition; "" none
    std::string warning = "";  // a warning recorded with the last repetition
    // One more repetition of bench_processors that left only its machine.json
    // with this outcome; "" none.
    std::string without_file = "";
    std::string sha256 = "";  // the program's, in every repetition's machine.json; "" none
};

void write_label(const fs::path& dir, const Label& l, int minute, unsigned seed) {
    for (int r = 0; r < l.repetitions; ++r) {
        fs::path rep = dir / l.name / fmt::format("20261208T10{:02}{:02}Z-{}", minute, r, r + 1);
        fs::create_directories(rep);
        for (Program p : {Program::processors, Program::memory}) {
            bool memory = p == Program::memory;
            std::ofstream(rep / fmt::format("results_{}_Linux_x86 @ UTC time Tue Dec  8 "
                                            "10:{:02}:{:02} 2026\n.txt",
                                            memory ? "memory" : "processors", minute, r),
                          std::ios::binary)
                << noisy_results_file(p, 1 / l.time, l.noise, 2, seed + 2 * r + memory);
        }
        bool last = r == l.repetitions - 1;
        if (((!l.outcome.empty() || !l.warning.empty()) && last) || !l.sha256.empty())
            std::ofstream(rep / "machine.json") << fmt::format(
                R"({{"schema_version": 2, "repetition": {{"outcome": "{}", )"
                R"("started": "2026-12-08T10:{:02}:{:02}Z"}}, "program": {{"sha256": "{}"}}, )"
                R"("warnings": [{}]}})",
                l.outcome.empty() || !last ? "completed" : l.outcome, minute, r, l.sha256,
                l.warning.empty() || !last
                    ? ""
                    : fmt::format(R"({{"check": "load", "message": "{}"}})", l.warning));
    }
    if (!l.without_file.empty()) {
        fs::path rep = dir / l.name / fmt::format("20261208T10{:02}59Z-99", minute);
        fs::create_directories(rep);
        std::ofstream(rep / "machine.json") << fmt::format(
            R"({{"schema_version": 2, "repetition": {{"program": "bench_processors", )"
            R"("outcome": "{}", "started": "2026-12-08T10:{:02}:59Z"}}}})",
            l.without_file, minute);
    }
}

// The last line, with the lines a wrap continued it on (indented by two)
// joined back to it.
std::string last_line(const std::string& text) {
    std::size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return "";
    std::string line;
    for (;;) {
        std::size_t start = text.rfind('\n', end);
        std::size_t from = start == std::string::npos ? 0 : start + 1;
        std::string part = text.substr(from, end - from + 1);
        bool continued = part.rfind("  ", 0) == 0;
        line = continued ? part.substr(1) + line : part + line;
        if (!continued || start == std::string::npos)
            return line;
        end = start - 1;
    }
}

// A dozen comparisons and more through every format: the exit status, the last line
// of standard error, of the text and of the Markdown, and the JSON's gate all
// state one verdict.
TEST(GateVerdicts, EveryFormatStatesTheExitStatus) {
    struct Scenario {
        const char* name;
        std::vector<Label> labels;
        double percent;
        int status;                      // 0 pass, 3 fail, 4 no verdict
        std::vector<std::string> said;  // on standard error
        const char* options = "";
    };
    const Scenario scenarios[] = {
        {"no change, 5 against 5", {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005}}, 5, 0,
         {"time x", "shown within 5% slower", "gate: pass, shown within 5% slower",
          "drift: bench_memory: b, bench_processors: b did not run interleaved"}},
        {"no change, noisy, 3 against 3", {{"a", 3, 1, 0.1}, {"b", 3, 1, 0.1}}, 2, 4,
         {"cannot tell a 2% slowdown from noise here: between x",
          "a side would give an 80% chance to decide",
          "gate: no verdict, cannot tell a 2% slowdown from noise: bench_memory: b, "
          "bench_processors: b"}},
        {"the same, accepted", {{"a", 3, 1, 0.1}, {"b", 3, 1, 0.1}}, 2, 0,
         {"b: time x", "accepted: could not show within 2%",
          "gate: pass, nothing shown more than 2% slower; accepted: could not show within 2%: "
          "bench_memory: b, bench_processors: b"},
         " --accept-inconclusive"},
        {"10% slower, 5 against 5", {{"a", 5, 1, 0.005}, {"b", 5, 1.10, 0.005}}, 5, 3,
         {"shown more than 5% slower", "gate: fail, more than 5% slower: bench_memory: b, bench_processors: b"}},
        {"1% slower at P = 2, 12 against 12", {{"a", 12, 1, 0.005}, {"b", 12, 1.01, 0.005}}, 2, 0,
         {"shown within 2% slower"}},
        {"15% slower, 3 against 3", {{"a", 3, 1, 0.01}, {"b", 3, 1.15, 0.01}}, 5, 3,
         {"Welch's t-test"}},
        {"one run each, 10% slower", {{"a", 1, 1, 0}, {"b", 1, 1.10, 0}}, 5, 3,
         {"untested (fewer than 3 repetitions a side): b", "untested, gated on the 5% band alone: bench_memory: b, bench_processors: b"}},
        {"one run each, no change", {{"a", 1, 1, 0}, {"b", 1, 1, 0}}, 5, 0, {"untested"}},
        {"2 against 5, no change", {{"a", 2, 1, 0.005}, {"b", 5, 1, 0.005}}, 5, 0,
         {"untested (fewer than 3 repetitions a side): b"}},
        {"one label", {{"a", 3, 1, 0.005}}, 5, 4, {"the only label"}},
        {"a failed repetition, its file complete", {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005, "failed"}},
         5, 4, {"did not complete (failed", "gate: no verdict"}},
        {"a repetition still running", {{"a", 3, 1, 0.005, "running"}, {"b", 3, 1, 0.005}}, 5, 4,
         {"did not complete (still running"}},
        {"completed as recorded", {{"a", 3, 1, 0.005, "completed"}, {"b", 3, 1, 0.005}}, 5, 0, {}},
        {"three labels, one slower", {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005}, {"c", 5, 1.2, 0.005}},
         5, 3, {"gate: fail, more than 5% slower: bench_memory: c, bench_processors: c"}},
        {"a failed repetition without a results file",
         {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005, "", "", "failed"}}, 5, 4,
         {"bench_processors: b: a repetition did not complete (failed, runs/b/"}},
        {"a killed repetition without a results file",
         {{"a", 3, 1, 0.005, "", "", "killed"}, {"b", 3, 1, 0.005}}, 5, 4,
         {"bench_processors: a: a repetition did not complete (killed"}},
        {"two builds under one label, never pooled",
         {{"vm", 3, 1, 0.005, "", "", "", std::string(64, 'a')},
          {"vm", 3, 1.2, 0.005, "", "", "", "f58a6f21" + std::string(56, 'b')}},
         5, 3, {"gate: fail, more than 5% slower: bench_memory: vm@f58a6f21"}},
        {"a disturbed repetition", {{"a", 3, 1, 0.005}, {"b", 3, 1, 0.005, "", "load 3.1"}}, 5, 0,
         {"bench_memory: b: disturbed in 1 of 3 repetition(s): load 3.1"}},
        {"a disturbed repetition, --strict", {{"a", 3, 1, 0.005}, {"b", 3, 1, 0.005, "", "load 3.1"}},
         5, 4, {"b: --strict: a repetition was disturbed: load 3.1"}, " --strict"},
    };
    fs::path root = fs::temp_directory_path() / ("gate_verdicts_" + std::to_string(getpid()));
    unsigned seed = 11;
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        fs::remove_all(root);
        fs::create_directories(root);
        int minute = 0;
        for (const Label& l : s.labels) {
            write_label(root / "runs", l, minute++, seed);
            seed += 1000;
        }
        std::string gate = fmt::format(" --fail-if-worse {:g}{}", s.percent, s.options);
        const char* verdict = s.status == 0 ? "pass" : s.status == 3 ? "fail" : "no verdict";
        for (const char* format : {"text", "markdown", "json", "csv"}) {
            SCOPED_TRACE(format);
            Result r = run_in(root, std::string(BENCH_REPORT) + " compare runs/* --format " +
                                        format + gate);
            EXPECT_EQ(r.status, s.status) << r.err;
            EXPECT_EQ(last_line(r.err).rfind(std::string("bench_report: gate: ") + verdict, 0), 0u)
                << r.err;
            for (const std::string& words : s.said)
                EXPECT_NE(r.err.find(words), std::string::npos) << words << "\n" << r.err;
            std::string format_name = format;
            if (format_name == "text") {
                EXPECT_EQ(last_line(r.out).rfind(std::string("gate: ") + verdict, 0), 0u) << r.out;
                EXPECT_EQ(r.out.find("Disturbed: ") != std::string::npos,
                          r.err.find("disturbed in") != std::string::npos);
            } else if (format_name == "markdown") {
                EXPECT_EQ(last_line(r.out).rfind(std::string("**gate: ") + verdict, 0), 0u)
                    << r.out;
            } else if (format_name == "json") {
                auto doc = nlohmann::json::parse(r.out);
                EXPECT_EQ(doc["gate"]["verdict"],
                          s.status == 0 ? "pass" : s.status == 3 ? "fail" : "no_verdict");
                EXPECT_EQ(doc["gate"]["summary"], last_line(r.err).substr(14));
                EXPECT_EQ(doc["gate"]["untested"].empty(),
                          r.err.find("untested (") == std::string::npos);
                EXPECT_EQ(doc["gate"]["inconclusive"].empty(),
                          r.err.find("cannot tell") == std::string::npos);
                EXPECT_EQ(doc["gate"]["not_interleaved"].empty(),
                          r.err.find("drift: ") == std::string::npos);
                bool disturbed = false;
                for (const auto& p : doc["programs"])
                    disturbed = disturbed || !p["disturbances"].empty();
                EXPECT_EQ(disturbed, r.err.find("disturbed in") != std::string::npos);
            } else {
                EXPECT_FALSE(r.out.empty());
            }
        }
        // The chart, a page or one SVG, draws the same verdict and exits the same.
        for (const char* file : {"report.html", "chart.svg"}) {
            SCOPED_TRACE(file);
            fs::remove(root / file);
            Result r = run_in(root, std::string(BENCH_REPORT) + " chart runs/* -o " + file + gate);
            EXPECT_EQ(r.status, s.status) << r.err;
            EXPECT_EQ(last_line(r.err).rfind(std::string("bench_report: gate: ") + verdict, 0), 0u)
                << r.err;
            std::ifstream in(root / file);
            std::string page{std::istreambuf_iterator<char>(in), {}};
            if (std::string(file) == "report.html") {
                EXPECT_NE(page.find(std::string("<h2>Gate: ") + verdict + "</h2>\n<p><strong>" +
                                    last_line(r.err).substr(14) + "</strong>"),
                          std::string::npos)
                    << page.substr(0, 3000);
            } else {
                EXPECT_NE(page.find(std::string(">gate: ") + verdict), std::string::npos);
                EXPECT_EQ(page.rfind("<?xml", 0), 0u);
            }
        }
    }
    fs::remove_all(root);
}

// The text and Markdown outputs open with the answer: a line per program and
// label against the baseline, the first input named, whose column comes
// first; the disturbances said once where standard error joins the output.
TEST(CompareHeadline, TheAnswerFirstAgainstTheFirstInput) {
    struct Case {
        const char* name;
        std::vector<Label> labels;  // written to runs/<name>
        const char* inputs;         // in the order named
        std::vector<std::string> first;  // the text's first lines, each a prefix
    };
    const Case cases[] = {
        {"10% slower", {{"a", 5, 1, 0.005}, {"b", 5, 1.10, 0.005}}, "runs/a runs/b",
         {"bench_memory: b against a: ", "bench_processors: b against a: 10.0% slower"}},
        {"named the other way", {{"a", 5, 1, 0.005}, {"b", 5, 1.10, 0.005}}, "runs/b runs/a",
         {"bench_memory: a against b: ", "bench_processors: a against b: 9.1% faster"}},
        {"no change", {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005}}, "runs/a runs/b",
         {"bench_memory: b against a: no difference shown (between ",
          "bench_processors: b against a: no difference shown (between "}},
        {"one run a side", {{"a", 1, 1, 0}, {"b", 1, 1.10, 0}}, "runs/a runs/b",
         {"bench_memory: b against a: ",
          "bench_processors: b against a: 10.0% slower (1 against 1: too few runs for an"}},
    };
    fs::path root = fs::temp_directory_path() / ("compare_headline_" + std::to_string(getpid()));
    unsigned seed = 71;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root);
        int minute = 0;
        for (const Label& l : c.labels)
            write_label(root / "runs", l, minute++, seed += 1000);
        std::string cmd = std::string(BENCH_REPORT) + " compare " + c.inputs;
        Result text = run_in(root, cmd + " --format text");
        Result markdown = run_in(root, cmd + " --format markdown");
        ASSERT_EQ(text.status, 0) << text.err;
        // Each line before the first table, in this order.
        std::size_t tables = text.out.find(" run(s) of "), at = 0;
        for (const std::string& prefix : c.first) {
            std::size_t found = text.out.find(prefix, at);
            EXPECT_TRUE(found < tables && (found == 0 || text.out[found - 1] == '\n'))
                << prefix << "\n" << text.out.substr(0, 600);
            at = found == std::string::npos ? at : found + 1;
        }
        // Through a pipe, every line fits 80 columns: a few labels too wide
        // for columns side by side are shown a label at a time.
        for (std::size_t s = 0, e; (e = text.out.find('\n', s)) != std::string::npos; s = e + 1)
            EXPECT_LE(e - s, 80u) << text.out.substr(s, e - s);
        std::string escaped = c.first.front();
        escaped.insert(escaped.find('_'), "\\");
        EXPECT_EQ(markdown.out.rfind("- " + escaped, 0), 0u) << markdown.out.substr(0, 300);
        // The baseline's column comes first.
        std::string n = fmt::format(" (n={})", c.labels[0].repetitions);
        if (c.labels[0].repetitions > 1) {
            std::string baseline = std::string(c.inputs).substr(5, 1);
            std::string other = baseline == "a" ? "b" : "a";
            // In the table's header (Markdown's is the wide layout's).
            std::size_t header = markdown.out.find("(baseline)");
            ASSERT_NE(header, std::string::npos) << markdown.out.substr(0, 1500);
            std::size_t start = markdown.out.rfind('\n', header) + 1;
            std::string line = markdown.out.substr(start, markdown.out.find('\n', header) - start);
            EXPECT_LT(line.find(baseline + n), line.find(other + n)) << line;
        }
    }
    // Disturbances: under the tables and on standard error, said once when
    // the two reach one file.
    fs::remove_all(root);
    write_label(root / "runs", {"a", 3, 1, 0.005}, 0, 5);
    write_label(root / "runs", {"b", 3, 1, 0.005, "", "load 3.1"}, 1, 500);
    std::string cmd = std::string(BENCH_REPORT) + " compare runs/a runs/b";
    auto count = [](const std::string& s) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = s.find("disturbed in", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    Result apart = run_in(root, cmd);
    Result joined = run_in(root, cmd + " 2>&1");
    EXPECT_GT(count(apart.out), 0u);
    EXPECT_EQ(count(apart.err), count(apart.out));
    EXPECT_EQ(count(joined.out), count(apart.out)) << joined.out;
    fs::remove_all(root);
}

// Generated repetitions with a known time factor: the gate's three outcomes
// per label, each with both bounds of its interval on the side it decides,
// and an inconclusive label counted a pass only when that is asked for.
TEST(GateOutcomes, ThreeOutcomesOnAKnownFactor) {
    struct Case {
        const char* name;
        int n;          // repetitions a side
        double noise;   // per pass
        double factor;  // the label's time over the baseline's
        double percent;
        bool accept;
        LabelOutcome label;
        GateVerdict::Outcome verdict;
    };
    using O = GateVerdict::Outcome;
    const Case cases[] = {
        {"no change, quiet, 10 against 10", 10, 0.005, 1.0, 5, false, LabelOutcome::pass, O::pass},
        {"20% slower, 5 against 5", 5, 0.005, 1.2, 5, false, LabelOutcome::fail, O::fail},
        {"no change, noisy, 3 against 3", 3, 0.1, 1.0, 2, false, LabelOutcome::inconclusive,
         O::no_verdict},
        {"the same, accepted", 3, 0.1, 1.0, 2, true, LabelOutcome::accepted, O::pass},
        {"a slowdown at the limit, accepted, still fails", 5, 0.005, 1.2, 5, true,
         LabelOutcome::fail, O::fail},
        {"no spread, no change", 3, 0, 1.0, 2, false, LabelOutcome::pass, O::pass},
        {"no spread, 10% slower", 3, 0, 1.1, 5, false, LabelOutcome::fail, O::fail},
    };
    unsigned seed = 101;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<RunT> runs;
        for (auto [name, factor] : {std::pair{"base", 1.0}, std::pair{"new", k.factor}})
            for (int r = 0; r < k.n; ++r)
                for (Program p : {Program::processors, Program::memory}) {
                    RunT run = std::get<RunT>(parse_run(
                        noisy_results_file(p, 1 / factor, k.noise, 2, seed++), "rep.txt"));
                    run.label = name;
                    runs.push_back(std::move(run));
                }
        std::vector<const RunT*> ptrs;
        for (const RunT& r : runs)
            ptrs.push_back(&r);
        GateVerdict v = decide_gate(compare_runs(ptrs, {}), {}, {}, k.percent, false, k.accept);
        EXPECT_EQ(v.outcome, k.verdict);
        ASSERT_EQ(v.tested.size(), 2u);
        double limit = 1 + k.percent / 100;
        for (const ProgramSlowdown& s : v.tested) {
            ASSERT_TRUE(s.test && s.within);
            EXPECT_EQ(s.outcome, k.label);
            EXPECT_LE(s.test->bound, s.test->estimate * (1 + 1e-12));
            EXPECT_GE(s.upper(), s.test->estimate * (1 - 1e-12));
            bool undecided =
                k.label == LabelOutcome::inconclusive || k.label == LabelOutcome::accepted;
            EXPECT_EQ(s.test->bound > limit, k.label == LabelOutcome::fail);
            if (k.label == LabelOutcome::pass) {
                EXPECT_LE(s.upper(), limit * (1 + 1e-9));
            }
            if (s.upper() > limit) {
                EXPECT_TRUE(undecided || k.label == LabelOutcome::fail);
            }
            EXPECT_TRUE(undecided || !s.decide_at);
            // The gate decides only when both labels do: each says the gate's count.
            EXPECT_EQ(s.decide_at, v.tested.front().decide_at);
        }
    }
}

// A count that a redraw contradicts: 5 against 5 repetitions at 2% a
// repetition (shared by its passes), 1% slower, a 2% gate, which cannot
// decide; twenty fresh comparisons at the count said must mostly decide
// (an 80% chance gives 14 or more of 20 in nine tries of ten). The count
// read at bounds of 80% said 28 here, and half of its redraws decided.
TEST(GateOutcomes, TheCountSaidDecidesWhenRedrawnAtIt) {
    std::mt19937 rng(43);
    unsigned seed = 4300;
    auto comparison = [&](int n) {
        std::vector<RunT> runs;
        for (const char* name : {"base", "new"})
            for (int r = 0; r < n; ++r) {
                double speed = std::exp(0.02 * std::normal_distribution<double>(0, 1)(rng)) /
                               (std::string(name) == "new" ? 1.01 : 1.0);
                RunT run = std::get<RunT>(parse_run(
                    noisy_results_file(Program::memory, speed, 0.005, 2, seed++), "rep.txt"));
                run.label = name;
                runs.push_back(std::move(run));
            }
        std::vector<const RunT*> ptrs;
        for (const RunT& r : runs)
            ptrs.push_back(&r);
        return decide_gate(compare_runs(ptrs, {}), {}, {}, 2);
    };
    std::optional<std::size_t> said;
    for (int tries = 0; tries < 50 && !said; ++tries) {
        GateVerdict v = comparison(5);
        if (v.outcome == GateVerdict::Outcome::no_verdict && v.tested.size() == 1)
            said = v.tested.front().decide_at;
    }
    ASSERT_TRUE(said);
    int decided = 0;
    for (int k = 0; k < 20; ++k)
        decided += comparison(static_cast<int>(*said)).outcome != GateVerdict::Outcome::no_verdict;
    EXPECT_GE(decided, 14) << "at " << *said << " repetitions a side";
}

// One repetition of five 22% slow keeps a 5% gate from passing: it is named
// as the one to run again, not a count of repetitions that would decide.
TEST(GateOutcomes, AFarRepetitionThatAloneKeepsTheGateFromDecidingIsNamed) {
    std::vector<RunT> runs;
    unsigned seed = 4242;
    for (const char* name : {"base", "new"})
        for (int r = 0; r < 5; ++r) {
            double slow = std::string(name) == "new" && r == 3 ? 1.22 : 1.0;
            RunT run = std::get<RunT>(parse_run(
                noisy_results_file(Program::memory, 1 / slow, 0.005, 2, seed++), "rep.txt"));
            run.label = name;
            runs.push_back(std::move(run));
        }
    std::vector<const RunT*> ptrs;
    for (const RunT& r : runs)
        ptrs.push_back(&r);
    std::vector<ProgramComparison> cs = compare_runs(ptrs, {});
    GateVerdict v = decide_gate(cs, {}, {}, 5);
    ASSERT_EQ(v.tested.size(), 1u);
    EXPECT_EQ(v.tested[0].outcome, LabelOutcome::inconclusive);
    EXPECT_EQ(v.tested[0].rerun, &runs[8]);
    EXPECT_NE(inconclusive_words(v.tested[0], 5).find("alone keeps it from deciding"),
              std::string::npos);
}

// Kendall's test of a trend with the order of measurement: exact over every
// order (n! of them, 2 of which are monotone), and its use by the gate: a
// label whose repetitions slow down as they go is named, one without a drift
// is not.
TEST(GateOutcomes, RepetitionsThatTrendWithTheirStart) {
    struct Case {
        std::vector<double> x;
        double tau, p;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5}, 1, 2.0 / 120},
        {{6, 5, 4, 3, 2, 1}, -1, 2.0 / 720},
        {{1, 1, 1, 1}, 0, 1},
        {{1, 3, 2, 4}, 4.0 / 6, 8.0 / 24},  // 5 of 6 pairs concordant: |S| >= 4 in 8 of 24 orders
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.x));
        std::optional<stats::KendallTest> t = stats::kendall_trend(c.x);
        ASSERT_TRUE(t);
        EXPECT_NEAR(t->tau, c.tau, 1e-12);
        EXPECT_NEAR(t->p, c.p, 1e-12);
    }
    EXPECT_FALSE(stats::kendall_trend(std::vector<double>{1, 2}));
    EXPECT_FALSE(stats::kendall_trend(std::vector<double>{1, NAN, 2}));

    for (double drift : {0.0, 0.15}) {
        SCOPED_TRACE(drift);
        std::vector<RunT> runs;
        unsigned seed = 900;
        for (int slot = 0; slot < 16; ++slot) {
            RunT r = std::get<RunT>(parse_run(
                noisy_results_file(Program::processors, 1 - drift * slot / 15, 0.005, 2, seed++),
                "rep.txt"));
            r.label = slot < 8 ? "base" : "new";
            auto record = std::make_shared<MachineRecord>();
            // Started in the reverse of the order given: the order is the starts'.
            record->repetition.started = fmt::format("2026-12-09T03:{:02}:00Z", slot);
            r.machine = record;
            runs.push_back(std::move(r));
        }
        std::vector<const RunT*> ptrs;
        for (auto it = runs.rbegin(); it != runs.rend(); ++it)
            ptrs.push_back(&*it);
        GateVerdict v = decide_gate(compare_runs(ptrs, {}), {}, {}, 50);
        EXPECT_EQ(v.trends.size(), drift > 0 ? 2u : 0u);
        // Run one after the other: a drift within them moves one against the
        // other too, so the gate decides nothing on it.
        EXPECT_EQ(v.outcome == GateVerdict::Outcome::no_verdict, drift > 0);
        EXPECT_EQ(std::count_if(v.problems.begin(), v.problems.end(),
                                [](const GateProblem& p) { return p.kind == GateProblem::drifting; }),
                  drift > 0 ? 1 : 0);
        for (const RepetitionTrend& t : v.trends) {
            EXPECT_GT(t.tau, 0.9);  // slower as they went
            EXPECT_EQ(t.repetitions, 8u);
        }
    }
}

// The labels' effect net of one slope in start time: exact on a line, the
// slope from within the labels only (a gap between them is the effect, not
// a drift), and nothing where the times cannot tell a slope.
TEST(GateOutcomes, SlopeAdjustedEffect) {
    using V = std::vector<double>;
    struct Case {
        const char* name;
        V tb, yb, tr, yr;
        bool some;
        double effect, slope;
    };
    const Case cases[] = {
        {"a line through both, a step between", {0, 1, 2}, {0, .1, .2}, {3, 4, 5}, {.8, .9, 1}, true, .5, .1},
        {"flat labels far apart", {0, 1, 2}, {1, 1, 1}, {10, 11, 12}, {2, 2, 2}, true, 1, 0},
        {"one start a label", {0, 0, 0}, {1, 2, 3}, {5, 5}, {1, 2}, false, 0, 0},
        {"too few", {0, 1}, {1, 2}, {3}, {1}, false, 0, 0},
        {"sizes that differ", {0, 1, 2}, {1, 2}, {3, 4}, {1, 2}, false, 0, 0},
        {"not finite", {0, 1, 2}, {1, NAN, 2}, {3, 4}, {1, 2}, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<stats::SlopeAdjusted> a = stats::slope_adjusted(c.tb, c.yb, c.tr, c.yr);
        ASSERT_EQ(a.has_value(), c.some);
        if (!a)
            continue;
        EXPECT_NEAR(a->effect, c.effect, 1e-12);
        EXPECT_NEAR(a->slope, c.slope, 1e-12);
        EXPECT_NEAR(a->error, 0, 1e-9);  // on the line: no residual
        EXPECT_EQ(a->dof, c.tb.size() + c.tr.size() - 3);
    }
    // The error against its formula: s^2 (1/m + 1/n + gap^2 / Sxx within).
    V tb = {0, 1, 2, 3}, yb = {0, .03, -.01, .02}, tr = {4, 5, 6, 7}, yr = {.1, .08, .12, .09};
    std::optional<stats::SlopeAdjusted> a = stats::slope_adjusted(tb, yb, tr, yr);
    ASSERT_TRUE(a);
    double rss = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        double eb = yb[i] - .01 - a->slope * (tb[i] - 1.5), er = yr[i] - .0975 - a->slope * (tr[i] - 5.5);
        rss += eb * eb + er * er;
    }
    EXPECT_NEAR(a->error, std::sqrt(rss / 5 * (0.5 + 16 / 10.0)), 1e-12);
}

// Labels run one after the other while the machine sped up: a real 8%
// slowdown that the drift hides passes a 5% gate on the plain comparison,
// whose repetitions zigzag too much for Kendall's tests to call the trend;
// the effect net of the drift's slope contradicts the pass, so the gate gives
// no verdict and names the drift. The same repetitions without drift or
// slowdown pass.
TEST(GateOutcomes, ADriftThatHidesASlowdownWithholdsThePass) {
    for (double drift : {0.0, 0.015}) {
        SCOPED_TRACE(drift);
        double slow = drift > 0 ? 0.08 : 0;
        std::vector<RunT> runs;
        unsigned seed = 77;
        for (int slot = 0; slot < 10; ++slot) {
            bool base = slot < 5;
            // Log time factor: the drift, a zigzag of +/-1.5%, the slowdown.
            double y = -drift * slot + 0.015 * (slot % 2 ? -1 : 1) + (base ? 0 : slow);
            for (Program p : {Program::processors, Program::memory}) {
                RunT r = std::get<RunT>(
                    parse_run(noisy_results_file(p, std::exp(-y), 0.001, 2, seed++), "rep.txt"));
                r.label = base ? "base" : "new";
                auto record = std::make_shared<MachineRecord>();
                record->repetition.started = fmt::format("2026-12-09T03:{:02}:00Z", slot);
                r.machine = record;
                runs.push_back(std::move(r));
            }
        }
        std::vector<const RunT*> ptrs;
        for (const RunT& r : runs)
            ptrs.push_back(&r);
        GateVerdict v = decide_gate(compare_runs(ptrs, {}), {}, {}, 5);
        EXPECT_TRUE(v.trends.empty());
        ASSERT_EQ(v.tested.size(), 2u);
        for (const ProgramSlowdown& s : v.tested)
            EXPECT_EQ(s.outcome, LabelOutcome::pass);
        EXPECT_EQ(v.outcome, drift > 0 ? GateVerdict::Outcome::no_verdict : GateVerdict::Outcome::pass);
        EXPECT_EQ(std::count_if(v.problems.begin(), v.problems.end(),
                                [](const GateProblem& p) { return p.kind == GateProblem::drifting; }),
                  drift > 0 ? 2 : 0);
    }
}

// The repetitions that would decide: the least count, beyond those there
// are, at which a one-sided t test at the level has the chance asked for to
// show the side the estimate lies on, at the upper confidence bound of the
// spread; none past the cap, on the limit or without a spread.
TEST(GateOutcomes, RepetitionsThatWouldDecide) {
    struct Case {
        double distance, spread;
        std::size_t dof;
        double alpha;
        bool paired;
        double now;
        bool some;
        double chance = decide_power;
    };
    const Case cases[] = {
        {0.02, 0.02, 8, 0.05, false, 5, true},     // unpaired, 5 against 5
        {0.02, 0.02, 4, 0.025, true, 5, true},     // paired, a share of the level
        {0.001, 0.02, 8, 0.05, false, 5, false},   // near the limit: past the cap
        {0, 0.02, 8, 0.05, false, 5, false},       // on the limit
        {0.02, 0, 8, 0.05, false, 5, false},       // no spread
        {0.5, 0.01, 8, 0.05, false, 5, true},      // decided already: one more
        {0.02, 0.02, 8, 0.05, false, 5, true, 0.95},  // one of several labels
        {0.02, 0.02, 4, 0.025, true, 5, true, 0.9},
    };
    // One label after the other, the drift-adjusted effect must agree too:
    // it is about twice as wide, so it takes half as many again or more.
    std::optional<std::size_t> plain = repetitions_to_decide(0.02, 0.02, 8, 0.05, false, 5);
    std::optional<std::size_t> checked = repetitions_to_decide(0.02, 0.02, 8, 0.05, false, 5, true);
    ASSERT_TRUE(plain && checked);
    EXPECT_GT(*checked, *plain * 3 / 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.distance << " at spread " << c.spread << ", chance "
                                          << c.chance);
        std::optional<std::size_t> n = repetitions_to_decide(c.distance, c.spread, c.dof, c.alpha,
                                                             c.paired, c.now, false, c.chance);
        ASSERT_EQ(n.has_value(), c.some);
        if (!n)
            continue;
        EXPECT_GT(static_cast<double>(*n), c.now);
        EXPECT_LE(*n, decide_cap);
        double d = static_cast<double>(c.dof);
        double sigma = c.spread * std::sqrt(d / stats::chi_squared_quantile(1 - decide_spread_level, d));
        auto power = [&](std::size_t k) {
            double df = c.paired ? k - 1.0 : 2.0 * k - 2;
            double se = sigma * std::sqrt((c.paired ? 1.0 : 2.0) / static_cast<double>(k));
            // The chance that the t statistic clears the test's quantile.
            return stats::student_upper_tail(
                stats::student_quantile(c.alpha, df) - c.distance / se, df);
        };
        EXPECT_GE(power(*n), c.chance - 0.02);
        if (static_cast<double>(*n) - 1 > c.now) {
            EXPECT_LT(power(*n - 1), c.chance);
        }
    }
}

// The gate decides only when every label does, and the trend tests of
// labels run one after the other may still give no verdict: the chance each
// label's count gives, over all of them and the trend tests' false alarms,
// comes back to the gate's 80%; it rises with the labels, never falls.
TEST(GateOutcomes, EachLabelsChanceMakesTheGates) {
    double last = 0;
    for (std::size_t labels : {1u, 2u, 4u, 8u})
        for (bool drift : {false, true}) {
            SCOPED_TRACE(::testing::Message() << labels << " labels, drift tested " << drift);
            double chance = label_decide_chance(labels, drift);
            double gate = std::pow(chance, static_cast<double>(labels)) *
                          (drift ? 1 - 2 * gate_alpha : 1);
            EXPECT_NEAR(gate, decide_power, 1e-12);
            EXPECT_LT(chance, 1);
            EXPECT_GT(chance, last);
            last = chance;
        }
    EXPECT_DOUBLE_EQ(label_decide_chance(1, false), decide_power);
}

// Between labels of 3 or more repetitions a slowdown counts only when its
// test shows it: medians 8% apart with a spread of +/-15% are no evidence of
// a slowdown beyond 5%, though the band alone would trip (nor of one within
// it).
TEST(GateVerdicts, AnInsignificantDifferenceBeyondTheBandDoesNotTrip) {
    const double base[] = {0.85, 0.95, 1.0, 1.05, 1.2};
    const double slower[] = {0.92, 1.02, 1.08, 1.15, 1.3};
    std::vector<RunT> runs;
    unsigned seed = 3;
    for (auto [label, times] : {std::pair{"base", base}, std::pair{"new", slower}})
        for (int k = 0; k < 5; ++k) {
            std::string text = noisy_results_file(Program::processors, 1 / times[k], 0, 2, seed++);
            RunT r = std::get<RunT>(parse_run(text, std::string(label) + ".txt"));
            r.label = label;
            runs.push_back(std::move(r));
        }
    std::vector<const RunT*> ptrs;
    for (const RunT& r : runs)
        ptrs.push_back(&r);
    std::vector<ProgramComparison> cs = compare_runs(ptrs, {});
    ASSERT_EQ(cs.size(), 1u);
    // The medians differ by more than 5%: every figure is beyond the band.
    EXPECT_FALSE(regressions(cs, 5).empty());
    GateVerdict v = decide_gate(cs, {}, {}, 5);
    ASSERT_EQ(v.tested.size(), 1u);
    ASSERT_TRUE(v.tested[0].test);
    EXPECT_GT(v.tested[0].test->estimate, 1.05);
    EXPECT_FALSE(v.tested[0].test->significant) << "p " << v.tested[0].test->p;
    // Nor is it evidence of one within 5%: the repetitions cannot tell.
    EXPECT_EQ(v.tested[0].outcome, LabelOutcome::inconclusive);
    EXPECT_EQ(v.outcome, GateVerdict::Outcome::no_verdict);
    EXPECT_TRUE(v.regressions.empty());
    EXPECT_TRUE(v.untested.empty());
}

// The baseline, when none is named, is the input named first (`compare OLD
// NEW`), else of its labels the one that ran first, whatever its name, else
// the first in natural order. Its column comes first, the others follow in
// the labels' natural order.
TEST(GateVerdicts, DefaultBaselineFirstNamedThenRanFirst) {
    struct Label {
        std::string name, start;  // local start ("" none)
        std::size_t input = 0;
    };
    struct Case {
        std::vector<Label> labels;
        std::vector<std::string> columns;
        BaselineReason reason;
    };
    const Case cases[] = {
        {{{"release-1.9", "Tue Dec  8 11:00:00 2026"}, {"release-1.10", "Tue Dec  8 10:00:00 2026"}},
         {"release-1.10", "release-1.9"}, BaselineReason::ran_first},
        {{{"host-10", "Tue Dec  8 09:00:00 2026"}, {"host-2", "Tue Dec  8 10:00:00 2026"}},
         {"host-10", "host-2"}, BaselineReason::ran_first},
        {{{"b-10", ""}, {"b-9", ""}}, {"b-9", "b-10"}, BaselineReason::first_in_order},
        // compare old new: old, though new's files carry the earlier date.
        {{{"new", "Tue Dec  8 09:00:00 2026", 1}, {"old", "Tue Dec  8 10:00:00 2026", 0}},
         {"old", "new"}, BaselineReason::first_input},
        {{{"slow-copy", "", 0}, {"hostA", "Tue Dec  8 09:00:00 2026", 1}},
         {"slow-copy", "hostA"}, BaselineReason::first_input},
        // The input named first holds two labels: of them, the one that ran first.
        {{{"a", "Tue Dec  8 09:00:00 2026", 1}, {"c", "Tue Dec  8 11:00:00 2026", 0},
          {"b", "Tue Dec  8 10:00:00 2026", 0}},
         {"b", "a", "c"}, BaselineReason::ran_first},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.columns.front());
        std::vector<RunT> runs;
        for (const Label& l : c.labels) {
            RunT r = std::get<RunT>(parse_run(
                noisy_results_file(Program::processors, 1, 0, 2, 5), l.name + ".txt"));
            r.label = l.name;
            r.local_time = l.start;
            r.input = l.input;
            runs.push_back(std::move(r));
        }
        std::vector<const RunT*> ptrs;
        for (const RunT& r : runs)
            ptrs.push_back(&r);
        std::vector<ProgramComparison> cs = compare_runs(ptrs, {});
        std::vector<std::string> columns;
        for (const RunT* r : cs[0].runs)
            columns.push_back(r->label);
        EXPECT_EQ(columns, c.columns);
        ASSERT_TRUE(cs[0].baseline);
        EXPECT_EQ(*cs[0].baseline, 0u);
        EXPECT_EQ(cs[0].samples[0].front()->label, c.columns.front());
        EXPECT_EQ(cs[0].baseline_reason, c.reason);
    }
}

}  // namespace
