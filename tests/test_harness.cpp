// The shared frame: results-file name and creation, write failures, the
// end of the run, the thread cap and the out-of-memory policy.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <omp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ext/stdio_filebuf.h>

#include "harness.h"
#include "transcript.h"
#include "wraps.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// The disk fills up: the descriptor behind the results file now writes to
// /dev/full.
void fill_the_disk() {
    struct stat results;
    ASSERT_EQ(stat(resultfile, &results), 0);
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    int replaced = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        struct stat st;
        if (fd != full && fstat(fd, &st) == 0 && st.st_ino == results.st_ino &&
            st.st_dev == results.st_dev) {
            ASSERT_EQ(dup2(full, fd), fd);
            ++replaced;
        }
    }
    ASSERT_EQ(replaced, 1);
    close(full);
}

// Each test runs in a fresh directory of its own and leaves the harness as
// a new process has it.
class Harness : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bench_harness_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(getcwd(old_dir, sizeof old_dir), old_dir);
        ASSERT_EQ(chdir(dir.c_str()), 0);
        std::snprintf(resultfile, sizeof resultfile, "results test @ UTC time X\n.txt");
        run_failed = false;
        region_failures = 0;
    }
    void TearDown() override {
        ASSERT_EQ(chdir(old_dir), 0);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        run_failed = false;
        region_failures = 0;
    }
    // End of run with standard input at end of file; returns the console.
    std::string finish(std::ostream& file, const char* directory, int& status) {
        std::ostringstream con;
        FILE* in = std::fopen("/dev/null", "r");
        status = end_of_run(con, file, directory, in);
        std::fclose(in);
        return con.str();
    }
    std::string dir;
    char old_dir[4096];
};

TEST(ResultsFileName, CarriesZoneAndWholeTimeTextWithItsNewline) {
    setenv("TZ", "EST5", 1);
    tzset();
    std::string names[2];
    std::time_t before = std::time(nullptr);
    name_results_file("results_processors_Linux_x86 @ %s time %s.txt");
    std::time_t after = std::time(nullptr);
    std::time_t moments[2] = {before, after};
    for (int i = 0; i < 2; ++i)
        names[i] = std::string("results_processors_Linux_x86 @ EST time ") +
                   std::asctime(std::localtime(&moments[i])) + ".txt";
    EXPECT_TRUE(resultfile == names[0] || resultfile == names[1]) << resultfile;
    std::string name = resultfile;
    ASSERT_EQ(name.size(), std::string("results_processors_Linux_x86 @ EST time ").size() + 25 + 4);
    EXPECT_EQ(name.substr(name.size() - 5), "\n.txt");

    name_results_file("results_memory_Linux_x86 @ %s time %s.txt");
    EXPECT_EQ(std::string(resultfile).rfind("results_memory_Linux_x86 @ EST time ", 0), 0u);
    unsetenv("TZ");
    tzset();
}

TEST_F(Harness, TruncatesAnEarlierFileOfTheSameName) {
    write_file(resultfile, "an earlier run's lines\nthat are longer than this one's\n");
    std::ostream file(nullptr);
    ASSERT_TRUE(open_results_file(file));
    file << "Thread(s): " << 2 << eol;
    int status;
    std::string con = finish(file, dir.c_str(), status);
    EXPECT_EQ(read_file(resultfile), "Thread(s): 2\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(con, "Results have been saved in a file and you can find it at: " + dir +
                       "/results test @ UTC time X\n.txt\n\n\n\nPress Enter to Exit.\n");
}

TEST_F(Harness, NeverWritesThroughASymbolicLink) {
    write_file("victim", "precious\n");
    ASSERT_EQ(symlink("victim", resultfile), 0);
    std::ostream file(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_results_file(file));
    file << "Thread(s): " << 2 << eol;
    int status;
    std::string con = finish(file, dir.c_str(), status);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file("victim"), "precious\n");
    EXPECT_NE(err.find("creating the results file \"results test @ UTC time X\\n.txt\" "
                       "failed: a symbolic link stands at that name\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(status, 1);
    EXPECT_EQ(con, "Results could not be saved in a file; it would have been at: " + dir +
                       "/results test @ UTC time X\n.txt\n\n\n\nPress Enter to Exit.\n");
}

TEST_F(Harness, RefusesAFifoOrDirectoryWithoutWaiting) {
    ASSERT_EQ(mkfifo(resultfile, 0600), 0);
    std::ostream file(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_results_file(file));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("failed: "), std::string::npos);
    EXPECT_TRUE(run_failed);

    ASSERT_EQ(unlink(resultfile), 0);
    ASSERT_EQ(mkdir(resultfile, 0700), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_results_file(file));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("failed: "), std::string::npos);
}

