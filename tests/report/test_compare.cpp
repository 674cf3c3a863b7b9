// compare: the marks at the edges of the bands, the arithmetic of ratios,
// per-thread figures, geometric means and medians, and the exit status of the
// command as a regression gate.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "compare.h"
#include "samples.h"

namespace fs = std::filesystem;
using namespace report;
using RunT = report::Run;   // testing::Test has a Run() of its own

namespace {

std::optional<Figure> fig(double v) { return Figure{std::to_string(v), v}; }

// A streaming test with a single-thread rate, one seconds figure per thread
// and an overall rate; `overall` 0 leaves it absent.
Test stream(const std::string& key, double single, double overall, int threads,
            int incomplete = 0)
{
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
        Program program = Program::processors)
{
    RunT r;
    r.label = label;
    r.path = label + ".txt";
    r.program = program;
    r.threads = threads;
    r.tests = std::move(tests);
    return r;
}

const FigureRow& row(const ProgramComparison& c, const std::string& test, const std::string& figure)
{
    for (const FigureRow& r : c.rows)
        if (r.test == test && r.figure == figure)
            return r;
    throw std::runtime_error("no row " + test + " " + figure);
}

TEST(CompareMarks, EdgesOfTheNoiseBandAndOfTheGate)
{
    struct Case {
        double ratio;
        Better better;
        Mark mark;          // with a 2% band
        bool worse_than_5;  // --fail-if-worse 5
    };
    const Case cases[] = {
        {1.0, Better::higher, Mark::same, false},
        {1.02, Better::higher, Mark::same, false},   // on the edge: inside
        {0.98, Better::higher, Mark::same, false},
        {1.0201, Better::higher, Mark::better, false},
        {0.9799, Better::higher, Mark::worse, false},
        {0.95, Better::higher, Mark::worse, false},  // exactly 5% worse does not trip
        {0.9499, Better::higher, Mark::worse, true},
        {0.9, Better::lower, Mark::better, false},   // seconds: less is better
        {1.05, Better::lower, Mark::worse, false},
        {1.0501, Better::lower, Mark::worse, true},
        {1.5, Better::higher, Mark::better, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(classify(c.ratio, c.better, 2), c.mark) << c.ratio;
        EXPECT_EQ(worse_beyond(c.ratio, c.better, 5), c.worse_than_5) << c.ratio;
    }
    EXPECT_EQ(classify(1.0, Better::higher, 0), Mark::same);
    EXPECT_EQ(classify(1.001, Better::higher, 0), Mark::better);
}

TEST(CompareRuns, RatiosPerThreadFiguresGeometricMeansAndRegressions)
{
    RunT base = run("base", {stream("float", 100, 400, 4), stream("logic", 10, 40, 4)}, 4);
    // Twice the threads, the same overall: half the rate per thread. Single
    // rate 10% better on float, 20% worse on logic; no overall for logic.
    RunT other = run("other", {stream("float", 110, 400, 8), stream("logic", 8, 0, 8)}, 8);
    RunT memory = run("mem", {stream("low_speeds", 5, 10, 2)}, 2, Program::memory);
    std::vector<const RunT*> runs = {&base, &memory, &other};

    std::vector<ProgramComparison> cs = compare_runs(runs, nullptr, false, 2);
    ASSERT_EQ(cs.size(), 2u);   // never across programs
    const ProgramComparison& c = cs[0];
    EXPECT_EQ(c.program, Program::processors);
    ASSERT_EQ(c.runs.size(), 2u);
    EXPECT_EQ(c.baseline, std::optional<std::size_t>(0));
    EXPECT_EQ(cs[1].runs.size(), 1u);

    const FigureRow& single = row(c, "float", "single rate");
    EXPECT_DOUBLE_EQ(*single.cells[1].ratio, 1.1);
    EXPECT_EQ(single.cells[1].mark, Mark::better);
    EXPECT_EQ(single.cells[0].mark, Mark::none);   // the baseline is never marked
    const FigureRow& per_thread = row(c, "float", "overall per thread");
    EXPECT_DOUBLE_EQ(*per_thread.cells[0].value, 100);
    EXPECT_DOUBLE_EQ(*per_thread.cells[1].ratio, 0.5);
    EXPECT_EQ(per_thread.cells[1].mark, Mark::worse);
    const FigureRow& seconds = row(c, "float", "single seconds");
    EXPECT_EQ(seconds.better, Better::lower);
    EXPECT_EQ(seconds.cells[1].mark, Mark::better);
    const FigureRow& mean = row(c, "float", "thread seconds (mean)");
    EXPECT_DOUBLE_EQ(*mean.cells[0].value, 1.5);

    const FigureRow& missing = row(c, "logic", "overall rate");
    EXPECT_EQ(missing.cells[1].text, "n/a");
    EXPECT_FALSE(missing.cells[1].ratio);
    EXPECT_EQ(missing.cells[1].mark, Mark::none);

    EXPECT_NEAR(*c.geo_single[1].ratio, std::sqrt(1.1 * 0.8), 1e-12);
    EXPECT_EQ(c.geo_single[1].used, 2);
    EXPECT_EQ(c.geo_overall[1].used, 1);
    EXPECT_EQ(c.geo_overall[1].total, 2);

    std::vector<Regression> worse = regressions(cs, 15);
    ASSERT_EQ(worse.size(), 3u);
    EXPECT_EQ(worse[0].figure, "overall per thread");
    EXPECT_EQ(worse[1].test_title, "logic.");
    EXPECT_EQ(worse[1].figure, "single rate");
    EXPECT_EQ(worse[2].figure, "single seconds");
    EXPECT_TRUE(regressions(cs, 60).empty());

    // A named baseline that is not the first run.
    std::vector<ProgramComparison> swapped = compare_runs(runs, &other, false, 2);
    EXPECT_EQ(swapped[0].baseline, std::optional<std::size_t>(1));
    EXPECT_NEAR(*row(swapped[0], "float", "single rate").cells[0].ratio, 1 / 1.1, 1e-12);
}

TEST(CompareRuns, IncompleteZeroAndInfiniteFiguresAreNotCompared)
{
    RunT base = run("base", {stream("low_speeds", 0, 10, 2)}, 2, Program::memory);
    RunT oom = run("oom", {stream("low_speeds", 5, 4, 2, 1)}, 2, Program::memory);
    std::vector<ProgramComparison> cs = compare_runs({&base, &oom}, nullptr, false, 2);
    const FigureRow& overall = row(cs[0], "low_speeds", "overall rate");
    EXPECT_EQ(overall.cells[1].text, "incomplete");
    EXPECT_FALSE(overall.cells[1].ratio);
    EXPECT_FALSE(row(cs[0], "low_speeds", "single rate").cells[1].ratio);
    EXPECT_TRUE(regressions(cs, 0).empty());

    // A printed infinity or NaN stays out of the median of a fleet.
    RunT a = run("a", {stream("float", 10, 40, 4)}, 4);
    RunT b = run("b", {stream("float", 20, 80, 4)}, 4);
    RunT c = run("c", {stream("float", 30, 120, 4)}, 4);
    c.tests[0].single_rate = Figure{"nan", std::nan("")};
    b.tests[0].overall_rate = Figure{"inf", HUGE_VAL};
    ProgramComparison m = compare_runs({&a, &b, &c}, nullptr, true, 2)[0];
    EXPECT_DOUBLE_EQ(*row(m, "float", "single rate").baseline.value, 15);
    EXPECT_EQ(row(m, "float", "single rate").cells[2].text, "nan");
    EXPECT_DOUBLE_EQ(*row(m, "float", "overall rate").baseline.value, 80);
    EXPECT_FALSE(row(m, "float", "overall rate").cells[1].ratio);
}

TEST(CompareRuns, FleetMedianAndOutliers)
{
    std::vector<RunT> fleet;
    for (double single : {100.0, 101.0, 99.0, 60.0})
        fleet.push_back(run("host" + std::to_string(fleet.size()),
                            {stream("float", single, 4 * single, 4)}, 4));
    std::vector<const RunT*> runs;
    for (const RunT& r : fleet)
        runs.push_back(&r);
    ProgramComparison c = compare_runs(runs, nullptr, true, 2)[0];
    EXPECT_FALSE(c.baseline);
    const FigureRow& single = row(c, "float", "single rate");
    EXPECT_DOUBLE_EQ(*single.baseline.value, 99.5);   // even count: mean of the middle two
    EXPECT_EQ(single.cells[0].mark, Mark::same);
    ASSERT_EQ(c.outliers.size(), 1u);
    EXPECT_EQ(c.outliers[0].run, 3u);
    std::string figures;
    for (const std::string& f : c.outliers[0].figures)
        figures += f + ";";
    EXPECT_NE(figures.find("float. single rate x0.603"), std::string::npos) << figures;

    std::vector<Table> tables = compare_tables({c}, 2);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].header[3], "median");
    EXPECT_EQ(tables[1].rows.size(), 1u);
    EXPECT_EQ(tables[1].rows[0][0], "host3");
}

