// bench_report as a user meets it: what the regression gate refuses to pass,
// labels, runs read once, output that cannot be written, nothing found,
// usage errors, and files the README's own recipes write.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "output/text.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

const std::string processors_name =
    "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:24:13 2026\n.txt";
const std::string memory_name =
    "results_memory_Linux_x86 @ UTC time Tue Dec  8 05:30:00 2026\n.txt";

class Cli : public ScratchTest {
protected:
    const fs::path data = REPORT_DATA;

    // A host directory with a processors and (unless told otherwise) a memory run.
    void host(const fs::path& dir, bool memory = true,
              const std::string& processors = "processors_2threads.results.txt") {
        fs::create_directories(root / dir);
        fs::copy_file(data / processors, root / dir / processors_name);
        if (memory)
            fs::copy_file(data / "memory_2threads.results.txt", root / dir / memory_name);
    }

    Result run(const std::string& args) { return run_in(root, "'" BENCH_REPORT "' " + args); }
};

// With --fail-if-worse, a comparison missing what a verdict needs is no pass.
TEST_F(Cli, TheGateNeverPassesOnNothing) {
    host("runs/alpha");
    host("runs/beta");
    host("runs/no-processors", true);
    fs::remove(root / "runs/no-processors" / processors_name);
    host("runs/cut");
    std::string text = slurp(data / "processors_2threads.results.txt");
    std::ofstream(root / "runs/cut" / processors_name, std::ios::trunc)
        << text.substr(0, text.size() / 2);
    fs::create_directories(root / "empty");

    struct Case {
        std::string args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"runs/alpha runs/beta", 0, ""},
        {"runs/alpha empty", 2, "no results file found in empty"},
        {"runs/alpha runs/no-processors", 4,
         "runs/no-processors: no run of bench_processors, which the baseline has"},
        {"runs/alpha runs/cut", 4, "partial, the file ends before the end of the run"},
    };
    for (const Case& c : cases) {
        Result r = run("compare " + c.args + " --fail-if-worse 5");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
    // Usage errors: a negative, a non-numeric or a non-finite percentage.
    for (const char* p : {"-1", "five", "nan"})
        EXPECT_EQ(run(std::string("compare runs/alpha runs/beta --fail-if-worse ") + p).status, 2)
            << p;
}

TEST_F(Cli, LabelsNameInputsKeepTheHostAndChooseTheBaseline) {
    host("hist/hostA/day1");
    host("hist/hostA/day2");
    host("hist/hostB/day1", true, "processors_1thread.results.txt");
    auto labels = [&](const std::string& args) {
        Result r = run("export " + args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> out;
        nlohmann::json j = r.status == 0 ? nlohmann::json::parse(r.out) : nlohmann::json::object();
        for (const auto& each : j["runs"])
            out.push_back(each["label"]);
        return out;
    };
    EXPECT_EQ(labels("hist"), (std::vector<std::string>{"hostA/day1", "hostA/day1", "hostA/day2",
                                                        "hostA/day2", "hostB/day1", "hostB/day1"}));
    EXPECT_EQ(labels("--label old --label new hist/hostA hist/hostB"),
              (std::vector<std::string>{"old", "old", "old", "old", "new", "new"}));
    Result wrong = run("export --label one hist/hostA hist/hostB");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("one label per path"), std::string::npos) << wrong.err;

    // A label as the baseline, for both programs; one that a program lacks is an error.
    Result by_label = run("compare hist --baseline hostB/day1 --view wide");
    EXPECT_EQ(by_label.status, 0) << by_label.err;
    EXPECT_NE(by_label.out.find("baseline hostB/day1 *"), std::string::npos) << by_label.out;
    fs::remove(root / "hist/hostB/day1" / memory_name);
    Result lacking = run("compare hist --baseline hostB/day1");
    EXPECT_EQ(lacking.status, 2);
    EXPECT_NE(lacking.err.find("names no run of bench_memory"), std::string::npos) << lacking.err;
}

