// The repetition schedule of `run`: which program of which build runs next,
// in which directory, until when; what each repetition leaves in its
// machine.json; and when to stop (the repetitions asked for, the spread or
// the precision reached, the time budget, a signal). Time, the programs and
// the machine are reached through interfaces that tests replace with fakes,
// and everything said goes to an observer as facts: the command's view words
// them.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "analysis/precision.h"
#include "analysis/stopping.h"
#include "execution/runner.h"
#include "machine/machine.h"
#include "machine/pass_clock.h"
#include "model/run.h"

namespace report {

// Steady time, for durations and the budget, and wall time, for names and records.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double seconds() = 0;  // steady, from an arbitrary origin
    virtual std::chrono::system_clock::time_point wall() = 0;
};

// Runs one program in a directory, and knows whether a stop was asked for.
class Executor {
public:
    virtual ~Executor() = default;
    // Sets up what stopping needs (catching SIGINT, SIGTERM, SIGHUP); false when it cannot.
    virtual bool prepare() = 0;
    // `placement`: the CPUs and thread places of a scaling point; null to
    // run as bench_report itself does.
    virtual Execution execute(const std::filesystem::path& program,
                              const std::filesystem::path& dir, const ExecutionHooks& hooks,
                              std::optional<double> timeout_seconds,
                              const Placement* placement) = 0;
    // The signal that asks the run to stop, 0 while none came.
    virtual int stop_signal() = 0;
};

// The machine's description and state, and the program files.
class MachineReader {
public:
    virtual ~MachineReader() = default;
    virtual Machine machine() = 0;
    virtual MachineState state(std::chrono::milliseconds window) = 0;
    virtual ProgramFile program(const std::filesystem::path& path) = 0;
    // How the clock of `cpus` can be read while a program runs on them, or
    // why it cannot; absent when this reader does not sample the clock
    // (machine.json then has no `clock`).
    virtual std::optional<ClockProbe> clock(const CpuSet& cpus, const Machine& machine) {
        (void)cpus;
        (void)machine;
        return std::nullopt;
    }
};

// The real ones: the steady and system clocks, execute_program with the
// signals forwarded, the live machine under "/".
class SystemClock : public Clock {
public:
    double seconds() override;
    std::chrono::system_clock::time_point wall() override;
};
class ProcessExecutor : public Executor {
public:
    bool prepare() override;
    Execution execute(const std::filesystem::path& program, const std::filesystem::path& dir,
                      const ExecutionHooks& hooks, std::optional<double> timeout_seconds,
                      const Placement* placement) override;
    int stop_signal() override;
};
class LiveMachine : public MachineReader {
public:
    explicit LiveMachine(std::vector<std::string> environment);
    Machine machine() override;
    MachineState state(std::chrono::milliseconds window) override;
    ProgramFile program(const std::filesystem::path& path) override;
    std::optional<ClockProbe> clock(const CpuSet& cpus, const Machine& machine) override;

private:
    MachineSource source_;
};

// Repetitions when --runs is not given: a full bench_processors run takes
// about 13 minutes, so three (enough for a median and a spread); bench_memory
// takes seconds, so five (enough for a rank test to find a change).
inline constexpr int default_runs_processors = 3;
inline constexpr int default_runs_memory = 5;
// The stopping rules on the spread and on the precision: the fewest
// repetitions (rounds) before judging, and a cap so that a machine that never
// settles does not run forever.
inline constexpr int stopping_minimum = 3;
inline constexpr int stopping_maximum = 20;

// What one repetition takes on a typical machine, until one has been timed here.
double stored_estimate(const std::string& program);

// One build: a label (its folder under the output folder) and its programs.
struct Build {
    std::string label;
    std::filesystem::path dir;                 // OUT/LABEL
    std::vector<std::filesystem::path> paths;  // one per program of the plan
};

