// The formats read where people act: JUnit reports of compare's and
// history's gates (validated against tests/report/output/junit.xsd by
// xmllint), and the metric exports (promtool, Bencher's and a benchmark
// action's JSON), on generated labels and fleets.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fleet.h"
#include "process.h"
#include "tools.h"

namespace {

namespace fs = std::filesystem;
using report::Program;

const std::string xsd = JUNIT_XSD;

// One label's repetitions as `bench_report run` lays them out, each with a
// machine.json naming its host, build, start and seconds; `outcome` that of
// the last repetition.
struct Label {
    std::string name;
    int repetitions;
    double time;   // time factor against 1
    double noise;  // per pass
    std::string outcome = "completed";
    std::string warning = "";  // a check recorded with every repetition; "" none
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
        std::ofstream(rep / "machine.json") << fmt::format(
            R"({{"schema_version": 2, "repetition": {{"outcome": "{}", "seconds": 1.5, )"
            R"("started": "2026-12-08T10:{:02}:{:02}Z"}}, "program": {{"sha256": "{}"}}, )"
            R"("machine": {{"hostname": "{}"}}, "warnings": [{}]}})",
            r + 1 == l.repetitions ? l.outcome : "completed", minute, r, std::string(64, 'c'),
            l.name,
            l.warning.empty() ? ""
                              : fmt::format(R"({{"check": "{}", "message": "the {} warning"}})",
                                            l.warning, l.warning));
    }
}

