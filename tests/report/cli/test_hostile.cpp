// bench_report on hostile input: unreadable and deep trees, FIFOs, huge
// files, extreme figures, closed pipes, file-size limits, outputs aimed at
// inputs, and text meant to fool a spreadsheet or a terminal. Each must end
// in a clear message and a documented exit status: no signal death, no hang,
// no overwritten input, no cut output file.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "output/svg.h"
#include "output/text.h"
#include "process.h"

namespace fs = std::filesystem;


// The processor seconds the twenty labels' comparison may take: a plain build
// needs about 0.3 s (13 s when the rank-sum counts were quadratic); the
// sanitizers' checks take about eight times as long.
#ifdef BENCH_SANITIZED
#define COMPARE_CPU_SECONDS "12"
#else
#define COMPARE_CPU_SECONDS "3"
#endif
namespace {

const fs::path data = REPORT_DATA;
const std::string p_name = "results_processors_Linux_x86 @ a.txt";
const std::string m_name = "results_memory_Linux_x86 @ a.txt";

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// A directory holding one processors run.
void host(const fs::path& dir, const std::string& name = p_name) {
    fs::create_directories(dir);
    fs::copy_file(data / "processors_2threads.results.txt", dir / name,
                  fs::copy_options::overwrite_existing);
}

// A processors run whose first thread's rate is printed as `rate`.
void extreme(const fs::path& file, const std::string& rate) {
    std::string text = slurp(data / "processors_2threads.results.txt");
    std::size_t at = text.find("Thread:1 It was: ") + 17;
    text.replace(at, text.find(' ', at) - at, rate);
    put(file, text);
}

// `count` processors runs in `dir`: enough output to fill a pipe's buffer.
void many(const fs::path& dir, int count) {
    for (int i = 0; i < count; ++i)
        host(dir, "results_processors_Linux_x86 @ " + std::to_string(i) + ".txt");
}

// A stand-in bench_memory in dir/bin: a shell script with `body`.
void stand_in(const fs::path& dir, const std::string& body) {
    put(dir / "bin/bench_memory", "#!/bin/sh\n" + body + "\n");
    fs::permissions(dir / "bin/bench_memory", fs::perms::owner_all);
}

// What `run` left under dir/runs/host: its repetitions' directories, and
// whether any holds a temporary file or a machine.json still saying "running".
struct RunLeft {
    std::size_t repetitions = 0;
    bool temporary = false, running = false;
};
RunLeft run_left(const fs::path& dir) {
    RunLeft left;
    std::error_code ec;
    for (const auto& rep : fs::directory_iterator(dir / "runs/host", ec)) {
        ++left.repetitions;
        for (const auto& f : fs::directory_iterator(rep.path())) {
            std::string name = f.path().filename().string();
            // A temporary machine.json is ".machine.json.XXXXXX" beside it.
            left.temporary |= name.rfind(".machine.json.", 0) == 0 ||
                              (name.size() > 4 && name.substr(name.size() - 4) == ".tmp");
            left.running |= name == "machine.json" &&
                            slurp(f.path()).find("\"running\"") != std::string::npos;
        }
    }
    return left;
}

// A store s.db in `dir` of the files under `paths`, then changed by `sql`.
void stored(const fs::path& dir, const std::string& paths, const std::string& sql) {
    ASSERT_EQ(shell("cd '" + dir.string() + "' && '" BENCH_REPORT "' store s.db " + paths +
                    " >/dev/null"),
              0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "s.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// A writer of the SQLite file at `path` cut short, in a child process: it
// runs `sql` (by default a transaction that writes more pages than its cache
// holds, so that some reach the file, but never a new file's first page)
// and ends without committing or rolling back, as a killed ingest does.
// With `hold_ms`, it first holds the file locked that long and rolls back:
// an ingest still running. Returns once `sql` ran; the child's pid.
const std::string spill_sql =
    "PRAGMA cache_size = 2; BEGIN; CREATE TABLE junk (x); WITH RECURSIVE n(i) AS (SELECT 1 "
    "UNION ALL SELECT i + 1 FROM n WHERE i < 64) INSERT INTO junk SELECT randomblob(4000) FROM n";
pid_t cut_short(const fs::path& path, const std::string& sql = spill_sql, int hold_ms = 0) {
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        sqlite3* db = nullptr;
        bool ran = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                   sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        if (::write(ready[1], ran ? "y" : "n", 1) != 1 || !ran)
            ::_exit(1);
        if (hold_ms > 0) {
            ::usleep(static_cast<useconds_t>(hold_ms) * 1000);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    char ran = 'n';
    EXPECT_EQ(::read(ready[0], &ran, 1), 1);
    EXPECT_EQ(ran, 'y') << path;
    ::close(ready[0]);
    if (hold_ms == 0)
        ::waitpid(pid, nullptr, 0);
    return pid;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The policy0 governor of the copied /sys tree, as on the machine.
const std::string governor0 = "/sys/devices/system/cpu/cpufreq/policy0/scaling_governor";

// A copy of a built /sys tree (four acpi-cpufreq policies, a boost switch)
// in dir/root; with `fifo`, that file of it a FIFO.
void system_tree(const fs::path& dir, const std::string& fifo = "") {
    fs::copy(data / "system/acpi_cpufreq", dir / "root", fs::copy_options::recursive);
    if (!fifo.empty()) {
        fs::remove(dir / "root" / fifo.substr(1));
        ASSERT_EQ(shell("mkfifo '" + (dir / "root" / fifo.substr(1)).string() + "'"), 0);
    }
}

struct Case {
    const char* name;
    std::function<void(const fs::path&)> setup;
    // A shell script run in the case's directory; "$B" is bench_report and
    // "$DROP" a prefix that runs a command as an unprivileged user.
    std::string script;
    int status;
    std::vector<std::string> err_has = {};
    std::vector<std::string> out_has = {};
    std::function<void(const fs::path&, const Result&)> check = nullptr;
    bool unprivileged = false;  // needs "$DROP" to mean something
    bool mounts = false;        // needs root and a mount namespace of its own
};

class Hostile : public ScratchTest {
protected:
    void TearDown() override {
        // Trees made unreadable on purpose: readable again, so they can go.
        shell("chmod -R u+rwx '" + root.string() + "' 2>/dev/null");
        ScratchTest::TearDown();
    }
};

// What the cases share: a FIFO's name, a check that a file kept its text, a
// machine.json that must survive, and the ingest a case holds running.
const std::string fifo_name = "results_memory_Linux_x86 @ fifo.txt";
std::function<void(const fs::path&, const Result&)> unchanged(const std::string& file,
                                                               const std::string& text) {
    return [=](const fs::path& dir, const Result&) { EXPECT_EQ(slurp(dir / file), text); };
}
const std::string sidecar = R"({"machine":{"hostname":"h"}})";
pid_t holder = 0;

// The prefix that runs a command as nobody: set only where the tests run as
// root and setpriv is there.
const std::string& drop_prefix() {
    static const std::string drop = ::geteuid() == 0 && shell("command -v setpriv >/dev/null") == 0
                                        ? "setpriv --reuid=65534 --regid=65534 --clear-groups"
                                        : "";
    return drop;
}

bool can_mount() {
    static const bool can = ::geteuid() == 0 &&
                            shell("unshare -m sh -c 'mount -t tmpfs -o size=64k t /mnt' "
                                  "2>/dev/null") == 0;
    return can;
}

// The table: each case a tree, a script over it, and what bench_report must
// answer.
std::vector<Case> hostile_cases() {
    return {
        {"an unreadable directory is named once and the walk goes on",
         [](const fs::path& d) {
             for (const char* h : {"h1", "h2", "h3", "h4"})
                 host(d / h);
             host(d / "h3/private");
             fs::permissions(d / "h3/private", fs::perms::none);
         },
         "$DROP \"$B\" list .", 2,
         {"bench_report: h3/private: cannot read the directory: Permission denied\n"},
         {"h1/", "h2/", "h3/", "h4/"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
             EXPECT_EQ(count_of(r.out, "bench_processors"), 4u) << r.out;
         },
         true},
        {"no descriptor left on a deep tree",
         [](const fs::path& d) {
             fs::path deep = d;
             for (int i = 0; i < 80; ++i)
                 deep /= "d";
             host(deep);
             host(d / "d/d", "results_processors_Linux_x86 @ b.txt");
         },
         "ulimit -n 40; \"$B\" list .", 0, {}, {"d/d/d/d/", "d/d/results_processors_Linux_x86 @ b"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(count_of(r.out, "bench_processors"), 2u) << r.out;
         }},
        {"a FIFO named as an input",
         [&](const fs::path& d) { shell("mkfifo '" + (d / fifo_name).string() + "'"); },
         "\"$B\" list '" + fifo_name + "'", 2,
         {"bench_report: " + fifo_name + ": cannot read: a FIFO, not a regular file\n"}},
        {"a FIFO inside a scanned directory",
         [&](const fs::path& d) {
             host(d / "a");
             shell("mkfifo '" + (d / "a" / fifo_name).string() + "'");
         },
         "\"$B\" list a", 2, {"a/" + fifo_name + ": cannot read: a FIFO, not a regular file"},
         {"a/" + p_name}},
        {"a FIFO as the baseline",
         [&](const fs::path& d) {
             host(d / "a");
             host(d / "b");
             shell("mkfifo '" + (d / fifo_name).string() + "'");
         },
         "\"$B\" compare a b --baseline '" + fifo_name + "'", 2, {"a FIFO, not a regular file"}},
        {"a machine.json past 16 MiB",
         [](const fs::path& d) {
             host(d / "a");
             fs::resize_file((put(d / "a/machine.json", "{}"), d / "a/machine.json"), 17 << 20);
         },
         "\"$B\" list a", 0,
         {"a/" + p_name + ": machine.json beside it: larger than the 16 MiB an input may hold\n"}},
        {"a host name of a megabyte",
         [](const fs::path& d) {
             host(d / "a");
             put(d / "a/machine.json",
                 R"({"machine":{"hostname":")" + std::string(1 << 20, 'x') + R"("}})");
         },
         "\"$B\" list a && \"$B\" show a", 0, {}, {"... (1048576 bytes)"},
         [](const fs::path&, const Result& r) { EXPECT_LT(r.out.size(), 20000u); }},
        {"a chart of a figure near the largest double",
         [](const fs::path& d) {
             extreme(d / "big.txt", "1e308");
             host(d / "a");
         },
         "\"$B\" chart big.txt -o big.html && \"$B\" chart big.txt -o big.svg && "
         "\"$B\" chart big.txt a -o two.html && \"$B\" chart big.txt big.txt a --baseline median "
         "-o fleet.html",
         0, {}, {},
         [](const fs::path& d, const Result&) {
             for (const char* f : {"big.html", "big.svg", "two.html", "fleet.html"}) {
                 std::string page = slurp(d / f);
                 EXPECT_LT(page.size(), 1u << 20) << f;
                 EXPECT_EQ(page.find("inf\""), std::string::npos) << f;
                 EXPECT_EQ(page.find("nan\""), std::string::npos) << f;
             }
         }},
        {"a chart of the smallest subnormal figure",
         [](const fs::path& d) {
             extreme(d / "tiny.txt", "4.9e-324");
             host(d / "a");
         },
         "\"$B\" chart tiny.txt -o tiny.html && \"$B\" chart tiny.txt a -o two.svg", 0, {}, {},
         [](const fs::path& d, const Result&) {
             EXPECT_LT(fs::file_size(d / "tiny.html"), 1u << 20);
             EXPECT_LT(fs::file_size(d / "two.svg"), 1u << 20);
         }},
        {"list into a closed pipe", [](const fs::path& d) { many(d / "many", 700); },
         "{ \"$B\" list many; echo $? >rc; } | head -c 100 >/dev/null; exit $(cat rc)", 1,
         {"bench_report: cannot write standard output: Broken pipe\n"}},
        {"export into a closed pipe", [](const fs::path& d) { many(d / "many", 100); },
         "{ \"$B\" export many; echo $? >rc; } | head -c 100 >/dev/null; exit $(cat rc)", 1,
         {"bench_report: cannot write standard output: Broken pipe\n"}},
        {"compare into a closed pipe", [](const fs::path& d) { many(d / "many", 100); },
         "{ \"$B\" compare --format json many; echo $? >rc; } | head -c 100 >/dev/null; "
         "exit $(cat rc)",
         1, {"bench_report: cannot write standard output: Broken pipe\n"}},
        {"past a file-size limit the old output stays whole",
         [](const fs::path& d) {
             many(d / "many", 50);
             put(d / "out.json", "old");
         },
         "ulimit -f 8; \"$B\" export many -o out.json", 1,
         {"bench_report: cannot write out.json: File too large\n"}, {}, unchanged("out.json", "old")},
        {"-o onto the machine.json beside an input",
         [&](const fs::path& d) {
             host(d / "a");
             put(d / "a/machine.json", sidecar);
         },
         "\"$B\" export a -o a/machine.json", 2,
         {"bench_report: -o a/machine.json: is one of the inputs; not overwritten\n"}, {},
         unchanged("a/machine.json", sidecar)},
        // A store's files are inputs too, named by the paths they were stored from.
        {"-o onto a file a store keeps",
         [&](const fs::path& d) {
             host(d / "a");
             put(d / "a/machine.json", sidecar);
         },
         "\"$B\" store s.db a >/dev/null && \"$B\" history s.db -o a/machine.json", 2,
         {"bench_report: -o a/machine.json: is one of the inputs; not overwritten\n"}, {},
         unchanged("a/machine.json", sidecar)},
        {"-o onto a file of a baseline's store",
         [&](const fs::path& d) {
             host(d / "a");
             host(d / "b");
         },
         "\"$B\" store s.db a >/dev/null && \"$B\" compare b --baseline s.db -o 'a/" + p_name +
             "'",
         2, {"is one of the inputs; not overwritten"}, {},
         [](const fs::path& d, const Result&) {
             EXPECT_NE(slurp(d / "a" / p_name).find("Thread(s)"), std::string::npos);
         }},
        {"-o where an input's machine.json would be read",
         [&](const fs::path& d) { host(d / "a"); }, "\"$B\" export a -o a/machine.json", 2,
         {"is one of the inputs"}, {},
         [](const fs::path& d, const Result&) { EXPECT_FALSE(fs::exists(d / "a/machine.json")); }},
        {"-o onto a file that failed to parse",
         [&](const fs::path& d) {
             host(d / "a");
             put(d / "a" / m_name, "garbage\n");
         },
         "\"$B\" export a -o 'a/" + m_name + "'", 2, {"is one of the inputs; not overwritten"}, {},
         unchanged("a/" + m_name, "garbage\n")},
        {"-o through a link to an input",
         [&](const fs::path& d) {
             host(d / "a");
             fs::create_symlink("a/" + p_name, d / "link");
         },
         "\"$B\" export a -o link", 2, {"is one of the inputs; not overwritten"}, {},
         [](const fs::path& d, const Result&) {
             EXPECT_TRUE(fs::is_symlink(d / "link"));
             EXPECT_NE(slurp(d / "a" / p_name).find("Thread(s)"), std::string::npos);
         }},
        {"-o /dev/stdout appended to a log",
         [](const fs::path& d) {
             host(d / "a");
             put(d / "log.txt", "old line\n");
         },
         "\"$B\" list a -o /dev/stdout >>log.txt", 0, {}, {},
         [](const fs::path& d, const Result&) {
             std::string log = slurp(d / "log.txt");
             EXPECT_EQ(log.rfind("old line\na/" + p_name, 0), 0u) << log;
         }},
        {"-o a FIFO that nothing reads",
         [](const fs::path& d) {
             host(d / "a");
             shell("mkfifo '" + (d / "out").string() + "'");
         },
         "\"$B\" list a -o out", 1,
         {"bench_report: cannot write out: a FIFO that no process reads\n"}},
        {"a hexadecimal noise band",
         [](const fs::path& d) {
             host(d / "a");
             host(d / "b");
         },
         "\"$B\" compare a b --noise 0x10", 2, {"not \"0x10\""}},
        {"labels a spreadsheet would take for formulas",
         [](const fs::path& d) {
             host(d / "a");
             host(d / "b");
         },
         "\"$B\" export --format csv a --label '=HYPERLINK(\"x\")' && "
         "\"$B\" compare --format csv a b --label +1+2 --label @SUM", 0, {},
         {"\"'=HYPERLINK(\"\"x\"\")\"", ",\"'+1+2\",", ",\"'@SUM\","},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(r.out.find(",=HYPERLINK"), std::string::npos);
             // Figures stay numbers.
             EXPECT_EQ(r.out.find(",'0"), std::string::npos);
         }},
        {"C1 and bidirectional controls in a label",
         [](const fs::path& d) { host(d / "a"); },
         "\"$B\" show a --label \"$(printf 'x\\342\\200\\256y\\302\\233z\\233')\"", 0, {},
         {"x\\u202ey\\u009bz\\x9b"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(r.out.find("\xe2\x80\xae"), std::string::npos);
             EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos);
         }},
        // Round 45, the formats CI and dashboards read: hostile labels keep
        // JUnit valid against its schema, the exposition one promtool takes,
        // the services' JSON parseable.
        {"hostile labels in junit, openmetrics, bmf and benchmark-action",
         [](const fs::path& d) {
             host(d / "a");
             host(d / "b");
             const std::string names[] = {"say \"hi\" 'q'", "new\nline", "<script>&amp;",
                                          "{\"x\": [1]}", "x\xe2\x80\xaey\xc2\x9bz\x1b[2J",
                                          "bad\xff", std::string(10000, 'k') + "\\"};
             for (std::size_t i = 0; i < std::size(names); ++i)
                 put(d / ("label" + std::to_string(i)), names[i] + "\n");
         },
         "set -e; for f in label*; do L=$(cat \"$f\"); "
         "\"$B\" compare a b --label \"$L\" --label \"$L.2\" --fail-if-worse 5 --format junit "
         "-o \"$f.xml\" 2>/dev/null; "
         "\"$B\" history a b --label \"$L\" --label \"$L.2\" --format junit -o \"$f.h.xml\"; "
         "xmllint --noout --schema '" REPORT_DATA "/../output/junit.xsd' \"$f.xml\" \"$f.h.xml\"; "
         "\"$B\" export a --label \"$L\" --format openmetrics -o \"$f.prom\"; "
         "if command -v promtool >/dev/null; then promtool check metrics < \"$f.prom\"; fi; "
         "for j in bmf benchmark-action; do \"$B\" export a --label \"$L\" --format $j -o \"$f.$j\"; "
         "done; done",
         0, {}, {},
         [](const fs::path& d, const Result& r) {
             for (int i = 0; i < 7; ++i) {
                 std::string f = "label" + std::to_string(i);
                 auto bmf = nlohmann::json::parse(slurp(d / (f + ".bmf")));
                 auto action = nlohmann::json::parse(slurp(d / (f + ".benchmark-action")));
                 EXPECT_EQ(bmf.size(), action.size()) << f;
                 EXPECT_GT(bmf.size(), 5u) << f;
                 std::string prom = slurp(d / (f + ".prom"));
                 // One sample a line: no name's newline splits one.
                 for (std::size_t s = 0, e; (e = prom.find('\n', s)) != std::string::npos; s = e + 1)
                     EXPECT_TRUE(prom.compare(s, 13, "bench_report_") == 0 || prom[s] == '#')
                         << f << ": " << prom.substr(s, 80);
                 EXPECT_EQ(slurp(d / (f + ".xml")).find("<script>"), std::string::npos);
             }
             EXPECT_EQ(r.err.find("fails to validate"), std::string::npos) << r.err;
         }},
        {"the outcome run recorded, said by list, show and export",
         [](const fs::path& d) {
             auto record = [&](const std::string& rep, const std::string& outcome,
                               const std::string& more = "") {
                 put(d / "a" / rep / "machine.json",
                     R"({"repetition": {"program": "bench_processors", "outcome": ")" + outcome +
                         "\"" + more + "}}");
             };
             host(d / "a/1");
             record("1", "interrupted");
             record("2", "timed_out", R"(, "reason": "past --timeout 9s")");
             record("3", "running");
             host(d / "a/4");
             record("4", "\\u001b[2Jgone");
             host(d / "a/5");
             record("5", "completed");
         },
         "export COLUMNS=1000; \"$B\" list a && \"$B\" show a --label rep && "
         "\"$B\" export --format csv a && "
         "\"$B\" export a",
         0, {},
         {"complete, interrupted, 1 finding(s)\n", "a/2/machine.json ", "partial, timed out\n",
          "partial, still running\n", "complete, \\x1b[2Jgone",
          "2 thread(s), rep, interrupted, 1 finding(s)\n",
          "Not completed: timed out: past --timeout 9s.\n",
          "Not completed: 4 of 5 repetitions (interrupted, \\x1b[2Jgone, timed out, "
          "still running).",
          ",\"interrupted\"\n", ",\"completed\"\n", "\"partial\": true,\n      \"outcome\": "
          "\"timed_out\",", "\"outcome\": \"\\u001b[2Jgone\""},
         [](const fs::path&, const Result& r) {
             // The terminal's views escape it; CSV carries the text as it is.
             EXPECT_GT(r.out.find("\x1b"), r.out.find("path,label,"));
         }},
        // run's standard error goes through a pipe, which no size limit cuts.
        {"run meets a file-size limit after a repetition",
         [](const fs::path& d) {
             stand_in(d, "cp '" + (data / "memory_1thread.results.txt").string() +
                             "' results_memory.txt\nprlimit --pid $PPID --fsize=64");
         },
         "(\"$B\" run --runs 2 --programs memory --label host --bin-dir bin; "
         "echo \"exit status $?\") 2>&1 | cat",
         0, {},
         {"bench_memory 1 of 2 completed in ", "bench_report: cannot write runs/host/",
          "/machine.json: File too large\n", "runs/host\n", "exit status 1\n"},
         [](const fs::path& d, const Result&) {
             RunLeft left = run_left(d);
             EXPECT_EQ(left.repetitions, 1u);
             EXPECT_FALSE(left.temporary);
             EXPECT_FALSE(left.running);
         }},
        {"run meets a file-size limit before anything runs",
         [](const fs::path& d) { stand_in(d, "exit 0"); },
         "(ulimit -f 1; \"$B\" run --runs 2 --programs memory --label host --bin-dir bin; "
         "echo \"exit status $?\") 2>&1 | cat",
         0, {},
         {"bench_report: cannot write runs/host/", "/machine.json: File too large\n",
          "exit status 1\n"},
         [](const fs::path& d, const Result& r) {
             EXPECT_EQ(r.out.find("runs/host\n"), std::string::npos) << r.out;
             EXPECT_EQ(run_left(d).repetitions, 0u);
         }},
        {"a path that is not UTF-8 in JSON",
         [](const fs::path& d) {
             host(d / "h\xff");
             host(d / "ok");
         },
         "\"$B\" export . && \"$B\" compare --format json .", 0, {},
         {"\"path\": \"h\\\\xff/" + p_name + "\",\n      \"path_escaped\": true",
          "\"path\": \"h\\\\xff/" + p_name + "\""}},
        // run: durations, its help, a long output line.
        {"run refuses durations that cannot be meant and says the ones it takes as they are",
         [](const fs::path& d) { stand_in(d, "exit 0"); },
         "for t in 99999999999999999999h 9223372036854775807s 0.001s 0s 1h1h 30m1h; do\n"
         "  \"$B\" run --timeout \"$t\" --programs memory --bin-dir bin; echo \"status $?\"\n"
         "done 2>&1\n"
         "\"$B\" run --time-budget 1m1m --programs memory --bin-dir bin 2>&1\n"
         "for t in --timeout=1.5s --time-budget=1h; do\n"
         "  \"$B\" run $t --runs 1 --programs memory --label host --bin-dir bin 2>&1 |\n"
         "    grep 'stopped past'\n"
         "done",
         0, {},
         {"bench_report: --timeout: \"99999999999999999999h\" is out of range: give from 1s to "
          "720h\nstatus 2\n",
          "\"9223372036854775807s\" is out of range: give from 1s to 720h\nstatus 2\n",
          "\"0.001s\" is out of range: give from 1s to 720h\nstatus 2\n",
          "\"0s\" is out of range: give from 1s to 720h\nstatus 2\n",
          "bench_report: --timeout: \"1h1h\" gives a unit twice or a smaller one first; give each "
          "unit once, the larger first, as in 1h30m\nstatus 2\n",
          "\"30m1h\" gives a unit twice", "bench_report: --time-budget: \"1m1m\" gives a unit twice",
          "stopped past 1.5 s)\n", "stopped past 10 min 50 s)\n"}},
        {"run --help says what its exit statuses mean", [](const fs::path&) {},
         "\"$B\" run --help", 0, {},
         {"1 a repetition failed, was killed, timed out or was invalid"}},
        // The program prints 16 MiB without a newline: run keeps a bounded
        // part of the line, so its memory does not grow with it.
        {"run reads a long output line in bounded memory",
         [](const fs::path& d) {
             stand_in(d, "hwm() { awk '/VmHWM/ { print $2 }' /proc/$PPID/status; }\n"
                         "before=$(hwm)\nhead -c 16777216 /dev/zero | tr '\\0' x\necho\n"
                         "echo $(( $(hwm) - before )) > '" + (d / "grown").string() + "'\ncp '" +
                         (data / "memory_1thread.results.txt").string() +
                         "' results_memory.txt");
         },
         "\"$B\" run --runs 1 --programs memory --label host --bin-dir bin", 0,
         {"1 of 1 repetition(s) completed"}, {"runs/host\n"},
         [](const fs::path& d, const Result&) {
             // In kB: the pending line held whole grew it by 16 MiB or more.
             EXPECT_LT(std::stol(slurp(d / "grown")), 4096) << slurp(d / "grown");
         }},
        // analysis: bench_report's own OpenMP runtime and the settings meant
        // for the programs. Bound to one processor, bench_report would pass
        // that processor alone on to every program it runs.
        {"OpenMP settings for the programs neither bind bench_report nor reach its stderr",
         [](const fs::path& d) {
             const std::string at = "'" + d.string() + "/";
             stand_in(d, "grep Cpus_allowed_list /proc/self/status >" + at + "affinity.txt'\n"
                         "env | grep -E '^G?OMP_' | sort >" + at + "omp.txt'\ncp '" +
                             (data / "memory_1thread.results.txt").string() +
                             "' results_memory.txt");
             host(d / "h1");
         },
         "grep Cpus_allowed_list /proc/self/status >shell.txt\n"
         "export OMP_PROC_BIND=true OMP_PLACES=cores GOMP_CPU_AFFINITY=0 OMP_DISPLAY_ENV=true\n"
         "\"$B\" run --runs 1 --programs memory --label host --bin-dir bin 2>run.err &&\n"
         "\"$B\" history h1",
         0, {}, {"No change point"},
         [](const fs::path& d, const Result& r) {
             EXPECT_EQ(slurp(d / "affinity.txt"), slurp(d / "shell.txt"));
             EXPECT_EQ(r.err, "");
             EXPECT_EQ(slurp(d / "run.err").find("OPENMP"), std::string::npos);
             EXPECT_EQ(slurp(d / "omp.txt"), "GOMP_CPU_AFFINITY=0\nOMP_DISPLAY_ENV=true\n"
                                             "OMP_PLACES=cores\nOMP_PROC_BIND=true\n");
         }},
        // Round three, analysis: a subnormal rate, a change in the last
        // printed digit, a label's bidirectional control in a history's
        // page, and 30 nights a label (the exact rank-sum test's counts).
        {"a subnormal rate in one of a baseline's passes leaves the answer as it was",
         [](const fs::path& d) { fs::copy_file(data / "processors_2threads.results.txt", d / "p.txt"); },
         "for i in 1 2 3 4 5; do for s in a:1.00 b:0.80; do\n"
         "  mkdir -p ${s%%:*}/20261101T0${i}0000Z-1\n"
         "  awk -v f=${s#*:}$i '{ if (match($0, /It was: [0-9.]+/)) $0 = substr($0, 1, RSTART + 7) "
         "(substr($0, RSTART + 8, RLENGTH - 8) * f) substr($0, RSTART + RLENGTH); print }' p.txt "
         ">\"${s%%:*}/20261101T0${i}0000Z-1/results_processors_Linux_x86 @ $i.txt\"\n"
         "done; done\n"
         "sed -i '0,/^It was: [0-9.]*/s//It was: 1e-310/' a/20261101T010000Z-1/*.txt\n"
         "\"$B\" compare a b",
         0, {}, {"bench_processors: b against a: 20."},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(r.out.find("faster"), std::string::npos) << r.out.substr(0, 400);
             EXPECT_EQ(r.out.find("-inf"), std::string::npos) << r.out;
         }},
        {"a history whose last printed digit moves has no change point",
         [](const fs::path& d) { fs::copy_file(data / "memory_1thread.results.txt", d / "m.txt"); },
         "for n in $(seq 0 69); do\n"
         "  day=$(date -u -d \"2026-09-01 +$n days\" +%F); dir=h/$(echo $day | tr -d -)T050000Z-1\n"
         "  v=400; [ $n -ge 60 ] && v=399.999; mkdir -p $dir\n"
         "  sed -E \"s/It was: [0-9.]+/It was: $v/\" m.txt >\"$dir/results_memory_Linux_x86 @ $n.txt\"\n"
         "  printf '{\"repetition\": {\"started\": \"%sT05:00:00Z\"}}' $day >$dir/machine.json\n"
         "done\n"
         "\"$B\" history h && \"$B\" history h --fail-on-change-since 2026-10-25 >/dev/null",
         0, {}, {"No change point"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(r.out.find("-0.0%"), std::string::npos) << r.out;
         }},
        {"a label's bidirectional control in a history's headings and chart titles",
         [](const fs::path& d) {
             for (const char* night : {"20261101T050000Z-1", "20261102T050000Z-1"}) {
                 fs::path dir = d / "h\xe2\x80\xaey" / night;
                 fs::create_directories(dir);
                 fs::copy_file(data / "memory_1thread.results.txt",
                               dir / "results_memory_Linux_x86 @ a.txt");
                 put(dir / "machine.json", std::string(R"({"repetition": {"started": ")") +
                                               night[0] + night[1] + night[2] + night[3] + "-" +
                                               night[4] + night[5] + "-" + night[6] + night[7] +
                                               R"(T05:00:00Z"}})");
             }
         },
         "\"$B\" chart . -o page.html", 0, {}, {},
         [](const fs::path& d, const Result&) {
             std::string page = slurp(d / "page.html");
             EXPECT_NE(page.find("History of h\\u202ey"), std::string::npos);
             EXPECT_NE(page.find("<title>Allocation: h\\u202ey by day"), std::string::npos);
             EXPECT_EQ(page.find("\xe2\x80\xae"), std::string::npos);
         }},
        // Twenty labels of 30 nights: 60 runs a comparison, the most the
        // rank-sum test counts exactly, once recounted at every step of an
        // interval: past the limit of processor time (which a busy machine
        // does not use up) before, well within it now.
        {"compare of twenty labels of 30 nights counts the rank-sum test in time",
         [](const fs::path& d) { fs::copy_file(data / "memory_1thread.results.txt", d / "m.txt"); },
         "for l in $(seq 0 19); do for n in $(seq 0 29); do\n"
         "  day=$(date -u -d \"2026-10-10 +$n days\" +%F); dir=n/host-$l/$(echo $day | tr -d -)T050000Z-1\n"
         "  mkdir -p $dir\n"
         "  awk -v f=\"$l $n\" 'BEGIN { split(f, k, \" \"); f = 1 + 0.02 * (k[1] % 3) + "
         "0.02 * ((k[2] * 7919 + k[1] * 104729) % 1000) / 1000 } { if (match($0, /It was: [0-9.]+/)) $0 = substr($0, 1, "
         "RSTART + 7) sprintf(\"%.6g\", substr($0, RSTART + 8, RLENGTH - 8) * f) substr($0, RSTART "
         "+ RLENGTH); print }' m.txt >\"$dir/results_memory_Linux_x86 @ $n.txt\"\n"
         "  printf '{\"repetition\": {\"started\": \"%sT05:00:00Z\"}}' $day >$dir/machine.json\n"
         "done; done\n"
         "(ulimit -t " COMPARE_CPU_SECONDS "; \"$B\" compare n/host-* >/dev/null); echo \"exit status $?\"",
         0, {}, {"exit status 0\n"}},
        // Output views and the page.
        // A label cut to fit a chart is measured once, not once per character
        // dropped: 100,000 characters chart in well under the case's 20 s.
        {"a label of 100,000 characters is charted in linear time",
         [](const fs::path& d) { host(d / "h1"); },
         "timeout 20 \"$B\" chart --label \"$(head -c 100000 /dev/zero | tr '\\0' L)\" h1 "
         "-o page.html; echo \"exit status $?\"",
         0, {}, {"exit status 0\n"},
         [](const fs::path& d, const Result&) {
             EXPECT_NE(slurp(d / "page.html").find("LLL\xE2\x80\xA6"), std::string::npos);
         }},
        // The store: every name a file's, whatever it looks like; a file
        // reached by a link stored once; what is no store named for what it
        // is; a lost text said; ids at the ends of the integers read safely.
        {"store into an empty name", [](const fs::path& d) { host(d / "a"); },
         "\"$B\" store '' a", 2,
         {"bench_report: store DATABASE: an empty name names no file; nothing was stored\n"}},
        {"stores named like SQLite's special names and URIs",
         [](const fs::path& d) { host(d / "a"); },
         "\"$B\" store :memory: a && \"$B\" store file:abc.db a && "
         "\"$B\" list :memory: && \"$B\" list file:abc.db",
         0, {}, {"1 new, 0 already stored\n1 new, 0 already stored\na/" + p_name},
         [](const fs::path& d, const Result& r) {
             EXPECT_EQ(count_of(r.out, "bench_processors"), 2u) << r.out;
             EXPECT_TRUE(fs::is_regular_file(d / ":memory:"));
             EXPECT_TRUE(fs::is_regular_file(d / "file:abc.db"));
             EXPECT_FALSE(fs::exists(d / "abc.db"));
         }},
        {"a file reached by a symbolic link is stored once",
         [](const fs::path& d) {
             host(d / "a");
             fs::create_directory_symlink("a", d / "link");
             fs::create_directories(d / "c");
             fs::create_symlink("../a/" + p_name, d / "c" / p_name);
         },
         "\"$B\" store s.db a && \"$B\" store s.db link && \"$B\" store t.db a link c && "
         "\"$B\" list s.db t.db",
         0,
         {"bench_report: link: 1 file(s) kept by another name (the first: a/" + p_name +
              "); each is stored once, by that name\n",
          "bench_report: c: 1 file(s) kept by another name"},
         {"1 new, 0 already stored\n0 new, 1 already stored\n1 new, 0 already stored\n"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(count_of(r.err, "kept by another name"), 3u) << r.err;
             EXPECT_EQ(count_of(r.out, "bench_processors"), 2u) << r.out;
             EXPECT_EQ(r.out.find("link/"), std::string::npos) << r.out;
         }},
        {"a store named by a symbolic link to a directory",
         [](const fs::path& d) {
             host(d / "a");
             fs::create_directory_symlink("a", d / "dirlink");
         },
         "\"$B\" store dirlink a", 2,
         {"bench_report: dirlink: a directory (by a symbolic link), not a store; not written; "
          "nothing was stored\n"}},
        {"a store that lost a file's text",
         [](const fs::path& d) {
             host(d / "a");
             host(d / "b");
             stored(d, "a b",
                    "UPDATE history_cache SET figures = NULL WHERE file = 1; "
                    "DELETE FROM text WHERE file = 1");  // a/'s file, stored first
         },
         "\"$B\" list s.db; echo \"list $?\"; \"$B\" history s.db >/dev/null; echo \"history $?\"",
         0,
         {"bench_report: a/" + p_name +
          ": cannot read: the store lost its text (build the store anew from the files)\n"},
         {"b/" + p_name, "list 2\n", "history 2\n"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(count_of(r.err, "the store lost its text"), 2u) << r.err;
         }},
        {"a store whose ids are the ends of the 64-bit integers",
         [](const fs::path& d) {
             host(d / "a");
             host(d / "b");
             stored(d, "a b",
                    "UPDATE history_cache SET file = -9223372036854775808 WHERE file = "
                    "(SELECT min(file) FROM history_cache); UPDATE history_cache SET file = "
                    "9223372036854775807 WHERE file = (SELECT max(file) FROM history_cache)");
         },
         "\"$B\" history s.db --format json >store.json && \"$B\" history --format json . "
         ">files.json && cmp store.json files.json",
         0},
        // Round three, the store's first moments and its readers: a first
        // ingest cut short (a file-size limit, a kill) leaves a new store with
        // no header yet and its journal, which the next ingest rolls back and
        // uses, and which no reader takes for a results file; a second ingest
        // waits for a first still running; readers that may not write read a
        // WAL-mode store, and say what to do where a journal or log is left;
        // a store that cannot be made says why.
        {"a first store cut short by a file-size limit is used by the next",
         [](const fs::path& d) { many(d / "many", 1000); },
         "(ulimit -f 64; \"$B\" store s.db many); echo \"first $?\"\n"
         "\"$B\" list s.db; echo \"list $?\"; \"$B\" history s.db; echo \"history $?\"\n"
         "\"$B\" store s.db many && \"$B\" list s.db | grep -c bench_processors",
         0,
         {"bench_report: s.db: disk I/O error (File too large); nothing was stored\n",
          "bench_report: s.db: cannot read: a new store whose first ingest did not finish; it "
          "holds nothing yet\n"},
         {"first 1\nlist 2\nhistory 2\n1000 new, 0 already stored\n1000\n"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(count_of(r.err, "holds nothing yet"), 2u) << r.err;
             EXPECT_EQ(r.err.find("\\x00"), std::string::npos) << r.err;
         }},
        {"a first store stopped by a full disk is used once there is room",
         [](const fs::path& d) { many(d / "many", 2000); },
         "mkdir disk && unshare -m sh -c 'mount -t tmpfs -o size=1m t disk && {\n"
         "  \"$B\" store disk/s.db many; echo \"first $?\"; \"$B\" list disk/s.db; echo \"list $?\"\n"
         "  mount -o remount,size=20m disk && \"$B\" store disk/s.db many; }'",
         0,
         {"bench_report: disk/s.db: database or disk is full; nothing was stored\n",
          "bench_report: disk/s.db: cannot read: a new store whose first ingest did not finish; "
          "it holds nothing yet\n"},
         {"first 1\nlist 2\n2000 new, 0 already stored\n"}, nullptr, false, true},
        {"a first store killed mid-ingest is used by the next",
         [](const fs::path& d) {
             host(d / "a");
             cut_short(d / "s.db");
         },
         "\"$B\" history s.db; echo \"history $?\"; \"$B\" store s.db a && \"$B\" list s.db", 0,
         {"bench_report: s.db: cannot read: a new store whose first ingest did not finish; it "
          "holds nothing yet\n"},
         {"history 2\n1 new, 0 already stored\na/" + p_name}},
        {"a second store waits for a first ingest into a new store, and stores",
         [&](const fs::path& d) {
             host(d / "a");
             holder = cut_short(d / "s.db", spill_sql, 3000);
         },
         "BENCH_REPORT_STORE_WAIT=30 \"$B\" store s.db a && \"$B\" list s.db", 0,
         {", storing into it; waiting up to 30 s\n"}, {"1 new, 0 already stored\na/" + p_name},
         [&](const fs::path&, const Result&) { ::waitpid(holder, nullptr, 0); }},
        {"readers that may not write a store in WAL mode, or one an ingest left unfinished",
         [&](const fs::path& d) {
             host(d / "a");
             many(d / "many", 1000);
             fs::create_directories(d / "ro");
             stored(d, "a", "PRAGMA journal_mode = WAL");
             fs::copy_file(d / "s.db", d / "ro/wal.db");
             fs::copy_file(d / "s.db", d / "ro/log.db");
             // Copied with its log but not the log's index.
             cut_short(d / "ro/log.db", "PRAGMA wal_autocheckpoint = 0; UPDATE file SET mtime = 1");
             fs::remove(d / "ro/log.db-shm");
             fs::remove(d / "s.db");
             stored(d, "a", "SELECT 1");
             fs::copy_file(d / "s.db", d / "ro/hot.db");
             fs::copy_file(d / "s.db", d / "ro/full.db");
             cut_short(d / "ro/hot.db");
             cut_short(d / "ro/new.db");
             // Nobody writes the stores nor their directory but the writer's steps.
             shell("chmod -R a-w '" + (d / "ro").string() + "'");
         },
         "for s in wal log hot new; do $DROP \"$B\" list ro/$s.db; echo \"$s $?\"; done\n"
         "$DROP \"$B\" store ro/made.db a; echo \"made $?\"\n"
         "chmod -R u+w ro\n"
         "(ulimit -f 400; \"$B\" store ro/full.db many 2>/dev/null); echo \"limited $?\"\n"
         "\"$B\" list ro/log.db ro/hot.db >/dev/null\n"
         "chmod -R a-w ro\n"
         "$DROP \"$B\" list ro/full.db; echo \"full $?\"\n"
         "echo \"read once: $($DROP \"$B\" list ro/log.db ro/hot.db | grep -c bench_processors)\"",
         0,
         {"bench_report: ro/log.db: cannot read: a WAL-mode store whose log beside it (-wal) only "
          "a user who may write the store and its directory can read: read the store once as "
          "one, which folds the log into it\n",
          "bench_report: ro/hot.db: cannot read: an ingest cut short left its journal beside it "
          "(-journal), which only a user who may write the store and its directory can roll "
          "back: read the store once as one\n",
          "bench_report: ro/new.db: cannot read: a new store whose first ingest did not finish; "
          "it holds nothing yet\n",
          "bench_report: ro/made.db: cannot create it: Permission denied; nothing was stored\n"},
         {"wal 0\nlog 2\nhot 2\nnew 2\nmade 1\nlimited 1\n", "full 0\nread once: 2\n", "a/" + p_name},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(count_of(r.err, "\n"), 4u) << r.err;
         },
         true},
        // (Rows lost from the cache, and rows of no file: test_store_command.)
        {"a store whose cache table was dropped is read from its texts, then mended",
         [](const fs::path& d) {
             host(d / "a");
             host(d / "b");
             stored(d, "a b", "DROP TABLE history_cache");
         },
         "\"$B\" history --format json . >files.json && \"$B\" history --format json s.db | "
         "cmp - files.json && \"$B\" store s.db a b && \"$B\" history --format json s.db | "
         "cmp - files.json",
         0, {}, {"0 new, 2 already stored\n"},
         [](const fs::path& d, const Result&) {
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open((d / "s.db").c_str(), &db), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(db, "SELECT figures FROM history_cache", nullptr, nullptr,
                                    nullptr),
                       SQLITE_OK);
             sqlite3_close(db);
         }},
        {"a new store on a read-only file system", [](const fs::path& d) { host(d / "a"); },
         "mkdir rofs && unshare -m sh -c 'mount -t tmpfs -o ro t rofs && \"$B\" store rofs/s.db a'",
         1, {"bench_report: rofs/s.db: cannot create it: Read-only file system; nothing was stored\n"},
         {}, nullptr, false, true},
        // The machine layer: `system` on a copied /sys tree ("root"), whose
        // settings are files any user may write.
        {"system tune and reset remove the temporary state files of runs killed while writing",
         [](const fs::path& d) {
             system_tree(d);
             fs::create_directories(d / "root/var/lib/bench_report");
         },
         "stale() { sh -c 'echo x > root/var/lib/bench_report/.tune-state.json.$$'; }; "
         "stale && \"$B\" system tune --root root >/dev/null && stale && "
         "\"$B\" system reset --root root",
         0, {}, {"reset: 9 values put back;"},
         [](const fs::path& d, const Result&) {
             for (const auto& e : fs::directory_iterator(d / "root/var/lib/bench_report"))
                 ADD_FAILURE() << "left: " << e.path();
         }},
        {"system show and tune refuse a FIFO where a setting belongs, without waiting",
         [](const fs::path& d) { system_tree(d, governor0); },
         "\"$B\" system show --root root >/dev/null; echo \"show $?\"; "
         "\"$B\" system tune --root root",
         2,
         {"bench_report: root" + governor0 + ": a FIFO, not a regular file\n",
          "bench_report: root" + governor0 +
              ": a FIFO, not a regular file; nothing was changed\n"},
         {"show 2\n"},
         [](const fs::path& d, const Result&) {
             EXPECT_EQ(slurp(d / "root/sys/devices/system/cpu/cpufreq/boost"), "1\n");
         }},
        {"system reset keeps, without waiting, a value whose file became a FIFO",
         [](const fs::path& d) { system_tree(d); },
         "\"$B\" system tune --root root >/dev/null && rm root" + governor0 + " && mkfifo root" +
             governor0 + " && \"$B\" system reset --root root",
         1,
         {"bench_report: cannot read " + governor0 +
          ": it stays in root/var/lib/bench_report/tune-state.json for another reset\n"},
         {"reset: 8 values put back; 1 value kept in"}},
        // Words: usage errors quoting what was typed show it escaped, on one
        // line; a message's raw newline never splits it.
        {"a mistyped option or subcommand with escapes and newlines is quoted escaped",
         [](const fs::path&) {},
         "\"$B\" list \"$(printf '\\055-x\\033[2J\\342\\200\\256')\"; "
         "\"$B\" \"$(printf 'sh\\nwo')\"; \"$B\" list \"$(printf 'no\\nsuch')\"",
         2,
         {"bench_report: list: unknown option --x\\x1b[2J\\u202e; run bench_report list --help "
          "for the list\n",
          "bench_report: unknown subcommand `sh\\nwo`; did you mean `show`?\n",
          "bench_report: no\\nsuch: cannot read: No such file or directory\n"},
         {},
         [](const fs::path&, const Result& r) { EXPECT_EQ(count_of(r.err, "\n"), 3u) << r.err; }},
        // run --scaling: a process held to one CPU has nothing to sweep.
        {"run --scaling held to one CPU by taskset says there is nothing to sweep",
         [](const fs::path&) {},
         "taskset -c 0 \"$B\" run --scaling --programs memory --label host --out runs; "
         "rc=$?; [ -e runs ] && echo 'runs made'; exit $rc",
         2, {"bench_report: --scaling: only CPU 0 may be used here: there is nothing to sweep\n"},
         {}, [](const fs::path& d, const Result& r) {
             EXPECT_FALSE(fs::exists(d / "runs"));
             EXPECT_EQ(r.out, "");
         }},
        // Scaling, the clock of the passes: a machine.json whose clock holds
        // what no run writes (an unknown source with markup and a bidi
        // control, extreme means and counts, an item that is no object).
        {"a machine.json clock with an unknown source, extreme means and counts",
         [&](const fs::path& d) {
             host(d / "a");
             put(d / "a/machine.json",
                 R"({"clock":{"source":"<script>\u202e","cpus":"0-99999999","tests":[7,)"
                 R"({"test":"float","single":{"mean":1e-300,"samples":-5},)"
                 R"("multi":{"mean":1e300,"samples":2147483647}}]}})");
             host(d / "b");
             put(d / "b/machine.json",
                 R"({"clock":{"source":"scaling_cur_freq","tests":[{"test":"float",)"
                 R"("single":{"mean":1e-300,"samples":1},"multi":{"mean":1e300,"samples":1}}]}})");
         },
         "\"$B\" show a b && \"$B\" compare a b", 0, {},
         {"Clock not measurable here: machine.json names an unknown clock source.",
          "Float streaming: clock not compared: the passes' means do not divide.",
          "Scaling of bench_processors in b"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(r.out.find("<script>"), std::string::npos);
             EXPECT_EQ(r.out.find("xinf"), std::string::npos);
         }},
        // Round three, run and machine.json: the pass reader on a region
        // before any heading it knows while a clock is sampled (each CPU's
        // sysfs folder copied, a scaling_cur_freq added, and mounted over
        // it), a signal between repetitions, a sweep point whose program ran
        // fewer threads than its set, and machine.json files holding a CPU
        // quota under the threads, negative and 32-bit-limit counts, a zero
        // interval, and a NaN.
        {"run reads a region before any heading it knows while the clock is sampled",
         [](const fs::path& d) {
             stand_in(d, "echo 'Multi-Thread Enabled:'\necho 'Thread:0 It was: 1 x.'\n"
                         "echo 'Overall, 1'\ncp '" + (data / "memory_1thread.results.txt").string() +
                             "' results_memory.txt");
             put(d / "mounted.sh",
                 "for c in /sys/devices/system/cpu/cpu[0-9]*; do\n"
                 "  n=${c##*/}; mkdir -p sys/$n/cpufreq; cp -a $c/. sys/$n/ 2>/dev/null\n"
                 "  echo 2000000 > sys/$n/cpufreq/scaling_cur_freq; mount --bind sys/$n $c || "
                 "exit 9\ndone\n"
                 "\"$B\" run --runs 1 --programs memory --label host --bin-dir bin\n");
         },
         "unshare -m sh mounted.sh", 0, {"1 of 1 repetition(s) completed"}, {"runs/host\n"},
         [](const fs::path& d, const Result&) {
             RunLeft left = run_left(d);
             EXPECT_EQ(left.repetitions, 1u);
             EXPECT_FALSE(left.running);
             for (const auto& rep : fs::directory_iterator(d / "runs/host"))
                 EXPECT_NE(slurp(rep.path() / "machine.json").find("\"scaling_cur_freq\""),
                           std::string::npos);
         },
         false, true},
        {"run stopped between repetitions marks none interrupted and says so",
         [](const fs::path& d) {
             stand_in(d, "cp '" + (data / "memory_1thread.results.txt").string() +
                             "' results_memory.txt\n[ -e '" + (d / "signalled").string() +
                             "' ] && exit 0\ntouch '" + (d / "signalled").string() +
                             "'\nsetsid sh -c \"sleep 0.5; kill -TERM $PPID\" >/dev/null 2>&1 &");
         },
         "\"$B\" run --runs 3 --programs memory --label host --bin-dir bin", 143,
         {"bench_report: stopped by SIGTERM after ",
          ", between repetitions: the finished repetitions are kept\n"},
         {"runs/host\n"},
         [](const fs::path& d, const Result& r) {
             EXPECT_EQ(r.err.find("interrupted"), std::string::npos) << r.err;
             EXPECT_EQ(run_left(d).repetitions, 1u);
         }},
        {"a sweep point whose program ran fewer threads than its set is invalid, with why",
         [](const fs::path& d) {
             stand_in(d, "cp '" + (data / "memory_1thread.results.txt").string() +
                             "' results_memory.txt");
         },
         "\"$B\" run --scaling --runs 1 --programs memory --label host --bin-dir bin", 1,
         {"invalid: it ran 1 thread(s), not the 2 of its CPU set "}, {"runs/host\n"},
         [](const fs::path& d, const Result&) {
             std::size_t invalid = 0;
             for (const auto& rep : fs::directory_iterator(d / "runs/host")) {
                 std::string record = slurp(rep.path() / "machine.json");
                 if (record.find("\"outcome\": \"invalid\"") != std::string::npos) {
                     ++invalid;
                     EXPECT_NE(record.find("\"reason\": \"it ran 1 thread(s), not the "),
                               std::string::npos);
                 }
             }
             EXPECT_GE(invalid, 1u);
         }},
        {"a sweep under a half-CPU quota, with negative, zero and 32-bit-limit counts",
         [](const fs::path& d) {
             auto point = [&](const std::string& rep, const std::string& places,
                              const std::string& samples) {
                 fs::create_directories(d / "a" / rep);
                 fs::copy_file(data / (places == "[0]" ? "processors_1thread.results.txt"
                                                        : "processors_2threads.results.txt"),
                               d / "a" / rep / p_name);
                 put(d / "a" / rep / "machine.json",
                     R"({"repetition":{"program":"bench_processors","outcome":"completed"},)"
                     R"("scaling":{"cpus":")" + std::string(places == "[0]" ? "0" : "0-1") +
                         R"(","places":)" + places +
                         R"(,"cores":-5,"sweep":"S"},"machine":{"cgroup":{"cpu_quota":0.5},)"
                         R"("cpu":{"cores":-5}},"clock":{"source":"scaling_cur_freq",)"
                         R"("interval_ms":0,"tests":[{"test":"float","single":{"mean":2000,)"
                         R"("samples":)" + samples +
                         R"(},"multi":{"mean":1900,"samples":2147483647}},{"test":"integer",)"
                         R"("single":{"mean":2000,"samples":-5},"multi":{"mean":1,)"
                         R"("samples":3}}]}})");
             };
             point("0", "[0]", "1");
             point("1", "[0,1]", "2147483647");
             point("2", "[0,1]", "2147483647");
             host(d / "b");
         },
         "\"$B\" show a && \"$B\" compare --format json a/1 a/2 b --label q --label q "
         "--label b",
         0, {},
         {"The cgroup allowed 0.5 processors' worth of time for 2 threads: they took\nturns",
          "Scaling sweep S of 0: bench_processors\n",
          "The cgroup allowed 0.5 processors' worth of time: the threads of the points\npast",
          "Integer streaming: clock not compared: no sample of its single-thread pass\n(sampled "
          "scaling_cur_freq).",
          "\"repetitions\": 2,", "\"single\": 4294967294,"},
         [](const fs::path&, const Result& r) {
             EXPECT_EQ(r.out.find("-5 physical"), std::string::npos);
             EXPECT_EQ(r.out.find("every 0 ms"), std::string::npos);
             EXPECT_EQ(r.out.find("\"single\": -"), std::string::npos);
         }},
        // Each CPU was looked up in every node: 100,000 nodes took minutes.
        {"show, compare and chart of a machine.json of 100,000 NUMA nodes in linear time",
         [](const fs::path& d) {
             std::string nodes;
             for (int i = 0; i < 100000; ++i)
                 nodes += fmt::format("{}{{\"id\":{},\"cpus\":\"{}\"}}", i ? "," : "", i, i);
             for (const char* h : {"a", "b"}) {
                 host(d / h);
                 put(d / h / "machine.json",
                     R"({"machine":{"affinity":{"cpus":"0-99999"},"cpu":{"topology":)"
                     R"({"online":"0-99999","numa_nodes":[)" + nodes + "]}}}}");
             }
         },
         "timeout 30 sh -c '\"$B\" show a >/dev/null && \"$B\" compare a b >/dev/null && "
         "\"$B\" chart a b -o page.html'; echo \"exit status $?\"",
         0, {}, {"exit status 0\n"}},
        {"a NaN in machine.json is named with its line and column",
         [](const fs::path& d) {
             host(d / "a");
             put(d / "a/machine.json", "{\"machine\": {\"hostname\": \"h\",\n"
                                       " \"cpu\": {\"logical_cpus\": NaN}}}\n");
         },
         "\"$B\" list a", 0,
         {"a/" + p_name + ": machine.json beside it: not JSON: it does not read at line 2, "
                          "column 26\n"}},
    };
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// A case's name as a test's: its words joined by underscores.
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) {
        bool word = std::isalnum(static_cast<unsigned char>(*p));
        if (word)
            name += *p;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name;
}

