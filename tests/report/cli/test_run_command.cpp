// `bench_report run` as a process, on the short-pass programs and on stand-ins
// that fail, are killed, or are still running when Ctrl-C or SIGTERM comes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/run_view.h"
#include "execution/runner.h"
#include "process.h"
#include "schedule_fakes.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

class Run : public ::testing::Test {
protected:
    fs::path root;

    void SetUp() override {
        // The short-pass programs keep their workloads' cells by design; under
        // the sanitizers a leak report would turn a good run into a failed one.
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        root = fs::temp_directory_path() /
               ("bench_run_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "bin");
        fs::create_symlink(QUICK_PROCESSORS, root / "bin" / "bench_processors");
        fs::create_symlink(QUICK_MEMORY, root / "bin" / "bench_memory");
    }
    void TearDown() override { fs::remove_all(root); }

    // A stand-in bench_memory in its own folder, a shell script with `body`.
    std::string fake(const std::string& name, const std::string& body) {
        fs::create_directories(root / name);
        fs::path p = root / name / "bench_memory";
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(p, fs::perms::owner_all);
        return name;
    }

    // Runs after the first time the quick program, then writes the first
    // lines of a results file and waits, as a long run would.
    // With `grandchild`, the waiting is done by a child of its own that holds
    // the output pipe, as a program's helper process would.
    std::string slow(bool grandchild = false) {
        std::string partial = std::string(REPORT_DATA) + "/memory_2threads.results.txt";
        return fake("slow", "if [ ! -e '" + (root / "first").string() + "' ]; then touch '" +
                                (root / "first").string() + "'; exec '" QUICK_MEMORY "'; fi\n" +
                                "head -n 16 '" + partial +
                                "' > \"$(printf 'results_memory_Linux_x86 @ UTC time Tue Dec  8 "
                                "10:00:00 2026\\n.txt')\"\n"
                                "echo 'Force to be single thread.'; echo 'Low speeds:'\n"
                                "touch '" +
                                (root / "waiting").string() + "'\n" +
                                (grandchild ? "sleep 60 & wait" : "exec sleep 60"));
    }

    Result run(const std::string& args, const std::string& env = "") {
        std::string cmd = "cd '" + root.string() + "' && " + env + " '" BENCH_REPORT "' run " +
                          args + " >stdout.txt 2>stderr.txt </dev/null";
        int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(root / "stdout.txt"),
                slurp(root / "stderr.txt")};
    }

    // The repetition directories under runs/LABEL, oldest first, with their machine.json.
    std::vector<std::pair<fs::path, json>> repetitions(const std::string& label = "host") {
        std::vector<std::pair<fs::path, json>> found;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(root / "runs" / label, ec))
            found.push_back({e.path(), json::parse(slurp(e.path() / "machine.json"))});
        // By the sequence number that ends each name.
        auto number = [](const fs::path& p) {
            std::string n = p.filename().string();
            return std::stoi(n.substr(n.rfind('-') + 1));
        };
        std::sort(found.begin(), found.end(),
                  [&](auto& a, auto& b) { return number(a.first) < number(b.first); });
        return found;
    }

    // Starts `prefix` bench_report run `args` in the background: its process
    // id goes to root/pid, its exit status to root/status when it ends.
    // Each file appears whole (written aside, then renamed), never empty.
    std::string background(const std::string& args, const std::string& prefix = "") {
        for (const char* f : {"pid", "status"})
            fs::remove(root / f);
        std::string cmd = "cd '" + root.string() + "' && (" + prefix + " '" BENCH_REPORT "' run " +
                          args +
                          " >stdout.txt 2>stderr.txt </dev/null & echo $! > pid.part; "
                          "mv pid.part pid; wait $!; echo $? > status.part; mv status.part status)"
                          " 2>/dev/null &";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        wait_for(root / "pid");
        return slurp(root / "pid");
    }

    // Generous: the quick programs take 20 s and more on a loaded machine.
    bool wait_for(const fs::path& p, int seconds = 120) {
        for (int i = 0; i < seconds * 20 && !fs::exists(p); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return fs::exists(p);
    }
};

void every_line_prefixed(const std::string& err) {
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        EXPECT_EQ(line.rfind("bench_report: ", 0), 0u) << line;
}

