// bench_memory as a whole process, with shorter passes: both transcripts and
// the run that runs out of memory.
#include <ctime>

#include <unistd.h>

#include "memory_transcript.h"
#include "run_program.h"

namespace {

const double quick_iterations = 4194304;

int team() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

TEST(MemoryProgram, ExactTranscriptsInBothStreams)
{
    program_options options;
    options.dir = make_temp_dir();
    std::time_t start = std::time(nullptr);
    program_run r = run_program(QUICK_MEMORY, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> files = list_dir(options.dir);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0] == results_name("memory", start) ||
                files[0] == results_name("memory", start + 1) ||
                files[0] == results_name("memory", start + 2))
        << files[0];

    std::vector<std::string> console = memory_transcript(team(), true);
    for (const std::string& line : end_lines(options.dir + "/" + files[0], true))
        console.push_back(line);
    std::vector<double> values, file_values;
    EXPECT_TRUE(match_transcript(r.out, console, values));
    check_memory_figures(values, team(), quick_iterations);
    EXPECT_TRUE(match_transcript(read_whole(options.dir + "/" + files[0]),
                                 memory_transcript(team(), false), file_values));
    EXPECT_EQ(values, file_values);
    remove_tree(options.dir);
}

TEST(MemoryProgram, RunningOutOfMemoryIsReportedAndTheRunGoesOn)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator aborts instead of failing an allocation";
#endif
    // Room for the single-thread passes (192 MiB kept) but not for the
    // blocks every thread keeps in the low-speed region.
    program_options options;
    options.dir = make_temp_dir();
    options.address_space_limit = 448ull << 20;
    program_run r = run_program(QUICK_MEMORY, options);
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string oom = "Out of memory: this pass could not allocate what it needs and has "
                            "no result.";
    EXPECT_NE(r.out.find(oom), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(incomplete: "), std::string::npos);
    EXPECT_NE(r.out.find("Multi-Thread Improvements: not available, a pass ran out of memory."),
              std::string::npos);

    // Every line up to the first failed pass is as in a complete run, and
    // the run reaches its end.
    std::vector<std::string> expected = memory_transcript(team(), true);
    std::vector<std::string> lines = split_lines(r.out);
    size_t first_oom = 0;
    while (first_oom < lines.size() && lines[first_oom].find(oom) == std::string::npos)
        ++first_oom;
    ASSERT_LT(first_oom, lines.size());
    std::vector<double> values;
    for (size_t i = 0; i < first_oom; ++i) {
        if (expected[i].rfind("Thread:{t}", 0) == 0)
            continue;  // blocks come in the order threads finish
        EXPECT_TRUE(match_line(lines[i], expected[i], values)) << i;
    }
    EXPECT_EQ(lines.back(), "Press Enter to Exit.");
    std::vector<std::string> files = list_dir(options.dir);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(read_whole(options.dir + "/" + files[0]).find(oom), std::string::npos);
    remove_tree(options.dir);
}

}  // namespace