struct SchedulePlan {
    std::vector<std::string> programs;  // "bench_processors", in order
    std::vector<int> runs;              // rounds of each before a stopping rule adds any
    // run --scaling: the set of CPUs of each entry of `programs` (a program
    // appears once per point); empty when the run is no sweep.
    std::vector<ScalingSet> sets;
    // One build, or several run in alternation (interleaved): each round runs
    // every build once, in round_order.
    std::vector<Build> builds;
    std::optional<double> until_stable;  // per cent of coefficient of variation
    std::optional<double> precision;     // per cent, half the interval's width
    std::optional<double> time_budget;   // seconds
    std::optional<double> timeout;       // seconds per repetition; else default_timeout
    bool strict = false;
    std::chrono::milliseconds busy_window{1000};  // busy processors are counted over it
    long process_id = 0;  // names an interleaved run, with its start
    std::string version;  // bench_report's, recorded in machine.json
};

// How long a repetition of `program` may run when --timeout is not given:
// ten times what one takes on a typical machine, plus ten minutes, so that
// only a program that hangs meets it (bench_processors: 2 h 20 min).
double default_timeout(const std::string& program);

// The order of the builds in round `round` (from 1) of `builds`: the given
// order in odd rounds, reversed in even ones (A B, B A, A B, ...; A B C,
// C B A, ...). Over every two rounds each build's mean position is the same,
// so a drift that is linear in time weighs on every build alike.
std::vector<std::size_t> round_order(std::size_t builds, int round);

// Why a program's repetitions stopped.
enum class StopReason {
    runs,        // the repetitions asked for ran
    stable,      // --until-stable: the spread fell to its bound
    precise,     // --precision: the interval narrowed to its bound
    cap,         // a stopping rule reached the most repetitions it adds
    time_budget, // no time left for the next repetition (round)
    signal,      // a signal stopped the run
    failure,     // a directory or machine.json could not be written
};

// Facts the schedule reports, in order; the command's view words them.
struct PlannedProgram {
    std::string program;
    std::size_t index = 0;  // into the plan's programs
    const Build* build = nullptr;
    int runs = 0;
    double each = 0;  // estimated seconds a repetition
    double timeout = 0;  // seconds after which a repetition is stopped
};
// What a run, or what is left of it, is expected to take. Every figure is an
// estimate: a typical machine's times until a repetition has been timed here,
// slowed for the load the machine had at the start; from then on, the times
// measured, and for programs not yet timed, their typical times scaled as the
// timed ones were.
struct Cost {
    double total = 0;                   // seconds for the repetitions planned
    std::optional<double> with_rules;   // a stopping rule adding every repetition it may
    std::optional<double> budget;       // seconds of time budget left, when it ends the run sooner
    // At the start: the typical times were multiplied by `load_factor` for
    // the load average (`load`, on `processors`); 1 and absent on a quiet machine.
    double load_factor = 1;
    std::optional<double> load;
    int processors = 0;
    bool said_again = false;  // a corrected estimate follows the first repetition (round)
};
// Said once for each program, after its first round that had a good
// repetition: what the round took against what was expected, and the rest of
// the run at the speed measured so far.
struct Revision {
    std::string program;
    double took = 0;      // seconds of the round's good repetitions, readings included
    double expected = 0;  // what they were expected to take
    Cost rest;            // what is left of the run
    double elapsed = 0;   // since the run started
};
// Whether the round took ten times what was expected or more, or a tenth or
// less: the machine is far from the typical one the first estimate assumed.
inline bool far_from_estimate(const Revision& r) {
    return r.expected > 0 && r.took > 0 && (r.took >= 10 * r.expected || 10 * r.took <= r.expected);
}
struct Status {
    std::string program;
    const Build* build = nullptr;  // named when several builds are interleaved
    int number = 0, planned = 0;
    std::string activity;
    double elapsed = 0, left = 0;
};
struct Ended {
    std::string program;
    const Build* build = nullptr;
    int number = 0, planned = 0;
    Execution execution;
    int stop_signal = 0;  // the signal that interrupted it
    // Why its outcome is invalid (it exited 0, but the results file is
    // missing, does not read, is cut short or is another program's), as
    // machine.json's reason says it: "its results file is cut short".
    std::string reason;
    bool good() const;
    std::filesystem::path dir;
};
struct Decision {
    std::string program;
    int next = 0;  // the repetition (round) the decision is about
    StopReason reason = StopReason::runs;  // stable/precise/cap: stops; runs: adds one
    MoreWanted wanted = MoreWanted::none;  // runs/cap: the rule that wants another
    std::optional<Variation> variation;         // --until-stable: the widest spread
    const Build* varies = nullptr;              // its build
    std::optional<PrecisionInterval> interval;  // --precision: the widest interval
    const Build* imprecise = nullptr;           // its build
    double estimate = 0;                        // time_budget: the next one's estimate
};
struct Unpaired {
    std::string program;
    int round = 0;
    std::vector<const Build*> missing;  // builds without a good repetition in it
};
struct ProgramSummary {
    std::string program;
    const Build* build = nullptr;
    std::optional<Variation> variation;
    std::optional<PrecisionInterval> interval;  // one build: itself; else against the first build
    StopReason stopped = StopReason::runs;
};
// A label that already holds repetitions of the program from another build:
// compare keeps the builds apart, as LABEL@ and the first 8 hex digits of each.
struct OtherBuild {
    std::string program;
    const Build* build = nullptr;
    std::string added;              // the build about to run
    std::vector<std::string> held;  // the builds already there
};
struct ScheduleError {
    std::string what;  // "create", "write"
    std::filesystem::path path;
    std::string reason;  // the system's words, "No space left on device"
};