TEST_F(Cli, TheSameRunIsCountedOnce) {
    host("a");
    fs::copy_file(data / "processors_2threads.console.txt", root / "a" / "console.txt");
    Result r = run("export a a/" + std::string("'") + processors_name + "' a/console.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["runs"].size(), 2u);
    EXPECT_NE(r.err.find("the same file as"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a/console.txt: the console transcript of"), std::string::npos) << r.err;

    // Both programs' transcripts appended into one console file: two runs.
    std::ofstream(root / "both.txt") << slurp(data / "processors_2threads.console.txt")
                                     << slurp(data / "memory_2threads.console.txt");
    Result both = run("list both.txt");
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_NE(both.out.find("bench_processors"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("bench_memory"), std::string::npos) << both.out;
}

TEST_F(Cli, OutputThatCannotBeWrittenIsAFailure) {
    host("a");
    host("b");
    const char* commands[] = {"list a",      "show a",         "export a",
                              "compare a b", "chart a b -o -", "store s.db a"};
    for (const char* c : commands) {
        for (const char* to : {">/dev/full", ">&-"}) {
            std::string cmd = "cd '" + root.string() + "' && '" BENCH_REPORT "' " + c + " " + to +
                              " 2>stderr.txt";
            int rc = std::system(cmd.c_str());
            EXPECT_EQ(WEXITSTATUS(rc), 1) << c << " " << to;
            EXPECT_NE(slurp(root / "stderr.txt")
                          .find(std::string(to) == ">&-" ? "Bad file descriptor"
                                                         : "No space left on device"),
                      std::string::npos)
                << c << " " << to;
        }
    }
    Result missing = run("export a -o no/such/dir/out.json");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
    std::string input = "a/" + processors_name;
    Result onto_input = run("export a -o 'a/" + processors_name + "'");
    EXPECT_EQ(onto_input.status, 2);
    EXPECT_NE(onto_input.err.find("is one of the inputs"), std::string::npos);
    EXPECT_NE(slurp(root / input).find("Thread(s)"), std::string::npos);  // untouched
    Result dash = run("export a -o -");
    EXPECT_EQ(dash.status, 0);
    EXPECT_EQ(dash.out.rfind("{", 0), 0u);
}

TEST_F(Cli, NothingFoundAndUsageErrorsExitTwoWithOneLine) {
    fs::create_directories(root / "empty");
    fs::create_directory_symlink(root / "empty", root / "empty" / "link");
    for (const char* c : {"list empty", "show empty", "export empty", "compare empty empty",
                          "chart empty -o out.html"}) {
        Result r = run(c);
        EXPECT_EQ(r.status, 2) << c;
        EXPECT_EQ(r.err,
                  "bench_report: empty/link: a symbolic link to a directory, not followed\n"
                  "bench_report: no results file found in empty" +
                      std::string(std::string(c).rfind("compare", 0) == 0 ? ", empty" : "") + "\n")
            << c;
    }
    Result typo = run("shwo x");
    EXPECT_EQ(typo.status, 2);
    EXPECT_EQ(typo.err, "bench_report: unknown subcommand `shwo`; did you mean `show`?\n");
    EXPECT_EQ(run("list --no-such-option").status, 2);
    EXPECT_EQ(run("export --format").status, 2);
    EXPECT_EQ(run("").status, 2);
    Result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("3 the regression gate"), std::string::npos);
}

// Every usage error is one line in the tool's own words, exit 2, nothing on
// standard output; a mistyped option or subcommand names the nearest one.
TEST_F(Cli, UsageErrorsAreOneLineInTheToolsWords) {
    struct Case {
        std::string args, err;
    };
    const std::string list_help = "; run bench_report list --help for the list\n";
    const Case cases[] = {
        {"", "a subcommand is required: list, show, export, compare, chart, run, history, "
             "store or system\n"},
        {"--verison", "unknown option --verison; did you mean --version?\n"},
        {"system", "system: a subcommand is required: show, tune or reset\n"},
        {"system shwo", "system: unknown subcommand `shwo`; did you mean `show`?\n"},
        {"system show extra more", "system show: unexpected arguments `extra` and `more`\n"},
        {"compare a b --colr always", "compare: unknown option --colr; did you mean --color?\n"},
        {"compare a b --fial-if-worse=5",
         "compare: unknown option --fial-if-worse; did you mean --fail-if-worse?\n"},
        {"list --format json", "list: unknown option --format" + list_help},
        {"list \"$(printf '\\055-x\\033[31m')\"", "list: unknown option --x\\x1b[31m" + list_help},
        {"export --format", "export --format needs a value\n"},
        {"export --format yaml x",
         "export --format yaml: expected json, csv, openmetrics, bmf or benchmark-action\n"},
        {"compare a b --fail-if-worse -1",
         "compare --fail-if-worse: a percentage is a number of 0 or more, not \"-1\"\n"},
        {"history", "history: no paths given\n"},
        {"store", "store: no database given\n"},
        // Worded from the options' state: the first value outside the set,
        // whose members may hold spaces; a requirement between options.
        {"compare a b --figure 'single rate' --figure bogus",
         "compare --figure bogus: expected single rate, overall rate, overall per thread, "
         "improvement, single MB/s, overall MB/s, single seconds or thread seconds (mean)\n"},
        {"compare a b --view", "compare --view needs a value\n"},
        {"chart a b", "chart --output is required\n"},
        {"compare a b --since 2026-01-01 --all", "compare --since excludes --all\n"},
        {"compare a b --strict", "compare --strict requires --fail-if-worse\n"},
        {"run --runs 0", "run --runs: value 0 not in range 1 to 1000\n"},
    };
    for (const Case& c : cases) {
        Result r = run_in(root, "'" BENCH_REPORT "' " + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err, "bench_report: " + c.err) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
    Result help = run("system --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("tune"), std::string::npos);
    EXPECT_EQ(help.err, "");
}

// Every line of every text table fits 80 columns through a pipe, with every
// name whole: hosts that differ
// only in the middle of a long name, markup, escapes, a bidirectional
// control, and a name longer than the width (alone on its line).
TEST_F(Cli, TextTablesFitTheWidthWithNamesWhole) {
    const std::vector<std::string> names = {
        "rack12-node-0017.cluster.example.org", "rack12-node-0018.cluster.example.org",
        "<script>alert(1)</script>", "esc\x1b[31mred", "bidi\u202eevil",
        std::string(85, 'n') + "-end"};
    for (const std::string& n : names)
        host("fleet/" + n);
    std::vector<std::string> shown;  // as a terminal shows them
    for (const std::string& n : names)
        shown.push_back(report::escape_path(n));
    auto check = [&](const std::string& what, const std::string& out, std::size_t width,
                     bool all_names) {
        for (std::size_t s = 0, e; (e = out.find('\n', s)) != std::string::npos; s = e + 1) {
            std::string line = out.substr(s, e - s);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            // Wider only as a name (or a title naming it) on a line of its
            // own, without the cells of its row.
            bool a_name = std::any_of(shown.begin(), shown.end(), [&](const std::string& n) {
                return line.find(n) != std::string::npos;
            });
            bool cells = line.find("thread(s)  ") != std::string::npos ||
                         line.find(" x0.") != std::string::npos ||
                         line.find(" x1.") != std::string::npos;
            EXPECT_TRUE(report::display_width(line) <= width || (a_name && !cells))
                << what << ": " << line;
        }
        for (const std::string& n : shown)
            EXPECT_TRUE(!all_names || out.find(n) != std::string::npos) << what << " lacks " << n;
    };
    const char* commands[] = {"list fleet", "show fleet", "compare fleet --baseline median",
                              "compare fleet --view fleet", "compare fleet --view fleet --test float"};
    for (const char* c : commands) {
        Result r = run(c);
        EXPECT_EQ(r.status, 0) << c << r.err;
        check(c, r.out, 80, std::string(c) != "show fleet");
    }
    // A terminal's width wins over $COLUMNS; a pipe's is $COLUMNS.
    Result wide = run_in(root, "COLUMNS=300 '" BENCH_REPORT "' compare fleet --view fleet");
    EXPECT_NE(wide.out.find("rack12-node-0017.cluster.example.org *  "), std::string::npos)
        << wide.out;
}

// Figures at the edges of what a double holds read, export and show.
TEST_F(Cli, FiguresAtTheEdgesOfADouble) {
    std::string text = slurp(data / "processors_2threads.results.txt");
    std::size_t at = text.find("Thread:1 It was: ") + 17;
    text.replace(at, text.find(' ', at) - at, "1e-320");
    std::ofstream(root / "tiny.txt") << text;
    for (const char* c : {"export tiny.txt", "export --format csv tiny.txt", "show tiny.txt"}) {
        Result r = run(c);
        EXPECT_EQ(r.status, 0) << c << "\n" << r.err;
        EXPECT_NE(r.out.find("1e-320"), std::string::npos) << c;
    }
}

TEST_F(Cli, ColourOnlyWhereWanted) {
    host("a");
    host("b", true, "processors_1thread.results.txt");
    EXPECT_EQ(run("compare a b").out.find('\x1b'), std::string::npos);
    EXPECT_NE(run("compare a b --color always").out.find("\x1b[3"), std::string::npos);
    EXPECT_EQ(run("compare a b --color never").out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run("compare a b --color sometimes").status, 2);
    // On a terminal: colour unless TERM is dumb (checked under script(1) when present).
    if (std::system("command -v script >/dev/null 2>&1") == 0) {
        auto tty = [&](const std::string& env) {
            std::string cmd = "cd '" + root.string() + "' && " + env +
                              " script -qec \"'" BENCH_REPORT "' compare a b\" /dev/null >tty.txt";
            std::system(cmd.c_str());
            return slurp(root / "tty.txt");
        };
        EXPECT_NE(tty("TERM=xterm NO_COLOR=").find("\x1b[3"), std::string::npos);
        EXPECT_EQ(tty("TERM=dumb").find("\x1b[3"), std::string::npos);
        EXPECT_EQ(tty("TERM=xterm NO_COLOR=1").find("\x1b[3"), std::string::npos);
    }
}

}  // namespace
