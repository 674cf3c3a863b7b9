// history: change points found where a level moved and nowhere else (one
// disturbed run included), their causes from machine.json, the events a
// fleet shares, the gate's three answers, and the command's outputs and exit
// statuses on files written as a fleet writes them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <tuple>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/change_points.h"
#include "analysis/drift.h"
#include "analysis/energy_split.h"
#include "analysis/runs_taken.h"
#include "fleet.h"
#include "machine/record.h"
#include "process.h"

namespace fs = std::filesystem;
using namespace report;

namespace {

// `n` values around 1 with `noise` relative spread, times `step(i)`.
std::vector<double> noisy(std::size_t n, double noise, unsigned seed,
                          const std::function<double(std::size_t)>& step) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> d(0, noise);
    std::vector<double> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(std::log(step(i) * (1 + d(rng))));
    return v;
}

std::vector<std::size_t> indexes(const std::vector<SeriesChange>& found) {
    std::vector<std::size_t> out;
    for (const SeriesChange& c : found)
        out.push_back(c.index);
    return out;
}

TEST(ChangePoints, FoundWhereALevelMovedAndNowhereElse) {
    auto at = [](std::size_t from, double by) {
        return [=](std::size_t i) { return i >= from ? by : 1.0; };
    };
    struct Case {
        const char* name;
        std::vector<double> values;
        std::vector<std::size_t> expected;
    };
    std::vector<double> disturbed = noisy(60, 0.01, 3, at(30, 0.92));
    disturbed[12] = std::log(0.5);  // one run on a busy machine
    std::vector<double> lone = noisy(60, 0.01, 4, at(0, 1));
    lone[41] = std::log(0.4);
    std::vector<double> flat(30, 0.0);
    // No noise at all: sixty nights alike, then the last printed digit moves
    // (below the minimum effect), a ramp of a thousandth a night, a 1% fall.
    auto printed = [](std::size_t n, const std::function<double(std::size_t)>& value) {
        std::vector<double> v;
        for (std::size_t i = 0; i < n; ++i)
            v.push_back(std::log(value(i)));
        return v;
    };
    const Case cases[] = {
        {"the last printed digit moves", printed(90, [](std::size_t i) {
             return i < 60 ? 400 : 399.999; }), {}},
        {"a noise-free ramp of a thousandth a night", printed(365, [](std::size_t i) {
             return 400 - 0.001 * static_cast<double>(i); }), {}},
        {"a noise-free 1% fall", printed(90, [](std::size_t i) { return i < 60 ? 400 : 396; }),
         {60}},
        {"pure noise", noisy(365, 0.02, 1, at(0, 1)), {}},
        {"a 10% fall", noisy(60, 0.01, 2, at(25, 0.9)), {25}},
        {"a fall with one disturbed run before it", disturbed, {30}},
        {"one disturbed run alone", lone, {}},
        {"a fall then a rise",
         noisy(90, 0.01, 5, [](std::size_t i) { return i < 30 ? 1.0 : i < 60 ? 0.9 : 1.0; }),
         {30, 60}},
        // Twelve slow days in a year: one split of the whole year does not
        // see them, a window of a few weeks does.
        {"a short excursion in a long stretch",
         noisy(365, 0.02, 9, [](std::size_t i) { return i >= 200 && i < 212 ? 0.95 : 1.0; }),
         {200, 212}},
        {"a fall in the last three days, too recent to tell", noisy(40, 0.01, 6, at(37, 0.8)), {}},
        {"a fall five days before the end", noisy(40, 0.01, 7, at(35, 0.8)), {35}},
        {"shorter than two segments", noisy(9, 0.01, 8, at(5, 0.5)), {}},
        {"the same value every day", flat, {}},
    };
    for (const Case& c : cases) {
        std::vector<SeriesChange> found = series_change_points(c.values);
        EXPECT_EQ(indexes(found), c.expected) << c.name;
        for (const SeriesChange& f : found)
            EXPECT_LE(f.p, ChangePointSettings{}.significance) << c.name;
    }
}

// Ranks counted for a window's few values and sorted for a longer stretch,
// against the plain way (each value's place among the sorted values, ties
// sharing the mean of their places), ties and signed zeros included.
TEST(ChangePoints, MidRanksAsThePlainWay) {
    auto plain = [](const std::vector<double>& x) {
        std::vector<double> sorted = x, r;
        std::sort(sorted.begin(), sorted.end());
        for (double v : x) {
            auto lo = std::lower_bound(sorted.begin(), sorted.end(), v) - sorted.begin();
            auto hi = std::upper_bound(sorted.begin(), sorted.end(), v) - sorted.begin();
            r.push_back(static_cast<double>(lo + hi + 1) / 2);
        }
        return r;
    };
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> few(0, 3);
    std::vector<double> ties_long, distinct_long;
    for (int i = 0; i < 200; ++i) {
        ties_long.push_back(few(rng));
        distinct_long.push_back(std::sin(i));
    }
    std::vector<double> ties_window(ties_long.begin(), ties_long.begin() + 48);
    struct Case {
        const char* name;
        std::vector<double> values;
        bool varied;
    };
    const Case cases[] = {
        {"one value", {2.5}, false},
        {"all equal", {1, 1, 1, 1, 1}, false},
        {"signed zeros are one value", {0.0, -0.0, 0.0}, false},
        {"distinct", {3, 1, 2, 5, 4}, true},
        {"ties in a window", {2, 1, 2, 2, 0, 1}, true},
        {"a window of 48 with many ties", ties_window, true},
        {"a long stretch with many ties", ties_long, true},
        {"a long stretch without ties", distinct_long, true},
    };
    std::vector<double> ranks;
    std::vector<std::size_t> order;
    for (const Case& c : cases) {
        EXPECT_EQ(mid_ranks(c.values, ranks, order), c.varied) << c.name;
        EXPECT_EQ(ranks, plain(c.values)) << c.name;
    }
    EXPECT_FALSE(mid_ranks({}, ranks, order));
}

