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
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "fleet.h"
#include "input/parse.h"
#include "machine/record.h"
#include "output/compare_formats.h"
#include "output/compare_views.h"
#include "output/gate_view.h"
#include "output/html_report.h"

using namespace report;
using RunT = report::Run;

namespace {

// Two labels, `rounds` rounds of one interleaved run: round r moves both
// builds by the same drift factor; the new build is `slowdown` times slower.
// Rounds in `missing_new` have no repetition of the new build; `levels`,
// when given, are the rounds' drift factors instead of random ones.
std::vector<RunT> interleaved(int rounds, double slowdown, double noise, double drift,
                              unsigned seed, std::vector<int> missing_new = {},
                              std::vector<double> levels = {}) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> step(0, drift);
    std::vector<RunT> out;
    for (int r = 1; r <= rounds; ++r) {
        double d = std::exp(step(rng));
        if (!levels.empty())
            d = levels[static_cast<std::size_t>(r - 1)];
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
        // Read as words: where the text wraps its lines is not the point.
        for (std::size_t at; (at = out.find("\n  ")) != std::string::npos;)
            out.replace(at, 3, " ");
        EXPECT_NE(out.find("paired signed-rank test, 7 pairs"), std::string::npos) << format;
    }
    auto doc = nlohmann::json::parse(find_compare_format("json")->write(cs, view));
    for (const auto& t : doc["gate"]["tests"]) {
        EXPECT_EQ(t["method"], "signed_rank");
        EXPECT_EQ(t["paired"], true);
        EXPECT_EQ(t["pairs"], 7);
        ASSERT_EQ(t["unpaired"].size(), 1u);
    }

    // Each figure's cell: the same paired estimate and interval, its method
    // and its pairs, in the JSON, the CSV, the tables and the page.
    std::string csv = find_compare_format("csv")->write(cs, view);
    std::string tables = find_compare_format("text")->write(cs, view) +
                         find_compare_format("markdown")->write(cs, view);
    std::vector<const RunT*> all;
    for (const ProgramComparison& c : cs)
        for (const auto& reps : c.samples)
            all.insert(all.end(), reps.begin(), reps.end());
    std::string page = html_report(all, cs, view);
    for (const std::string& out : {tables, page}) {
        EXPECT_NE(out.find("Paired: new against old ran in rounds of one interleaved run; each "
                           "figure is tested on its 7 pairs of rounds"),
                  std::string::npos);
        EXPECT_NE(out.find("Without a partner: old/3"), std::string::npos);
    }
    int cells = 0;
    for (std::size_t ci = 0; ci < cs.size(); ++ci) {
        const ProgramComparison& c = cs[ci];
        std::size_t col = 1 - *c.baseline;
        for (std::size_t k = 0; k < c.rows.size(); ++k) {
            const Cell& cell = c.rows[k].cells[col];
            const auto& j = doc["programs"][ci]["figures"][k]["cells"][col];
            if (!cell.interval) {
                EXPECT_TRUE(j["interval"].is_null());
                continue;
            }
            ++cells;
            ASSERT_EQ(cell.test, SignificanceTest::signed_rank);
            EXPECT_EQ(cell.pairs, 7u);
            EXPECT_EQ(j["test"], "signed_rank");
            EXPECT_EQ(j["pairs"], 7);
            EXPECT_EQ(j["ratio"].get<double>(), *cell.ratio);
            EXPECT_EQ(j["interval"]["low"].get<double>(), cell.interval->low);
            EXPECT_EQ(j["interval"]["high"].get<double>(), cell.interval->high);
            std::string line = fmt::format(",{},signed_rank,{},{},{},{},7\n", mark_name(cell.mark),
                                           *cell.p, cell.interval->low, cell.interval->high,
                                           cell.interval->confidence);
            EXPECT_NE(csv.find(line), std::string::npos) << line;
            // The table's cell: the same ratio and interval, with its pairs.
            std::string shown = fmt::format("x{:.3f} [{:.3f}-{:.3f}, ", *cell.ratio,
                                            cell.interval->low, cell.interval->high);
            EXPECT_NE(tables.find(shown), std::string::npos) << shown;
        }
    }
    EXPECT_GT(cells, 20);
    EXPECT_NE(tables.find("%, 7 pairs]"), std::string::npos);
    EXPECT_NE(page.find("%, 7 pairs]"), std::string::npos);
    EXPECT_NE(csv.find("mark,method,p,low,high,confidence,pairs\n"), std::string::npos);
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
    // 5 rounds, the interleaved default: 1/32 is above the 2.5% the trip test
    // of each of two programs gets, so that side is Student's t on the pairs;
    // the pass test has the whole 5%, which the signed-rank test reaches.
    std::vector<ProgramComparison> cs;
    GateVerdict few = gate(interleaved(5, 1.12, 0.005, 0.0, 19), 5, true, cs);
    EXPECT_EQ(few.outcome, GateVerdict::Outcome::fail);
    for (const ProgramSlowdown& s : few.tested) {
        ASSERT_TRUE(s.pairing);
        EXPECT_TRUE(s.paired);
        ASSERT_TRUE(s.test && s.within);
        EXPECT_EQ(s.test->method, stats::SlowdownMethod::paired_t);
        EXPECT_EQ(s.within->method, stats::SlowdownMethod::signed_rank);
    }
    std::string said;
    for (const std::string& l : gate_lines(few, cs))
        said += l + "\n";
    EXPECT_NE(said.find("paired signed-rank test for the upper bound, t-test for the lower, 5 pairs"),
              std::string::npos) << said;
    EXPECT_EQ(pairs_needed(0.025), 6u);
    EXPECT_EQ(pairs_needed(0.05), 5u);
}