// A case works in a fresh folder of its process (ScratchTest's name of a
// parameterised test would hold '/'). The folder is not named after the case:
// its words would reach the messages that cases search.
class HostileInput : public Hostile, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("bench_report_hostile_" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
    }
};

TEST_P(HostileInput, EndsInAClearMessage) {
    const Case& c = GetParam();
    if (c.unprivileged && ::geteuid() == 0 && drop_prefix().empty())
        GTEST_SKIP() << "root without setpriv";
    if (c.mounts && !can_mount())
        GTEST_SKIP() << "needs root and a mount namespace";
    const fs::path& dir = root;
    fs::permissions(dir, fs::perms::all);  // the unprivileged user writes rc and outputs
    c.setup(dir);
    put(dir / "case.sh", c.script + "\n");
    // A hang is a failure too: timeout's 124 is no status of bench_report.
    Result r = run_in(dir, "B='" BENCH_REPORT "' DROP='" + drop_prefix() +
                               "' timeout -k 5 60 sh case.sh");
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& e : c.err_has)
        EXPECT_NE(r.err.find(e), std::string::npos) << "stderr lacks: " << e << "\n" << r.err;
    for (const std::string& o : c.out_has)
        EXPECT_NE(r.out.find(o), std::string::npos)
            << "stdout lacks: " << o << "\n" << r.out.substr(0, 4000);
    if (c.check)
        c.check(dir, r);
    // No temporary output file is left behind, whatever happened.
    for (const auto& e :
         fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied))
        EXPECT_NE(e.path().filename().string().rfind('.', 0), 0u) << e.path();
}

