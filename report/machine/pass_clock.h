// The clock of the CPUs a program runs on, read while it runs: the msr PMU's
// APERF and MPERF counters through perf_event_open where the kernel offers
// them (their ratio is the clock over the base clock while the CPU was busy),
// else cpufreq's scaling_cur_freq under the root (a captured or built tree
// reads the same way). Where neither can be read, the reason in words.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "machine/machine.h"

namespace report {

// One way of reading the clock of a set of CPUs.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    // "aperf_mperf" or "scaling_cur_freq", as machine.json names it.
    virtual const char* name() const = 0;
    // Whether a reading covers the time since the one before (counters)
    // rather than the instant it is taken (a frequency).
    virtual bool over_interval() const = 0;
    // The clock of `focus` (a part of the CPUs the source was made for):
    // the mean MHz of those that give one, or APERF/MPERF summed over them
    // since the previous reading. Every CPU's counters are read each time,
    // so the next interval starts now for all. Absent when nothing was read.
    virtual std::optional<double> read(const CpuSet& focus) = 0;
};

// The msr PMU's APERF and MPERF counters of single CPUs (perf_event_open in
// the live system; fakes in tests).
class CounterAccess {
public:
    virtual ~CounterAccess() = default;
    // Opens both counters on `cpu` for PMU `type` with the events' configs:
    // 0, else the errno.
    virtual int open(int cpu, std::uint32_t type, std::uint64_t aperf, std::uint64_t mperf) = 0;
    // Both counts now, absent when they cannot be read.
    virtual std::optional<std::pair<std::uint64_t, std::uint64_t>> read(int cpu) = 0;
};

// The live system's counters, through perf_event_open.
std::unique_ptr<CounterAccess> perf_counters();

// A source for `cpus`, or why there is none.
struct ClockProbe {
    std::unique_ptr<ClockSource> source;
    std::string reason;  // when there is no source: "no cpufreq in sysfs and ..."
    CpuSet cpus;
    std::filesystem::path root;  // where /proc is read (last_cpu_of)
};

// Tries APERF/MPERF first (where root/sys/bus/event_source/devices/msr lists
// aperf and mperf and `counters` opens them on every CPU of `cpus`), then
// scaling_cur_freq (where every CPU of `cpus` has one that reads). The
// reason names what each lacked, "(virtual machine)" added under a
// hypervisor; `root_user` says whether a refusal was met as root.
// `counters` null: the counters are not tried (a captured tree).
ClockProbe probe_clock(const MachineSource& source, const CpuSet& cpus, bool hypervisor,
                       std::unique_ptr<CounterAccess> counters, bool root_user);

// The CPU thread `pid` of a process last ran on (/proc/PID/task/PID/stat
// under the root); absent when it cannot be read.
std::optional<int> last_cpu_of(const std::filesystem::path& root, long pid);

}  // namespace report