TEST_F(Harness, DirectoryWhereNothingCanBeCreated) {
    // Permission bits stop nothing for root; /proc refuses new files to all.
    ASSERT_EQ(chdir("/proc"), 0);
    std::ostream file(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_results_file(file));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("creating the results file"), std::string::npos) << err;
    file << "dropped" << eol;
    int status;
    std::string con = finish(file, "/proc", status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(con.rfind("Results could not be saved in a file; it would have been at: /proc/", 0),
              0u);
}

TEST_F(Harness, FailedWriteIsReportedOnceAndTheRunGoesOn) {
    std::ostream file(nullptr);
    ASSERT_TRUE(open_results_file(file));
    file << "first line" << eol;
    fill_the_disk();
    testing::internal::CaptureStderr();
    file << "second line" << eol;
    file << "third line" << eol;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(program_invocation_short_name) +
                       ": writing the results file \"results test @ UTC time X\\n.txt\" failed: " +
                       std::strerror(ENOSPC) + "\n");
    int status;
    std::string con = finish(file, dir.c_str(), status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(con.rfind("Results could not be saved in a file;", 0), 0u);
    EXPECT_EQ(read_file(resultfile), "first line\n");

    // The end of the run closed the descriptor, once, and dropped what the
    // failed writes left in the buffer: a file opened since may reuse the
    // number, and opening the next results file neither writes into it nor
    // closes it.
    int other = open("other", O_RDWR | O_CREAT, 0600);
    ASSERT_GE(other, 0);
    struct stat before, after;
    ASSERT_EQ(fstat(other, &before), 0);
    ASSERT_TRUE(open_results_file(file));
    ASSERT_EQ(fstat(other, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file("other"), "");
    close(other);
}

TEST_F(Harness, EndMessageWithoutDirectoryOrBeyondTheBuffer) {
    std::ostream file(nullptr);
    ASSERT_TRUE(open_results_file(file));
    int status;
    std::string con = finish(file, nullptr, status);
    EXPECT_EQ(con,
              "Results have been saved in a file and you can find it at: ./results test "
              "@ UTC time X\n.txt\n\n\n\nPress Enter to Exit.\n");
    EXPECT_EQ(status, 0);

    std::string deep(3000, 'd');
    ASSERT_TRUE(open_results_file(file));
    con = finish(file, deep.c_str(), status);
    EXPECT_EQ(con, "Results have been saved in a file and you can find it at: " + deep +
                       "/results test @ UTC time X\n.txt\n\n\n\nPress Enter to Exit.\n");
}

TEST_F(Harness, EndOfRunReadsOneCharacter) {
    std::ostream file(nullptr);
    ASSERT_TRUE(open_results_file(file));
    FILE* in = std::tmpfile();
    std::fputs("\nrest", in);
    std::rewind(in);
    std::ostringstream con;
    EXPECT_EQ(end_of_run(con, file, dir.c_str(), in), 0);
    EXPECT_EQ(std::ftell(in), 1);
    std::fclose(in);
}

TEST(Threads, TeamIsCappedAtTheArraySize) {
    forced_num_procs = 5000;
    setup_threads();
    EXPECT_EQ(threads, 4096);
    EXPECT_EQ(omp_get_max_threads(), 4096);
    forced_num_procs = 3;
    setup_threads();
    EXPECT_EQ(threads, 3);
    EXPECT_EQ(omp_get_max_threads(), 3);
    forced_num_procs = 0;
    setup_threads();
    EXPECT_EQ(threads, omp_get_num_procs());
}

double test_spent[max_threads], test_results[max_threads];

// Thread 1 runs out of memory; the others report a plain rate.
void body_failing_on_thread_1(uint64_t) {
    int t = omp_get_thread_num();
    if (t == 1)
        throw std::bad_alloc();
    test_spent[t] = 2;
    test_results[t] = 3000000;
}

void single_out_of_memory(uint64_t) {
    throw std::bad_alloc();
}

TEST_F(Harness, OutOfMemoryReplacesFiguresAndMarksTheSummary) {
    omp_set_num_threads(3);
    std::ostringstream con, file;
    bool ok = run_guarded(single_out_of_memory, 1);
    EXPECT_FALSE(ok);
    single_report(con, file, ok, 0, 0, unit_executions, 0);
    multi_pass(con, file, nullptr, body_failing_on_thread_1, 1, test_spent, test_results,
               unit_executions, 0, "The system spent: ");
    double overall = 0;
    summary(con, file, test_results, overall, 0, ok, "Overall, It was: ", unit_executions, 0,
            nullptr);
    EXPECT_EQ(overall, 6000000);
    EXPECT_TRUE(run_failed);

    std::vector<std::string> lines = split_lines(con.str());
    ASSERT_EQ(lines.size(), 11u) << con.str();
    EXPECT_EQ(lines[0],
              "Out of memory: this pass could not allocate what it needs and has no "
              "result.");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Multi-Thread Enabled:");
    int failed_blocks = 0;
    for (int i = 3; i < 8; ++i)
        failed_blocks += lines[i] ==
                         "Thread:1 Out of memory: this pass could not allocate "
                         "what it needs and has no result.";
    EXPECT_EQ(failed_blocks, 1);
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9],
              "Overall, It was: 6 Millions Executions/sec. (incomplete: 1 thread(s) "
              "ran out of memory)");
    EXPECT_EQ(lines[10], "Multi-Thread Improvements: not available, a pass ran out of memory.");
    EXPECT_EQ(con.str(), file.str());
    omp_set_num_threads(omp_get_num_procs());
}

