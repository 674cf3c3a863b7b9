// What the sources of the runner share (runner.cpp, signals.cpp,
// placement.cpp, execute.cpp): the state of the signals passed on to a
// program, and a set of CPUs as the kernel takes it. Not for use outside
// them.
#pragma once

#include <csignal>
#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

#include <sched.h>

#include "execution/runner.h"

namespace report::runner_parts {

// The signal received and a pipe that wakes the waiting loop when one comes.
extern volatile std::sig_atomic_t pending_signal;
extern int wake_pipe[2];

// The signals bench_report handles or ignores while it runs programs.
inline constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

// Whether `sig` was ignored when bench_report started: it stays ignored, in
// bench_report and in the programs (nohup, a shell's background job).
bool was_ignored(int sig);

// A set of CPUs as the kernel takes it, sized for its highest CPU.
class KernelCpuSet {
public:
    explicit KernelCpuSet(const CpuSet& cpus) {
        int highest = cpus.empty() ? 0 : cpus.back();
        count_ = static_cast<std::size_t>(highest) + 1;
        set_ = CPU_ALLOC(count_);
        size_ = CPU_ALLOC_SIZE(count_);
        if (set_) {
            CPU_ZERO_S(size_, set_);
            for (int cpu : cpus)
                CPU_SET_S(static_cast<std::size_t>(cpu), size_, set_);
        }
    }
    KernelCpuSet(const KernelCpuSet&) = delete;
    KernelCpuSet& operator=(const KernelCpuSet&) = delete;
    ~KernelCpuSet() {
        if (set_)
            CPU_FREE(set_);
    }
    // 0, else errno; async-signal-safe, for the child between fork and exec.
    int apply() const {
        if (!set_)
            return ENOMEM;
        return ::sched_setaffinity(0, size_, set_) == 0 ? 0 : errno;
    }

private:
    std::size_t count_ = 0, size_ = 0;
    cpu_set_t* set_ = nullptr;
};

// The environment with `placement`'s variables in place of any of the same name.
std::vector<std::string> placed_environment(const Placement& placement);

}  // namespace report::runner_parts