TEST(CompareTables, FlaggedRunsAreMarkedAndColourOnlyTouchesMarks)
{
    RunT base = run("base", {stream("float", 100, 400, 4)}, 4);
    RunT partial = run("cut", {stream("float", 90, 0, 4)}, 4);
    partial.partial = true;
    partial.findings.push_back({12, "float", "overall_sum", "overall differs from the sum"});
    std::vector<Table> t = compare_tables(compare_runs({&base, &partial}, nullptr, false, 2), 2);
    EXPECT_EQ(t[0].header.back(), "cut *");
    partial.label = "evil\x1b[2J";   // a directory name reaches the terminal escaped
    EXPECT_EQ(compare_tables(compare_runs({&base, &partial}, nullptr, false, 2), 2)[0].header.back(),
              "evil\\x1b[2J *");
    std::string notes;
    for (const std::string& n : t[0].notes)
        notes += n + "\n";
    EXPECT_NE(notes.find("* cut: partial"), std::string::npos) << notes;
    EXPECT_NE(notes.find("(line 12): overall differs from the sum"), std::string::npos) << notes;

    EXPECT_EQ(colour_marks("  90 x0.900 -  110 x1.100 +\n  x1.000 - (1/1)"),
              "  90 x0.900 \x1b[31m-\x1b[0m  110 x1.100 \x1b[32m+\x1b[0m\n"
              "  x1.000 \x1b[31m-\x1b[0m (1/1)");
    EXPECT_EQ(colour_marks("Legend: + better, - worse"), "Legend: + better, - worse");
}

