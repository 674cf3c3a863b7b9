// Running a command line as a person would, in a directory, and reading what
// it wrote: for the suites that test bench_report as a process.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
