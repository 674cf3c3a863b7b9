// Where a run's "times faster" goes: for each test, the ideal (as many times
// as threads), the efficiency, and what the records can tell apart of the
// shortfall: threads sharing a physical core, the slowest thread against the
// mean, NUMA nodes crossed, the clock, a hypervisor. And for the points of a
// `run --scaling` sweep, each test's overall rate against the threads with
// the ideal line. Every output reads these; none decides on its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "machine/topology.h"
#include "model/run.h"

namespace report {

// How the threads were placed, as far as the records say.
enum class Placing {
    bound,      // a sweep's point: thread t on a known CPU
    unbound,    // machine.json says the CPUs allowed; the scheduler chose
    not_known,  // no machine.json, or one that records no CPUs allowed
};

// One test's improvement, explained.
struct TestScaling {
    std::string key;
    int threads = 0;  // the ideal improvement
    double improvement = 0;
    double efficiency = 0;  // improvement / threads
    // The slowest thread of the multi-thread pass against the threads' mean
    // rate, which thread it was and, when the threads were bound, its CPU.
    std::optional<double> slowest_share;
    int slowest_thread = 0;
    std::optional<int> slowest_cpu;
    // The all-core clock against the one-core clock: the multi-thread
    // pass's mean clock over the single-thread pass's, and the samples of
    // each (summed over a label's repetitions, so wider than one's count);
    // absent when either pass has no sample.
    std::optional<double> clock_ratio;
    long long clock_single_samples = 0, clock_multi_samples = 0;
};

// Whether an efficiency above 100% is the workload's own and no fault: float
// and integer streaming, whose single-thread pass asks the OpenMP runtime for
// the processor count twice an iteration, a system call the threads' pass
// does not make.
bool above_ideal_by_design(const TestScaling& t);

// How the clock of the passes was measured, or why it was not.
struct ClockNote {
    bool measured = false;
    std::string source;  // "aperf_mperf", "scaling_cur_freq" when measured
    std::string reason;  // when not
    int interval_ms = 0;  // 0 when not recorded
};

struct RunScaling {
    Placing placing = Placing::not_known;
    bool recorded = false;  // a machine.json lies beside the results file
    CpuSet cpus;  // where the threads ran (bound) or could run (unbound)
    std::optional<int> cores;  // physical cores among them, when the topology is recorded
    int sharing = 0;          // threads on a core that holds another thread (bound), or
                              // threads past one per core (unbound): SMT
    CpuSet nodes;             // NUMA nodes among the CPUs
    ClockNote clock;
    bool hypervisor = false;
    // The processors' worth of time the cgroup allowed, when fewer than the
    // threads: they took turns, and the improvement measures the quota.
    std::optional<double> cpu_quota;
    std::vector<TestScaling> tests;  // those with an improvement
};

RunScaling explain_scaling(const Run& run);

// One label's repetitions explained together (compare): where the threads
// ran, the NUMA nodes, the clock's source or reason and the hypervisor as
// its first repetition records them; for each test, the medians over the
// repetitions that have it of the improvement, the slowest thread's share
// and the clock ratio (its samples summed), the efficiency being the median
// improvement over the threads.
struct LabelScaling {
    RunScaling first;  // the first repetition's explanation; its tests unused
    int repetitions = 0;
    std::vector<TestScaling> tests;
};

LabelScaling explain_label(const std::vector<const Run*>& repetitions);

// One point of a sweep's curve for one test.
struct CurvePoint {
    int threads = 0;
    CpuSet cpus;
    bool smt = false;  // threads share cores: past one thread per physical core
    double rate = 0;   // median overall rate over the point's repetitions
    double low = 0, high = 0;  // the lowest and highest of them
    int repetitions = 0;
    double ideal = 0;  // the one-thread point's rate times threads
    double efficiency = 0;  // rate / ideal
};

struct CurveTest {
    std::string key;
    std::string unit;
    std::vector<CurvePoint> points;  // by threads
};

// The runs of one sweep of one program, as points.
struct SweepCurve {
    std::string sweep;  // machine.json's scaling.sweep
    std::string label;
    Program program = Program::processors;
    int cores = 0;  // physical cores of the widest point
    // The tightest cgroup CPU quota of its points (processors' worth), when
    // fewer than the widest point's threads: the points past it took turns.
    std::optional<double> cpu_quota;
    std::vector<CurveTest> tests;
};

// Each sweep among `runs` (repetitions carrying scaling.sweep), in order of
// first appearance; a test's curve needs its one-thread point for the ideal.
std::vector<SweepCurve> sweep_curves(const std::vector<const Run*>& runs);

}  // namespace report
