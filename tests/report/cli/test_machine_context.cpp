// The machine a run was measured on, read back: the history of a label by
// day, and list, show, export and compare carrying machine.json (compare on
// two captured machines), or saying nothing without one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "analysis/history.h"
#include "machine/record.h"
#include "process.h"
#include "model/run.h"

namespace fs = std::filesystem;
using report::ContextDifference;
using report::Figure;
using report::History;
using report::HistoryPoint;
using report::MachineRecord;
using report::Program;
using report::Test;
using RunT = report::Run;

namespace {

std::string fields(const std::vector<ContextDifference>& d) {
    std::string out;
    for (const ContextDifference& x : d)
        out += x.field + "=" + x.first + "|" + x.second + ";";
    return out;
}

std::shared_ptr<const MachineRecord> context(const std::string& started,
                                             const std::string& kernel) {
    auto c =
        report::parse_record(R"({"repetition": {"started": ")" + started +
                             R"("}, "machine": {"kernel": {"release": ")" + kernel + R"("}}})");
    return std::make_shared<const MachineRecord>(*c);
}

RunT day_run(const std::string& label, const std::string& local_time, double single, double overall,
             std::shared_ptr<const MachineRecord> machine = nullptr, int incomplete = 0) {
    RunT r;
    r.label = label;
    r.program = Program::memory;
    r.local_time = local_time;
    r.machine = std::move(machine);
    Test t;
    t.key = "allocation";
    t.single_rate = Figure{"", single};
    t.overall_rate = Figure{"", overall};
    t.incomplete_threads = incomplete;
    r.tests.push_back(t);
    return r;
}

// Days from machine.json's UTC start, else from the name's local time; runs
// in time order whatever the order given; a label on one day, or runs with no
// start in the calendar, have no history; the kernel change found between the last run
// of one day and the first of the next.
TEST(History, DaysChangesAndPoints) {
    std::vector<RunT> runs = {
        day_run("h", "Sun Nov 15 09:00:00 2026", 9, 18,
                context("2026-11-15T09:00:00Z", "6.1.0-21")),
        day_run("h", "Sun Nov  1 23:30:00 2026", 10, 20),  // local date, no machine.json
        day_run("h", "", 12, 25, context("2026-11-08T08:00:00Z", "6.1.0-18")),
        day_run("h", "", 11, 26, context("2026-11-08T07:00:00Z", "6.1.0-17")),
        day_run("h", "", 14, 99, context("2026-11-08T09:00:00Z", "6.1.0-18"), 1),
        day_run("one-day", "Sun Nov  1 10:00:00 2026", 1, 2),
        day_run("h", "no time", 1, 2),
        day_run("h", "Mon Feb 30 10:00:00 2026", 1, 2),  // no such day
    };
    std::vector<const RunT*> given;
    for (const RunT& r : runs)
        given.push_back(&r);
    std::vector<History> h = report::histories(given);
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h[0].label, "h");
    ASSERT_EQ(h[0].days.size(), 3u);
    EXPECT_EQ(h[0].days[0].date, "2026-11-01");
    EXPECT_EQ(h[0].days[1].date, "2026-11-08");
    EXPECT_EQ(h[0].days[2].days - h[0].days[0].days, 14);
    ASSERT_EQ(h[0].days[1].runs.size(), 3u);
    EXPECT_EQ(h[0].days[1].runs[0], &runs[3]);  // 07:00 before 08:00
    ASSERT_EQ(h[0].changes.size(), 1u);
    EXPECT_EQ(h[0].changes[0].index, 2u);
    EXPECT_EQ(fields(h[0].changes[0].differences), "kernel=6.1.0-18|6.1.0-21;");

    std::vector<HistoryPoint> single = report::history_points(h[0], "allocation", false);
    ASSERT_EQ(single.size(), 3u);
    EXPECT_EQ(single[1].runs, 3u);
    EXPECT_DOUBLE_EQ(single[1].min, 11);
    EXPECT_DOUBLE_EQ(single[1].median, 12);
    EXPECT_DOUBLE_EQ(single[1].max, 14);
    // An overall rate that lacks a thread's pass is left out.
    std::vector<HistoryPoint> overall = report::history_points(h[0], "allocation", true);
    EXPECT_EQ(overall[1].runs, 2u);
    EXPECT_DOUBLE_EQ(overall[1].max, 26);
    EXPECT_TRUE(report::history_points(h[0], "float", false).empty());
}