// The split search's sums of distances through the Fenwick tree, against
// each pair summed: values with ties, a single value, signed zeros.
TEST(ChangePoints, PairDistancesAsThePlainSum) {
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> few(0, 9);
    std::normal_distribution<double> spread(6, 0.02);
    std::vector<double> tied, varied;
    for (int i = 0; i < 300; ++i) {
        tied.push_back(few(rng) * 0.25);
        varied.push_back(spread(rng));
    }
    const std::vector<double> cases[] = {tied, varied, {1.5}, {0.0, -0.0, 2.0, -1.0}};
    for (const std::vector<double>& x : cases) {
        PairDistances d;
        d.reset(x);
        for (std::size_t i = 0; i < x.size(); ++i) {
            double plain = 0;
            for (std::size_t j = 0; j < i; ++j)
                plain += std::fabs(x[i] - x[j]);
            EXPECT_NEAR(d.add(x[i]), plain, 1e-9 * (1 + plain)) << i;
        }
    }
}

// The p-values and places found by the search before it replayed its
// permutations and counted its ranks: the draws are the same ones.
TEST(ChangePoints, PValuesAsTheyWere) {
    struct Case {
        std::vector<double> values;
        std::vector<std::pair<std::size_t, double>> expected;
    };
    const Case cases[] = {
        {noisy(365, 0.02, 21, [](std::size_t i) { return i < 120 ? 1.0 : i < 250 ? 0.97 : 1.02; }),
         {{120, 0.001}, {250, 0.001}}},
        {noisy(200, 0.01, 22, [](std::size_t i) { return i >= 90 && i < 102 ? 0.96 : 1.0; }),
         {{90, 5e-05}, {102, 0.001}}},
        {noisy(365, 0.03, 23, [](std::size_t) { return 1.0; }), {}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<std::size_t, double>> found;
        for (const SeriesChange& f : series_change_points(c.values))
            found.push_back({f.index, f.p});
        EXPECT_EQ(found, c.expected);
    }
}

// A slope is one drift, not a staircase; a step on top of it is still a
// step; a step alone, one slow night or noise never become a drift.
TEST(Drift, ToldApartFromSteps) {
    const double year = std::log(0.9) / 364;  // 10% slower over a year
    auto drift = [=](std::size_t i) { return std::exp(year * static_cast<double>(i)); };
    std::vector<double> slow_night = noisy(365, 0.02, 34, [](std::size_t) { return 1.0; });
    slow_night[180] += std::log(0.7);
    struct Case {
        const char* name;
        std::vector<double> values;
        bool drift;
        std::vector<std::size_t> steps;  // within 2 days
    };
    const Case cases[] = {
        {"10% slower over a year", noisy(365, 0.02, 31, drift), true, {}},
        {"a 5% step on top of that drift",
         noisy(365, 0.02, 32, [&](std::size_t i) { return drift(i) * (i >= 200 ? 0.95 : 1.0); }),
         true, {200}},
        {"a drift over the summer only",
         noisy(365, 0.02, 35,
               [](std::size_t i) {
                   return std::exp(std::log(0.85) * std::clamp((i - 120.0) / 90, 0.0, 1.0));
               }),
         true, {}},
        {"a 5% step alone", noisy(365, 0.02, 33, [](std::size_t i) { return i >= 150 ? 0.95 : 1.0; }),
         false, {150}},
        {"a fall then a rise", noisy(365, 0.02, 36, [](std::size_t i) {
             return i >= 100 && i < 250 ? 0.95 : 1.0; }), false, {100, 250}},
        {"one night 30% slow", slow_night, false, {}},
        {"pure noise", noisy(365, 0.02, 37, [](std::size_t) { return 1.0; }), false, {}},
    };
    for (const Case& c : cases) {
        SeriesFindings f = series_findings(c.values);
        EXPECT_EQ(f.drift.has_value(), c.drift) << c.name;
        ASSERT_EQ(f.steps.size(), c.steps.size()) << c.name;
        for (std::size_t k = 0; k < c.steps.size(); ++k) {
            EXPECT_NEAR(static_cast<double>(f.steps[k].index), static_cast<double>(c.steps[k]), 2)
                << c.name;
        }
        if (f.drift) {
            EXPECT_LT(f.drift->log_low, f.drift->log_high) << c.name;
        }
    }
    // The drift's dates and size: about the whole year, the change planted
    // between the days it names within its interval.
    SeriesFindings f = series_findings(cases[0].values);
    ASSERT_TRUE(f.drift);
    EXPECT_LE(f.drift->start, 30u);
    EXPECT_GE(f.drift->end, 334u);
    double planted = year * static_cast<double>(f.drift->end - f.drift->start);
    EXPECT_LE(f.drift->log_low, planted);
    EXPECT_GE(f.drift->log_high, planted);
    SeriesFindings summer = series_findings(cases[2].values);
    ASSERT_TRUE(summer.drift);
    EXPECT_NEAR(static_cast<double>(summer.drift->start), 120, 15);
    EXPECT_NEAR(static_cast<double>(summer.drift->end), 210, 15);
    // Too short for a ramp: no drift to fit.
    EXPECT_FALSE(fit_ramp(std::vector<double>(10, 0.0), 28));
}

// A machine drifting 5% slower over a year that also stepped 5% slower on
// one day: each figure is that drift with that step on it, and no figure
// cuts the drift into steps of other days.
TEST(Drift, AStepOnADriftIsOneStepAndOneDrift) {
    const double year = std::log(0.95) / 364;
    std::vector<SeriesFindings> figures;
    std::vector<std::vector<double>> values;
    for (unsigned seed = 60; seed < 72; ++seed) {
        values.push_back(noisy(365, 0.02, seed, [&](std::size_t i) {
            return std::exp(year * static_cast<double>(i)) * (i >= 230 ? 0.95 : 1.0);
        }));
        figures.push_back(series_findings(values.back()));
    }
    adopt_sibling_drifts(figures, values);
    std::size_t others = 0;  // steps on other days: the step search's false rate allows one
    for (std::size_t k = 0; k < figures.size(); ++k) {
        EXPECT_TRUE(figures[k].drift) << "figure " << k;
        std::size_t on_the_day = 0;
        for (const SeriesChange& c : figures[k].steps)
            (std::abs(static_cast<int>(c.index) - 230) <= 2 ? on_the_day : others) += 1;
        EXPECT_EQ(on_the_day, 1u) << "figure " << k;
    }
    EXPECT_LE(others, 1u);
}

std::shared_ptr<const MachineRecord> machine(const std::string& date, const std::string& kernel,
                                             const std::string& governor = "performance") {
    auto c = parse_record(R"({"repetition": {"started": ")" + date +
                          R"(T05:00:00Z"}, "machine": {"kernel": )"
                          R"({"release": ")" +
                          kernel + R"("}, "frequency": {"policies": [{"governor": ")" + governor +
                          R"("}]}}})");
    return std::make_shared<const MachineRecord>(*c);
}