// An attribute or text of a document, by XPath.
std::string xpath(const fs::path& file, const std::string& path) {
    Result r = run_in(file.parent_path(), "xmllint --xpath '" + path + "' '" + file.string() + "'");
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

class JunitReports : public ScratchTest {};

// Each of the gate's outcomes as the CI reader counts it: the exit status the
// text gives, a document the schema accepts, and its failures and skips.
TEST_F(JunitReports, CompareVerdictsAsTestCases) {
    if (!tool_found("xmllint"))
        GTEST_SKIP() << "xmllint not installed (scripts/setup ci installs it)";
    struct Scenario {
        const char* name;
        std::vector<Label> labels;
        std::string gate;  // the options; "" no gate
        std::size_t failures, skipped;
        std::string message;  // in the first failure's or skip's message
    };
    const Scenario scenarios[] = {
        {"no change, 5 against 5", {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005}}, "--fail-if-worse 5",
         0, 0, ""},
        {"10% slower", {{"a", 5, 1, 0.005}, {"b", 5, 1.10, 0.005}}, "--fail-if-worse 5", 2, 0,
         "shown more than 5% slower"},
        // 20% a pass, 3 against 3: an interval far wider than 2% decides neither way.
        {"noise hides 2%", {{"a", 3, 1, 0.2}, {"b", 3, 1, 0.2}}, "--fail-if-worse 2", 0, 2,
         "cannot tell a 2% slowdown from noise"},
        {"the same, accepted", {{"a", 3, 1, 0.2}, {"b", 3, 1, 0.2}},
         "--fail-if-worse 2 --accept-inconclusive", 0, 0, ""},
        {"one run each, 10% slower", {{"a", 1, 1, 0}, {"b", 1, 1.10, 0}}, "--fail-if-worse 5", 2,
         0, "more than 5% slower"},
        {"a failed repetition", {{"a", 3, 1, 0.005}, {"b", 3, 1, 0.005, "failed"}},
         "--fail-if-worse 5", 0, 2, ""},
        {"three labels, one slower",
         {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005}, {"c", 5, 1.2, 0.005}}, "--fail-if-worse 5", 2,
         0, "c: time x"},
        {"no gate", {{"a", 3, 1, 0.005}, {"b", 3, 1, 0.005}}, "", 0, 2, "no gate"},
        // --strict: a virtual machine's permanent warning leaves the verdict;
        // one that can be removed takes it.
        {"--strict under a hypervisor",
         {{"a", 5, 1, 0.005, "completed", "hypervisor"}, {"b", 5, 1, 0.005, "completed", "hypervisor"}},
         "--fail-if-worse 5 --strict", 0, 0, ""},
        {"--strict on a loaded machine",
         {{"a", 5, 1, 0.005}, {"b", 5, 1, 0.005, "completed", "load"}}, "--fail-if-worse 5 --strict",
         0, 2, "--strict: a repetition was disturbed: the load warning"},
    };
    unsigned seed = 5;
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        fs::remove_all(root / "runs");
        int minute = 0;
        for (const Label& l : s.labels)
            write_label(root / "runs", l, minute++, seed += 1000);
        std::string compare = std::string(BENCH_REPORT) + " compare runs/* " + s.gate;
        Result text = run_in(root, compare);
        Result junit = run_in(root, compare + " --format junit -o report.xml");
        EXPECT_EQ(junit.status, text.status) << junit.err;
        EXPECT_EQ(junit.err, text.err);
        fs::path file = root / "report.xml";
        EXPECT_EQ(shell("xmllint --noout --schema '" + xsd + "' '" + file.string() + "' 2>/dev/null"), 0)
            << slurp(file);
        std::size_t cases = 2 * (s.labels.size() - 1);
        EXPECT_EQ(xpath(file, "string(/testsuites/@tests)"), std::to_string(cases));
        EXPECT_EQ(xpath(file, "count(//testcase)"), std::to_string(cases));
        EXPECT_EQ(xpath(file, "string(/testsuites/@failures)"), std::to_string(s.failures));
        EXPECT_EQ(xpath(file, "count(//failure)"), std::to_string(s.failures));
        EXPECT_EQ(xpath(file, "string(/testsuites/@skipped)"), std::to_string(s.skipped)) << slurp(file);
        EXPECT_EQ(xpath(file, "count(//skipped)"), std::to_string(s.skipped));
        if (!s.message.empty()) {
            EXPECT_NE(xpath(file, "string((//failure|//skipped)[1]/@message)").find(s.message),
                      std::string::npos)
                << slurp(file);
        }
        // Each case carries the answer line and, with a gate, its verdict.
        std::string doc = slurp(file);
        EXPECT_NE(doc.find("against a"), std::string::npos) << doc;
        EXPECT_EQ(doc.find("\ngate: ") != std::string::npos, !s.gate.empty()) << doc;
        // A job summary (Markdown) opens with the verdict, the one it ends with,
        // then the answer.
        if (!s.gate.empty()) {
            std::string md = run_in(root, compare + " --format markdown").out;
            std::string first = md.substr(0, md.find('\n'));
            std::size_t end = md.find_last_not_of('\n');
            EXPECT_EQ(first, md.substr(md.rfind('\n', end) + 1, end - md.rfind('\n', end)));
            EXPECT_EQ(first.rfind("**gate: ", 0), 0u) << md.substr(0, 300);
            // The answer follows at once, its furthest-moved label first.
            EXPECT_EQ(md.find("\n\n- bench\\_memory: "), first.size()) << md.substr(0, 300);
        }
        EXPECT_EQ(xpath(file, "string(//testsuite[2]/@time)"),
                  fmt::format("{:.3f}", 1.5 * (s.labels.size() - 1) * s.labels[1].repetitions));
    }
}

// The nightly gate: a host whose rates fell after the day fails, a steady one
// passes, one with too few nights after the day is skipped, the status as
// the text's.
TEST_F(JunitReports, NightlyGateAsTestCases) {
    if (!tool_found("xmllint"))
        GTEST_SKIP() << "xmllint not installed (scripts/setup ci installs it)";
    long first = 20390;  // 2025-10-29
    auto kernel = [](int) { return std::string("6.1.0-28"); };
    write_host_history(root / "runs", "steady", Program::processors, first, 30,
                       [](int) { return 1.0; }, kernel, 1);
    write_host_history(root / "runs", "fell", Program::processors, first, 30,
                       [](int k) { return k < 20 ? 1.0 : 0.8; }, kernel, 2);
    write_host_history(root / "runs", "short", Program::processors, first, 22,
                       [](int) { return 1.0; }, kernel, 3);
    std::string day = date_of_day(first + 20);
    std::string history = std::string(BENCH_REPORT) + " history runs --fail-on-change-since " + day;
    Result text = run_in(root, history);
    Result junit = run_in(root, history + " --format junit -o nightly.xml");
    EXPECT_EQ(junit.status, text.status) << junit.err;
    EXPECT_EQ(junit.status, 3) << junit.err;
    fs::path file = root / "nightly.xml";
    EXPECT_EQ(shell("xmllint --noout --schema '" + xsd + "' '" + file.string() + "' 2>/dev/null"), 0)
        << slurp(file);
    EXPECT_EQ(xpath(file, "string(//testcase[@name=\"fell\"]/failure/@message)").substr(0, 6),
              "fell: ")
        << slurp(file);
    EXPECT_NE(xpath(file, "string(//testcase[@name=\"short\"]/skipped/@message)")
                  .find("fewer than 5 days of history on either side of " + day),
              std::string::npos);
    EXPECT_EQ(xpath(file, "count(//testcase[@name=\"steady\"]/*[self::failure or self::skipped])"),
              "0");
}

