// A run of a comparison as a whole, on comparisons made by hand: its overall
// mark, its worst figure, the slowest-first order, and the figure furthest
// from its medians' ratio.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "analysis/run_standing.h"

using namespace report;

namespace {

// A comparison of `columns` runs, the first the baseline, with a row per
// entry of `better`; cells are filled by the tests.
ProgramComparison comparison(std::size_t columns, const std::vector<Better>& better) {
    ProgramComparison c;
    c.baseline = 0;
    for (Better b : better) {
        FigureRow row;
        row.better = b;
        row.cells.resize(columns);
        c.rows.push_back(row);
    }
    return c;
}

struct MarkCase {
    const char* name;
    std::vector<Mark> marks;  // one per row, of column 1
    Mark overall;
};

class OverallMark : public testing::TestWithParam<MarkCase> {};

TEST_P(OverallMark, WorseOutranksBetterWhichOutranksSame) {
    const MarkCase& m = GetParam();
    ProgramComparison c = comparison(2, std::vector<Better>(m.marks.size(), Better::higher));
    for (std::size_t k = 0; k < m.marks.size(); ++k) {
        c.rows[k].cells[1].mark = m.marks[k];
        c.rows[k].cells[0].mark = Mark::worse;  // the baseline's own column never counts
    }
    EXPECT_EQ(overall_mark(c, 1), m.overall);
    EXPECT_EQ(overall_mark(c, 0), Mark::none);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, OverallMark,
    testing::Values(MarkCase{"nothing_compared", {Mark::none, Mark::none}, Mark::none},
                    MarkCase{"same", {Mark::none, Mark::same}, Mark::same},
                    MarkCase{"better", {Mark::same, Mark::better, Mark::none}, Mark::better},
                    MarkCase{"worse_first", {Mark::worse, Mark::better, Mark::same}, Mark::worse},
                    MarkCase{"worse_last", {Mark::better, Mark::same, Mark::worse}, Mark::worse}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WorstFigure, TheLargestTimeFactorWhicheverWayAFigureIsBetter) {
    // A rate at x0.90 takes 1/0.90 = 1.11 times as long; seconds at x1.20,
    // 1.20 times: the seconds are the worst. A faster rate is no candidate
    // over a slower one.
    ProgramComparison c = comparison(3, {Better::higher, Better::lower, Better::higher});
    c.rows[0].cells[1].ratio = 0.90;
    c.rows[1].cells[1].ratio = 1.20;
    c.rows[2].cells[1].ratio = 1.50;
    EXPECT_EQ(worst_figure(c, 1), 1u);
    // Equal factors: the first row.
    c.rows[1].cells[1].ratio = 1 / 0.90;
    EXPECT_EQ(worst_figure(c, 1), 0u);
    // Faster everywhere: still the one furthest on the slow side.
    c.rows[0].cells[2].ratio = 1.10;
    c.rows[2].cells[2].ratio = 1.30;
    EXPECT_EQ(worst_figure(c, 2), 0u);
    // The baseline, and a run with nothing compared, have none.
    c.rows[0].cells[0].ratio = 1;
    EXPECT_FALSE(worst_figure(c, 0));
    c.baseline.reset();
    c.rows[0].cells[0].ratio.reset();
    EXPECT_FALSE(worst_figure(c, 0));
}

TEST(SlowestFirst, AscendingRatiosStableAndTheUnknownLast) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::optional<double>> ratios = {1.0, std::nullopt, 0.9, nan, 0.9, inf, 1.1};
    EXPECT_EQ(slowest_first(ratios), (std::vector<std::size_t>{2, 4, 0, 6, 1, 3, 5}));
    EXPECT_TRUE(slowest_first({}).empty());

    ProgramComparison c;
    c.geo_overall.resize(3);
    c.geo_overall[0].ratio = 1;
    c.geo_overall[2].ratio = 0.8;
    EXPECT_EQ(slowest_overall_first(c), (std::vector<std::size_t>{2, 0, 1}));
}

TEST(FurthestApart, OnTheLogarithmEitherWay) {
    ProgramComparison c = comparison(3, {Better::higher, Better::higher});
    EXPECT_FALSE(furthest_apart(c));
    c.rows[0].cells[1].ratio = 1.10;
    c.rows[0].cells[1].medians_ratio = 1.00;  // ln 1.10 = 0.095
    c.rows[1].cells[2].ratio = 0.90;
    c.rows[1].cells[2].medians_ratio = 1.00;  // |ln 0.90| = 0.105
    c.rows[1].cells[1].ratio = 2.0;           // no medians' ratio: not apart
    std::optional<FigureAt> at = furthest_apart(c);
    ASSERT_TRUE(at);
    EXPECT_EQ(at->row, 1u);
    EXPECT_EQ(at->run, 2u);
}

}  // namespace