// The command as a CI gate, on files written the way the program writes them.

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Result bench_report(const fs::path& dir, const std::string& args)
{
    std::string cmd = "cd '" + dir.string() + "' && '" BENCH_REPORT "' " + args +
                      " >out.txt 2>err.txt";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "out.txt"), slurp(dir / "err.txt")};
}

TEST(CompareCommand, ExitStatusAsARegressionGate)
{
    fs::path dir = fs::temp_directory_path() / ("compare_gate_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string slower = one_thread;
    slower.replace(slower.find("0.134154"), 8, "0.12");   // x0.894
    std::ofstream(dir / "a.txt") << one_thread;
    std::ofstream(dir / "b.txt") << slower;
    std::ofstream(dir / "bad.txt") << "not a results file\n";

    Result ok = bench_report(dir, "compare a.txt b.txt --fail-if-worse 11");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("0.12 x0.894 -"), std::string::npos) << ok.out;
    EXPECT_EQ(ok.out.find('\x1b'), std::string::npos);   // not a terminal: no colour

    Result tripped = bench_report(dir, "compare a.txt b.txt --fail-if-worse 10");
    EXPECT_EQ(tripped.status, 3);
    EXPECT_NE(tripped.err.find("Float Streaming. single rate is 0.12 (x0.894)"), std::string::npos)
        << tripped.err;

    // The baseline named last: the slower run is the reference, nothing is worse.
    EXPECT_EQ(bench_report(dir, "compare a.txt b.txt --baseline b.txt --fail-if-worse 1").status, 0);
    // A file that cannot be read wins over the gate, and the others are still compared.
    Result bad = bench_report(dir, "compare a.txt b.txt bad.txt --fail-if-worse 10");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("x0.894"), std::string::npos);
    EXPECT_EQ(bench_report(dir, "compare a.txt").status, 2);   // nothing to compare with
    fs::remove_all(dir);
}

}  // namespace