// Each figure's ratio and interval under a drift shared by both builds of a
// round: the paired interval is tight and holds the true ratio where the
// unpaired one of the same repetitions is wide (a drift between rounds) or
// off (a linear drift with the new build's early rounds lost).
TEST(PairedCompare, FigureIntervalsArePairedAndCancelTheDrift) {
    std::vector<double> linear;  // 15% slower by the end, both builds
    for (int r = 0; r < 12; ++r)
        linear.push_back(1 - 0.15 * r / 11);
    struct Side {
        double covered;                // at least this share of intervals hold the true ratio
        double width_low, width_high;  // median half-width, log
        double error_low, error_high;  // median distance of the estimate from the truth, log
        double marked_low, marked_high;  // share of cells marked better or worse
    };
    struct Case {
        const char* name;
        std::vector<RunT> runs;
        double slowdown;
        Side paired, unpaired;
    };
    const Case cases[] = {
        {"no change, 6% drift a round, 10 rounds", interleaved(10, 1, 0.005, 0.06, 31), 1,
         {0.9, 0, 0.01, 0, 0.005, 0, 0.1}, {0.9, 0.03, 1, 0, 1, 0, 0.1}},
        {"8% slower, 6% drift a round, 10 rounds", interleaved(10, 1.08, 0.005, 0.06, 37), 1.08,
         {0.9, 0, 0.01, 0, 0.005, 0.9, 1}, {0.9, 0.03, 1, 0, 1, 0, 0.6}},
        {"no change, a linear drift of 15%, 12 rounds, the new build's first 5 lost",
         interleaved(12, 1, 0.005, 0, 41, {1, 2, 3, 4, 5}, linear), 1,
         {0.9, 0, 0.01, 0, 0.005, 0, 0.1}, {0, 0.03, 1, 0.02, 1, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool pairs : {true, false}) {
            SCOPED_TRACE(pairs ? "paired" : "unpaired");
            std::vector<ProgramComparison> cs;
            gate(c.runs, 5, pairs, cs);
            std::vector<double> widths, errors;
            int cells = 0, covered = 0, changed = 0;
            for (const ProgramComparison& pc : cs) {
                ASSERT_TRUE(pc.baseline);
                std::size_t col = 1 - *pc.baseline;
                // The geometric means' marks rest on the same pairs.
                if (pairs) {
                    for (const GeoMean* g : {&pc.geo_single[col], &pc.geo_overall[col]})
                        EXPECT_EQ(g->mark, c.slowdown > 1 ? Mark::worse : Mark::same);
                }
                for (const FigureRow& row : pc.rows) {
                    if (!pass_rate(row.id))
                        continue;
                    const Cell& cell = row.cells[col];
                    ASSERT_TRUE(cell.interval) << row.test << " " << row.figure;
                    EXPECT_EQ(cell.test, pairs ? SignificanceTest::signed_rank
                                               : SignificanceTest::mann_whitney);
                    EXPECT_EQ(cell.pairs.has_value(), pairs);
                    const stats::RatioInterval& i = *cell.interval;
                    EXPECT_EQ(*cell.ratio, i.estimate);
                    EXPECT_GE(i.confidence, 0.95 - 1e-12);
                    double truth = 1 / c.slowdown;
                    ++cells;
                    covered += i.low <= truth && truth <= i.high;
                    changed += cell.mark == Mark::better || cell.mark == Mark::worse;
                    errors.push_back(std::fabs(std::log(i.estimate / truth)));
                    widths.push_back(std::max(std::log(i.high / i.estimate),
                                              std::log(i.estimate / i.low)));
                }
            }
            ASSERT_GT(cells, 10);
            std::sort(widths.begin(), widths.end());
            std::sort(errors.begin(), errors.end());
            double median = widths[widths.size() / 2], error = errors[errors.size() / 2];
            const Side& want = pairs ? c.paired : c.unpaired;
            double share = static_cast<double>(covered) / cells;
            double marked = static_cast<double>(changed) / cells;
            EXPECT_GE(share, want.covered);
            EXPECT_GE(median, want.width_low);
            EXPECT_LE(median, want.width_high);
            EXPECT_GE(error, want.error_low);
            EXPECT_LE(error, want.error_high);
            EXPECT_GE(marked, want.marked_low);
            EXPECT_LE(marked, want.marked_high);
        }
    }
}
