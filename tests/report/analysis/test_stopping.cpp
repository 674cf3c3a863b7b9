// The stopping rules' decision: which rule wants another repetition, at and
// either side of each bound, and before a spread or an interval exists.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "analysis/stopping.h"

using namespace report;

namespace {

struct StoppingCase {
    const char* name;
    StoppingBounds bounds;
    std::optional<double> cv;
    double half_width;
    MoreWanted wanted;
};

class Stopping : public testing::TestWithParam<StoppingCase> {};

TEST_P(Stopping, WhichRuleWantsAnotherRepetition) {
    const StoppingCase& s = GetParam();
    EXPECT_EQ(more_wanted(s.bounds, s.cv, s.half_width), s.wanted);
}

const double no_interval = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Rules, Stopping,
    testing::Values(
        StoppingCase{"no_rule", {}, 0.5, no_interval, MoreWanted::none},
        StoppingCase{"spread_above", {2.0, {}}, 0.021, no_interval, MoreWanted::spread},
        StoppingCase{"spread_at_the_bound", {2.0, {}}, 0.02, no_interval, MoreWanted::none},
        StoppingCase{"spread_unknown_yet", {2.0, {}}, std::nullopt, no_interval, MoreWanted::none},
        StoppingCase{"no_interval_yet", {{}, 1.0}, std::nullopt, no_interval,
                     MoreWanted::precision},
        StoppingCase{"interval_wide", {{}, 1.0}, 0.5, 0.011, MoreWanted::precision},
        StoppingCase{"interval_narrow", {{}, 1.0}, 0.5, 0.009, MoreWanted::none},
        StoppingCase{"both_want_more_spread_named", {2.0, 1.0}, 0.05, 0.05, MoreWanted::spread},
        StoppingCase{"stable_but_imprecise", {2.0, 1.0}, 0.01, 0.05, MoreWanted::precision},
        StoppingCase{"both_met", {2.0, 1.0}, 0.01, 0.001, MoreWanted::none}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