TEST_F(Run, BothQuickProgramsEachRepetitionInItsOwnDirectory) {
    Result r = run("--runs 2 --label host --bin-dir bin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "runs/host\n");
    every_line_prefixed(r.err);
    // The estimates follow the machine's load (their arithmetic is the
    // schedule's test): only their place and basis are checked here.
    EXPECT_NE(r.err.find("bench_report: bench_processors: " + (root / "bin").string() +
                         "/bench_processors (2 repetitions, about "),
              std::string::npos);
    EXPECT_NE(r.err.find(" each, stopped past 2 h 20 min)\nbench_report: bench_memory: "),
              std::string::npos);
    EXPECT_NE(r.err.find("; results in runs/host/\nbench_report: an estimate at a typical "
                         "machine's speed"),
              std::string::npos);
    EXPECT_NE(r.err.find("bench_report: bench_processors: its first repetition took "),
              std::string::npos);
    EXPECT_NE(r.err.find("bench_report: 4 of 4 repetition(s) completed in"), std::string::npos);

    auto reps = repetitions();
    ASSERT_EQ(reps.size(), 4u);
    // <UTC time>-<n>: 20261208T095719Z-1
    auto well_named = [](const std::string& n) {
        if (n.size() < 18 || n[8] != 'T' || n[15] != 'Z' || n[16] != '-')
            return false;
        for (std::size_t i = 0; i < n.size(); ++i)
            if (i != 8 && i != 15 && i != 16 && !std::isdigit(static_cast<unsigned char>(n[i])))
                return false;
        return true;
    };
    const char* programs[] = {"bench_processors", "bench_processors", "bench_memory",
                              "bench_memory"};
    for (std::size_t i = 0; i < reps.size(); ++i) {
        const auto& [dir, doc] = reps[i];
        SCOPED_TRACE(dir.string());
        EXPECT_TRUE(well_named(dir.filename().string()));
        EXPECT_EQ(doc["repetition"]["program"], programs[i]);
        EXPECT_EQ(doc["repetition"]["number"], i % 2 + 1);
        EXPECT_EQ(doc["repetition"]["outcome"], "completed");
        EXPECT_EQ(doc["repetition"]["exit_status"], 0);
        EXPECT_EQ(doc["program"]["sha256"].get<std::string>().size(), 64u);
        EXPECT_FALSE(doc["before"]["busy_percent"].is_null());
        EXPECT_TRUE(doc["after"].is_object());
        std::string results = doc["repetition"]["results_file"];
        EXPECT_TRUE(fs::exists(dir / results));
        std::string console = slurp(dir / "console.txt");
        EXPECT_NE(console.find("Thread(s): "), std::string::npos);
        EXPECT_NE(console.find("Press Enter to Exit.\n"), std::string::npos);
    }
}

// --scaling on this machine's CPUs: a point per set, each repetition's
// machine.json saying its set, and the program's own count of threads
// following the affinity. Restricted to one CPU there is nothing to sweep.
TEST_F(Run, ScalingSweepsTheAllowedCpusAndRecordsEachSet) {
    report::CpuSet allowed = report::current_affinity();
    if (allowed.size() < 2)
        GTEST_SKIP() << "a sweep needs two CPUs";
    Result one = run("--scaling --programs memory --label host --bin-dir bin",
                     "taskset -c " + std::to_string(allowed.front()));
    EXPECT_EQ(one.status, 2);
    EXPECT_EQ(one.err, "bench_report: --scaling: only CPU " + std::to_string(allowed.front()) +
                           " may be used here: there is nothing to sweep\n");
    EXPECT_FALSE(fs::exists(root / "runs"));

    std::string two = std::to_string(allowed[0]) + "," + std::to_string(allowed[1]);
    Result r = run("--scaling --programs memory --runs 1 --label host --bin-dir bin",
                   "taskset -c " + two);
    EXPECT_EQ(r.status, 0) << r.err;
    every_line_prefixed(r.err);
    EXPECT_NE(r.err.find("bench_report: --scaling: 2 point(s) for each program, on CPUs "),
              std::string::npos) << r.err;
    auto reps = repetitions();
    ASSERT_EQ(reps.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& [dir, doc] = reps[i];
        SCOPED_TRACE(dir.string());
        EXPECT_EQ(doc["repetition"]["outcome"], "completed");
        const json& set = doc["scaling"];
        EXPECT_EQ(set["places"].size(), i + 1);
        EXPECT_EQ(set["binding"], "close");
        EXPECT_FALSE(set["sweep"].is_null());
        std::string console = slurp(dir / "console.txt");
        EXPECT_NE(console.find("Thread(s): " + std::to_string(i + 1) + "\n"), std::string::npos)
            << console;
        // The clock of the point's CPUs during the passes, or why it could not be read.
        const json& clock = doc["clock"];
        EXPECT_EQ(clock["cpus"], set["cpus"]);
        if (clock["source"].is_null())
            EXPECT_FALSE(clock["reason"].get<std::string>().empty());
        else
            EXPECT_EQ(clock["tests"].size(), 3u);
    }
}

// A program that fails, is killed or exits 0 without its own complete results
// file is reported with its status, and the next repetition runs.
TEST_F(Run, FailedAndKilledRepetitionsAreReportedAndTheRunGoesOn) {
    struct Case {
        std::string dir, body, outcome;
        json exit_status, signal;
        std::string said;
        std::string options = "";
        json reason = nullptr;
    };
    const Case cases[] = {
        {"fails", "echo 'Thread(s): 2'; exit 3", "failed", 3, nullptr, "failed with exit status 3"},
        {"killed", "kill -KILL $$", "killed", nullptr, "SIGKILL", "was killed by SIGKILL"},
        // A program that hangs is stopped at --timeout, and the run goes on.
        {"hangs", "echo 'Thread(s): 2'; exec sleep 60", "timed_out", nullptr, "SIGTERM",
         "timed out after 1 s and was stopped", " --timeout 1s"},
        // The wrong program behind the name, and garbage: exit 0, yet invalid.
        {"wrong", "exec '" QUICK_PROCESSORS "'", "invalid", 0, nullptr, "exited with status 0",
         "", "its results file is bench_processors's, not bench_memory's"},
        {"garbage", "echo garbage > results_memory.txt", "invalid", 0, nullptr,
         "exited with status 0", "",
         "its results file does not parse (line 1: expected the title line of "
         "bench_processors or bench_memory)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        fake(c.dir, c.body);
        Result r = run("--runs 2 --programs memory --label " + c.dir + " --bin-dir " + c.dir +
                       c.options);
        EXPECT_EQ(r.status, 1);
        every_line_prefixed(r.err);
        for (int i : {1, 2})
            EXPECT_NE(r.err.find("bench_memory " + std::to_string(i) + " of 2 " + c.said + " in "),
                      std::string::npos)
                << r.err;
        EXPECT_NE(r.err.find("0 of 2 repetition(s) completed"), std::string::npos);
        if (c.reason.is_string()) {
            std::string reason = c.reason;
            EXPECT_NE(r.err.find("; invalid: " + reason + ": runs/"), std::string::npos) << r.err;
            // show reads the outcome and its reason back (on one line: wide).
            std::string show = "cd '" + root.string() + "' && COLUMNS=1000 '" BENCH_REPORT "' show runs/" +
                               c.dir + " > show.txt 2>&1";
            std::system(show.c_str());
            if (c.dir == "wrong") {
                EXPECT_NE(slurp(root / "show.txt").find("Not completed: invalid: " + reason + "."),
                          std::string::npos)
                    << slurp(root / "show.txt");
            }
        }
        auto reps = repetitions(c.dir);
        ASSERT_EQ(reps.size(), 2u);
        for (const auto& [dir, doc] : reps) {
            EXPECT_EQ(doc["repetition"]["outcome"], c.outcome);
            EXPECT_EQ(doc["repetition"]["exit_status"], c.exit_status);
            EXPECT_EQ(doc["repetition"]["signal"], c.signal);
            EXPECT_EQ(doc["repetition"]["reason"], c.reason);
        }
    }
}

TEST_F(Run, WrongOptionsRunNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"--programs gpu",
         "bench_report: --programs: unknown program \"gpu\" (processors, memory)\n"},
        {"--label a/b", "bench_report: --label: \"a/b\" cannot name a directory\n"},
        {"--label ..", "bench_report: --label: \"..\" cannot name a directory\n"},
        {"--time-budget 10",
         "bench_report: --time-budget: \"10\" is not a duration such as 90s, "
         "45m, 2h or 1h30m\n"},
        {"--time-budget 1.2.3.m",
         "bench_report: --time-budget: \"1.2.3.m\" is not a duration such as 90s, "
         "45m, 2h or 1h30m\n"},
        {"--time-budget 1..5s",
         "bench_report: --time-budget: \"1..5s\" is not a duration such as 90s, "
         "45m, 2h or 1h30m\n"},
        {"--until-stable nan",
         "bench_report: --until-stable: \"nan\" is not a positive number of per cent\n"},
        {"--out ''", "bench_report: --out: \"\" cannot name a directory\n"},
        {"--timeout 1..5s",
         "bench_report: --timeout: \"1..5s\" is not a duration such as 90s, 45m, 2h or 1h30m\n"},
        {"--precision nan",
         "bench_report: --precision: \"nan\" is not a positive number of per cent\n"},
        {"--bin-dir bin --bin-dir bin --label a",
         "bench_report: --label: 1 given for 2 --bin-dir; give one --label per --bin-dir\n"},
        {"--label a --label b",
         "bench_report: --label: 2 given for 1 --bin-dir; give one --label per --bin-dir\n"},
        {"--bin-dir bin --bin-dir bin --label a --label a",
         "bench_report: --label: \"a\" is given twice; each build needs a folder of its own\n"},
        {"--bin-dir nowhere --programs memory", "bench_report: bench_memory not found (nowhere)\n"},
    };
    for (const auto& [args, message] : cases) {
        Result r =
            run(args + (args.find("--bin-dir") == std::string::npos ? " --bin-dir bin" : ""));
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
    // --strict: the warnings are said, then nothing runs.
    Result r = run("--strict --programs memory --bin-dir bin", "OMP_NUM_THREADS=3");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("bench_report: warning: OpenMP variables are set: OMP_NUM_THREADS=3\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("bench_report: --strict: not running, "), std::string::npos);
    EXPECT_FALSE(fs::exists(root / "runs"));
}

// A host name that cannot name a directory gives a mended default label, not
// a refusal (a host name of its own needs a UTS namespace: root, unshare).
TEST_F(Run, HostNameThatCannotBeALabelIsMended) {
    if (std::system("unshare -u true 2>/dev/null") != 0 ||
        std::system("python3 -c '' 2>/dev/null") != 0)
        GTEST_SKIP() << "no UTS namespace here";
    Result r = run("--programs memory --runs 1 --bin-dir bin", "unshare -u python3 -c \"import "
                   "socket, os, sys; socket.sethostname('.x/y'); os.execv(sys.argv[1], "
                   "sys.argv[1:])\"");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "runs/x_y\n");
}

// SIGTERM reaches the running program; finished repetitions stay, the cut one
// is marked, nothing more starts, and the status says how it ended.
TEST_F(Run, SignalsStopTheRunAndMarkTheRepetition) {
    // SIGHUP (a closed terminal or ssh session) ends it as SIGTERM does; the
    // signal reaches the program's whole process group, so a helper process
    // holding the output pipe does not keep run waiting.
    struct Case {
        const char* kill;
        const char* status;
        const char* name;
        bool grandchild;
    };
    for (const Case& c : {Case{"TERM", "143\n", "SIGTERM", false},
                          Case{"HUP", "129\n", "SIGHUP", false},
                          Case{"TERM", "143\n", "SIGTERM", true}}) {
    SCOPED_TRACE(std::string(c.name) + (c.grandchild ? " with a helper process" : ""));
    fs::remove_all(root / "runs");
    for (const char* f : {"first", "waiting", "status", "pid"})
        fs::remove(root / f);
    std::string bin = slow(c.grandchild);
    std::string cmd = "cd '" + root.string() +
                      "' && ('" BENCH_REPORT
                      "' run --runs 3 --programs "
                      "memory --label host --bin-dir " +
                      bin +
                      " >stdout.txt 2>stderr.txt </dev/null & echo $! > pid.part; mv pid.part "
                      "pid; wait $!; echo $? > status.part; mv status.part status) &";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(wait_for(root / "waiting"));
    std::string pid = slurp(root / "pid");
    ASSERT_EQ(std::system(("kill -" + std::string(c.kill) + " " + pid).c_str()), 0);
    ASSERT_TRUE(wait_for(root / "status"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(slurp(root / "status"), c.status);
    std::string err = slurp(root / "stderr.txt");
    EXPECT_NE(err.find("bench_memory 2 of 3 was interrupted by " + std::string(c.name) + " in "), std::string::npos);
    EXPECT_NE(err.find("stopped by " + std::string(c.name)), std::string::npos);
    auto reps = repetitions();
    ASSERT_EQ(reps.size(), 2u);
    EXPECT_EQ(reps[0].second["repetition"]["outcome"], "completed");
    EXPECT_EQ(reps[1].second["repetition"]["outcome"], "interrupted");
    EXPECT_EQ(reps[1].second["repetition"]["signal"], c.name);
    EXPECT_TRUE(reps[1].second["after"].is_object());
    // Its results file reads as cut short.
    std::string list = "cd '" + root.string() + "' && '" BENCH_REPORT "' list '" +
                       reps[1].first.string() + "' > list.txt";
    EXPECT_EQ(std::system(list.c_str()), 0);
    EXPECT_NE(slurp(root / "list.txt").find("partial"), std::string::npos);
    }
}

// On a terminal: one status line naming the test running, and Ctrl-C typed at it.
TEST_F(Run, CtrlCAtATerminal) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed (scripts/setup test installs it)";
    std::string bin = slow();
    std::string session = "bench_run_" + std::to_string(::getpid());
    std::string tmux = "tmux -L " + session;
    std::string inner = "cd '" + root.string() +
                        "' && '" BENCH_REPORT
                        "' run --runs 3 "
                        "--programs memory --label host --bin-dir " +
                        bin + "; echo EXIT=\\$?; sleep 60";
    ASSERT_EQ(std::system((tmux + " new-session -d -s t -x 160 -y 20 \"" + inner + "\"").c_str()),
              0);
    auto screen = [&] {
        std::system(
            (tmux + " capture-pane -p -t t > '" + (root / "screen.txt").string() + "'").c_str());
        return slurp(root / "screen.txt");
    };
    ASSERT_TRUE(wait_for(root / "waiting"));
    std::string shown;
    for (int i = 0; i < 40 && shown.find("Low speeds") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shown = screen();
    }
    EXPECT_NE(shown.find("bench_memory 2 of 3: Low speeds, one thread; "), std::string::npos)
        << shown;
    EXPECT_NE(shown.find(" elapsed, about "), std::string::npos);
    std::system((tmux + " send-keys -t t C-c").c_str());
    for (int i = 0; i < 100 && shown.find("EXIT=") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shown = screen();
    }
    std::system((tmux + " kill-server").c_str());
    EXPECT_NE(shown.find("EXIT=130"), std::string::npos) << shown;
    EXPECT_NE(shown.find("bench_report: stopped by SIGINT"), std::string::npos) << shown;
    // Completed repetitions only update the status line; no line of theirs stays.
    EXPECT_EQ(shown.find("1 of 3 completed"), std::string::npos) << shown;
    auto reps = repetitions();
    ASSERT_EQ(reps.size(), 2u);
    EXPECT_EQ(reps[1].second["repetition"]["outcome"], "interrupted");
    EXPECT_EQ(reps[1].second["repetition"]["signal"], "SIGINT");
}

// A signal ignored when run starts (nohup, a shell's background job) stays
// ignored, in run and in the program: a hangup neither stops the run nor
// kills the repetition.
TEST_F(Run, ASignalIgnoredAtTheStartStaysIgnored) {
    std::string results = std::string(REPORT_DATA) + "/memory_1thread.results.txt";
    fake("nohup", "touch '" + (root / "started").string() + "'\nwhile [ ! -e '" +
                      (root / "sent").string() + "' ]; do sleep 0.1; done\nkill -HUP $$\ncp '" +
                      results + "' results_memory.txt");
    std::string pid = background("--runs 1 --programs memory --label host --bin-dir nohup",
                                 "nohup");
    ASSERT_TRUE(wait_for(root / "started"));
    ASSERT_EQ(std::system(("kill -HUP " + pid).c_str()), 0);
    std::ofstream(root / "sent").put('\n');
    ASSERT_TRUE(wait_for(root / "status"));
    EXPECT_EQ(slurp(root / "status"), "0\n") << slurp(root / "stderr.txt");
    auto reps = repetitions();
    ASSERT_EQ(reps.size(), 1u);
    EXPECT_EQ(reps[0].second["repetition"]["outcome"], "completed");
}

// A program that starts a process of its own session (setsid), which keeps
// the output pipe open, cannot hold the run: once the program has ended,
// reading stops within a bounded time, the program is reaped and its outcome
// recorded with the reason. Each takes some 3 s; before, 45 s.
TEST_F(Run, AProcessThatLeftTheGroupCannotHoldTheRun) {
    std::string results = std::string(REPORT_DATA) + "/memory_1thread.results.txt";
    std::string leftover = "setsid sleep 45 & echo $! > '" + (root / "leftover").string() + "'\n";
    struct Case {
        std::string body, kill, status, outcome;
        json reason;
    };
    const std::string held = "a process it started kept its output open after it ended; "
                             "reading stopped 2 s later and its process group was sent SIGTERM";
    const Case cases[] = {
        // Ends by itself at once, with its results: completed, and said.
        {"cp '" + results + "' results_memory.txt\n" + leftover, "", "0\n", "completed", nullptr},
        // Hangs until SIGTERM reaches its group; the held pipe does not keep run waiting.
        {leftover + "touch '" + (root / "waiting").string() + "'\nexec sleep 60", "TERM", "143\n",
         "interrupted", held},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        fs::remove_all(root / "runs");
        for (const char* f : {"waiting", "leftover"})
            fs::remove(root / f);
        fake("held", c.body);
        std::string pid = background("--runs 1 --programs memory --label host --bin-dir held "
                                     "--timeout 3s");
        if (!c.kill.empty()) {
            ASSERT_TRUE(wait_for(root / "waiting"));
            ASSERT_EQ(std::system(("kill -" + c.kill + " " + pid).c_str()), 0);
        }
        bool ended = wait_for(root / "status", 30);
        if (!ended)
            std::system(("kill -KILL " + pid).c_str());
        if (wait_for(root / "leftover", 1))
            std::system(("kill " + slurp(root / "leftover")).c_str());
        ASSERT_TRUE(ended) << "run still waits on the pipe after 30 s";
        std::string err = slurp(root / "stderr.txt");
        EXPECT_EQ(slurp(root / "status"), c.status) << err;
        EXPECT_NE(err.find("; " + held + "\n"), std::string::npos) << err;
        auto reps = repetitions();
        ASSERT_EQ(reps.size(), 1u);
        EXPECT_EQ(reps[0].second["repetition"]["outcome"], c.outcome);
        EXPECT_EQ(reps[0].second["repetition"]["reason"], c.reason);
    }
}

// A run killed outright while it reads the machine before a repetition (over
// its busy window of a second) leaves no empty repetition directory: every
// directory it made holds a machine.json.
TEST_F(Run, KilledWhileReadingTheMachineLeavesNoEmptyDirectory) {
    std::string results = std::string(REPORT_DATA) + "/memory_1thread.results.txt";
    fake("quick", "cp '" + results + "' results_memory.txt\ntouch '" +
                      (root / "ended").string() + "'");
    std::string pid = background("--runs 2 --programs memory --label host --bin-dir quick");
    ASSERT_TRUE(wait_for(root / "ended"));
    // The second repetition's reading of the machine takes a second from here.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(std::system(("kill -KILL " + pid).c_str()), 0);
    ASSERT_TRUE(wait_for(root / "status"));
    EXPECT_EQ(slurp(root / "status"), "137\n");
    std::size_t directories = 0;
    for (const auto& e : fs::directory_iterator(root / "runs/host")) {
        ++directories;
        EXPECT_TRUE(fs::exists(e.path() / "machine.json")) << e.path();
    }
    EXPECT_EQ(directories, 1u);
}

// What run says of its time, worded from the schedule's facts, on fakes: a
// typical machine's estimate and what it rests on, never a bound, then the
// estimate again once the first repetition has given the real speed.
TEST_F(Run, TimesSaidBeforeAndDuringTheRunAreEstimatesAndSayWhy) {
    using namespace report;
    using namespace report::fakes;
    struct Case {
        const char* name;
        std::optional<double> load;  // on 2 processors
        std::optional<double> precision, budget;
        std::vector<std::string> said;
        double seconds = 10;  // what each repetition takes
    };
    const Case cases[] = {
        {"a quiet machine", std::nullopt, std::nullopt, std::nullopt,
         {"bench_memory: " + (root / "bin/bench_memory").string() +
              " (3 repetitions, about 5 s each, stopped past 10 min 50 s)\n",
          "bench_report: this takes about 15 s; results in " + (root / "runs/host/").string() +
              "\n",
          "bench_report: an estimate at a typical machine's speed; said again after the first "
          "repetition\n",
          "bench_report: bench_memory: its first repetition took 10 s, against about 5 s "
          "expected; at this speed the rest takes about 20 s (about 30 s in all)\n"}},
        {"a loaded machine", 3.0, std::nullopt, std::nullopt,
         {"(3 repetitions, about 13 s each, stopped past 10 min 50 s)\n",
          "bench_report: this takes about 38 s; results in ",
          "bench_report: an estimate at a typical machine's speed, slowed 2.5 times for its load "
          "(3.00 on 2 processors); said again after the first repetition\n",
          "its first repetition took 10 s, against about 13 s expected; at this speed the rest "
          "takes about 20 s (about 30 s in all)\n"}},
        {"a stopping rule and a time budget", std::nullopt, 1.0, 60.0,
         {"bench_report: this takes about 15 s, about 2 min if the stopping rules add every "
          "repetition they may; the time budget stops it after about 1 min; results in ",
          "at this speed the rest takes about 20 s (about 30 s in all), about 3 min if the "
          "stopping rules add every repetition they may; the time budget stops it after about "
          "50 s\n"}},
        {"a machine a hundred times slower than the estimate's",
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {"its first repetition took 8 min, against about 5 s expected, 100 times longer: "
          "this machine is far from the typical one the first estimate assumed; at this speed"},
         500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        FakeExecutor executor(clock);
        executor.usual.seconds = c.seconds;
        FakeMachine machine;
        machine.described.logical_cpus = 2;
        machine.now.load1 = c.load;
        fs::remove_all(root / "runs");
        SchedulePlan plan;
        plan.programs = {"bench_memory"};
        plan.runs = {3};
        plan.builds = {Build{"host", root / "runs/host", {root / "bin/bench_memory"}}};
        plan.precision = c.precision;
        plan.time_budget = c.budget;
        RunView view(false);
        ::testing::internal::CaptureStderr();
        run_schedule(plan, clock, executor, machine, view);
        std::string err = ::testing::internal::GetCapturedStderr();
        for (const std::string& line : c.said)
            EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
        EXPECT_EQ(err.find("at most"), std::string::npos) << err;
    }
}

TEST(RunViewDecisions, SaysTheRuleTheDecisionNames) {
    using namespace report;
    // Both rules given, the spread above its bound: the decision names the
    // rule that wants another repetition, and the view says that one.
    SchedulePlan plan;
    plan.builds = {Build{"host", "runs/host", {}}};
    plan.until_stable = 2;
    plan.precision = 1;
    Decision d;
    d.program = "bench_memory";
    d.next = 4;
    d.variation = Variation{"Allocation, one thread", 0.05, 1.1, 3};
    struct Case {
        StopReason reason;
        MoreWanted wanted;
        const char* said;
    };
    for (const Case& c :
         {Case{StopReason::runs, MoreWanted::spread, "varies by 5.00%, above 2%: adding repetition 4"},
          Case{StopReason::runs, MoreWanted::precision,
               "the time factor has no interval yet (it needs 5 values), not yet ±1%: adding "
               "repetition 4"},
          Case{StopReason::cap, MoreWanted::spread, "still varies by 5.00% after 3 repetitions"},
          Case{StopReason::cap, MoreWanted::precision,
               "the time factor has no interval yet (it needs 5 values) after 3 repetitions, not "
               "±1%; stopping there"}}) {
        d.reason = c.reason;
        d.wanted = c.wanted;
        RunView view(false);
        view.start(plan);
        ::testing::internal::CaptureStderr();
        view.decision(d);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.said), std::string::npos) << c.said << "\n" << err;
    }
}

}  // namespace