// A run of bench_memory with all three tests, each rate `factor` times a base.
Run memory_run(const std::string& label, const std::string& date, double factor,
               std::shared_ptr<const MachineRecord> m) {
    Run r;
    r.label = label;
    r.program = Program::memory;
    r.machine = std::move(m);
    double base = 10;
    for (const char* key : {"allocation", "low_speeds", "high_speeds"}) {
        Test t;
        t.key = key;
        t.single_rate = Figure{"", base * factor};
        t.overall_rate = Figure{"", 4 * base * factor};
        r.tests.push_back(t);
        base *= 1.7;
    }
    (void)date;
    return r;
}

// `days` nightly runs of a label from 2026-11-01, rates `level(day)` with 1%
// noise, the kernel and governor `kernel(day)` and `governor(day)`.
void nightly(std::vector<Run>& runs, const std::string& label, int days, unsigned seed,
             const std::function<double(int)>& level,
             const std::function<std::string(int)>& kernel,
             const std::function<std::string(int)>& governor = [](int) {
                 return std::string("performance");
             }) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 0.01);
    long first = *calendar_days("2026-11-01");
    for (int d = 0; d < days; ++d) {
        std::string date = date_of_day(first + d);
        runs.push_back(memory_run(label, date, level(d) * (1 + noise(rng)),
                                  machine(date, kernel(d), governor(d))));
    }
}

std::vector<const Run*> pointers(const std::vector<Run>& runs) {
    std::vector<const Run*> out;
    for (const Run& r : runs)
        out.push_back(&r);
    return out;
}

// A repetition of one `run`: its start, its number and, interleaved, the
// run's name.
std::shared_ptr<const MachineRecord> repetition(const std::string& start, int number,
                                                const std::string& interleaved = "") {
    auto c = parse_record(
        R"({"repetition": {"started": ")" + start + R"(", "number": )" + std::to_string(number) +
        (interleaved.empty() ? "" : R"(, "interleaved": ")" + interleaved + "\"") + "}}");
    return std::make_shared<const MachineRecord>(*c);
}