INSTANTIATE_TEST_SUITE_P(Table, HostileInput, ::testing::ValuesIn(hostile_cases()), case_name);

// A full disk under `run` (a tiny tmpfs in a mount namespace of its own: root
// only): the system's reason, exit 1, the folder said, and no record left
// saying "running" nor a temporary file. Where the disk fills (the results
// file, the final machine.json, the next repetition's) depends on the sizes.
TEST_F(Hostile, RunOnAFullDisk) {
    if (::geteuid() != 0 || shell("unshare -m sh -c 'mount -t tmpfs -o size=64k t /mnt' "
                                  "2>/dev/null") != 0)
        GTEST_SKIP() << "needs root and a mount namespace";
    stand_in(root, "cp '" + (data / "memory_1thread.results.txt").string() +
                       "' results_memory.txt\ncat /dev/zero > fill 2>/dev/null\nexit 0");
    fs::create_directories(root / "disk");
    put(root / "case.sh",
        "mount -t tmpfs -o size=64k t disk || exit 9\n"
        "\"$B\" run --runs 2 --programs memory --label host --bin-dir bin --out disk/runs "
        ">out.txt 2>err.txt; echo \"exit status $?\"\n"
        "cat out.txt err.txt\n"
        "find disk -name '*.tmp' -o -name '.machine.json.*' | sed 's/^/left: /'\n"
        "grep -l '\"running\"' disk/runs/host/*/machine.json | sed 's/^/running: /'\n"
        "exit 0\n");
    Result r = run_in(root, "B='" BENCH_REPORT "' timeout -k 5 60 unshare -m sh case.sh");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("exit status 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("disk/runs/host\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": No space left on device\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("bench_memory 1 of 2 "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("left: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("running: "), std::string::npos) << r.out;
}

