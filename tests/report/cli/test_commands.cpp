// bench_report as a process: directories, names with the newline, labels,
// diagnostics and exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "process.h"

namespace fs = std::filesystem;

namespace {

// Runs bench_report with `args` (already quoted for the shell) in `dir`.
Result run(const fs::path& dir, const std::string& args) {
    return run_in(dir, "'" BENCH_REPORT "' " + args);
}

const std::string p_name = "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:24:13 2026\n.txt";
const std::string m_name = "results_memory_Linux_x86 @ CET time Wed Dec  9 17:00:01 2026\n.txt";

class Fleet : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        const fs::path data = REPORT_DATA;
        fs::create_directories(root / "runs" / "host-a");
        fs::create_directories(root / "runs" / "host-b" / "deeper");
        fs::copy_file(data / "processors_2threads.results.txt", root / "runs" / "host-a" / p_name);
        fs::copy_file(data / "memory_1thread.results.txt", root / "runs" / "host-a" / m_name);
        fs::copy_file(data / "processors_1thread.results.txt",
                      root / "runs" / "host-b" / "deeper" / p_name);
        fs::copy_file(data / "processors_1thread.console.txt",
                      root / "runs" / "host-b" / "notes.txt");
        fs::create_directory_symlink("..", root / "runs" / "host-b" / "loop");
    }
};

}  // namespace

TEST_F(Fleet, ListFindsResultsFilesRecursivelyWithTheNewlineEscaped) {
    // As wide as the rows: the 80 columns of a pipe are tested in test_cli.cpp.
    Result r = run_in(root, "COLUMNS=1000 '" BENCH_REPORT "' list runs");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "bench_report: runs/host-b/loop: a symbolic link to a directory, not followed\n");
    // Columns padded to the longest path; the newline of the names shown as \n.
    EXPECT_EQ(
        r.out,
        "runs/host-a/results_memory_Linux_x86 @ CET time Wed Dec  9 17:00:01 2026\\n.txt"
        "             bench_memory      Wed Dec  9 17:00:01 2026 CET  1 thread(s)  complete, 1 "
        "finding(s)\n"
        "runs/host-a/results_processors_Linux_x86 @ UTC time Tue Dec  8 05:24:13 2026\\n.txt"
        "         bench_processors  Tue Dec  8 05:24:13 2026 UTC  2 thread(s)  complete, 1 "
        "finding(s)\n"
        "runs/host-b/deeper/results_processors_Linux_x86 @ UTC time Tue Dec  8 05:24:13 2026\\n.txt"
        "  bench_processors  Tue Dec  8 05:24:13 2026 UTC  1 thread(s)  complete, 1 finding(s)\n");
}

TEST_F(Fleet, LabelsAreDirectoriesForAFleetAndAlwaysUnique) {
    auto labels = [&](const std::string& args) {
        Result r = run(root, "export " + args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> out;
        auto j = nlohmann::json::parse(r.out);
        for (const auto& each : j["runs"])
            out.push_back(each["label"]);
        return out;
    };
    EXPECT_EQ(labels("runs/host-a runs/host-b"),
              (std::vector<std::string>{"host-a", "host-a", "host-b/deeper"}));
    EXPECT_EQ(labels("runs/host-a"),
              (std::vector<std::string>{"Wed Dec  9 17:00:01 2026", "Tue Dec  8 05:24:13 2026"}));
    // A label per path, for every run under it; runs that share one are repetitions.
    EXPECT_EQ(labels("--label x --label x runs/host-a runs/host-b/notes.txt"),
              (std::vector<std::string>{"x", "x", "x"}));
}

// A label is worked out once per directory, from the text of the paths where
// they are plain: every form of a path to the same runs gives the same labels,
// runs' own directories (named by their UTC start, nested or not) included.
TEST_F(Fleet, LabelsDoNotDependOnTheFormOfThePath) {
    fs::create_directories(root / "runs/host-c/20261208T100220Z-1");
    fs::create_directories(root / "runs/host-c/20261209T100220Z-2/20261209T100221Z");
    const fs::path data = REPORT_DATA;
    fs::copy_file(data / "processors_1thread.results.txt",
                  root / "runs/host-c/20261208T100220Z-1" / p_name);
    fs::copy_file(data / "memory_1thread.results.txt",
                  root / "runs/host-c/20261209T100220Z-2/20261209T100221Z" / m_name);
    using Labels = std::vector<std::string>;
    struct Case {
        fs::path dir;
        std::string args;
        Labels labels;
    } cases[] = {
        {root, "runs", {"host-a", "host-a", "host-b/deeper", "host-c", "host-c"}},
        {root, "./runs//host-c/ runs/host-a/../host-a", {"host-c", "host-c", "host-a", "host-a"}},
        {root, "runs//host-c runs/host-a/", {"host-c", "host-c", "host-a", "host-a"}},
        {root, "'" + (root / "runs/host-c").string() + "'", {"host-c", "host-c"}},
        {root, "runs/host-c runs/host-b", {"host-c", "host-c", "host-b/deeper"}},
        {root, "runs/host-c/20261208T100220Z-1", {"host-c"}},
        {root, "runs/host-c/20261209T100220Z-2", {"host-c"}},
        {root, "runs/./host-c/20261208T100220Z-1/../20261209T100220Z-2", {"host-c"}},
        {root / "runs/host-c/20261208T100220Z-1", "'" + p_name + "'", {"host-c"}},
    };
    for (const Case& c : cases) {
        Result r = run(c.dir, "export " + c.args);
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        Labels got;
        nlohmann::json exported = nlohmann::json::parse(r.out);
        for (const auto& each : exported["runs"])
            got.push_back(each["label"]);
        EXPECT_EQ(got, c.labels) << c.args;
    }
}

// Every file named is read; each bad one gets one diagnostic; the good ones
// are still shown; exit status 2.
TEST_F(Fleet, BadFilesAreReportedAndTheRestShown) {
    std::ofstream(root / "bad.txt") << "Velotrix\n";
    std::ofstream(root / ("bad\n" + std::string("name.txt"))) << "";
    Result r = run(root, "show bad.txt 'bad\nname.txt' missing.txt runs/host-b/notes.txt");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "bench_report: bad.txt:1: expected the title line of bench_processors or "
              "bench_memory, found \"Velotrix\"\n"
              "bench_report: bad\\nname.txt:1: expected the title line of bench_processors or "
              "bench_memory, found end of file\n"
              "bench_report: missing.txt: cannot read: No such file or directory\n");
    EXPECT_NE(r.out.find("runs/host-b/notes.txt: bench_processors, 1 thread(s)"),
              std::string::npos);

    r = run(root, "export --format csv bad.txt runs/host-a -o out.csv");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    std::string csv = slurp(root / "out.csv");
    EXPECT_EQ(
        csv.rfind("path,label,program,test,scope,thread,metric,value,unit,printed,printed_unit,"
                  "threads,local_time,zone,partial,findings,host,cpu_model,logical_cpus,outcome\n"
                  "\"runs/host-a/results_memory_Linux_x86 @ CET time Wed Dec  9 17:00:01 2026\n"
                  ".txt\",\"Wed Dec  9 17:00:01 2026\",bench_memory,allocation,single,,seconds,",
                  0),
        0u);
}