// Which runs of each label a comparison takes: a history by its current
// level, repetitions of one `run` whole, and --since and --all as asked.
TEST(RunsTaken, EachLabelByWhatItsRunsAre) {
    auto flat = [](int) { return 1.0; };
    auto stepped = [](int d) { return d < 20 ? 1.10 : 1.0; };
    auto kernel = [](int) { return std::string("6.1.0-27"); };
    // One `run` of `n` repetitions `hours` apart from `start`, numbered from 1.
    auto one_run = [](std::vector<report::Run>& runs, const std::string& label, int n, int hours,
                      const std::string& day, const std::string& name = "") {
        for (int k = 0; k < n; ++k) {
            long at = *calendar_days(day) + (k * hours) / 24;
            std::string start = date_of_day(at) + "T" +
                                fmt::format("{:02}:00:00Z", (1 + k * hours) % 24);
            runs.push_back(memory_run(label, start, 1, repetition(start, k + 1, name)));
        }
    };
    struct Expected {
        const char* label;
        RunsRule rule;
        std::size_t taken;
    };
    struct Case {
        const char* name;
        std::function<void(std::vector<report::Run>&)> make;
        const char* since;  // --since, else nothing
        bool all;
        std::vector<Expected> said;
        std::size_t kept;
        const char* emptied;
    };
    const Case cases[] = {
        {"a history by its level since its change; one without change whole",
         [&](std::vector<report::Run>& r) {
             nightly(r, "a", 30, 1, flat, kernel);
             nightly(r, "b", 30, 2, stepped, kernel);
         },
         nullptr, false, {{"a", RunsRule::one_level, 30}, {"b", RunsRule::since_change, 10}}, 40, nullptr},
        {"a history whose last finding is a drift: the runs at its end, never the drift pooled",
         [&](std::vector<report::Run>& r) {
             nightly(r, "d", 60, 8, [](int d) { return 1.0 + 0.10 * d / 59; }, kernel);
         },
         nullptr, false, {{"d", RunsRule::drift_end, drift_end_runs}}, drift_end_runs, nullptr},
        {"nights, then a run of 3 repetitions: that run",
         [&](std::vector<report::Run>& r) {
             nightly(r, "a", 10, 3, flat, kernel);
             one_run(r, "a", 3, 1, "2026-11-20");
         },
         nullptr, false, {{"a", RunsRule::last_run, 3}}, 3, nullptr},
        {"repetitions of one run over two days, interleaved or numbered: not a history",
         [&](std::vector<report::Run>& r) {
             one_run(r, "a", 4, 13, "2026-11-01");
             one_run(r, "b", 4, 13, "2026-11-01", "20261101T010000Z-7");
         },
         nullptr, false, {}, 8, nullptr},
        {"runs within a day are repetitions",
         [&](std::vector<report::Run>& r) {
             one_run(r, "a", 2, 6, "2026-11-01");
             one_run(r, "a", 2, 6, "2026-11-01");
         },
         nullptr, false, {}, 4, nullptr},
        {"--all pools and says so",
         [&](std::vector<report::Run>& r) { nightly(r, "b", 30, 4, stepped, kernel); },
         nullptr, true, {{"b", RunsRule::all, 30}}, 30, nullptr},
        {"--since cuts every label, and says which",
         [&](std::vector<report::Run>& r) {
             nightly(r, "a", 30, 5, flat, kernel);
             one_run(r, "c", 3, 1, "2026-11-28");
         },
         "2026-11-26", false, {{"a", RunsRule::since_date, 5}}, 8, nullptr},
        {"--since past a label's last run leaves it none",
         [&](std::vector<report::Run>& r) {
             nightly(r, "a", 30, 6, flat, kernel);
             nightly(r, "b", 10, 7, flat, kernel);
         },
         "2026-11-20", false,
         {{"a", RunsRule::since_date, 11}, {"b", RunsRule::since_date, 0}}, 11, "b"},
    };
    for (const Case& c : cases) {
        std::vector<report::Run> runs;
        runs.reserve(100);
        c.make(runs);
        RunsChoice choice;
        if (c.since)
            choice.since = c.since;
        choice.all = c.all;
        RunsTaken taken = take_runs(pointers(runs), choice);
        ASSERT_EQ(taken.labels.size(), c.said.size()) << c.name;
        for (std::size_t k = 0; k < c.said.size(); ++k) {
            EXPECT_EQ(taken.labels[k].label, c.said[k].label) << c.name;
            EXPECT_EQ(taken.labels[k].rule, c.said[k].rule) << c.name;
            EXPECT_EQ(taken.labels[k].taken, c.said[k].taken) << c.name;
        }
        EXPECT_EQ(taken.runs.size(), c.kept) << c.name;
        EXPECT_EQ(taken.emptied.value_or(""), c.emptied ? c.emptied : "") << c.name;
    }
}

