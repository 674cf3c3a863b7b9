// Running the benchmark programs: finding them, running one repetition in a
// directory of its own with standard input at end of file, keeping what it
// printed, and passing Ctrl-C and SIGTERM on to it.
#pragma once

#include <filesystem>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "machine/topology.h"

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
    interrupted,  // ended after bench_report passed on Ctrl-C, SIGTERM or SIGHUP
    timed_out,    // stopped by bench_report when it ran past its timeout
    // Exited with status 0 but left no usable results file: none, one that
    // does not read, one cut short, or another program's. Only the schedule,
    // which reads the file, says so.
    invalid,
};

// "completed", "failed", "killed", "interrupted", "timed_out", "invalid"
const char* outcome_name(Outcome o);

// How one execution of a program ended.
struct Execution {
    Outcome outcome = Outcome::failed;
    std::optional<int> exit_status;  // when it exited
    std::optional<int> signal;       // when a signal ended it
    double seconds = 0;
    std::optional<std::filesystem::path> results_file;  // results_* in its directory
    std::string error;  // why it could not be started, or console.txt not written
    // The output stayed open past output_grace_seconds after the program
    // ended (a process it started holds it): reading stopped there.
    bool output_held = false;
};

struct ExecutionHooks {
    // Each complete line the program writes, as it comes.
    std::function<void(const std::string& line)> on_line;
    // About four times a second while the program runs.
    std::function<void()> on_tick;
    // The program's process id, once it has started.
    std::function<void(long pid)> on_start;
};

// Where a program's threads run: the CPUs its process may use (its affinity,
// set in the child before the program starts, so the OpenMP runtime counts
// them as its processors) and the variables that place each thread on one
// of them, replacing any of the same name bench_report inherited.
struct Placement {
    CpuSet cpus;
    std::vector<std::pair<std::string, std::string>> environment;
};

// The placement of a scaling point: its CPUs, OMP_PLACES listing them one
// place each in the threads' order, OMP_PROC_BIND its binding and
// OMP_NUM_THREADS their count.
Placement placement_of(const ScalingSet& set);

// Whether this process can run on `cpus` (tried on itself, then put back as
// it was): absent when it can, else the system's reason.
std::optional<std::string> affinity_refusal(const CpuSet& cpus);

// The CPUs this process may use (its scheduler affinity); empty when unknown.
CpuSet current_affinity();

// Runs `program` in `dir` (which must exist) with standard input at end of
// file, its standard output and error saved to dir/console.txt and handed on
// line by line (a line longer than longest_line is cut there). A Ctrl-C,
// SIGTERM or SIGHUP that bench_report receives meanwhile is passed on to the
// program's process group (see forward_signals) and the execution is marked
// interrupted; past `timeout_seconds` the group gets SIGTERM and the execution
// is marked timed out. A group that outlives either by 10 s gets SIGKILL.
// Once the program has ended, its output is read for output_grace_seconds
// more at most: a process it started that keeps the output open (one that
// left its process group) cannot hold the run; the program's group then gets
// SIGTERM and the execution says so (output_held). With a `placement`, the
// program runs on its CPUs with its variables; a set the kernel refuses
// fails the execution, naming the set.
Execution execute_program(const std::filesystem::path& program, const std::filesystem::path& dir,
                          const ExecutionHooks& hooks,
                          std::optional<double> timeout_seconds = std::nullopt,
                          const Placement* placement = nullptr);

// The most of one output line kept and handed on.
inline constexpr std::size_t longest_line = 64 * 1024;
// How long the output is still read once the program has ended.
inline constexpr double output_grace_seconds = 2;

// From now on SIGINT, SIGTERM and SIGHUP no longer end bench_report: they are
// passed on to the running program and remembered; SIGXFSZ and SIGPIPE are
// ignored, so a file-size limit or a closed pipe is a failed write, said.
// A signal ignored when bench_report started (nohup, a background job of a
// shell) stays ignored, and is ignored by the programs too.
// Returns false when it cannot.
bool forward_signals();

// The first SIGINT, SIGTERM or SIGHUP received since forward_signals, 0 if none.
int received_signal();

// "SIGINT", "SIGKILL", ...; "signal N" for others.
std::string signal_name(int signal);

}  // namespace report
