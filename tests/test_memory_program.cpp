// bench_memory as a whole process, with shorter passes: both transcripts and
// the run that runs out of memory.
#include <algorithm>
#include <ctime>

#include <unistd.h>

#include "memory_transcript.h"
#include "run_program.h"

namespace {

const double quick_iterations = 4194304;

int team() {
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

TEST(MemoryProgram, ExactTranscriptsInBothStreams) {
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

const std::string out_of_memory =
    "Out of memory: this pass could not allocate what it needs "
    "and has no result.";

// A run that ran out of memory: every console line up to the first failed
// pass is as in a complete run, the failure is reported, and the run
// reaches its end.
void expect_run_out_of_memory(const program_run& r) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("(incomplete: "), std::string::npos);
    EXPECT_NE(r.out.find("Multi-Thread Improvements: not available, a pass ran out of memory."),
              std::string::npos);
    std::vector<std::string> expected = memory_transcript(team(), true);
    std::vector<std::string> lines = split_lines(r.out);
    size_t first_oom = 0;
    while (first_oom < lines.size() && lines[first_oom].find(out_of_memory) == std::string::npos)
        ++first_oom;
    ASSERT_LT(first_oom, lines.size()) << r.out;
    std::vector<double> values;
    for (size_t i = 0; i < first_oom; ++i) {
        if (expected[i].rfind("Thread:{t}", 0) == 0)
            continue;  // blocks come in the order threads finish
        EXPECT_TRUE(match_line(lines[i], expected[i], values)) << i;
    }
    EXPECT_EQ(lines.back(), "Press Enter to Exit.");
}

TEST(MemoryProgram, RunningOutOfMemoryIsReportedAndTheRunGoesOn) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator aborts instead of failing an allocation";
#endif
    // Room for the single-thread passes (192 MiB kept) but not for the
    // blocks every thread keeps in the low-speed region.
    program_options options;
    options.dir = make_temp_dir();
    options.address_space_limit = 448ull << 20;
    program_run r = run_program(QUICK_MEMORY, options);
    expect_run_out_of_memory(r);
    std::vector<std::string> files = list_dir(options.dir);
    ASSERT_EQ(files.size(), 1u);
    std::string saved = read_whole(options.dir + "/" + files[0]);
    EXPECT_NE(saved.find(out_of_memory), std::string::npos);

    // The same run with a file-size limit that the results file reaches
    // with the first out-of-memory line: its write fails in the region's
    // critical section while the heap is exhausted, and saying so must not
    // need the heap.
    options.file_size_limit = saved.find(out_of_memory) + 8;
    program_run limited = run_program(QUICK_MEMORY, options);
    SCOPED_TRACE("with the file-size limit");
    expect_run_out_of_memory(limited);
    EXPECT_NE(limited.out.find("Results could not be saved in a file; it would have been at: "),
              std::string::npos);
    EXPECT_EQ(
        limited.err.rfind("bench_memory_quick: writing the results file \"results_memory_", 0), 0u)
        << limited.err;
    EXPECT_NE(limited.err.find("\\n.txt\" failed: File too large\n"), std::string::npos)
        << limited.err;
    EXPECT_EQ(std::count(limited.err.begin(), limited.err.end(), '\n'), 1);
    remove_tree(options.dir);
}

}  // namespace