// Why the results file a program left on exiting 0 cannot be counted, in the
// words machine.json's reason keeps; absent when it is a complete results
// file of `program`, and then `usable` (when given) is its run.
// `results_file` absent: the program wrote none.
std::optional<std::string> results_problem(const std::optional<std::filesystem::path>& results_file,
                                           const std::string& program, Run* usable = nullptr);

// What machine.json's reason and the view say of an execution whose output
// stayed open after the program ended (Execution::output_held).
std::string held_output_reason();

// Writes `text` to `path` whole or not at all (replace_file): the temporary
// file beside it never stays. The error names the file that could not be
// written and the system's reason.
std::optional<ScheduleError> write_whole(const std::filesystem::path& path,
                                         const std::string& text);

class ScheduleObserver {
public:
    virtual ~ScheduleObserver() = default;
    virtual void start(const SchedulePlan&) {}
    virtual void warnings(const std::vector<Disturbance>&) {}
    virtual void planned(const PlannedProgram&) {}
    virtual void cost(const Cost&) {}
    virtual void revised(const Revision&) {}
    virtual void other_build(const OtherBuild&) {}
    virtual void decision(const Decision&) {}
    virtual void status(const Status&) {}
    virtual void ended(const Ended&) {}
    virtual void unpaired(const Unpaired&) {}
    virtual void summary(const ProgramSummary&) {}
};

struct ScheduleResult {
    bool refused = false;  // --strict with warnings that can be removed: nothing ran
    std::size_t warnings = 0;
    std::vector<Disturbance> removable;  // the warnings that can be removed (machine/context.h)
    std::optional<ScheduleError> error;
    bool cannot_catch_signals = false;
    int stopped_by = 0;  // the signal that stopped the run
    // The signal ended a repetition, marked "interrupted" in its machine.json;
    // false when it came between repetitions.
    bool interrupted_one = false;
    int directories = 0, started = 0, completed = 0, unsuccessful = 0;
    std::vector<std::filesystem::path> folders;  // the builds' folders that got a repetition
    double elapsed = 0;
};

// The interleaved run's name shared by its repetitions: its UTC start and the
// process id, "20261208T231500Z-4711".
std::string interleaved_name(std::chrono::system_clock::time_point start, long pid);

ScheduleResult run_schedule(const SchedulePlan& plan, Clock& clock, Executor& executor,
                            MachineReader& reader, ScheduleObserver& observer);

}  // namespace report