TEST(HostileText, TerminalCsvAndJsonForms) {
    struct Escape {
        std::string in, out;
    };
    for (const Escape& e : std::vector<Escape>{
             {"plain é 日本", "plain é 日本"},
             {"a\nb\tc\x1b[31m\\", "a\\nb\\tc\\x1b[31m\\\\"},
             {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},
             {"\x9b" "2J", "\\x9b2J"},
             {"\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8f", "\\u202a\\u202e\\u2066\\u2069\\u200f"},
             {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate is no UTF-8
         })
        EXPECT_EQ(report::escape_path(e.in), e.out) << e.in;

    struct Csv {
        std::string in, field, figure;
    };
    // Every text field is quoted; text that starts a formula gains a "'".
    for (const Csv& c : std::vector<Csv>{
             {"=1+2", "\"'=1+2\"", "\"=1+2\""},
             {"+1", "\"'+1\"", "\"+1\""},
             {"-1.5", "\"'-1.5\"", "\"-1.5\""},
             {"@SUM(A1)", "\"'@SUM(A1)\"", "\"@SUM(A1)\""},
             {"\tx", "\"'\tx\"", "\"\tx\""},
             {"\rx", "\"'\rx\"", "\"\rx\""},
             {"a=b", "\"a=b\"", "\"a=b\""},
             {"", "\"\"", "\"\""},
         }) {
        EXPECT_EQ(report::csv_field(c.in), c.field) << c.in;
        EXPECT_EQ(report::csv_figure(c.in), c.figure) << c.in;
    }

    bool escaped = true;
    EXPECT_EQ(report::json_path("h\\é/x.txt", escaped), "h\\é/x.txt");
    EXPECT_FALSE(escaped);
    EXPECT_EQ(report::json_path("h\xff\\/x.txt", escaped), "h\\xff\\\\/x.txt");
    EXPECT_TRUE(escaped);
}

// An axis of any finite span has a few ticks, each finite and in order.
TEST(HostileText, AxesStayBoundedWhateverTheFigures) {
    const double max = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Span {
        double from, to;
    };
    for (Span s : std::vector<Span>{{0, max}, {0, 1e308}, {0, tiny}, {0, 1e-310}, {1e308, max},
                                    {0.99, 1.01}, {1e300, 1e300 + 1e285}, {0, 0}}) {
        double step = report::tick_step(s.to - s.from, 4);
        EXPECT_GT(step, 0) << s.to;
        EXPECT_TRUE(std::isfinite(step)) << s.to;
        std::vector<double> ticks = report::ticks_between(s.from, s.to, step);
        EXPECT_LE(ticks.size(), 50u);
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            EXPECT_TRUE(std::isfinite(ticks[i]));
            if (i > 0) {
                EXPECT_GT(ticks[i], ticks[i - 1]);
            }
        }
    }
    // A step too small to move the values ends the axis rather than looping.
    EXPECT_LE(report::ticks_between(1e300, 2e300, 1).size(), 1u);
}

}  // namespace
