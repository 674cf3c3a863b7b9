// Reading the context of the machine (machine/context.h) from /proc, /sys and
// the C library, and the program file measured. Everything is read from a
// root directory, "/" on the live machine, so captured trees read the same
// way.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "machine/context.h"

namespace report {

// Processor time counters of /proc/stat, in clock ticks.
struct CpuTimes {
    struct Counter {
        unsigned long long busy = 0;
        unsigned long long total = 0;
    };
    Counter all;
    std::vector<Counter> cpus;  // by position of the cpuN lines
};

struct MachineSource {
    std::filesystem::path root = "/";
    // "NAME=value" strings; the OMP_* and GOMP_* ones are recorded.
    std::vector<std::string> environment;
    // Ask the running C library for its version (only true for the live machine).
    bool live = true;
};

// The machine as seen from `source.root`, its state without a busy window.
// `tuned` stays absent: the settings' rules are not run here.
Machine read_machine(const MachineSource& source);

// The state now. With a window, /proc/stat is read at its start and end and
// the busy shares are those of the window; without one they stay absent.
MachineState read_state(const std::filesystem::path& root, std::chrono::milliseconds window);

// The counters of a /proc/stat text; absent when it has no "cpu" line.
std::optional<CpuTimes> parse_cpu_times(const std::string& text);

// Busy shares between two readings; absent when no tick passed.
void busy_shares(const CpuTimes& before, const CpuTimes& after, MachineState& state);

// Number of processors in a list such as "0-3,8,10-11"; absent when malformed.
std::optional<int> count_cpu_list(const std::string& list);

// A one-line file of /proc or /sys under the root, trimmed, exactly as the
// kernel writes it; absent when missing, unreadable or empty, and when it is
// no regular file (never opened: a FIFO could make the read wait forever),
// which `refused`, when given, then names ("PATH: a FIFO, not a regular file").
std::optional<std::string> read_setting(const std::filesystem::path& file,
                                        std::vector<std::string>* refused = nullptr);

// The program file at `program`: its path, size, digests, and the OpenMP
// runtime it names, with the packages holding them in the dpkg database under `root`.
ProgramFile describe_program(const std::filesystem::path& program,
                             const std::filesystem::path& root = "/");

}  // namespace report
