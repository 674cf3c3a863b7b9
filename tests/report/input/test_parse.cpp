// The parser and the checks on real files of the quick programs, altered,
// malformed and cut-short input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "input/checks.h"
#include "output/export.h"
#include "input/parse.h"
#include "run_program.h"

using namespace report;

namespace {

const char* const real_files[] = {
    "processors_1thread.results.txt",   "processors_1thread.console.txt",
    "processors_2threads.results.txt",  "processors_2threads.console.txt",
    "memory_1thread.results.txt",       "memory_1thread.console.txt",
    "memory_2threads.results.txt",      "memory_2threads.console.txt",
    "memory_out_of_memory.results.txt", "memory_out_of_memory.console.txt",
};

// The text of a file of tests/report/data.
std::string data_file(const std::string& name) {
    std::ifstream in(std::string(REPORT_DATA) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Run parse_ok(const std::string& text, const std::string& name = "x") {
    auto parsed = parse_run(text, name);
    if (auto* e = std::get_if<ParseError>(&parsed))
        ADD_FAILURE() << name << ":" << e->line << ": expected " << e->expected << ", found "
                      << e->found;
    else {
        report::Run run = std::get<report::Run>(parsed);
        check_run(run);
        return run;
    }
    return {};
}

// Every "printed" text in an export, with the value beside it.
void collect_printed(const nlohmann::json& j, std::vector<std::string>& out) {
    if (j.is_object() && j.contains("printed")) {
        std::string text = j["printed"];
        out.push_back(text);
        EXPECT_EQ(j["value"].get<double>(), std::strtod(text.c_str(), nullptr)) << text;
        return;
    }
    if (j.is_structured())
        for (const auto& item : j)
            collect_printed(item, out);
}

// Every figure the program printed, found independently of the parser: the
// word after "spent: ", "was: " or "Improvements: " when a space follows it
// and it reads as a number (or inf/nan).
std::vector<std::string> printed_figures(const std::string& text) {
    std::vector<std::string> out;
    for (const char* marker : {"spent: ", "was: ", "Improvements: "}) {
        for (size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + 1)) {
            size_t begin = at + std::strlen(marker);
            size_t end = text.find_first_of(" \n", begin);
            if (end == std::string::npos || text[end] != ' ' || end == begin)
                continue;
            std::string word = text.substr(begin, end - begin);
            if (word == "inf" || word == "nan" ||
                word.find_first_not_of("-+0123456789.e") == std::string::npos)
                out.push_back(word);
        }
    }
    return out;
}

// The printed texts of every figure of a run.
std::vector<std::string> figures_of(const report::Run& run) {
    std::vector<std::string> out;
    auto add = [&](const std::optional<Figure>& f) {
        if (f)
            out.push_back(f->text);
    };
    for (const report::Test& t : run.tests) {
        for (const auto* f : {&t.single_seconds, &t.single_rate, &t.single_megabytes,
                              &t.overall_rate, &t.overall_megabytes, &t.improvement})
            add(*f);
        for (const ThreadResult& r : t.threads)
            for (const auto* f : {&r.seconds, &r.rate, &r.megabytes})
                add(*f);
    }
    return out;
}

std::vector<std::string> checks_of(const Run& run) {
    std::vector<std::string> out;
    for (const Finding& f : run.findings)
        out.push_back(f.check + (f.line == 0 && f.test.empty() ? ":file" : ""));
    return out;
}

}  // namespace

// Every figure in the JSON equals the printed text; the quick programs' short
// passes are the only finding.
TEST(RealFiles, EveryFigureAsPrintedAndOnlyTheShortPassFinding) {
    for (const char* name : real_files) {
        SCOPED_TRACE(name);
        std::string text = data_file(name);
        report::Run run = parse_ok(text, name);
        bool memory = std::string(name).rfind("memory", 0) == 0;
        EXPECT_EQ(run.program, memory ? Program::memory : Program::processors);
        EXPECT_EQ(run.source, std::string(name).find("console") != std::string::npos
                                  ? Source::transcript
                                  : Source::results_file);
        EXPECT_EQ(run.threads, std::string(name).find("1thread") != std::string::npos ? 1 : 2);
        EXPECT_FALSE(run.partial);
        ASSERT_EQ(run.tests.size(), memory ? 3u : 4u);
        for (const report::Test& t : run.tests) {
            EXPECT_TRUE(t.complete) << t.key;
            if (t.key != "effective_frequency") {
                EXPECT_EQ(t.threads.size(), static_cast<size_t>(*run.threads)) << t.key;
            }
        }
        EXPECT_EQ(checks_of(run), std::vector<std::string>{"iterations:file"});
        EXPECT_EQ(run.iterations, memory ? 4194304u : 65536u);

        std::vector<std::string> exported;
        collect_printed(nlohmann::json::parse(export_json({run}))["runs"][0], exported);
        std::vector<std::string> printed = printed_figures(text);
        std::sort(exported.begin(), exported.end());
        std::sort(printed.begin(), printed.end());
        EXPECT_EQ(exported, printed);
    }
}

TEST(RealFiles, OutOfMemoryFiguresAreAbsentNotZero) {
    report::Run run = parse_ok(data_file("memory_out_of_memory.results.txt"));
    const report::Test& high = run.tests[2];
    EXPECT_TRUE(high.single_out_of_memory);
    EXPECT_FALSE(high.single_rate || high.single_seconds || high.single_megabytes);
    EXPECT_TRUE(high.improvement_unavailable);
    EXPECT_FALSE(high.improvement);
    EXPECT_EQ(high.incomplete_threads, 2);
    for (const ThreadResult& r : high.threads)
        EXPECT_TRUE(r.out_of_memory && !r.rate && !r.seconds && !r.megabytes);
    auto j = nlohmann::json::parse(export_json({run}))["runs"][0]["tests"][2];
    EXPECT_TRUE(j["single"]["rate"].is_null());
    EXPECT_TRUE(j["improvement"].is_null());
    EXPECT_EQ(j["overall"]["incomplete_threads"], 2);
}

// A figure changed by hand is flagged by the check it breaks, on the line of
// the figure changed (a thread count that no test's blocks match, on the
// test's heading).
TEST(Checks, AlteredFilesAreFlaggedOnTheFiguresLine) {
    struct Case {
        const char* file;
        const char* from;
        const char* to;
        const char* check;
        bool on_its_line = true;
    } cases[] = {
        {"processors_2threads.results.txt", "Overall, It was: 25.7249", "Overall, It was: 25.8249",
         "overall_sum"},
        {"processors_2threads.results.txt", "Improvements: 62.0657", "Improvements: 62.0757",
         "improvement_ratio"},
        {"processors_2threads.results.txt", "spent: 0.158117", "spent: 0.168117", "iterations"},
        {"memory_2threads.results.txt", "it was: 332.388 MB", "it was: 332.398 MB", "megabytes"},
        {"memory_2threads.results.txt", "it was: 217.934 MB", "it was: 217.944 MB", "megabytes"},
        {"processors_2threads.results.txt", "Thread(s): 2", "Thread(s): 3", "threads", false},
        {"memory_out_of_memory.results.txt", "(incomplete: 2", "(incomplete: 1", "incomplete"},
        // A timed pass cannot take no time or run at an infinite rate.
        {"processors_1thread.results.txt", "spent: 0.16102 Secs. \nIt was: 0.407006",
         "spent: 0 Secs. \nIt was: inf", "value"},
        {"processors_1thread.results.txt", "Thread:0 It was: 6.60715", "Thread:0 It was: -6.60715",
         "value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        std::string text = data_file(c.file);
        size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, std::string(c.from).size(), c.to);
        int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
        report::Run run = parse_ok(text);
        auto checks = checks_of(run);
        EXPECT_NE(std::find(checks.begin(), checks.end(), c.check), checks.end());
        bool on_line = std::any_of(run.findings.begin(), run.findings.end(), [&](const Finding& f) {
            return f.check == c.check && f.line == line;
        });
        EXPECT_TRUE(on_line || !c.on_its_line) << "no " << c.check << " finding on line " << line;
    }
}

// Text that is neither a results file nor a transcript: the first bad line.
TEST(Malformed, FirstBadLineIsReported) {
    const std::string title =
        "Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system "
        "2025.02.06.\n";
    struct Case {
        std::string text;
        int line;
        std::string found;
    } cases[] = {
        {"", 1, ""},
        {"hello\n", 1, "hello"},
        {std::string("\n\n\0binary\n", 10), 3, std::string("\0binary", 7)},
        {title + "\nThread(s): two\n", 3, "Thread(s): two"},
        {title + "\nThread(s): 1\n\nEffective Frequency.\nEffective Frequency was: 1,5 Giga "
                 "Executions/sec.\n",
         6, "Effective Frequency was: 1,5 Giga Executions/sec."},
        {title + "Thread(s): 1\nEffective Frequency.\nEffective Frequency was: 1 Giga "
                 "Executions/sec.\nFloat Streaming. Float is at: 128bits\nForce to be single "
                 "thread.\nThe system spent: 1 Secs.\nIt was: 1 Millions Allocations/sec.\n",
         8, "It was: 1 Millions Allocations/sec."},
        {data_file("processors_1thread.results.txt") + "trailing text\n", 52, "trailing text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        auto parsed = parse_run(c.text, "bad");
        ASSERT_TRUE(std::holds_alternative<ParseError>(parsed));
        auto e = std::get<ParseError>(parsed);
        EXPECT_EQ(e.line, c.line);
        EXPECT_EQ(e.found, c.found);
        EXPECT_FALSE(e.expected.empty());
    }
}

// A file cut at any byte reads up to where it ends, marked partial, with the
// figures it holds equal to the whole file's.
TEST(Truncated, EveryCutReadsAsPartial) {
    for (const char* name :
         {"processors_2threads.results.txt", "memory_out_of_memory.console.txt"}) {
        SCOPED_TRACE(name);
        std::string text = data_file(name);
        std::vector<std::string> whole = figures_of(parse_ok(text));
        size_t title_end = text.find('\n', 1) + 1;
        size_t last = text.find_last_not_of('\n') + 2;  // after the last line's newline
        size_t previous_figures = 0;
        for (size_t cut = 0; cut < text.size(); ++cut) {
            auto parsed = parse_run(std::string_view(text).substr(0, cut), name);
            if (cut < title_end) {
                EXPECT_TRUE(std::holds_alternative<ParseError>(parsed)) << cut;
                continue;
            }
            ASSERT_TRUE(std::holds_alternative<report::Run>(parsed)) << cut;
            report::Run run = std::get<report::Run>(parsed);
            check_run(run);
            EXPECT_EQ(run.partial, cut < last) << cut;
            std::vector<std::string> figures = figures_of(run);
            EXPECT_GE(figures.size(), previous_figures) << cut;
            previous_figures = figures.size();
            for (const std::string& f : figures)
                EXPECT_NE(std::find(whole.begin(), whole.end(), f), whole.end()) << cut;
        }
    }
}

// What a program prints for a zero time is a valid figure.
TEST(Figures, InfinityAndNanAreFigures) {
    std::string text = data_file("processors_1thread.results.txt");
    text.replace(text.find("It was: 0.407006"), 16, "It was: inf");
    text.replace(text.find("Improvements: "), 14 + 7, "Improvements: -nan");
    report::Run run = parse_ok(text);
    ASSERT_TRUE(run.tests[1].single_rate);
    EXPECT_TRUE(std::isinf(run.tests[1].single_rate->value));
    EXPECT_TRUE(std::isnan(run.tests[1].improvement->value));
    auto j = nlohmann::json::parse(export_json({run}));  // stays valid JSON
    EXPECT_TRUE(j["runs"][0]["tests"][1]["single"]["rate"]["value"].is_null());
    EXPECT_EQ(j["runs"][0]["tests"][1]["improvement"]["printed"], "-nan");
}

// The programs as they are built now, not the saved samples: a change of
// their output that the parser does not follow shows here first.
TEST(LiveRuns, ResultsFileAndConsoleOfTheQuickProgramsReadWithoutFindings) {
    for (const char* program : {QUICK_PROCESSORS, QUICK_MEMORY}) {
        SCOPED_TRACE(program);
        program_options options;
        options.dir = make_temp_dir();
        program_run r = run_program(program, options);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> files = list_dir(options.dir);
        ASSERT_EQ(files.size(), 1u);
        std::string results = read_whole(options.dir + "/" + files[0]);
        remove_tree(options.dir);
        for (const std::string* text : {&results, &r.out}) {
            report::Run run = parse_ok(*text);
            EXPECT_FALSE(run.partial);
            EXPECT_EQ(checks_of(run), std::vector<std::string>{"iterations:file"});
            std::vector<std::string> exported;
            collect_printed(nlohmann::json::parse(export_json({run}))["runs"][0], exported);
            std::vector<std::string> printed = printed_figures(*text);
            std::sort(exported.begin(), exported.end());
            std::sort(printed.begin(), printed.end());
            EXPECT_EQ(exported, printed);
        }
    }
}
