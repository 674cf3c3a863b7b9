// What a person reads, as printed: each case a command on generated trees,
// its output read through a pipe at COLUMNS=80, on an 80-column terminal
// under tmux, or as the page chart writes; what it must say, in the order
// given, what it must not, and, in text, no line past 80 columns.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/history.h"
#include "fleet.h"
#include "output/text.h"
#include "process.h"

namespace fs = std::filesystem;
using report::Program;

namespace {

// 6 hosts x 40 nights of both programs from 2024-10-04, host-002 8% slower
// from its 26th night, when its kernel changed; and a fleet of 25 hosts
// whose 13th runs at 0.6 of the others' rate.
void write_trees(const fs::path& root) {
    long first = *report::calendar_days("2024-10-04");
    for (int h = 1; h <= 6; ++h) {
        std::string host = h < 10 ? "host-00" + std::to_string(h) : "host-0" + std::to_string(h);
        for (Program p : {Program::memory, Program::processors})
            write_host_history(
                root / "nights", host, p, first, 40,
                [h](int d) { return h == 2 && d >= 25 ? 0.92 : 1.0; },
                [h](int d) { return std::string(h == 2 && d >= 25 ? "6.1.0-28" : "6.1.0-27"); },
                static_cast<unsigned>(h));
    }
    write_fleet(root / "fleet", 25, 1);
    // Three repetitions a side of bench_memory, new 6% slower but for one
    // repetition 25% slower: its geometric means stand apart from its medians.
    for (const char* label : {"old", "new"})
        for (int i = 1; i <= 3; ++i) {
            fs::create_directories(root / "pulled" / label);
            double speed = label[0] == 'o' ? 1 : i == 3 ? 1 / 1.25 : 1 / 1.06;
            std::ofstream(root / "pulled" / label /
                          ("results_memory_Linux_x86 @ " + std::to_string(i) + ".txt"))
                << noisy_results_file(Program::memory, speed, 0.005, 2,
                                      static_cast<unsigned>(i + (label[0] == 'o' ? 0 : 10)));
        }
    // Four repetitions a side of one build at 5% noise, whose answer's
    // interval reaches past 5% slower while the gate's bounds, at their own
    // level, pass it.
    for (const char* label : {"old", "new"})
        for (unsigned i = 0; i < 4; ++i) {
            fs::create_directories(root / "gated" / label);
            std::ofstream(root / "gated" / label /
                          ("results_memory_Linux_x86 @ " + std::to_string(i + 1) + ".txt"))
                << noisy_results_file(Program::memory, 1, 0.05, 2,
                                      (41 + i + (label[0] == 'o' ? 0 : 4)) * 7919);
        }
    // Two copies of one build, the second's three repetitions run on a busy
    // machine, as run records it.
    for (const char* label : {"calm", "busy"})
        for (int i = 1; i <= 3; ++i) {
            bool busy = label[0] == 'b';
            fs::path rep = root / "loaded" / label /
                           ("20261208T10" + std::string(busy ? "3" : "1") + std::to_string(i) +
                            "00Z-" + std::to_string(i));
            fs::create_directories(rep);
            std::ofstream(rep / "results_memory_Linux_x86 @ 1.txt")
                << noisy_results_file(Program::memory, busy ? 0.8 : 1, 0.01, 2,
                                      static_cast<unsigned>(20 + i + (busy ? 10 : 0)));
            std::ofstream(rep / "machine.json")
                << "{\"schema_version\": 2, \"repetition\": {\"outcome\": \"completed\", "
                   "\"started\": \"2026-12-08T10:"
                << (busy ? 30 : 10) + i
                << ":00Z\"}, \"warnings\": ["
                << (busy ? "{\"check\": \"load\", \"message\": \"the load average was 3.9 at "
                           "the start, above 10% of the 2 processors\"}"
                         : "")
                << "]}";
        }
}

// Markdown is a pipe's output a page shows: its table rows are as wide as
// they are.
enum class Via { pipe, terminal, markdown, page };

// The command's standard output and status as the reader gets it.
Result read_via(Via via, const fs::path& root, const std::string& command) {
    std::string line = "'" BENCH_REPORT "' " + command;
    if (via == Via::pipe || via == Via::markdown)
        return run_in(root, "COLUMNS=80 " + line);
    if (via == Via::page) {
        Result r = run_in(root, line + " -o page.html");
        r.out = slurp(root / "page.html");
        return r;
    }
    // An 80-column terminal: the pane's lines joined where the terminal
    // wrapped them, so that a line too long shows as one.
    std::string tmux = "tmux -f /dev/null -L reading_" + std::to_string(::getpid());
    std::string inner = "cd '" + root.string() + "' && " + line + "; echo $? >status.txt; " + tmux +
                        " wait-for -S done";
    shell(tmux + " new-session -d -s t -x 80 -y 400 'sleep 600'");
    shell(tmux + " set-option -t t remain-on-exit on");
    shell(tmux + " set-option -t t history-limit 5000");
    shell(tmux + " respawn-pane -k -t t \"" + inner + "\"");
    shell("timeout 60 " + tmux + " wait-for done");
    shell(tmux + " capture-pane -p -J -S - -t t > '" + (root / "screen.txt").string() + "'");
    shell(tmux + " kill-server");
    Result r{std::atoi(slurp(root / "status.txt").c_str()), slurp(root / "screen.txt"), ""};
    // The pane's empty lines below the output.
    while (r.out.size() >= 2 && r.out.compare(r.out.size() - 2, 2, "\n\n") == 0)
        r.out.pop_back();
    return r;
}

struct Case {
    const char* point;  // the point the case shows
    Via via;
    std::string command;
    std::vector<std::string> in_order;  // each found after the one before
    std::vector<std::string> absent;
    int status = 0;
    std::vector<std::string> once = {};  // each found exactly once
};

TEST(WhatAPersonReads, EachPointAsPrinted) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed (scripts/setup test installs it)";
    struct Scratch {
        fs::path root = fs::temp_directory_path() / ("reading_" + std::to_string(::getpid()));
        Scratch() { fs::remove_all(root); }
        ~Scratch() { fs::remove_all(root); }
    } scratch;
    const fs::path& root = scratch.root;
    write_trees(root);
    const Case cases[] = {
        // 80 columns: help, compare's help, system show and history wrapped
        // at the width, words and names whole.
        {"help", Via::pipe, "--help", {"Subcommands:", "  list", "(and how a repetition"}, {}},
        {"help", Via::terminal, "--help", {"Subcommands:", "  history"}, {}},
        {"compare help", Via::pipe, "compare --help",
         {"  --figure TEXT:{single rate,", "\n      single MB/s,", "Exit status: 0 fine;"}, {}},
        {"compare help", Via::terminal, "compare --help", {"--fail-if-worse"}, {}},
        {"history help", Via::pipe, "history --help", {"--rows"}, {}},
        {"system show", Via::pipe, "system show",
         {"What may disturb a measurement here", "   setting", "Not tuned by"}, {}},
        {"system show", Via::terminal, "system show", {"   setting"}, {}},
        // One machine change is one finding; the rows on request; the
        // labels without a change as a count.
        {"history", Via::pipe, "history nights",
         {"Changes (1, over 17 change points; the largest first)\n",
          "  host-002: both programs 7.6-8.2% slower from 2024-10-29 (kernel 6.1.0-27 ->\n"
          "    6.1.0-28), 17 figures\n",
          "5 of 6 label(s): no change point.\n", "--rows lists"},
         {"Change points (17)", "Last before"}},
        {"history rows", Via::terminal, "history nights --rows",
         {"Changes (1,", "Change points (17)", "host-002", "Geometric mean, single rate"},
         {"--rows lists"}},
        {"history markdown", Via::markdown, "history nights --format markdown",
         {"### Change points (17)"}, {}},
        // A gate days too early says when it can decide.
        {"nightly gate", Via::pipe, "history nights --fail-on-change-since 2024-11-11",
         {"Gate: no verdict: cannot decide before 2024-11-15: 12 of the labels'"}, {}, 4},
        // Worst first: the host at 0.6 of the fleet opens the answer.
        {"worst first", Via::pipe, "compare fleet",
         {"bench_memory: host-013 against host-001: ", "bench_memory: 14 more label(s)",
          "bench_processors: host-013 against host-001: "},
         {}},
        {"worst first on the page", Via::page, "chart nights",
         {"<h2 id=\"history-1\">History of host-002</h2>"}, {}},
        // A ratio whose test's estimate stands apart from the medians shown
        // says so, and what it is.
        {"ratio and columns", Via::pipe, "compare pulled/old pulled/new",
         {"  single rate              126.772    117.928  x0.888~ [0.698-1.129, 95%] =",
          "baseline's; between tested labels, the test's estimate of it (below).",
          "xR~: the test's estimate stands beyond the noise band from the ratio of the\n"
          "  medians shown"},
         {}},
        {"ratio and columns", Via::markdown, "compare pulled/old pulled/new --format markdown",
         {"117.928 ±9.4% x0.888~ \\[0.698-1.129, 95%] ="}, {}},
        // Under a gate the answer reads the gate's estimate and bounds: it
        // cannot reach past the limit of a pass beside it.
        {"answer and gate", Via::pipe, "compare gated/old gated/new --fail-if-worse 5",
         {"no difference shown (between 1.0% faster and 4.9%",
          "slower; the gate's bounds of the time over 6 pass(es), 97.1% a side, rank-sum",
          "time x1.016 the baseline's over 6 pass(es), between x0.990",
          "and x1.049 at 97.1% confidence a side", "gate: pass"},
         {"95% interval", "5.1% slower"}},
        // Without a gate, the answer is the two-sided interval, at its level.
        {"answer alone", Via::pipe, "compare gated/old gated/new",
         {"no difference shown (between 1.4% faster and 5.1%",
          "97.1% interval of the time over 6 pass(es), 98.6% a side"},
         {"the gate's bounds"}},
        // A disturbed machine said in the answer line itself.
        {"disturbed", Via::pipe, "compare loaded/calm loaded/busy",
         {"bench_memory: busy against calm: 25.1% slower", "; disturbed: busy in 3 of 3",
          "Disturbed: bench_memory: busy:"},
         {"calm in "}},
        // show of repetitions: the label's summary first, what agrees over
        // them said once.
        {"show of repetitions", Via::pipe, "show loaded/calm",
         {"Test         Figure", "Allocation   single rate", "loaded/calm/20261208T101100Z-1/",
          "loaded/calm/20261208T101200Z-2/", "Its other notes as for the label's first "
                                             "repetition above."},
         {},
         0,
         {"Where the threads ran is not known", "short-pass build"}},
        // The page's points say where the interval they lack is.
        {"whisker note", Via::page, "chart pulled/old pulled/new",
         {"No whisker: the geometric means&#39; points have none;"},
         {"the geometric means have none."}},
        // The page: the answer before any chart, its run counts as the
        // title's, no note with a terminal's line breaks.
        {"the page", Via::page, "chart nights",
         {"<h1>Benchmark report: 480 run(s)</h1>", "<h2>Answer</h2>",
          "<li>bench_memory: host-002 against host-001: ", "<h2>Contents</h2>",
          "bench_memory: 6 labels, ", " of the 240 runs compared", "<svg"},
         {"6 runs compared", "the\\nslowest", "; xR\\n"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.point) + ": " + k.command +
                     (k.via == Via::terminal ? " (terminal)" : ""));
        Result r = read_via(k.via, root, k.command);
        EXPECT_EQ(r.status, k.status) << r.err;
        std::size_t at = 0;
        for (const std::string& s : k.in_order) {
            std::size_t found = r.out.find(s, at);
            EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << s << "\n"
                                                << r.out;
            if (found != std::string::npos)
                at = found + s.size();
        }
        for (const std::string& s : k.absent)
            EXPECT_EQ(r.out.find(s), std::string::npos) << s << "\n" << r.out;
        for (const std::string& s : k.once) {
            std::size_t first = r.out.find(s);
            EXPECT_NE(first, std::string::npos) << s << "\n" << r.out;
            if (first != std::string::npos) {
                EXPECT_EQ(r.out.find(s, first + 1), std::string::npos) << s << "\n" << r.out;
            }
        }
        if (k.via == Via::page || k.via == Via::markdown)
            continue;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(report::display_width(line), 80u) << line;
    }
}

}  // namespace