// Two hosts' runs of one results file, one with a captured machine.json, one
// with another, and a third without.
class Commands : public ::testing::Test {
protected:
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() / ("context_test_" + std::to_string(::getpid()));
        fs::remove_all(root);
        const fs::path data = REPORT_DATA;
        for (const char* host : {"host-a", "host-b", "host-c"}) {
            fs::create_directories(root / host);
            fs::copy_file(
                data / "memory_2threads.results.txt",
                root / host / "results_memory_Linux_x86 @ UTC time Tue Dec  8 06:08:44 2026\n.txt");
        }
        fs::copy_file(data / "context" / "host-a.json", root / "host-a" / "machine.json");
        fs::copy_file(data / "context" / "host-b.json", root / "host-b" / "machine.json");
    }
    void TearDown() override { fs::remove_all(root); }
    Result run(const std::string& args) { return run_in(root, "'" BENCH_REPORT "' " + args); }
};

TEST_F(Commands, ListShowAndExportCarryTheMachine) {
    // As wide as the rows: the 80 columns of a pipe are tested in test_cli.cpp.
    Result list = run_in(root, "COLUMNS=1000 '" BENCH_REPORT "' list host-a host-c");
    EXPECT_NE(list.out.find("host-a, Intel(R) Xeon(R) Processor\n"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("complete, 1 finding(s)\n"), std::string::npos)
        << list.out;  // host-c: nothing

    Result show = run_in(root, "COLUMNS=1000 '" BENCH_REPORT "' show host-a host-c");
    EXPECT_NE(show.out.find("\nMachine: host-a, Intel(R) Xeon(R) Processor, 2 logical CPUs, kernel "
                            "6.1.0-18-amd64, governor performance, boost on\n"),
              std::string::npos)
        << show.out;
    EXPECT_EQ(show.out.find("Machine:"), show.out.rfind("Machine:"));

    Result json = run("export host-a host-c");
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["schema_version"], 2);
    EXPECT_EQ(j["runs"][0]["machine"],
              nlohmann::json::parse(slurp(root / "host-a" / "machine.json")));
    EXPECT_TRUE(j["runs"][1]["machine"].is_null());

    Result csv = run("export --format csv host-a host-c");
    std::string header = csv.out.substr(0, csv.out.find('\n'));
    EXPECT_EQ(header.substr(header.size() - 35), "host,cpu_model,logical_cpus,outcome");
    EXPECT_NE(csv.out.find(",\"host-a\",\"Intel(R) Xeon(R) Processor\",2,\"completed\"\n"),
              std::string::npos);
    EXPECT_NE(csv.out.find(",0,1,,,,\n"), std::string::npos);  // host-c: empty columns
}

TEST_F(Commands, CompareSaysWhereMachinesDiffer) {
    // A second repetition of host-b on the same machine: said once.
    fs::copy(root / "host-b", root / "rep");
    fs::rename(root / "rep", root / "host-b" / "20261208T060845Z-2");
    Result r = run("compare host-a host-b host-c --view wide");  // notes unwrapped
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string lines[] = {
        "bench_memory: host-b differs from the baseline host-a in CPU model: AMD EPYC 7B13 "
        "64-Core Processor, the baseline's Intel(R) Xeon(R) Processor\n",
        "bench_memory: host-b differs from the baseline host-a in governor: powersave, the "
        "baseline's performance\n",
        "bench_memory: host-b differs from the baseline host-a in kernel: 6.1.0-21-amd64, the "
        "baseline's 6.1.0-18-amd64\n",
    };
    std::string said;
    for (const std::string& l : lines) {
        said += "bench_report: " + l;
        EXPECT_NE(r.out.find("Machine: " + l), std::string::npos) << l;  // under the table too
    }
    EXPECT_EQ(r.err, said);

    // JSON carries them as data; the same machine, or none, says nothing.
    r = run("compare --format json host-a host-b");
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["programs"][0]["machine_differences"].size(), 6u);  // each repetition of host-b
    EXPECT_EQ(j["programs"][0]["machine_differences"][2]["field"], "kernel");
    for (const char* args : {"compare host-a host-c", "compare host-c host-a"}) {
        r = run(args);
        EXPECT_EQ(r.err, "") << args;
        EXPECT_EQ(r.out.find("Machine: "), std::string::npos) << args;
    }
}

}  // namespace
