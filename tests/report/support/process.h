// Running a command line as a person would, in a directory, and reading what
// it wrote: for the suites that test bench_report as a process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

struct Result {
    int status = -1;  // the exit status; -1 when killed by a signal
    std::string out, err;
};

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The exit status of a shell command line; -1 when killed by a signal.
inline int shell(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Runs `command` (quoted for the shell) in `dir` with its standard output and
// error captured in dir/stdout.txt and dir/stderr.txt.
inline Result run_in(const std::filesystem::path& dir, const std::string& command) {
    std::string line = "cd '" + dir.string() + "' && " + command + " >stdout.txt 2>stderr.txt";
    int rc = std::system(line.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "stdout.txt"),
            slurp(dir / "stderr.txt")};
}

// A suite whose every test works in a fresh, empty directory of its own,
// named after the suite and the test and removed after it.
class ScratchTest : public ::testing::Test {
protected:
    std::filesystem::path root;

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root = std::filesystem::temp_directory_path() /
               ("bench_report_" + std::string(test->test_suite_name()) + "_" +
                std::to_string(::getpid()) + "_" + test->name());
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
    }
    void TearDown() override { std::filesystem::remove_all(root); }
};
