// Running the benchmark programs: finding them, running one repetition in a
// directory of its own with standard input at end of file, keeping what it
// printed, and passing Ctrl-C and SIGTERM on to it.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace report {

// Where a program was found, or why it was not.
struct Located {
    std::optional<std::filesystem::path> path;
    std::string searched;  // the places tried, for the message when not found
};

// `name` in `bin_dir` when one is given (and only there); otherwise beside
// `self` (bench_report's own executable), then in the build tree's program
// folders next to it, then on `path_variable` (a PATH-style list).
Located locate_program(const std::string& name, const std::optional<std::filesystem::path>& bin_dir,
                       const std::filesystem::path& self, const std::string& path_variable);

// bench_report's own executable.
std::filesystem::path self_executable();

enum class Outcome {
    completed,    // exited with status 0
    failed,       // exited with another status, or could not be started
    killed,       // ended by a signal it was not sent by bench_report
    interrupted,  // ended after bench_report passed on Ctrl-C or SIGTERM
};

const char* outcome_name(Outcome o);  // "completed", "failed", "killed", "interrupted"

struct Repetition {
    Outcome outcome = Outcome::failed;
    std::optional<int> exit_status;  // when it exited
    std::optional<int> signal;       // when a signal ended it
    double seconds = 0;
    std::optional<std::filesystem::path> results_file;  // results_* in its directory
    std::string error;  // why it could not be started, or console.txt not written
};

struct RepetitionHooks {
    // Each complete line the program writes, as it comes.
    std::function<void(const std::string& line)> on_line;
    // About four times a second while the program runs.
    std::function<void()> on_tick;
};

// Runs `program` in `dir` (which must exist) with standard input at end of
// file, its standard output and error saved to dir/console.txt. A Ctrl-C or
// SIGTERM that bench_report receives meanwhile is passed on to the program
// (see forward_signals) and the repetition is marked interrupted.
Repetition run_repetition(const std::filesystem::path& program, const std::filesystem::path& dir,
                          const RepetitionHooks& hooks);

// From now on SIGINT and SIGTERM no longer end bench_report: they are passed on
// to the running program and remembered. Returns false when it cannot.
bool forward_signals();

// The first SIGINT or SIGTERM received since forward_signals, 0 if none.
int received_signal();

// "SIGINT", "SIGKILL", ...; "signal N" for others.
std::string signal_name(int signal);

}  // namespace report