void steady_body(uint64_t) {
    int t = omp_get_thread_num();
    test_spent[t] = 2;
    test_results[t] = 3000000;
}

// On a machine out of memory the report must still be written, so nothing
// of it may allocate: the pass and summary lines, the out-of-memory lines,
// the message of a failed results file, eol, the incomplete note and the end
// of the run. Here the results file fails at its first line.
TEST_F(Harness, ReportPathMakesNoHeapAllocation) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
#endif
    // Made before counting, as the program has them when a pass ends: the
    // console's buffer, the input's buffer, the team of the region and the
    // stream's cache of the number format.
    FILE* console = std::tmpfile();
    __gnu_cxx::stdio_filebuf<char> console_buf(console, std::ios::out);
    std::ostream con(&console_buf);
    FILE* in = std::fopen("/dev/null", "r");
    static char input_buffer[BUFSIZ];
    std::setvbuf(in, input_buffer, _IOFBF, sizeof input_buffer);
    omp_set_num_threads(2);
    std::ostream nowhere(nullptr);
    multi_pass(nowhere, nowhere, nullptr, steady_body, 1, test_spent, test_results, unit_executions,
               0, "");
    std::ostringstream() << 1.5;
    std::ostream file(nullptr);
    ASSERT_TRUE(open_results_file(file));
    fill_the_disk();
    testing::internal::CaptureStderr();

    heap_allocations = 0;
    counting_heap = true;
    file << "Thread(s): " << 2 << eol;
    single_report(con, file, true, 1.5, 2097152, unit_executions, 32);
    single_report(con, file, false, 0, 0, unit_executions, 32);
    multi_pass(con, file, "Low speeds:", steady_body, 1, test_spent, test_results, unit_executions,
               32, "The spent: ");
    region_failures = 1;
    double overall = 0;
    summary(con, file, test_results, overall, 2097152, true, "Overall, It was: ", unit_executions,
            32, nullptr);
    int status = end_of_run(con, file, dir.c_str(), in);
    counting_heap = false;

    EXPECT_EQ(heap_allocations, 0);
    EXPECT_EQ(status, 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(program_invocation_short_name) +
                       ": writing the results file \"results test @ UTC time X\\n.txt\" failed: " +
                       std::strerror(ENOSPC) + "\n");
    EXPECT_EQ(read_file(resultfile), "");
    std::fclose(in);
    con.flush();
    std::rewind(console);
    std::string text;
    for (int c; (c = std::getc(console)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(console);
    std::string blocks[2];
    for (int t = 0; t < 2; ++t)
        blocks[t] = "Thread:" + std::to_string(t) +
                    " The system spent: 2 Secs. \nThread:" + std::to_string(t) +
                    " It was: 3 Millions Executions/sec.\n"
                    "Conventionally, it was: 91.5527 MB/sec.\n";
    std::string head =
        "The system spent: 1.5 Secs. \n"
        "It was: 2.09715 Millions Executions/sec.\n"
        "Conventionally, it was: 64 MB/sec.\n\n"
        "Out of memory: this pass could not allocate what it needs and has no "
        "result.\n\n"
        "Multi-Thread Enabled:\n\nLow speeds:\n";
    std::string tail =
        "\nOverall, It was: 6 Millions Executions/sec. (incomplete: 1 thread(s) "
        "ran out of memory)\n"
        "Conventionally, it was: 183.105 MB/sec. (incomplete: 1 thread(s) ran "
        "out of memory)\n"
        "Multi-Thread Improvements: not available, a pass ran out of memory.\n"
        "Results could not be saved in a file; it would have been at: " +
        dir + "/results test @ UTC time X\n.txt\n\n\n\nPress Enter to Exit.\n";
    EXPECT_TRUE(text == head + blocks[0] + blocks[1] + tail ||
                text == head + blocks[1] + blocks[0] + tail)
        << text;
    omp_set_num_threads(omp_get_num_procs());
}

TEST(Megabytes, RateTimesBytesOverTwoToTheTwenty) {
    EXPECT_EQ(megabytes(32, 1048576), 32);
    EXPECT_EQ(megabytes(16, 3e7), 16 * 3e7 / 1048576);
}

}  // namespace
