// Full-length runs of the real programs, as a user starts them with
// standard input at end of file: both transcripts and the results file.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <unistd.h>

#include "memory_transcript.h"
#include "processors_transcript.h"
#include "run_program.h"

namespace {

int team() {
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

// The program built here, or the one of the same name in BENCH_PROGRAM_DIR
// when that is set: the package check runs these tests on the installed
// binaries.
std::string program_path(const char* built) {
    const char* dir = std::getenv("BENCH_PROGRAM_DIR");
    if (!dir || !*dir)
        return built;
    const char* slash = std::strrchr(built, '/');
    return std::string(dir) + "/" + (slash ? slash + 1 : built);
}

// Runs `program` in a fresh directory, matches the console (with the end of
// run) and the results file, and returns the console's numbers.
std::vector<double> full_run(const std::string& program, const std::vector<std::string>& console,
                             const std::vector<std::string>& file, program_run& r) {
    program_options options;
    options.dir = make_temp_dir();
    options.timeout_seconds = 3600;
    auto began = std::chrono::steady_clock::now();
    r = run_program(program, options);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::vector<double> values, file_values;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> files = list_dir(options.dir);
    if (files.size() == 1) {
        std::string path = options.dir + "/" + files[0];
        std::vector<std::string> whole = console;
        for (const std::string& line : end_lines(path, true))
            whole.push_back(line);
        EXPECT_TRUE(match_transcript(r.out, whole, values));
        EXPECT_TRUE(match_transcript(read_whole(path), file, file_values));
        EXPECT_EQ(values, file_values);
    } else {
        ADD_FAILURE() << files.size() << " files in the working directory";
    }
    std::cout << program << ": " << wall << " s wall, peak " << r.peak_kib / 1024
              << " MiB resident\n"
              << r.out;
    remove_tree(options.dir);
    return values;
}

TEST(FullRun, Processors) {
    program_run r;
    std::vector<double> values =
        full_run(program_path(REAL_PROCESSORS), processors_transcript(team(), true),
                 processors_transcript(team(), false), r);
    if (!values.empty())
        check_processors_figures(values, team(), 134217728);
}

TEST(FullRun, Memory) {
    program_run r;
    std::vector<double> values =
        full_run(program_path(REAL_MEMORY), memory_transcript(team(), true),
                 memory_transcript(team(), false), r);
    if (!values.empty())
        check_memory_figures(values, team(), 16777216);

    // At its end the run holds (1 + T) passes' blocks (32 bytes each in the
    // heap) and arrays (16 bytes an element), all of it written.
    double held_kib = (1.0 + team()) * 16777216 * (32 + 16) / 1024;
    EXPECT_GE(r.peak_kib, 0.9 * held_kib);
    EXPECT_LE(r.peak_kib, 1.1 * held_kib);
}

}  // namespace
