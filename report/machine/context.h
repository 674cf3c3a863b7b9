// The context of the machine a benchmark runs on: what it is (processor,
// topology, caches, frequency policy, kernel, limits), what it is doing
// (load, memory, busy processors), and the program file measured, as
// machine/machine.h reads them and machine.json records them. A field the
// machine does not expose stays absent (null in machine.json), never guessed.
// Plain values with no reading attached, so that every layer that looks at a
// record can include them cheaply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "machine/topology.h"

namespace report {

struct Cache {
    int level = 0;
    std::string type;  // "Data", "Instruction", "Unified"
    std::optional<long long> size_kib;
    std::optional<int> line_bytes;
    std::optional<int> ways;
    int instances = 0;  // distinct sets of processors sharing one
};

// One cpufreq policy: the processors it governs and how.
struct FrequencyPolicy {
    std::string name;  // "policy0"
    std::string cpus;  // "0-3"
    std::optional<std::string> driver;
    std::optional<std::string> governor;
    std::optional<double> min_mhz;  // hardware limits
    std::optional<double> max_mhz;
    std::optional<bool> boost;  // the policy's own boost switch, where it has one
};

// A kind of core on a hybrid processor ("cpu_core", "cpu_atom").
struct CoreType {
    std::string name;
    std::string cpus;
    int count = 0;
};

// What changes while the machine runs; read before and after each repetition.
struct MachineState {
    std::optional<double> load1, load5, load15;
    std::optional<long long> memory_available_kib;
    std::optional<long long> swap_used_kib;
    std::vector<std::optional<double>> current_mhz;  // per logical processor
    std::optional<double> busy;            // share of processor time busy, 0..1, over the window
    std::vector<double> cpu_busy;          // the same per processor
    std::optional<double> window_seconds;  // how long the busy shares were measured
};

struct Machine {
    std::optional<std::string> hostname;
    std::optional<std::string> vendor;
    std::optional<std::string> model_name;
    std::optional<int> family, model, stepping;
    std::optional<std::string> microcode;

    std::optional<int> logical_cpus;
    std::optional<int> cores;
    std::optional<int> sockets;
    std::optional<bool> smt_active;
    std::optional<std::string> smt_control;
    std::optional<int> numa_nodes;
    std::vector<CoreType> core_types;  // empty unless the processor has several
    Topology topology;                 // which CPUs share a core, a cache, a node
    std::vector<Cache> caches;

    std::optional<double> min_mhz, max_mhz;  // over every policy
    std::vector<FrequencyPolicy> policies;   // empty without cpufreq
    std::optional<bool> boost;               // machine-wide boost/turbo switch
    // Whether the governor, minimum frequency and boost are as `system tune`
    // sets them; absent when the machine exposes none of them. Filled in
    // for the record `run` writes (is_tuned, machine/system.h), not by
    // reading the machine.
    std::optional<bool> tuned;

    std::optional<std::string> thp_enabled, thp_defrag;
    std::optional<std::string> kernel_release, kernel_command_line;
    std::optional<std::string> os_id, os_version_id, os_pretty_name;
    std::optional<std::string> libc_version;

    std::optional<bool> hypervisor;  // the processor's hypervisor flag
    std::optional<std::string> dmi_vendor, dmi_product;

    std::optional<long long> memory_total_kib, swap_total_kib;

    std::optional<std::string> affinity;  // "0-3", this process's allowed processors
    std::optional<int> affinity_cpus;

    std::optional<int> cgroup_version;
    std::optional<std::string> cgroup_path;
    std::optional<double> cpu_quota;    // processors' worth of time, absent when unlimited
    std::optional<std::string> cpuset;  // the cgroup's effective CPUs, "0-3", where it has a cpuset
    std::optional<long long> memory_limit_bytes;  // absent when unlimited

    std::vector<std::pair<std::string, std::string>> openmp_environment;  // OMP_*, GOMP_*

    MachineState state;

    // Files under the root that are there but are no regular files (a FIFO
    // or a device where the kernel keeps a value), left unread: "PATH: a
    // FIFO, not a regular file". Not part of machine.json.
    std::vector<std::string> refused_files;
};

// The governor that keeps the clock where the load cannot move it.
inline constexpr const char* steady_governor = "performance";

// Something about the machine likely to disturb a measurement.
struct Disturbance {
    std::string check;    // "governor", "load", "busy_cpu", "cpu_quota", "affinity",
                          // "openmp_environment", "swap", "hypervisor"
    std::string message;  // one sentence for people
};

std::vector<Disturbance> disturbances(const Machine& machine);

// The command that removes a disturbance (by its check), or absent for a
// condition of the machine that nothing run on it removes (a hypervisor):
// --strict refuses to run on what can be removed and says the rest.
std::optional<std::string> removal(const Disturbance& disturbance);

// A processor busier than this share of the window counts as busy.
constexpr double busy_cpu_threshold = 0.25;

// The clock of the CPUs a program could run on, sampled while it ran and
// kept apart for each test's single-thread and multi-thread pass.
struct PassClock {
    std::optional<double> mean;  // MHz, or APERF/MPERF; absent without a sample
    int samples = 0;
};
struct TestClock {
    std::string test;  // the catalogue's key
    PassClock single, multi;
};
struct ClockRecord {
    // "aperf_mperf" (the msr PMU's counters, a ratio to the base clock) or
    // "scaling_cur_freq" (cpufreq's current frequency, MHz); absent when
    // neither could be read, and then `reason` says why in words.
    std::optional<std::string> source;
    std::optional<std::string> reason;
    std::optional<int> interval_ms;  // the time between samples
    CpuSet cpus;                     // the CPUs sampled
    std::vector<TestClock> tests;    // in the order the program ran them
};

// The program measured: its file and the OpenMP runtime it asks for.
struct ProgramFile {
    std::string path;
    std::optional<std::uintmax_t> size;
    std::optional<std::string> sha256;
    // The GNU build ID (hex), equal in a build and its stripped copy.
    std::optional<std::string> build_id;
    std::optional<std::string> package_version;  // of the installed package holding it
    std::optional<std::string> openmp_library;   // "libgomp.so.1", as the program names it
    std::optional<std::string> openmp_path;      // where the system keeps it
    std::optional<std::string> openmp_version;   // version of the package holding it
};

}  // namespace report
