// Full-length runs of the real programs, as a user starts them with
// standard input at end of file: both transcripts and the results file.
#include <chrono>
#include <iostream>

#include <unistd.h>

#include "memory_transcript.h"
#include "processors_transcript.h"
#include "run_program.h"

namespace {

int team() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

TEST(FullRun, Processors)
{
    program_options options;
    options.dir = make_temp_dir();
    options.timeout_seconds = 3600;
    auto began = std::chrono::steady_clock::now();
    program_run r = run_program(REAL_PROCESSORS, options);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> files = list_dir(options.dir);
    ASSERT_EQ(files.size(), 1u);
    std::string path = options.dir + "/" + files[0];

    std::vector<std::string> console = processors_transcript(team(), true);
    for (const std::string& line : end_lines(path, true))
        console.push_back(line);
    std::vector<double> values, file_values;
    EXPECT_TRUE(match_transcript(r.out, console, values));
    std::vector<double> q = check_processors_figures(values, team(), 134217728);
    EXPECT_TRUE(match_transcript(read_whole(path), processors_transcript(team(), false),
                                 file_values));
    EXPECT_EQ(values, file_values);
    std::cout << "bench_processors full run: " << wall << " s wall\n" << r.out;
    remove_tree(options.dir);
}

TEST(FullRun, Memory)
{
    program_options options;
    options.dir = make_temp_dir();
    options.timeout_seconds = 3600;
    auto began = std::chrono::steady_clock::now();
    program_run r = run_program(REAL_MEMORY, options);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> files = list_dir(options.dir);
    ASSERT_EQ(files.size(), 1u);
    std::string path = options.dir + "/" + files[0];

    std::vector<std::string> console = memory_transcript(team(), true);
    for (const std::string& line : end_lines(path, true))
        console.push_back(line);
    std::vector<double> values, file_values;
    EXPECT_TRUE(match_transcript(r.out, console, values));
    check_memory_figures(values, team(), 16777216);
    EXPECT_TRUE(match_transcript(read_whole(path), memory_transcript(team(), false), file_values));
    EXPECT_EQ(values, file_values);

    // At its end the run holds (1 + T) passes' blocks (32 bytes each in the
    // heap) and arrays (16 bytes an element), all of it written.
    double held_kib = (1.0 + team()) * 16777216 * (32 + 16) / 1024;
    EXPECT_GE(r.peak_kib, 0.9 * held_kib);
    EXPECT_LE(r.peak_kib, 1.1 * held_kib);
    std::cout << "bench_memory full run: " << wall << " s wall, peak " << r.peak_kib / 1024
              << " MiB resident, expected " << held_kib / 1024 << " MiB\n"
              << r.out;
    remove_tree(options.dir);
}

}  // namespace
