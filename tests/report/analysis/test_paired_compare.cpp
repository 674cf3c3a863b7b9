// The paired comparison of two builds run in alternation: the gate tests the
// time factors of the rounds, pair by pair, says so in every output, names
// the rounds without a partner, and cancels a drift between rounds that the
// unpaired comparison of the same repetitions suffers from.
#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "fleet.h"
#include "input/parse.h"
#include "machine/record.h"
#include "output/compare_formats.h"
#include "output/compare_views.h"
#include "output/gate_view.h"

using namespace report;
using RunT = report::Run;

namespace {

// Two labels, `rounds` rounds of one interleaved run: round r moves both
// builds by the same drift factor; the new build is `slowdown` times slower.
// Rounds in `missing_new` have no repetition of the new build.
std::vector<RunT> interleaved(int rounds, double slowdown, double noise, double drift,
                              unsigned seed, std::vector<int> missing_new = {}) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> step(0, drift);
    std::vector<RunT> out;
    for (int r = 1; r <= rounds; ++r) {
        double d = std::exp(step(rng));
        for (auto [label, speed] : {std::pair{"old", 1.0}, std::pair{"new", 1 / slowdown}}) {
            if (std::string(label) == "new" &&
                std::find(missing_new.begin(), missing_new.end(), r) != missing_new.end())
                continue;
            for (Program p : {Program::processors, Program::memory}) {
                std::string text = noisy_results_file(p, speed * d, noise, 2, seed++);
                RunT run = std::get<RunT>(parse_run(text, std::string(label) + "/" + std::to_string(r)));
                run.label = label;
                auto record = std::make_shared<MachineRecord>();
                record->repetition.interleaved = "20261208T231500Z-4711";
                record->repetition.round = r;
                record->repetition.position = std::string(label) == "old" ? 1 : 2;
                run.machine = record;
                out.push_back(std::move(run));
            }
        }
    }
    return out;
}

GateVerdict gate(const std::vector<RunT>& runs, double percent, bool pairs,
                 std::vector<ProgramComparison>& cs) {
    std::vector<RunT> copy = runs;
    if (!pairs)
        for (RunT& r : copy)
            r.machine = nullptr;
    static std::vector<std::vector<RunT>> keep;  // the comparisons point into the runs
    keep.push_back(std::move(copy));
    std::vector<const RunT*> ptrs;
    for (const RunT& r : keep.back())
        ptrs.push_back(&r);
    CompareSettings settings;
    for (const RunT* r : ptrs)
        if (r->label == "old" && (settings.baselines.empty() || settings.baselines.back()->program != r->program))
            settings.baselines.push_back(r);
    cs = compare_runs(ptrs, settings);
    return decide_gate(cs, {}, {}, percent);
}

}  // namespace

// Rounds of one interleaved run are tested pair by pair, the outputs say
// "paired" and how many pairs, and a round without a partner is named.
TEST(PairedCompare, EveryOutputSaysPairedAndNamesUnpairedRounds) {
    std::vector<ProgramComparison> cs;
    GateVerdict v = gate(interleaved(8, 1, 0.01, 0.02, 5, {3}), 5, true, cs);
    ASSERT_EQ(v.tested.size(), 2u);
    for (const ProgramSlowdown& s : v.tested) {
        EXPECT_TRUE(s.paired);
        ASSERT_TRUE(s.pairing);
        EXPECT_EQ(s.pairing->pairs.size(), 7u);
        ASSERT_EQ(s.pairing->unpaired.size(), 1u);
        EXPECT_TRUE(s.pairing->unpaired[0].baseline);
        ASSERT_TRUE(s.test);
        EXPECT_EQ(s.test->method, stats::SlowdownMethod::signed_rank);
    }
    EXPECT_EQ(v.outcome, GateVerdict::Outcome::pass);
    std::vector<std::string> lines = gate_lines(v, cs);
    std::string said;
    for (const std::string& l : lines)
        said += l + "\n";
    EXPECT_NE(said.find("paired signed-rank test, 7 pairs"), std::string::npos) << said;
    EXPECT_NE(said.find("unpaired: round 3 of 20261208T231500Z-4711 (old only)"), std::string::npos)
        << said;
    ViewOptions view;
    view.gate = &v;
    for (const char* format : {"text", "markdown"}) {
        std::string out = find_compare_format(format)->write(cs, view);
        EXPECT_NE(out.find("paired signed-rank test, 7 pairs"), std::string::npos) << format;
    }
    auto doc = nlohmann::json::parse(find_compare_format("json")->write(cs, view));
    for (const auto& t : doc["gate"]["tests"]) {
        EXPECT_EQ(t["method"], "signed_rank");
        EXPECT_EQ(t["paired"], true);
        EXPECT_EQ(t["pairs"], 7);
        ASSERT_EQ(t["unpaired"].size(), 1u);
    }
}

// Cases on generated rounds with a drift of 6% between rounds: the paired
// gate finds the slowdown the unpaired one misses, trips on nothing with no
// change, and with too few pairs to reach its level falls back on the
// unpaired test, said.
TEST(PairedCompare, DriftCancelsInThePairs) {
    struct Case {
        const char* name;
        int rounds;
        double slowdown;
        bool paired_trips, unpaired_trips;
    };
    const Case cases[] = {
        {"8% slower, 10 rounds", 10, 1.08, true, false},
        {"no change, 10 rounds", 10, 1.0, false, false},
        {"3% slower at P = 5, 10 rounds", 10, 1.03, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<RunT> runs = interleaved(c.rounds, c.slowdown, 0.005, 0.06, 17);
        std::vector<ProgramComparison> cs;
        GateVerdict paired = gate(runs, 5, true, cs);
        GateVerdict unpaired = gate(runs, 5, false, cs);
        EXPECT_EQ(paired.outcome == GateVerdict::Outcome::fail, c.paired_trips);
        EXPECT_EQ(unpaired.outcome == GateVerdict::Outcome::fail, c.unpaired_trips);
        for (const ProgramSlowdown& s : paired.tested)
            EXPECT_TRUE(s.paired);
        for (const ProgramSlowdown& s : unpaired.tested)
            EXPECT_FALSE(s.pairing);
    }
    // 5 rounds: 1/32 is above the 2.5% each of two programs gets.
    std::vector<ProgramComparison> cs;
    GateVerdict few = gate(interleaved(5, 1.12, 0.005, 0.0, 19), 5, true, cs);
    for (const ProgramSlowdown& s : few.tested) {
        ASSERT_TRUE(s.pairing);
        EXPECT_FALSE(s.paired);
        ASSERT_TRUE(s.test);
        EXPECT_NE(s.test->method, stats::SlowdownMethod::signed_rank);
    }
    std::string said;
    for (const std::string& l : gate_lines(few, cs))
        said += l + "\n";
    EXPECT_NE(said.find("too few to pair"), std::string::npos) << said;
    EXPECT_EQ(pairs_needed(0.025), 6u);
    EXPECT_EQ(pairs_needed(0.05), 5u);
}