class MetricExports : public ScratchTest {};

// A fleet with a history: each label's latest night is exported, one sample
// a figure, in an exposition promtool accepts and JSON the services read.
TEST_F(MetricExports, TheLatestRunOfEachLabel) {
    long first = 20390;
    auto kernel = [](int) { return std::string("6.1.0-28"); };
    // Three nights, the last at half the rates, so that only the latest matches.
    for (Program p : {Program::processors, Program::memory}) {
        for (const char* host : {"host-001", "host-002"})
            write_host_history(root / "runs", host, p, first, 3,
                               [](int k) { return k < 2 ? 1.0 : 0.5; }, kernel, 4);
        write_host_history(root / "runs", "host-003", p, first + 1, 1, [](int) { return 1.0; },
                           kernel, 5);
    }
    Result prom = run_in(root, std::string(BENCH_REPORT) + " export runs --format openmetrics -o m.prom");
    ASSERT_EQ(prom.status, 0) << prom.err;
    std::string text = slurp(root / "m.prom");
    if (tool_found("promtool")) {
        EXPECT_EQ(shell("promtool check metrics < '" + (root / "m.prom").string() + "'"), 0)
            << text;
    }
    EXPECT_EQ(text.find("} 0\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE bench_report_rate gauge\n"), std::string::npos);
    EXPECT_NE(text.find("bench_report_run_timestamp_seconds{host=\"host-001\",label=\"host-001\","
                        "program=\"bench_processors\",build=\"\"} " +
                        std::to_string((first + 2) * 86400 + 5 * 3600) + "\n"),
              std::string::npos)
        << text;
    Result bmf = run_in(root, std::string(BENCH_REPORT) + " export runs --format bmf");
    Result action = run_in(root, std::string(BENCH_REPORT) + " export runs --format benchmark-action");
    ASSERT_EQ(bmf.status, 0) << bmf.err;
    ASSERT_EQ(action.status, 0) << action.err;
    auto b = nlohmann::json::parse(bmf.out);
    auto a = nlohmann::json::parse(action.out);
    // The same figures in all three: each benchmark of the one is a sample of the other.
    std::size_t rates = 0;
    for (const auto& entry : a) {
        const std::string name = entry["name"];
        const auto& m = b.at(name).at("throughput");
        EXPECT_EQ(entry["value"], m["value"]) << name;
        EXPECT_LE(m["lower_value"].get<double>(), m["value"].get<double>()) << name;
        EXPECT_GE(m["upper_value"].get<double>(), m["value"].get<double>()) << name;
        EXPECT_TRUE(entry["range"].is_string() && entry["extra"].is_string()) << name;
        rates += name.find(" rate") != std::string::npos;
    }
    EXPECT_EQ(a.size(), b.size());
    std::size_t samples = 0;
    for (std::size_t at = text.find("\nbench_report_rate{"); at != std::string::npos;
         at = text.find("\nbench_report_rate{", at + 1))
        ++samples;
    EXPECT_EQ(samples, rates);
    // host-001's figures are those of its latest night alone.
    std::string night = date_of_day(first + 2);
    night.erase(7, 1).erase(4, 1);
    Result latest = run_in(root, std::string(BENCH_REPORT) + " export runs/host-001/" + night +
                                     "T050000Z-1 --label host-001 --format bmf");
    ASSERT_EQ(latest.status, 0) << latest.err;
    auto l = nlohmann::json::parse(latest.out);
    EXPECT_FALSE(l.empty());
    for (const auto& [name, measures] : l.items())
        EXPECT_EQ(b.at(name), measures) << name;
}

}  // namespace
