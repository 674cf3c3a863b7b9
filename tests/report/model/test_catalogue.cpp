// The catalogue against the programs' real output: every heading, order and
// layout it states is the one the quick programs print.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <variant>

#include "input/parse.h"
#include "model/catalogue.h"

using namespace report;

namespace {

std::string slurp(const std::string& name) {
    std::ifstream in(std::filesystem::path(REPORT_DATA) / name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Catalogue, EachProgramsSpanHoldsItsTestsAndTogetherTheWhole) {
    std::size_t total = 0;
    for (Program p : {Program::processors, Program::memory}) {
        std::span<const TestInfo> tests = catalogue(p);
        ASSERT_FALSE(tests.empty());
        for (const TestInfo& t : tests) {
            EXPECT_EQ(t.program, p) << t.key;
            EXPECT_EQ(find_test_info(t.key), &t) << t.key;
            EXPECT_EQ(t.layout == Layout::one_line, !t.figure_prefix.empty()) << t.key;
        }
        total += tests.size();
    }
    EXPECT_EQ(total, catalogue().size());
}

// Each real file reads into the catalogue's tests in its order, each titled
// with the heading the catalogue gives for that medium, with a single-thread
// pass exactly where the catalogue says.
TEST(Catalogue, AgreesWithWhatTheProgramsPrint) {
    const char* files[] = {
        "processors_2threads.results.txt", "processors_2threads.console.txt",
        "memory_2threads.results.txt",     "memory_2threads.console.txt",
        "memory_out_of_memory.results.txt",
    };
    for (const char* name : files) {
        SCOPED_TRACE(name);
        auto parsed = parse_run(slurp(name), name);
        ASSERT_TRUE(std::holds_alternative<report::Run>(parsed));
        const report::Run& run = std::get<report::Run>(parsed);
        std::span<const TestInfo> tests = catalogue(run.program);
        ASSERT_EQ(run.tests.size(), tests.size());
        for (std::size_t i = 0; i < tests.size(); ++i) {
            const TestInfo& info = tests[i];
            const report::Test& t = run.tests[i];
            EXPECT_EQ(t.key, info.key);
            EXPECT_EQ(t.title, run.source == Source::transcript ? info.heading : info.file_heading);
            EXPECT_EQ(has_single(t), t.single_seconds || t.single_out_of_memory) << t.key;
            EXPECT_EQ(t.bytes_per_iteration > 0, t.overall_megabytes.has_value()) << t.key;
        }
    }
}

TEST(Catalogue, HeadingsAndSinglePasses) {
    struct Case {
        std::string_view line;
        std::string_view key;  // the test it heads, empty for none
    } cases[] = {
        {"Float Streaming. Float is at: 128bits.", "float"},   // console
        {"Float Streaming. Float is at: 128bits", "float"},    // results file
        {"Integer Streaming. Integer is at: 128bits.", "integer"},
        {"Integer Streaming. Integer is at: 128bits", ""},     // no program writes it so
        {"Power of Memory Allocation.", "allocation"},
        {"Low speeds: ", ""},
        {"Effective Frequency was: 1 Giga Executions/sec.", ""},
    };
    for (const Case& c : cases) {
        std::string_view found;
        for (const TestInfo& info : catalogue())
            if (is_heading(info, c.line))
                found = info.key;
        EXPECT_EQ(found, c.key) << c.line;
    }
    report::Test t;
    t.key = "effective_frequency";
    EXPECT_FALSE(has_single(t));
    t.key = "not_a_test";  // hand-built runs keep their single pass
    EXPECT_TRUE(has_single(t));
    EXPECT_EQ(display_name("allocation"), "Allocation");
}

}  // namespace
