// compare: the marks at the edges of the bands, the arithmetic of ratios,
// per-thread figures, geometric means and medians, and the exit status of the
// command as a regression gate.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "output/compare_formats.h"
#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "fleet.h"
#include "input/load.h"
#include "machine/record.h"
#include "output/table.h"

namespace fs = std::filesystem;
using namespace report;
using RunT = report::Run;  // testing::Test has a Run() of its own

namespace {

std::optional<Figure> fig(double v) {
    return Figure{std::to_string(v), v};
}

// A streaming test with a single-thread rate, one seconds figure per thread
// and an overall rate; `overall` 0 leaves it absent.
Test stream(const std::string& key, double single, double overall, int threads,
            int incomplete = 0) {
    Test t;
    t.key = key;
    t.title = key + ". Width";
    t.unit = "Millions Executions/sec.";
    t.single_rate = fig(single);
    t.single_seconds = fig(1 / single);
    for (int i = 0; i < threads; ++i)
        t.threads.push_back({i, fig(1.0 + i % 2), fig(overall / threads), {}, false});
    if (overall > 0)
        t.overall_rate = fig(overall);
    t.incomplete_threads = incomplete;
    return t;
}

RunT run(const std::string& label, std::vector<Test> tests, long long threads,
         Program program = Program::processors) {
    RunT r;
    r.label = label;
    r.path = label + ".txt";
    r.program = program;
    r.threads = threads;
    r.tests = std::move(tests);
    return r;
}

const FigureRow& row(const ProgramComparison& c, const std::string& test,
                     const std::string& figure) {
    for (const FigureRow& r : c.rows)
        if (r.test == test && r.figure == figure)
            return r;
    throw std::runtime_error("no row " + test + " " + figure);
}

// Worse and the noise band are measured on the time the run needs for the
// same work: a rate at half the baseline's and seconds at twice are equally
// worse, and no figure has a ceiling on how much worse it can be.
TEST(CompareMarks, OneLogarithmicMeasureForEveryFigure) {
    struct Case {
        double ratio;
        Better better;
        double noise;
        Mark mark;
        double gate;
        bool worse_beyond_gate;
    };
    const Case cases[] = {
        {1.0, Better::higher, 2, Mark::same, 5, false},
        {1.02, Better::higher, 2, Mark::same, 5, false},  // on the edge: inside
        {1 / 1.02, Better::higher, 2, Mark::same, 5, false},
        {0.98, Better::higher, 2, Mark::worse, 5, false},  // 1.0204 times the time
        {1.0201, Better::higher, 2, Mark::better, 5, false},
        {1 / 1.05, Better::higher, 2, Mark::worse, 5, false},  // exactly 5% slower: no trip
        {1 / 1.0501, Better::higher, 2, Mark::worse, 5, true},
        {1.05, Better::lower, 2, Mark::worse, 5, false},  // seconds: more is worse
        {1.0501, Better::lower, 2, Mark::worse, 5, true},
        {0.9, Better::lower, 2, Mark::better, 5, false},
        {1 / 140.0, Better::higher, 2, Mark::worse, 100, true},  // a rate 140 times slower
        {62, Better::lower, 2, Mark::worse, 100, true},          // seconds at x62, alike
        {0.007, Better::higher, 150, Mark::worse, 1000, true},   // far outside a wide band
        {2.4, Better::higher, 150, Mark::same, 5, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify(c.ratio, c.better, c.noise), c.mark) << c.ratio;
        EXPECT_EQ(worse_beyond(c.ratio, c.better, c.gate), c.worse_beyond_gate) << c.ratio;
    }
    EXPECT_EQ(classify(1.001, Better::higher, 0), Mark::better);
}

TEST(CompareRuns, RatiosPerThreadFiguresGeometricMeansAndOneSlowdownPerPass) {
    RunT base = run("base", {stream("float", 100, 400, 4), stream("logic", 10, 40, 4)}, 4);
    // Twice the threads, the same overall: half the rate per thread. Single
    // rate 10% better on float, 20% worse on logic; no overall for logic.
    RunT other = run("other", {stream("float", 110, 400, 8), stream("logic", 8, 0, 8)}, 8);
    RunT memory = run("mem", {stream("low_speeds", 5, 10, 2)}, 2, Program::memory);
    std::vector<const RunT*> runs = {&base, &memory, &other};

    std::vector<ProgramComparison> cs = compare_runs(runs, {});
    ASSERT_EQ(cs.size(), 2u);  // never across programs
    const ProgramComparison& c = cs[0];
    EXPECT_EQ(c.program, Program::processors);
    ASSERT_EQ(c.runs.size(), 2u);
    EXPECT_EQ(c.baseline, std::optional<std::size_t>(0));
    EXPECT_EQ(cs[1].runs.size(), 1u);

    const FigureRow& single = row(c, "float", "single rate");
    EXPECT_EQ(single.test_title, "Float streaming");  // the catalogue's one name
    EXPECT_DOUBLE_EQ(*single.cells[1].ratio, 1.1);
    EXPECT_EQ(single.cells[1].mark, Mark::better);
    EXPECT_EQ(single.cells[0].mark, Mark::none);  // the baseline is never marked
    const FigureRow& per_thread = row(c, "float", "overall per thread");
    EXPECT_DOUBLE_EQ(*per_thread.cells[0].value, 100);
    EXPECT_DOUBLE_EQ(*per_thread.cells[1].ratio, 0.5);
    EXPECT_EQ(per_thread.cells[1].mark, Mark::worse);
    EXPECT_EQ(row(c, "float", "single seconds").cells[1].mark, Mark::better);
    EXPECT_DOUBLE_EQ(*row(c, "float", "thread seconds (mean)").cells[0].value, 1.5);

    const FigureRow& missing = row(c, "logic", "overall rate");
    EXPECT_EQ(cell_text(missing.cells[1]), "n/a");
    EXPECT_FALSE(missing.cells[1].ratio);

    EXPECT_NEAR(*c.geo_single[1].ratio, std::sqrt(1.1 * 0.8), 1e-12);
    EXPECT_EQ(c.geo_overall[1].used, 1);
    EXPECT_EQ(c.geo_overall[1].total, 2);

    // Logic's single pass is slower in its rate and its seconds alike: one
    // slowdown, named by its worst figure; float's multi-thread pass another.
    std::vector<Regression> worse = regressions(cs, 15);
    ASSERT_EQ(worse.size(), 2u);
    EXPECT_EQ(c.rows[worse[0].row].figure, "overall per thread");
    EXPECT_DOUBLE_EQ(worse[0].factor, 2);
    EXPECT_EQ(c.rows[worse[1].row].test, "logic");
    EXPECT_EQ(c.rows[worse[1].row].pass, Pass::single);
    EXPECT_NEAR(worse[1].factor, 1.25, 1e-9);
    EXPECT_EQ(regressions(cs, 60).size(), 1u);  // twice the time is 100% slower
    EXPECT_TRUE(regressions(cs, 100).empty());

    // A named baseline that is not the first run, its column first, and the
    // filters.
    CompareSettings s;
    s.baselines = {&other};
    s.tests = {"float"};
    s.figures = {"single rate"};
    std::vector<ProgramComparison> swapped = compare_runs(runs, s);
    EXPECT_EQ(swapped[0].baseline, std::optional<std::size_t>(0));
    EXPECT_EQ(swapped[0].runs[0], &other);
    ASSERT_EQ(swapped[0].rows.size(), 1u);
    EXPECT_NEAR(*swapped[0].rows[0].cells[1].ratio, 1 / 1.1, 1e-12);
}

TEST(CompareRuns, IncompleteZeroAndInfiniteFiguresAreNotCompared) {
    RunT base = run("base", {stream("low_speeds", 0, 10, 2)}, 2, Program::memory);
    RunT oom = run("oom", {stream("low_speeds", 5, 4, 2, 1)}, 2, Program::memory);
    std::vector<ProgramComparison> cs = compare_runs({&base, &oom}, {});
    const FigureRow& overall = row(cs[0], "low_speeds", "overall rate");
    EXPECT_EQ(cell_text(overall.cells[1]), "incomplete");
    EXPECT_FALSE(overall.cells[1].ratio);
    EXPECT_FALSE(row(cs[0], "low_speeds", "single rate").cells[1].ratio);
    EXPECT_TRUE(regressions(cs, 0).empty());

    // A printed infinity or NaN stays out of the median of a fleet.
    RunT a = run("a", {stream("float", 10, 40, 4)}, 4);
    RunT b = run("b", {stream("float", 20, 80, 4)}, 4);
    RunT c = run("c", {stream("float", 30, 120, 4)}, 4);
    c.tests[0].single_rate = Figure{"nan", std::nan("")};
    b.tests[0].overall_rate = Figure{"inf", HUGE_VAL};
    CompareSettings median;
    median.median = true;
    ProgramComparison m = compare_runs({&a, &b, &c}, median)[0];
    EXPECT_DOUBLE_EQ(*row(m, "float", "single rate").baseline.value, 15);
    EXPECT_EQ(cell_text(row(m, "float", "single rate").cells[2]), "nan");
    EXPECT_DOUBLE_EQ(*row(m, "float", "overall rate").baseline.value, 80);
    EXPECT_FALSE(row(m, "float", "overall rate").cells[1].ratio);
}

// The machines of a comparison are told against one reference run: the
// baseline's first repetition, or under the median the first label's, never
// the median's own (it has no machine).
TEST(CompareRuns, MachinesAreToldAgainstTheReferenceRun) {
    auto on_kernel = [](RunT r, const char* kernel) {
        auto record = std::make_shared<MachineRecord>();
        record->machine.kernel_release = kernel;
        r.machine = record;
        return r;
    };
    RunT a = on_kernel(run("a", {stream("float", 10, 40, 4)}, 4), "6.1");
    RunT b = on_kernel(run("b", {stream("float", 10, 40, 4)}, 4), "6.1");
    RunT c = on_kernel(run("c", {stream("float", 10, 40, 4)}, 4), "6.12");
    struct Case {
        const char* name;
        bool median;
        const RunT* named;
        const RunT* reference;
        std::vector<const RunT*> differ;
    };
    const Case cases[] = {
        {"the median: the first label", true, nullptr, &a, {&c}},
        {"a named baseline", false, &c, &c, {&a, &b}},
        {"the baseline that ran first", false, nullptr, &a, {&c}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        CompareSettings s;
        s.median = k.median;
        if (k.named)
            s.baselines = {k.named};
        ProgramComparison m = compare_runs({&a, &b, &c}, s)[0];
        EXPECT_EQ(m.runs[m.reference], k.reference);
        std::vector<const RunT*> differ;
        for (const ContextMismatch& x : m.mismatches) {
            EXPECT_EQ(x.baseline, k.reference);
            differ.push_back(x.run);
        }
        EXPECT_EQ(differ, k.differ);
    }
}

// Outliers of a fleet that varies: far from the median in units of the
// fleet's own spread, not merely outside the noise band.
TEST(CompareRuns, RobustOutliersOfAVariedFleet) {
    std::vector<RunT> fleet;
    for (int i = 0; i < 50; ++i) {
        double single = 100 * (1 + 0.03 * std::sin(i * 1.7));  // +/-3%, outside a 2% band
        if (i == 17)
            single = 60;
        fleet.push_back(
            run("host" + std::to_string(i), {stream("float", single, 4 * single, 4)}, 4));
    }
    std::vector<const RunT*> runs;
    for (const RunT& r : fleet)
        runs.push_back(&r);
    CompareSettings median;
    median.median = true;
    ProgramComparison c = compare_runs(runs, median)[0];
    EXPECT_FALSE(c.baseline);
    ASSERT_EQ(c.outliers.size(), 1u);
    EXPECT_EQ(c.outliers[0].run, 17u);
    ASSERT_FALSE(c.outliers[0].rows.empty());
    EXPECT_EQ(c.rows[c.outliers[0].rows[0]].figure, "single rate");

    // Four runs: the median of an even count is the mean of the middle two.
    std::vector<const RunT*> four(runs.begin(), runs.begin() + 4);
    ProgramComparison small = compare_runs(four, median)[0];
    std::vector<double> singles;
    for (const RunT* r : four)
        singles.push_back(r->tests[0].single_rate->value);
    std::sort(singles.begin(), singles.end());
    EXPECT_DOUBLE_EQ(*row(small, "float", "single rate").baseline.value,
                     (singles[1] + singles[2]) / 2);
}

TEST(CompareViews, CellsCarryTheirMarkAndTheFleetViewFitsTheWidth) {
    RunT base = run("base", {stream("float", 100, 400, 4)}, 4);
    RunT partial = run("cut +", {stream("float", 90, 0, 4)}, 4);  // a label ending in " +"
    partial.partial = true;
    partial.findings.push_back({12, "float", "overall_sum", "overall differs from the sum"});
    std::vector<ProgramComparison> cs = compare_runs({&base, &partial}, {});
    ViewOptions o;
    std::vector<Table> t = compare_tables(cs, o);
    EXPECT_EQ(t[0].header.back(), "cut + *");
    std::string notes;
    for (const std::string& n : t[0].notes)
        notes += n + "\n";
    EXPECT_NE(notes.find("* cut +: partial"), std::string::npos) << notes;
    EXPECT_NE(notes.find("(line 12): overall differs from the sum"), std::string::npos) << notes;

    // Colour and HTML classes come from the cells, never from their text.
    o.colour = true;
    std::string text = compare_text(cs, o);
    // At 80 columns, a label at a time: the ratio carries the mark.
    EXPECT_NE(text.find("\x1b[31mx0.900 -\x1b[0m"), std::string::npos) << text;
    EXPECT_EQ(text.find("\x1b[32m"), std::string::npos) << text;  // nothing better
    std::string html = render_html(t[0]);
    EXPECT_EQ(html.find("better\""), std::string::npos);
    EXPECT_NE(html.find("<td class=\"num worse\">90.000000 x0.900 -</td>"), std::string::npos)
        << html;
    partial.label = "evil\x1b[2J";  // a directory name reaches the terminal escaped
    EXPECT_EQ(compare_tables(compare_runs({&base, &partial}, {}), {})[0].header.back(),
              "evil\\x1b[2J *");

    // Fifty runs with wide labels: the fleet view, every line within 60 columns.
    std::vector<RunT> fleet;
    for (int i = 0; i < 50; ++i)
        fleet.push_back(
            run("a-rather-long-host-name-" + std::to_string(i) + "-\xe6\xb5\x8b\xe8\xaf\x95",
                {stream("float", 100 + i, 400 + i, 4)}, 4));
    std::vector<const RunT*> runs;
    for (const RunT& r : fleet)
        runs.push_back(&r);
    o = {};
    o.width = 60;
    std::string fleet_text = compare_text(compare_runs(runs, {}), o);
    std::size_t lines = 0;
    for (std::size_t s = 0, e; (e = fleet_text.find('\n', s)) != std::string::npos;
         s = e + 1, ++lines)
        EXPECT_LE(display_width(fleet_text.substr(s, e - s)), 60u) << fleet_text.substr(s, e - s);
    EXPECT_GT(lines, 50u);
    EXPECT_EQ(display_width("\xe6\xb5\x8b\xe8\xaf\x95"), 4u);  // wide characters count two
}

TEST(CompareViews, MachineFormatsCarryTheMarksAndTheVerdict) {
    RunT base = run("base", {stream("float", 100, 400, 4)}, 4);
    RunT slow = run("slow|er", {stream("float", 80, 400, 4)}, 4);
    std::vector<ProgramComparison> cs = compare_runs({&base, &slow}, {});
    ViewOptions o;
    GateVerdict verdict = decide_gate(cs, {}, {}, 10);
    o.gate = &verdict;
    nlohmann::json j = nlohmann::json::parse(compare_json(cs, o));
    EXPECT_EQ(j["schema_version"], 1);
    EXPECT_EQ(j["gate"]["verdict"], "fail");
    EXPECT_EQ(j["gate"]["regressions"].size(), 1u);  // single rate and seconds: one pass
    EXPECT_EQ(j["programs"][0]["figures"][0]["cells"][1]["mark"], "worse");
    std::string md = compare_markdown(cs, o);
    EXPECT_NE(md.find("slow\\|er"), std::string::npos) << md;
    EXPECT_NE(md.find("| --- |"), std::string::npos);
    std::string csv = compare_csv(cs, o);
    EXPECT_NE(csv.find("bench_processors,float,\"single rate\",\"Millions Executions/sec.\",higher,"
                       "\"slow|er.txt\",\"slow|er\",0,80,\"80.000000\",0.8,worse"),
              std::string::npos)
        << csv;
}

// Runs that share a label are repetitions: a change between two labels is
// marked only when it is significant and outside the band.
TEST(CompareRepetitions, SignificantChangesDisturbedRepetitionsAndTooFewRuns) {
    struct Case {
        const char* name;
        int base_runs, new_runs;
        double slowdown;  // every rate of the new label
        int disturbed;    // this repetition of the new label 20% slower; -1 none
        Mark mark;        // of the float single rate and the geometric means
        bool trips_gate_at_2;
        SignificanceTest test;
        bool untested;
    };
    const Case cases[] = {
        {"5 against 5, 3% slower", 5, 5, 0.97, -1, Mark::worse, true,
         SignificanceTest::mann_whitney, false},
        {"5 against 5, one repetition disturbed", 5, 5, 1.0, 2, Mark::same, false,
         SignificanceTest::mann_whitney, false},
        {"3 against 3, 3% slower", 3, 3, 0.97, -1, Mark::worse, true, SignificanceTest::welch,
         false},
        {"1 run each, 3% slower", 1, 1, 0.97, -1, Mark::worse, true, SignificanceTest::none, true},
        {"2 against 3, 3% slower: one short of a test", 2, 3, 0.97, -1, Mark::worse, true,
         SignificanceTest::none, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<RunT> runs;
        auto add = [&](const char* label, int n, double factor, int disturbed) {
            for (int k = 0; k < n; ++k) {
                double noise = 1 + 0.005 * std::sin(runs.size() * 2.1);  // +/-0.5%
                double f = factor * noise * (k == disturbed ? 0.8 : 1);
                runs.push_back(
                    run(label,
                        {stream("float", 100 * f, 400 * f, 4), stream("logic", 50 * f, 200 * f, 4)},
                        4));
            }
        };
        add("base", c.base_runs, 1, -1);
        add("new", c.new_runs, c.slowdown, c.disturbed);
        std::vector<const RunT*> ptrs;
        for (const RunT& r : runs)
            ptrs.push_back(&r);
        std::vector<ProgramComparison> cs = compare_runs(ptrs, {});
        const ProgramComparison& cmp = cs[0];
        ASSERT_EQ(cmp.runs.size(), 2u);
        EXPECT_EQ(cmp.samples[1].size(), static_cast<std::size_t>(c.new_runs));
        const Cell& single = row(cmp, "float", "single rate").cells[1];
        EXPECT_EQ(single.mark, c.mark);
        EXPECT_EQ(single.test, c.test);
        EXPECT_EQ(cmp.geo_single[1].mark, c.mark);
        EXPECT_EQ(cmp.untested, c.untested);
        EXPECT_EQ(!regressions(cs, 2).empty(), c.trips_gate_at_2);
        if (c.test != SignificanceTest::none && c.slowdown < 1) {
            ASSERT_TRUE(single.interval);
            EXPECT_LT(single.interval->high, 1.0);  // the whole interval says slower
        }
        // The disturbed repetition is named.
        ASSERT_EQ(cmp.far.size(), c.disturbed >= 0 ? 1u : 0u);
        if (c.disturbed >= 0) {
            EXPECT_EQ(cmp.far[0].run, &runs[static_cast<std::size_t>(c.base_runs + c.disturbed)]);
        }
    }
}

// Generated fleets of 50 and 200 hosts against their median: the outliers
// are exactly the hosts made far, and the fleet view fits 80 columns.
TEST(CompareFleet, GeneratedFleetsAgainstTheirMedian) {
    for (int hosts : {50, 200}) {
        SCOPED_TRACE(hosts);
        fs::path dir = fs::temp_directory_path() /
                       ("compare_fleet_" + std::to_string(getpid()) + "_" + std::to_string(hosts));
        fs::remove_all(dir);
        std::vector<std::string> names = write_fleet(dir, hosts, 7);
            Loaded loaded = load_runs({dir.string()}, {});
        fs::remove_all(dir);
        ASSERT_EQ(loaded.runs.size(), 2u * hosts) << loaded.notes.size() << " note(s)";
        std::vector<const RunT*> runs;
        for (const RunT& r : loaded.runs)
            runs.push_back(&r);
        CompareSettings settings;
        settings.median = true;
        std::vector<ProgramComparison> cs = compare_runs(runs, settings);
        ASSERT_EQ(cs.size(), 2u);
        for (const ProgramComparison& c : cs) {
            std::set<std::string> found, made;
            for (const Outlier& o : c.outliers)
                found.insert(c.runs[o.run]->label);
            for (int h = 1; h <= hosts; ++h)
                if (fleet_outlier(h))
                    made.insert(names[static_cast<std::size_t>(h - 1)]);
            EXPECT_EQ(found, made) << program_name(c.program);
        }
        ViewOptions o;
        std::string text = compare_text(cs, o);
        EXPECT_NE(text.find("Worst figure"), std::string::npos);  // the fleet layout
        for (std::size_t s = 0, e; (e = text.find('\n', s)) != std::string::npos; s = e + 1)
            EXPECT_LE(display_width(text.substr(s, e - s)), 80u) << text.substr(s, e - s);
        EXPECT_NE(text.find(names[12]), std::string::npos);  // host-013, an outlier, by name
    }
}

}  // namespace