// `compare` of two hosts whose last ten nights are alike: by default the
// level since the change, no difference; --all pools the nights and finds
// one; --since a day past the runs is an error. Every output says which.
TEST(CompareCommand, ANightlyTreeIsComparedByItsCurrentLevel) {
    fs::path dir = fs::temp_directory_path() / ("compare_nights_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    long first = *calendar_days("2026-11-01");
    auto kernel = [](int) { return std::string("6.1.0-27"); };
    write_host_history(dir, "host-0", Program::memory, first, 30, [](int) { return 1.0; }, kernel,
                       1);
    write_host_history(dir, "host-1", Program::memory, first, 30,
                       [](int d) { return d < 20 ? 1.06 : 1.0; }, kernel, 2);
    std::string cmd = std::string(BENCH_REPORT) + " compare " + (dir / "host-0").string() + " " +
                      (dir / "host-1").string();
    Result text = run_in(dir, "COLUMNS=80 " + cmd);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("host-1 against host-0: no difference shown"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("bench_memory: host-1: its 10 runs since its last change point "
                            "(2026-11-21)\n  compared, of 30 runs from 2026-11-01 to 2026-11-30"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("holds no change point"), std::string::npos) << text.out;
    Result all = run_in(dir, cmd + " --all");
    EXPECT_NE(all.out.find("host-1 against host-0: "), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("no difference shown"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("pooled as\n  repetitions (--all)"), std::string::npos) << all.out;
    Result json = run_in(dir, cmd + " --format json");
    auto taken = nlohmann::json::parse(json.out)["programs"][0]["runs_taken"];
    ASSERT_EQ(taken.size(), 2u) << json.out;
    EXPECT_EQ(taken[1]["rule"], "since_change");
    EXPECT_EQ(taken[1]["change"], "2026-11-21");
    EXPECT_EQ(taken[1]["taken"], 10);
    Result chart = run_in(dir, std::string(BENCH_REPORT) + " chart " + (dir / "host-0").string() +
                                   " " + (dir / "host-1").string() + " -o -");
    EXPECT_NE(chart.out.find("its 10 runs since its last change point"), std::string::npos);
    struct Refused {
        const char* options;
        const char* err;
    } refused[] = {
        {" --since 2026-12-01", "bench_report: --since 2026-12-01: host-0 has no run on or after it\n"},
        {" --since 2026-11-25 --all", "--all"},
    };
    for (const Refused& r : refused) {
        Result out = run_in(dir, cmd + r.options);
        EXPECT_EQ(out.status, 2) << r.options;
        EXPECT_NE(out.err.find(r.err), std::string::npos) << out.err;
    }
    fs::remove_all(dir);
}

// Three hosts whose kernel update on 2026-11-21 cost 8%, a fourth whose own
// governor change made it faster on 2026-11-11, and one change of the
// machine (a governor that moved nothing) listed apart.
// A day of the calendar is "YYYY-MM-DD" and nothing near it.
TEST(History, CalendarDaysOfDatesOnly) {
    const struct {
        const char* date;
        std::optional<long> days;
    } cases[] = {
        {"1970-01-01", 0},      {"2026-12-09", 20796},  {"2024-02-29", 19782},
        {"2000-02-29", 11016},  {"9999-12-31", 2932896}, {"2026-02-29", std::nullopt},
        {"1900-02-29", std::nullopt}, {"2026-04-31", std::nullopt}, {"2026-13-01", std::nullopt},
        {"2026-00-10", std::nullopt}, {"2026-12-00", std::nullopt}, {"+026-12-09", std::nullopt},
        {"2026-+1-09", std::nullopt}, {"2026-1-009", std::nullopt}, {" 026-12-09", std::nullopt},
        {"2026-12-09T", std::nullopt}, {"2026/12/09", std::nullopt}, {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(calendar_days(c.date), c.days) << c.date;
}

TEST(HistoryAnalysis, CausesFleetEventsAndQuietChanges) {
    std::vector<report::Run> runs;
    runs.reserve(200);
    auto kernel = [](int d) { return std::string(d < 20 ? "6.1.0-27" : "6.1.0-28"); };
    for (int h = 0; h < 3; ++h)
        nightly(
            runs, "host-" + std::to_string(h), 40, 10 + h,
            [](int d) { return d < 20 ? 1.0 : 0.92; }, kernel,
            [h](int d) { return std::string(h == 0 && d >= 30 ? "schedutil" : "performance"); });
    nightly(
        runs, "host-9", 40, 20, [](int d) { return d < 10 ? 1.0 : 1.1; },
        [](int) { return std::string("6.1.0-27"); },
        [](int d) { return std::string(d < 10 ? "powersave" : "performance"); });
    HistoryAnalysis a = analyse_history(pointers(runs));
    EXPECT_EQ(a.labels, 4u);

    // Every figure of each host moved: 2 geometric means and 6 rates.
    std::map<std::string, int> per_label;
    for (const ChangePoint& cp : a.change_points) {
        ++per_label[cp.label];
        if (cp.label == "host-9") {
            EXPECT_EQ(cp.date, "2026-11-11");
            EXPECT_NEAR(cp.change_percent, 10, 2);
            ASSERT_EQ(cp.causes.size(), 1u);
            EXPECT_EQ(cp.causes[0].field, "governor");
        } else {
            EXPECT_EQ(cp.date, "2026-11-21");
            EXPECT_EQ(cp.last_before, "2026-11-20");
            EXPECT_NEAR(cp.change_percent, -8, 2);
            EXPECT_NEAR(cp.after / cp.before, 0.92, 0.02);
            ASSERT_EQ(cp.causes.size(), 1u);
            EXPECT_EQ(cp.causes[0].field, "kernel");
            EXPECT_EQ(cp.causes[0].first, "6.1.0-27");
            EXPECT_EQ(cp.causes[0].second, "6.1.0-28");
        }
    }
    EXPECT_EQ(per_label, (std::map<std::string, int>{
                             {"host-0", 8}, {"host-1", 8}, {"host-2", 8}, {"host-9", 8}}));

    ASSERT_EQ(a.fleet_events.size(), 1u);
    const FleetEvent& e = a.fleet_events[0];
    EXPECT_EQ(e.labels, (std::vector<std::string>{"host-0", "host-1", "host-2"}));
    EXPECT_TRUE(e.worse);
    EXPECT_EQ(e.date, "2026-11-21");
    ASSERT_EQ(e.causes.size(), 1u);
    EXPECT_EQ(e.causes[0].labels, 3u);
    EXPECT_EQ(e.causes[0].difference.second, "6.1.0-28");

    ASSERT_EQ(a.quiet_machine_changes.size(), 1u);
    EXPECT_EQ(a.quiet_machine_changes[0].label, "host-0");
    EXPECT_EQ(a.quiet_machine_changes[0].date, "2026-12-01");

    // --since shows what happened on or after the day, the event whole.
    HistorySelection s = select_since(a, calendar_days("2026-11-15"));
    EXPECT_EQ(s.change_points.size(), 24u);
    EXPECT_EQ(s.fleet_events.size(), 1u);
    EXPECT_EQ(select_since(a, calendar_days("2026-11-22")).fleet_events.size(), 0u);
}

// A fleet of many labels analysed on one thread and on several: the same
// analysis, change point for change point, whatever the threads.
TEST(HistoryAnalysis, TheSameOnOneThreadAndOnSeveral) {
    std::vector<report::Run> runs;
    runs.reserve(24 * 60);
    for (int h = 0; h < 24; ++h)
        nightly(
            runs, "host-" + std::to_string(h), 60, 40 + static_cast<unsigned>(h),
            [h](int d) { return h % 3 == 0 && d >= 20 + h ? 0.93 : 1.0; },
            [h](int d) { return std::string(h % 3 == 0 && d >= 20 + h ? "k2" : "k1"); });
    auto analysed = [&](std::size_t threads) {
        ChangePointSettings settings;
        settings.threads = threads;
        return analyse_history(pointers(runs), settings);
    };
    HistoryAnalysis one = analysed(1);
    ASSERT_GE(one.change_points.size(), 8u * 8);
    for (std::size_t threads : {2u, 5u, 0u}) {
        HistoryAnalysis many = analysed(threads);
        ASSERT_EQ(many.series.size(), one.series.size()) << threads;
        for (std::size_t i = 0; i < one.series.size(); ++i) {
            EXPECT_EQ(many.series[i].history, one.series[i].history);
            EXPECT_EQ(many.series[i].test, one.series[i].test);
            EXPECT_EQ(many.series[i].overall, one.series[i].overall);
            EXPECT_EQ(many.series[i].values, one.series[i].values);
        }
        ASSERT_EQ(many.change_points.size(), one.change_points.size()) << threads;
        for (std::size_t i = 0; i < one.change_points.size(); ++i) {
            const ChangePoint& x = one.change_points[i];
            const ChangePoint& y = many.change_points[i];
            EXPECT_EQ(std::tie(x.series, x.label, x.test, x.overall, x.date, x.p, x.before),
                      std::tie(y.series, y.label, y.test, y.overall, y.date, y.p, y.before))
                << threads << " " << i;
            EXPECT_EQ(x.causes.size(), y.causes.size());
        }
        EXPECT_EQ(many.fleet_events.size(), one.fleet_events.size());
        EXPECT_EQ(many.quiet_machine_changes.size(), one.quiet_machine_changes.size());
    }
}

TEST(HistoryAnalysis, GateFailsPassesOrCannotSay) {
    std::vector<report::Run> runs;
    nightly(
        runs, "a", 30, 1, [](int d) { return d < 15 ? 1.0 : 0.9; },
        [](int) { return std::string("k"); });
    nightly(
        runs, "b", 30, 2, [](int) { return 1.0; }, [](int) { return std::string("k"); });
    struct Case {
        const char* since;
        HistoryGate::Verdict verdict;
        std::size_t worse, unjudged;
    };
    const Case cases[] = {
        {"2026-11-10", HistoryGate::fail, 8, 0},   // the fall on 11-16 is after
        {"2026-11-17", HistoryGate::pass, 0, 0},   // it is before
        {"2026-11-28", HistoryGate::too_little, 0, 2},  // three days after: too soon to say
        {"2026-11-03", HistoryGate::fail, 8, 2},   // a fall found wins over the days missing
    };
    HistoryAnalysis a = analyse_history(pointers(runs));
    for (const Case& c : cases) {
        HistoryGate g = history_gate(a, *calendar_days(c.since));
        EXPECT_EQ(g.verdict, c.verdict) << c.since;
        EXPECT_EQ(g.worse.size(), c.worse) << c.since;
        EXPECT_EQ(g.unjudged.size(), c.unjudged) << c.since;
    }
    // A label measured on one day only has no history to judge: each such
    // label named once, in the order it first appears.
    runs.push_back(memory_run("new", "", 1, machine("2026-11-20", "k")));
    runs.push_back(memory_run("newer", "", 1, machine("2026-11-20", "k")));
    runs.push_back(memory_run("new", "", 1, machine("2026-11-20", "k")));
    HistoryGate g = history_gate(analyse_history(pointers(runs)), *calendar_days("2026-11-17"));
    EXPECT_EQ(g.verdict, HistoryGate::too_little);
    EXPECT_EQ(g.unjudged, (std::vector<std::string>{"new (bench_memory)", "newer (bench_memory)"}));
}

// A host slowing over its whole history is one drift of all its figures,
// no staircase of change points; the gate fails on it while it goes on.
TEST(HistoryAnalysis, ADriftingHostIsOneFindingAndGated) {
    std::vector<report::Run> runs;
    nightly(
        runs, "clogged", 200, 41, [](int d) { return 1 - 0.15 * d / 199.0; },
        [](int) { return std::string("k"); });
    nightly(
        runs, "steady", 200, 42, [](int) { return 1.0; }, [](int) { return std::string("k"); });
    HistoryAnalysis a = analyse_history(pointers(runs));
    ASSERT_EQ(a.drifts.size(), 1u);
    const Drift& d = a.drifts[0];
    EXPECT_EQ(d.label, "clogged");
    EXPECT_EQ(d.figures, 8u);
    EXPECT_EQ(d.figures_total, 8u);
    EXPECT_EQ(d.test, "geomean");
    EXPECT_TRUE(d.ongoing);
    EXPECT_LE(d.low_percent, -15 * 0.8);
    EXPECT_LT(d.low_percent, d.change_percent);
    EXPECT_LT(d.change_percent, d.high_percent);
    EXPECT_LE(a.change_points.size(), 1u);
    EXPECT_TRUE(a.fleet_events.empty());
    struct Case {
        const char* since;
        HistoryGate::Verdict verdict;
        std::size_t worse_drifts;
    };
    const Case cases[] = {
        {"2027-05-01", HistoryGate::fail, 1},  // still going on then
        {"2026-11-20", HistoryGate::fail, 1},  // going on all along
    };
    for (const Case& c : cases) {
        HistoryGate g = history_gate(a, *calendar_days(c.since));
        EXPECT_EQ(g.verdict, c.verdict) << c.since;
        EXPECT_EQ(g.worse_drifts.size(), c.worse_drifts) << c.since;
    }
    // A drift that ended before the day is history, not a failure now.
    a.drifts[0].end_days = *calendar_days("2027-01-01");
    EXPECT_TRUE(history_gate(a, *calendar_days("2027-05-01")).worse_drifts.empty());
}

// The command on a fleet's files: a kernel rolled out to two of three hosts
// on 2026-11-21 costs 10%; the outputs agree and the gate answers 3, 0 or 2.
TEST(HistoryCommand, OutputsAndExitStatuses) {
    fs::path dir = fs::temp_directory_path() / ("history_cli_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    long first = *calendar_days("2026-11-01");
    for (int h = 0; h < 3; ++h) {
        std::mt19937 rng(100 + h);
        std::normal_distribution<double> noise(0, 0.01);
        std::vector<double> f;
        for (int d = 0; d < 30; ++d)
            f.push_back((h < 2 && d >= 20 ? 0.9 : 1.0) * (1 + noise(rng)));
        write_host_history(
            dir, "host-" + std::to_string(h), Program::memory, first, 30,
            [&](int d) { return f[static_cast<std::size_t>(d)]; },
            [h](int d) { return std::string(h < 2 && d >= 20 ? "6.1.0-28" : "6.1.0-27"); },
            static_cast<unsigned>(h));
    }
    std::string cmd = std::string(BENCH_REPORT) + " history " + dir.string();
    Result json_run = run_in(dir, cmd + " --format json");
    ASSERT_EQ(json_run.status, 0) << json_run.err;
    auto doc = nlohmann::json::parse(json_run.out);
    EXPECT_EQ(doc["schema_version"], 1);
    EXPECT_FALSE(doc["change_points"].empty());
    for (const auto& cp : doc["change_points"]) {
        EXPECT_EQ(cp["date"], "2026-11-21");
        EXPECT_LT(cp["change_percent"].get<double>(), -5);
        EXPECT_EQ(cp["causes"][0]["field"], "kernel");
        EXPECT_EQ(cp["causes"][0]["after"], "6.1.0-28");
        // Its p is said local to the stretch or window that found it.
        EXPECT_TRUE(cp["p_scope"] == "stretch" || cp["p_scope"] == "window") << cp;
        EXPECT_GE(cp["p_days"].get<int>(), 10) << cp;
    }
    EXPECT_EQ(doc["method"]["minimum_effect"], 0.005);
    ASSERT_EQ(doc["fleet_events"].size(), 1u);
    EXPECT_EQ(doc["fleet_events"][0]["labels"], (nlohmann::json{"host-0", "host-1"}));

    // Wide, with every change point's row: each line whole.
    Result text = run_in(dir, "COLUMNS=400 " + cmd + " --rows");
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("Fleet event: 2 of 3 hosts, 2026-11-21, slower, kernel 6.1.0-27 -> "
                            "6.1.0-28 on all 2"),
              std::string::npos)
        << text.out;
    // Each table's title once, straight above its header.
    for (const char* title : {"Change points (", "Fleet events ("}) {
        std::size_t at = text.out.find(title);
        ASSERT_NE(at, std::string::npos) << title;
        std::size_t next = text.out.find('\n', at) + 1;
        EXPECT_EQ(text.out.find(title, next), std::string::npos) << text.out;
        EXPECT_TRUE(text.out.compare(next, 6, "Label ") == 0 ||
                    text.out.compare(next, 5, "From ") == 0)
            << text.out;
    }
    Result md = run_in(dir, cmd + " --format markdown");
    EXPECT_EQ(md.status, 0);
    EXPECT_NE(md.out.find("### Fleet events (1)"), std::string::npos);

    // chart marks the change points on the history and lists the fleet event.
    Result chart = run_in(dir, std::string(BENCH_REPORT) + " chart " + dir.string() + " -o -");
    ASSERT_EQ(chart.status, 0) << chart.err;
    EXPECT_NE(chart.out.find("<h2 id=\"fleet-events\">Fleet events</h2>"), std::string::npos);
    EXPECT_NE(chart.out.find("2 of 3 hosts, 2026-11-21, slower, kernel 6.1.0-27 -&gt; 6.1.0-28 on "
                             "all 2: host-0, host-1"),
              std::string::npos);
    EXPECT_NE(chart.out.find("<title>Change point: -"), std::string::npos);
    EXPECT_NE(chart.out.find("Change point: Geometric mean, single rate -"), std::string::npos);

    struct Gate {
        const char* since;
        int status;
        const char* err;
    };
    const Gate gates[] = {
        {"2026-11-15", 3, "host-0: bench_memory: Geometric mean, single rate: -"},
        {"2026-11-15", 3, "-day stretch)\n"},
        {"2026-11-23", 0, ""},
        {"2026-11-28", 4, "--fail-on-change-since: no verdict, too little history to say"},
        {"2026-02-30", 2, "YYYY-MM-DD"},
    };
    for (const Gate& g : gates) {
        Result r = run_in(dir, cmd + " --format json --fail-on-change-since " + g.since);
        EXPECT_EQ(r.status, g.status) << g.since << r.err;
        EXPECT_NE(r.err.find(g.err), std::string::npos) << g.since << r.err;
        if (g.status != 2 || std::string(g.since) != "2026-02-30") {
            auto gate = nlohmann::json::parse(r.out)["gate"];
            EXPECT_EQ(gate["verdict"], g.status == 3 ? "fail" : g.status == 0 ? "pass" : "no_verdict");
            EXPECT_EQ(gate["exit_status"], g.status);
        }
    }
    fs::remove_all(dir);
}

// The command on a host slowing steadily: one drift in every output, and the
// gate fails on it while it goes on, saying so in one line.
TEST(HistoryCommand, ADriftIsOneFindingAndGated) {
    fs::path dir = fs::temp_directory_path() / ("history_drift_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 0.02);
    std::vector<double> f;
    for (int d = 0; d < 120; ++d)
        f.push_back((1 - 0.15 * d / 119.0) * (1 + noise(rng)));
    write_host_history(
        dir, "host-d", Program::memory, *calendar_days("2026-06-01"), 120,
        [&](int d) { return f[static_cast<std::size_t>(d)]; },
        [](int) { return std::string("6.1.0-27"); }, 1);
    std::string cmd = std::string(BENCH_REPORT) + " history " + dir.string();
    Result text = run_in(dir, cmd);
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("Drifts (1)\nhost-d: bench_memory: 8 of 8 figures, still going on\n"
                            "  drifting slower by "),
              std::string::npos)
        << text.out;
    Result gate = run_in(dir, cmd + " --format json --fail-on-change-since 2026-09-20");
    EXPECT_EQ(gate.status, 3) << gate.err;
    EXPECT_NE(gate.err.find("bench_report: host-d: bench_memory: drifting slower by "),
              std::string::npos)
        << gate.err;
    EXPECT_NE(gate.err.find("(8 of 8 figures), going on at or after 2026-09-20\n"),
              std::string::npos)
        << gate.err;
    auto doc = nlohmann::json::parse(gate.out);
    EXPECT_EQ(doc["drifts"].size(), 1u);
    EXPECT_EQ(doc["gate"]["worse_drifts"], 1);
    fs::remove_all(dir);
}

}  // namespace
