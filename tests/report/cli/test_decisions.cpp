// What bench_report decides once and every output reads: the gate's verdict
// (exit status and JSON alike), the baseline (compare and chart accept and
// refuse the same), and the outliers (the fleet chart colours the runs its
// table lists).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/comparison.h"
#include "output/compare_formats.h"
#include "output/html_report.h"
#include "process.h"

namespace fs = std::filesystem;
using namespace report;

namespace {

const std::string p_name = "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:24:13 2026\n.txt";
const std::string m_name = "results_memory_Linux_x86 @ UTC time Tue Dec  8 05:30:00 2026\n.txt";

class Decisions : public ScratchTest {
protected:
    const fs::path data = REPORT_DATA;

    void host(const fs::path& dir, bool memory = true) {
        fs::create_directories(root / dir);
        fs::copy_file(data / "processors_2threads.results.txt", root / dir / p_name);
        if (memory)
            fs::copy_file(data / "memory_2threads.results.txt", root / dir / m_name);
    }
    Result run(const std::string& args) { return run_in(root, "'" BENCH_REPORT "' " + args); }
};

// An input without a program the baseline has: no verdict, in the exit
// status and in the JSON the same command writes.
TEST_F(Decisions, TheJsonVerdictIsTheExitStatus) {
    host("a");
    host("b");
    host("c", false);
    Result r = run("compare a b c --format json --fail-if-worse 5");
    EXPECT_EQ(r.status, 4) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["gate"]["verdict"], "no_verdict") << r.out;
    EXPECT_EQ(j["gate"]["exit_status"], 4) << r.out;
    bool named = false;
    for (const auto& p : j["gate"]["problems"])
        named = named || (p["problem"] == "program_missing" && p["input"] == "c" &&
                          p["program"] == "bench_memory");
    EXPECT_TRUE(named) << j["gate"].dump();
    EXPECT_NE(r.err.find("c: no run of bench_memory, which the baseline has"), std::string::npos)
        << r.err;

    // With every program everywhere the two agree on a pass.
    r = run("compare a b --format json --fail-if-worse 5");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["gate"]["verdict"], "pass");
    EXPECT_EQ(nlohmann::json::parse(r.out)["gate"]["exit_status"], 0);
}

// One resolver of --baseline for compare and chart.
TEST_F(Decisions, CompareAndChartTakeTheSameBaselines) {
    host("runs/a");
    host("runs/b");
    host("outside/old", true);
    struct Case {
        std::string baseline;
        int status;
    };
    const Case cases[] = {
        {"a", 0},
        {"median", 0},
        {"runs/b", 0},
        {"'outside/old/" + p_name + "'", 2},  // a file without the memory run compared
        {"outside/old", 0},                    // a directory that is not among the inputs
        {"nobody", 2},
    };
    for (const Case& c : cases) {
        Result compare = run("compare runs/a runs/b --baseline " + c.baseline);
        Result chart = run("chart runs/a runs/b -o page.html --baseline " + c.baseline);
        EXPECT_EQ(compare.status, c.status) << c.baseline << ": " << compare.err;
        EXPECT_EQ(chart.status, c.status) << c.baseline << ": " << chart.err;
        EXPECT_EQ(compare.err.find("--baseline") == std::string::npos,
                  chart.err.find("--baseline") == std::string::npos)
            << c.baseline << "\ncompare: " << compare.err << "\nchart: " << chart.err;
    }
}

std::optional<Figure> fig(double v) {
    return Figure{fmt::format("{:.6g}", v), v};
}

Test stream(const std::string& key, double single, double overall) {
    Test t;
    t.key = key;
    t.title = key;
    t.unit = "Millions Executions/sec.";
    t.single_rate = fig(single);
    t.single_seconds = fig(1 / single);
    for (int i = 0; i < 2; ++i)
        t.threads.push_back({i, fig(2 / overall), fig(overall / 2), {}, false});
    t.overall_rate = fig(overall);
    t.complete = true;
    return t;
}

// The names of the dots drawn in the outliers' colour.
std::set<std::string> coloured(const std::string& svg, const std::string& colour) {
    std::set<std::string> names;
    const std::string dot = "fill=\"" + colour + "\"><title>";
    for (std::size_t at = svg.find(dot); at != std::string::npos; at = svg.find(dot, at + 1)) {
        std::size_t from = at + dot.size();
        names.insert(svg.substr(from, svg.find(':', from) - from));
    }
    return names;
}

// A fleet of 12 hosts within 1.5% of each other, but host-00 5% slower in
// one figure alone (far in that figure, not in its geometric means: 1.7% is
// inside the band) and host-06 at 0.6 everywhere (an outlier by every rule).
// The chart colours what the comparison's outliers are, and the outlier
// table lists the same runs, against the median and against a baseline run.
TEST(DecisionsFleet, TheChartColoursTheRunsTheTableLists) {
    const double w[] = {-1.5, -1, -0.5, 0, 0.5, 1, 1.5, -1.2, 1.2, -0.3, 0.3, 0};
    std::vector<report::Run> fleet;
    for (int i = 0; i < 12; ++i) {
        auto f = [&](int k) { return (i == 6 ? 0.6 : 1.0) * (1 + w[(i + 4 * k) % 12] / 100); };
        report::Run r;
        r.label = fmt::format("host-{:02d}", i);
        r.path = r.label + ".txt";
        r.threads = 2;
        r.tests = {stream("float", 100 * f(0) * (i == 0 ? 0.95 : 1), 200 * f(1)),
                   stream("integer", 100 * f(2), 200 * f(3)),
                   stream("logic", 100 * f(4), 200 * f(5))};
        fleet.push_back(std::move(r));
    }
    std::vector<const report::Run*> runs;
    for (const report::Run& r : fleet)
        runs.push_back(&r);
    for (bool median : {true, false}) {
        CompareSettings settings;
        settings.median = median;
        if (!median)
            settings.baselines = {runs[3]};
        std::vector<ProgramComparison> cs = compare_runs(runs, settings);
        ASSERT_EQ(cs.size(), 1u);
        std::set<std::string> listed;
        for (const Outlier& o : cs[0].outliers)
            listed.insert(cs[0].runs[o.run]->label);
        EXPECT_EQ(listed, std::set<std::string>{"host-06"}) << "median " << median;
        std::string svg = fleet_chart(cs[0], "float").element();
        EXPECT_EQ(coloured(svg, "#D55E00"), listed) << "median " << median;

        ViewOptions view;
        view.layout = CompareLayout::fleet;
        std::string text = compare_text(cs, view);
        EXPECT_NE(text.find("runs far from the median"), std::string::npos) << text;
        EXPECT_EQ(text.find("No run lies far from the median"), std::string::npos) << text;
    }
}

}  // namespace
