#include "execution/schedule.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/recorded.h"
#include "execution/activity.h"
#include "execution/pass_meter.h"
#include "input/load.h"
#include "machine/record.h"
#include "machine/replace_file.h"
#include "model/calendar.h"

namespace report {

namespace fs = std::filesystem;

double SystemClock::seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::system_clock::time_point SystemClock::wall() {
    return std::chrono::system_clock::now();
}

bool ProcessExecutor::prepare() {
    return forward_signals();
}

Execution ProcessExecutor::execute(const fs::path& program, const fs::path& dir,
                                   const ExecutionHooks& hooks,
                                   std::optional<double> timeout_seconds,
                                   const Placement* placement) {
    return execute_program(program, dir, hooks, timeout_seconds, placement);
}

int ProcessExecutor::stop_signal() {
    return received_signal();
}

LiveMachine::LiveMachine(std::vector<std::string> environment) {
    source_.environment = std::move(environment);
}

Machine LiveMachine::machine() {
    return read_machine(source_);
}

MachineState LiveMachine::state(std::chrono::milliseconds window) {
    return read_state(source_.root, window);
}

ProgramFile LiveMachine::program(const fs::path& path) {
    return describe_program(path, source_.root);
}

std::optional<ClockProbe> LiveMachine::clock(const CpuSet& cpus, const Machine& machine) {
    return probe_clock(source_, cpus, machine.hypervisor.value_or(false), perf_counters(),
                       ::geteuid() == 0);
}

double stored_estimate(const std::string& program) {
    return program == "bench_processors" ? 780.0 : 5.0;
}

double default_timeout(const std::string& program) {
    return 10 * stored_estimate(program) + 600;
}

// A repetition's limit: --timeout, else the program's default.
static double repetition_timeout(const SchedulePlan& plan, const std::string& program) {
    return plan.timeout ? *plan.timeout : default_timeout(program);
}

std::vector<std::size_t> round_order(std::size_t builds, int round) {
    std::vector<std::size_t> order(builds);
    for (std::size_t i = 0; i < builds; ++i)
        order[i] = i;
    if (round % 2 == 0)
        std::reverse(order.begin(), order.end());
    return order;
}

bool Ended::good() const {
    return execution.outcome == Outcome::completed;
}

std::optional<std::string> results_problem(const std::optional<fs::path>& results_file,
                                           const std::string& program, Run* usable) {
    if (!results_file)
        return "it wrote no results file";
    Loaded loaded = load_runs({results_file->string()}, {});
    for (const LoadNote& n : loaded.notes) {
        if (n.kind == LoadNote::not_results)
            return fmt::format("its results file does not parse (line {}: expected {})",
                               n.line, n.reason);
        if (n.kind == LoadNote::unreadable)
            return "its results file cannot be read: " + n.reason;
    }
    if (loaded.runs.empty())
        return "its results file holds no run";
    const Run& run = loaded.runs.front();
    if (program_name(run.program) != program)
        return fmt::format("its results file is {}'s, not {}'s", program_name(run.program),
                           program);
    if (run.partial)
        return "its results file is cut short";
    if (usable)
        *usable = run;
    return std::nullopt;
}

std::string held_output_reason() {
    return fmt::format("a process it started kept its output open after it ended; reading "
                       "stopped {:g} s later and its process group was sent SIGTERM",
                       output_grace_seconds);
}

namespace {

// `text` into `path`, created or truncated; the system's reason when it fails.
std::optional<ScheduleError> write_file(const fs::path& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return ScheduleError{"write", path, std::strerror(errno)};
    int error = 0;
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A file-size limit (SIGXFSZ is ignored) or a full disk.
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error)
        return ScheduleError{"write", path, std::strerror(error)};
    return std::nullopt;
}

}  // namespace

std::optional<ScheduleError> write_whole(const fs::path& path, const std::string& text) {
    if (int failure = replace_file(path, text))
        return ScheduleError{"write", path, std::strerror(failure)};
    return std::nullopt;
}

namespace {

// The final machine.json of a repetition whose "running" one was written:
// whole, else (a full disk) rewritten in place and without indentation, so
// that it fits in the blocks the old one frees and does not go on saying
// "running". The error of the whole write when the one in place fails too:
// the file is then cut short, and every reader says it cannot be read.
std::optional<ScheduleError> write_final_record(const fs::path& path,
                                                const MachineRecord& record) {
    std::string text = record_text(record);
    std::optional<ScheduleError> error = write_whole(path, text);
    if (!error)
        return std::nullopt;
    std::string compact = nlohmann::ordered_json::parse(text).dump(
                              -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
                          '\n';
    if (!write_file(path, compact))
        return std::nullopt;
    return error;
}

// What the schedule knows of one build's repetitions of one program.
struct Sample {
    std::vector<double> durations;     // seconds of each good repetition, readings included
    std::vector<PassRates> rates;      // each good repetition's
    std::map<int, PassRates> by_round; // the same, by round
};

// The build of a recorded repetition, as compare tells builds apart.
std::optional<std::string> recorded_build(const MachineRecord& record) {
    Run run;
    run.machine = std::make_shared<const MachineRecord>(record);
    return build_identity(run);
}

// The builds of `program` whose repetitions `dir` already holds.
std::set<std::string> builds_held(const fs::path& dir, const std::string& program) {
    std::set<std::string> held;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string error;
        // read_record looks beside a results file: any name in the directory does.
        std::optional<MachineRecord> r = read_record(it->path() / "results", error);
        if (r && r->repetition.program == program)
            if (auto id = recorded_build(*r))
                held.insert(*id);
    }
    return held;
}

class Schedule {
public:
    Schedule(const SchedulePlan& plan, Clock& clock, Executor& executor, MachineReader& reader,
             ScheduleObserver& observer)
        : plan_(plan),
          clock_(clock),
          executor_(executor),
          reader_(reader),
          observer_(observer),
          samples_(plan.programs.size(), std::vector<Sample>(plan.builds.size())),
          sequence_(plan.builds.size(), 0) {}

    ScheduleResult run();

private:
    const SchedulePlan& plan_;
    Clock& clock_;
    Executor& executor_;
    MachineReader& reader_;
    ScheduleObserver& observer_;
    std::vector<std::vector<Sample>> samples_;  // [program][build]
    std::vector<int> sequence_;                 // the last sequence number of each build's folder
    std::vector<bool> used_ = std::vector<bool>(plan_.builds.size(), false);
    ScheduleResult result_;
    Machine machine_;
    std::vector<Disturbance> warnings_;
    bool first_ = true;
    double started_ = 0;
    std::string interleaved_;
    // The typical times multiplied for the load at the start, until a
    // repetition has been timed.
    double load_factor_ = 1;
    std::vector<bool> revised_ = std::vector<bool>(plan_.programs.size(), false);

    // Where one repetition stands while it runs.
    struct Slot {
        std::size_t program = 0, build = 0;
        int number = 0, position = 0, planned = 0;
        double left_after = 0;  // seconds of the run left once it ends
        std::chrono::system_clock::time_point wall_start;
        double started = 0;  // steady seconds
        fs::path dir;
    };

    bool interleaved() const { return plan_.builds.size() > 1; }
    // The scaling point of entry `program` of the plan, null in a run that is no sweep.
    const ScalingSet* set_of(std::size_t program) const {
        return program < plan_.sets.size() ? &plan_.sets[program] : nullptr;
    }
    // The entry as the run's messages name it: the program, and in a sweep its CPUs.
    std::string name_of(std::size_t program) const {
        const ScalingSet* set = set_of(program);
        if (!set)
            return plan_.programs[program];
        return fmt::format("{} on {} CPU{} ({})", plan_.programs[program], set->cpus.size(),
                           set->cpus.size() == 1 ? "" : "s", cpu_list_text(set->cpus));
    }
    double since_start() { return clock_.seconds() - started_; }

    // The mean of a build's timed repetitions of a program; 0 when none was timed.
    double measured(std::size_t program, std::size_t build) const {
        const std::vector<double>& d = samples_[program][build].durations;
        double sum = 0;
        for (double x : d)
            sum += x;
        return d.empty() ? 0 : sum / static_cast<double>(d.size());
    }
    // How much slower than a typical machine this one runs: the timed
    // repetitions against their typical times, else the load's factor.
    double speed_factor() const {
        double timed = 0, typical = 0;
        for (std::size_t p = 0; p < plan_.programs.size(); ++p)
            for (std::size_t b = 0; b < plan_.builds.size(); ++b)
                if (double m = measured(p, b); m > 0) {
                    timed += m;
                    typical += stored_estimate(plan_.programs[p]);
                }
        return typical > 0 ? timed / typical : load_factor_;
    }
    double estimate(std::size_t program, std::size_t build) const {
        double m = measured(program, build);
        return m > 0 ? m : stored_estimate(plan_.programs[program]) * speed_factor();
    }
    double round_estimate(std::size_t program) const {
        double sum = 0;
        for (std::size_t b = 0; b < plan_.builds.size(); ++b)
            sum += estimate(program, b);
        return sum;
    }
    int most_rounds(std::size_t program) const {
        return std::max(plan_.runs[program], stopping_maximum);
    }

    // Before the run: what the machine is and what disturbs it, what the run
    // costs, and which labels get a build of another kind.
    bool survey();
    Cost cost_from(std::size_t program, int next, double elapsed) const;
    void announce_cost();
    // Each build's estimate and count of timed repetitions of a program.
    struct Timings {
        std::vector<double> expected;
        std::vector<std::size_t> counts;
    };
    Timings timings_of(std::size_t program) const;
    void revise(std::size_t program, int next, const Timings& before);
    void announce_other_builds();
    bool make_folders();
    ScheduleResult finish();
    void summarise(std::size_t reached, const std::vector<StopReason>& stopped);

    std::optional<PrecisionInterval> interval(std::size_t program, std::size_t build) const;
    void widest_variation_of(std::size_t program, Decision& d) const;
    bool widest_interval_of(std::size_t program, Decision& d) const;
    std::optional<Decision> judge(std::size_t program, int next) const;
    bool over_budget(std::size_t program, int next);
    StopReason run_program(std::size_t program);
    bool run_round(std::size_t program, int next, int planned);
    void say_unpaired(std::size_t program, int round);

    // One repetition; false when the run must stop (a signal, an error).
    bool repetition(Slot slot);
    bool make_directory(Slot& slot);
    void drop_directory(const Slot& slot);
    Machine machine_before();
    MachineRecord first_record(const Slot& slot, const Machine& before) const;
    Execution execute(const Slot& slot, const Machine& before, MachineRecord& record);
    CpuSet sampled_cpus(const Slot& slot, const Machine& before) const;
    void judge_results(const Slot& slot, Ended& ended, RepetitionRecord& recorded);
    std::optional<std::string> point_problem(const Slot& slot, const Run& run) const;
    void record_end(MachineRecord& record, const Ended& ended);
};

std::optional<PrecisionInterval> Schedule::interval(std::size_t program, std::size_t build) const {
    const std::vector<Sample>& s = samples_[program];
    if (!interleaved())
        return precision_interval(self_log_factors(s[build].rates));
    if (build == 0)
        return std::nullopt;
    // Paired: the rounds where both the first build and this one completed.
    std::vector<double> factors;
    for (const auto& [round, rates] : s[build].by_round)
        if (auto base = s[0].by_round.find(round); base != s[0].by_round.end())
            if (auto f = log_time_factor(base->second, rates))
                factors.push_back(*f);
    return precision_interval(factors);
}

// --until-stable: the widest spread of any build into `d`.
void Schedule::widest_variation_of(std::size_t program, Decision& d) const {
    for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
        auto v = widest_variation(samples_[program][b].rates);
        if (v && (!d.variation || v->cv > d.variation->cv)) {
            d.variation = v;
            d.varies = &plan_.builds[b];
        }
    }
}

// --precision: the widest interval of any build into `d` (none yet, with
// fewer than 5 values, is the widest); whether it is wider than asked.
bool Schedule::widest_interval_of(std::size_t program, Decision& d) const {
    double widest = -1;
    for (std::size_t b = interleaved() ? 1 : 0; b < plan_.builds.size(); ++b) {
        auto p = interval(program, b);
        auto h = p ? p->half_width() : std::nullopt;
        double width = h ? *h : HUGE_VAL;
        if (width > widest) {
            widest = width;
            d.interval = p;
            d.imprecise = &plan_.builds[b];
        }
    }
    return widest * 100 > *plan_.precision;
}

// Whether the stopping rules want round `next`: a decision to add it, or to stop.
std::optional<Decision> Schedule::judge(std::size_t program, int next) const {
    Decision d;
    d.program = name_of(program);
    d.next = next;
    bool more = false;
    if (plan_.until_stable) {
        widest_variation_of(program, d);
        more = d.variation && d.variation->cv * 100 > *plan_.until_stable;
    }
    if (plan_.precision)
        more = widest_interval_of(program, d) || more;
    if (!more)
        d.reason = plan_.precision ? StopReason::precise : StopReason::stable;
    else
        d.reason = next > most_rounds(program) ? StopReason::cap : StopReason::runs;
    return d;
}

// Its own directory: UTC time and a sequence number, never reused.
bool Schedule::make_directory(Slot& slot) {
    const Build& b = plan_.builds[slot.build];
    std::string stamp = utc_compact_stamp(slot.wall_start);
    std::error_code ec;
    for (++sequence_[slot.build];; ++sequence_[slot.build]) {
        slot.dir = b.dir / fmt::format("{}-{}", stamp, sequence_[slot.build]);
        if (fs::create_directory(slot.dir, ec))
            break;
        if (ec) {
            result_.error = ScheduleError{"create", slot.dir, ec.message()};
            return false;
        }
    }
    ++result_.directories;
    return true;
}

// Nothing ran in it: the directory goes.
void Schedule::drop_directory(const Slot& slot) {
    std::error_code ec;
    fs::remove(slot.dir, ec);
    --result_.directories;
}

// The machine before a repetition: the first one's is read at the start.
Machine Schedule::machine_before() {
    Machine before = first_ ? machine_ : reader_.machine();
    if (!first_)
        before.state = reader_.state(plan_.busy_window);
    first_ = false;
    return before;
}

// The machine.json of a repetition that has not ended: "running".
MachineRecord Schedule::first_record(const Slot& slot, const Machine& before) const {
    const Build& b = plan_.builds[slot.build];
    MachineRecord record;
    record.bench_report_version = plan_.version;
    RepetitionRecord& recorded = record.repetition;
    recorded.program = plan_.programs[slot.program];
    recorded.number = slot.number;
    recorded.label = b.label;
    recorded.started = utc_stamp(slot.wall_start);
    recorded.outcome = "running";
    if (const ScalingSet* set = set_of(slot.program)) {
        record.scaling = *set;
        record.scaling->sweep = interleaved_;
    }
    if (interleaved()) {
        recorded.interleaved = interleaved_;
        recorded.round = slot.number;
        recorded.position = slot.position;
    }
    record.program = reader_.program(b.paths[slot.program]);
    record.machine = before;
    record.before = before.state;
    record.warnings = warnings_;
    return record;
}

// The CPUs of `all` that are not in `part`.
CpuSet without(const CpuSet& all, const CpuSet& part) {
    CpuSet out;
    std::set_difference(all.begin(), all.end(), part.begin(), part.end(), std::back_inserter(out));
    return out;
}

// The CPUs the program may run on: its point's, else those bench_report may use.
CpuSet Schedule::sampled_cpus(const Slot& slot, const Machine& before) const {
    if (const ScalingSet* set = set_of(slot.program))
        return set->cpus;
    std::optional<CpuSet> allowed =
        before.affinity ? parse_cpu_list(*before.affinity) : std::nullopt;
    if (!allowed || allowed->empty())
        return before.topology.online;
    return before.topology.known() ? intersection(*allowed, before.topology.online) : *allowed;
}

// Runs the program, saying how far it has got as it goes, and samples the
// clock of its CPUs meanwhile into the record.
Execution Schedule::execute(const Slot& slot, const Machine& before, MachineRecord& record) {
    const Build& b = plan_.builds[slot.build];
    Activity activity;
    double each = estimate(slot.program, slot.build);
    auto show = [&] {
        Status s;
        s.program = name_of(slot.program);
        s.build = interleaved() ? &b : nullptr;
        s.number = slot.number;
        s.planned = slot.planned;
        s.activity = activity.text();
        s.elapsed = since_start();
        s.left = std::max(0.0, each - (clock_.seconds() - slot.started)) + slot.left_after;
        observer_.status(s);
    };
    show();
    std::optional<ClockProbe> probe = reader_.clock(sampled_cpus(slot, before), before);
    std::optional<PassMeter> meter;
    std::atomic<long> pid{0};
    if (probe && probe->source)
        meter.emplace(*probe->source, probe->cpus, [&]() -> std::optional<int> {
            long p = pid.load();
            return p > 0 ? last_cpu_of(probe->root, p) : std::nullopt;
        });
    // Started once the program runs (no thread of bench_report's but this one
    // while it forks), stopped as soon as it has ended.
    std::optional<ClockSampler> sampler;
    ExecutionHooks hooks{[&](const std::string& line) {
                             activity.see(line);
                             if (meter)
                                 meter->see(line);
                             show();
                         },
                         [&] { show(); },
                         [&](long started) {
                             pid = started;
                             if (meter)
                                 sampler.emplace(*meter, clock_interval,
                                                 without(current_affinity(), probe->cpus));
                         }};
    std::optional<Placement> placement;
    if (const ScalingSet* set = set_of(slot.program))
        placement = placement_of(*set);
    Execution e = executor_.execute(b.paths[slot.program], slot.dir, hooks,
                                    repetition_timeout(plan_, plan_.programs[slot.program]),
                                    placement ? &*placement : nullptr);
    sampler.reset();
    ++result_.started;
    if (meter)
        record.clock = meter->record(static_cast<int>(clock_interval.count()));
    else if (probe)
        record.clock = ClockRecord{std::nullopt, probe->reason, std::nullopt, probe->cpus, {}};
    return e;
}

// A sweep's point ran as many threads as its set has CPUs (OMP_NUM_THREADS):
// fewer say that it could use fewer CPUs than its set, a cpuset narrowed or
// a CPU taken offline since the sweep was planned, and its rates are not
// the point's. Absent when it matches, or in a run that is no sweep.
std::optional<std::string> Schedule::point_problem(const Slot& slot, const Run& run) const {
    const ScalingSet* set = set_of(slot.program);
    if (!set || !run.threads || *run.threads == static_cast<long long>(set->places.size()))
        return std::nullopt;
    return fmt::format("it ran {} thread(s), not the {} of its CPU set {}: it could use fewer "
                       "CPUs than the set (a narrowed cpuset or a CPU taken offline)",
                       *run.threads, set->places.size(), cpu_list_text(set->cpus));
}

// Exiting 0 is not enough: it must have left a complete results file of the
// program asked for (not another program behind its name), and a sweep's
// point must have run on its whole set. A good repetition's rates and
// duration go to its sample; the counts are kept.
void Schedule::judge_results(const Slot& slot, Ended& ended, RepetitionRecord& recorded) {
    const Execution& rep = ended.execution;
    Sample& sample = samples_[slot.program][slot.build];
    if (rep.outcome == Outcome::completed) {
        Run usable;
        std::optional<std::string> problem =
            results_problem(rep.results_file, plan_.programs[slot.program], &usable);
        if (!problem)
            problem = point_problem(slot, usable);
        if (problem) {
            ended.execution.outcome = Outcome::invalid;
            ended.reason = *problem;
            recorded.reason = *problem;
        } else {
            sample.rates.push_back(pass_rates(usable));
            sample.by_round[slot.number] = sample.rates.back();
        }
    }
    if (rep.outcome == Outcome::interrupted)
        ended.stop_signal = executor_.stop_signal();
    // A repetition that did not complete says why, this too; one that could
    // not start (its CPU set refused) gives the system's reason.
    if (rep.output_held && !ended.good() && !recorded.reason)
        recorded.reason = held_output_reason();
    if (rep.outcome == Outcome::failed && !rep.error.empty() && !recorded.reason)
        recorded.reason = rep.error;
    if (ended.good()) {
        ++result_.completed;
        // The estimate covers the whole repetition, the machine's readings included.
        sample.durations.push_back(clock_.seconds() - slot.started);
    } else if (rep.outcome != Outcome::interrupted) {
        ++result_.unsuccessful;
    }
}

// How it ended, into its machine.json, with the machine after it.
void Schedule::record_end(MachineRecord& record, const Ended& ended) {
    const Execution& rep = ended.execution;
    RepetitionRecord& recorded = record.repetition;
    recorded.finished = utc_stamp(clock_.wall());
    recorded.seconds = rep.seconds;
    recorded.outcome = outcome_name(rep.outcome);
    recorded.exit_status = rep.exit_status;
    if (rep.outcome == Outcome::interrupted)
        recorded.signal = signal_name(ended.stop_signal);
    else if (rep.signal)
        recorded.signal = signal_name(*rep.signal);
    if (rep.results_file)
        recorded.results_file = rep.results_file->filename().string();
    record.after = reader_.state(std::chrono::milliseconds(0));
    result_.error = write_final_record(ended.dir / "machine.json", record);
}

bool Schedule::repetition(Slot slot) {
    slot.wall_start = clock_.wall();
    slot.started = clock_.seconds();
    // The machine is read (over the busy window) before the directory is
    // made, which its machine.json then follows at once: a run killed while
    // it reads leaves no empty directory behind.
    Machine before = machine_before();
    if ((result_.stopped_by = executor_.stop_signal()))
        return false;
    if (!make_directory(slot))
        return false;
    MachineRecord record = first_record(slot, before);
    if ((result_.error = write_whole(slot.dir / "machine.json", record_text(record)))) {
        drop_directory(slot);
        return false;
    }
    used_[slot.build] = true;

    Ended ended;
    ended.execution = execute(slot, before, record);
    judge_results(slot, ended, record.repetition);
    ended.program = name_of(slot.program);
    ended.build = interleaved() ? &plan_.builds[slot.build] : nullptr;
    ended.number = slot.number;
    ended.planned = slot.planned;
    ended.dir = slot.dir;
    record_end(record, ended);
    // Said even when its record could not be written: it ran, and where.
    observer_.ended(ended);
    if (result_.error)
        return false;
    if (ended.execution.outcome == Outcome::interrupted) {
        result_.stopped_by = ended.stop_signal;
        result_.interrupted_one = true;
        return false;
    }
    return true;
}

// Whether the time budget leaves no time for round `next`; said when so.
bool Schedule::over_budget(std::size_t program, int next) {
    if (!plan_.time_budget || since_start() + round_estimate(program) <= *plan_.time_budget)
        return false;
    Decision d;
    d.program = name_of(program);
    d.next = next;
    d.reason = StopReason::time_budget;
    d.estimate = round_estimate(program);
    observer_.decision(d);
    return true;
}

// A round in which some build has no good repetition is said to be unpaired.
void Schedule::say_unpaired(std::size_t program, int round) {
    Unpaired u;
    u.program = name_of(program);
    u.round = round;
    for (std::size_t b = 0; b < plan_.builds.size(); ++b)
        if (!samples_[program][b].by_round.count(round))
            u.missing.push_back(&plan_.builds[b]);
    if (!u.missing.empty())
        observer_.unpaired(u);
}

// Round `next` of `program`: each build once, in the round's order; false
// when the run must stop.
bool Schedule::run_round(std::size_t program, int next, int planned) {
    // What is left after each repetition of the round: the rest of this
    // program's rounds, then every later program's.
    double later = 0;
    for (std::size_t q = program + 1; q < plan_.programs.size(); ++q)
        later += round_estimate(q) * plan_.runs[q];
    std::vector<std::size_t> order = round_order(plan_.builds.size(), next);
    double round_left = round_estimate(program);
    bool go_on = true;
    int before = result_.started;
    Timings timings = timings_of(program);
    for (std::size_t i = 0; i < order.size() && go_on; ++i) {
        round_left -= estimate(program, order[i]);
        Slot slot;
        slot.program = program;
        slot.build = order[i];
        slot.number = next;
        slot.position = static_cast<int>(i) + 1;
        slot.planned = planned;
        slot.left_after = round_left + round_estimate(program) * (planned - next) + later;
        go_on = repetition(slot);
    }
    if (!result_.error && interleaved() && result_.started > before)
        say_unpaired(program, next);
    if (go_on && !result_.error && !revised_[program])
        revise(program, next, timings);
    return go_on;
}

StopReason Schedule::run_program(std::size_t program) {
    int planned = plan_.runs[program];
    for (int next = 1;; ++next) {
        if (next > planned) {
            if (!plan_.until_stable && !plan_.precision)
                return StopReason::runs;
            std::optional<Decision> d = judge(program, next);
            observer_.decision(*d);
            if (d->reason != StopReason::runs)
                return d->reason;
            planned = next;
        }
        if (over_budget(program, next))
            return StopReason::time_budget;
        if ((result_.stopped_by = executor_.stop_signal()))
            return StopReason::signal;
        bool go_on = run_round(program, next, planned);
        if (result_.error)
            return StopReason::failure;
        if (!go_on)
            return StopReason::signal;
    }
}

// The machine as it is now, and what in it may disturb the figures; false
// when --strict refuses to run on it.
bool Schedule::survey() {
    machine_ = reader_.machine();
    machine_.state = reader_.state(plan_.busy_window);
    warnings_ = disturbances(machine_);
    // A load average above a tenth of the processors (as the warning says)
    // leaves the programs a share of them: n / (n + load).
    const std::optional<double>& load = machine_.state.load1;
    const std::optional<int>& n = machine_.logical_cpus;
    if (load && n && *n > 0 && *load > 0.1 * *n)
        load_factor_ = 1 + *load / *n;
    result_.warnings = warnings_.size();
    observer_.warnings(warnings_);
    // --strict refuses what can be removed; a condition nothing removes (a
    // hypervisor) is said and recorded, never refused.
    for (const Disturbance& d : warnings_)
        if (removal(d))
            result_.removable.push_back(d);
    result_.refused = plan_.strict && !result_.removable.empty();
    return !result_.refused;
}

// What is left of the run from round `next` of `program` on, at the speed
// known now, `elapsed` seconds after its start.
Cost Schedule::cost_from(std::size_t program, int next, double elapsed) const {
    Cost cost;
    bool rules = plan_.until_stable || plan_.precision;
    double most = 0;
    for (std::size_t p = program; p < plan_.programs.size(); ++p) {
        int done = p == program ? next - 1 : 0;
        cost.total += round_estimate(p) * std::max(0, plan_.runs[p] - done);
        most += round_estimate(p) * std::max(0, most_rounds(p) - done);
    }
    if (rules)
        cost.with_rules = most;
    if (plan_.time_budget) {
        double left = std::max(0.0, *plan_.time_budget - elapsed);
        if (left < (rules ? most : cost.total))
            cost.budget = left;
    }
    return cost;
}

// What it will cost, from the typical times and the load at the start.
void Schedule::announce_cost() {
    int repetitions = 0;
    for (std::size_t p = 0; p < plan_.programs.size(); ++p) {
        for (std::size_t b = 0; b < plan_.builds.size(); ++b)
            observer_.planned({name_of(p), p, &plan_.builds[b], plan_.runs[p],
                               estimate(p, b), repetition_timeout(plan_, plan_.programs[p])});
        repetitions += plan_.runs[p];
    }
    Cost cost = cost_from(0, 1, 0);
    cost.load_factor = load_factor_;
    if (load_factor_ > 1) {
        cost.load = machine_.state.load1;
        cost.processors = machine_.logical_cpus.value_or(0);
    }
    cost.said_again = repetitions > 1;
    observer_.cost(cost);
}

Schedule::Timings Schedule::timings_of(std::size_t program) const {
    Timings t;
    for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
        t.expected.push_back(estimate(program, b));
        t.counts.push_back(samples_[program][b].durations.size());
    }
    return t;
}

// After round `next` of `program`, the first to time a repetition of it
// (`before` the round: the estimates and counts): what its timed repetitions
// took against what was expected of them, and what is left at the speed now
// known; said when anything is left.
void Schedule::revise(std::size_t program, int next, const Timings& before) {
    Revision r;
    r.program = name_of(program);
    bool timed = false;
    for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
        const std::vector<double>& d = samples_[program][b].durations;
        if (d.size() > before.counts[b]) {
            timed = true;
            r.took += d.back();
            r.expected += before.expected[b];
        }
    }
    if (!timed)
        return;
    revised_[program] = true;
    r.elapsed = since_start();
    r.rest = cost_from(program, next + 1, r.elapsed);
    if (r.rest.total > 0 || r.rest.with_rules.value_or(0) > 0)
        observer_.revised(r);
}

// A new build under a label that holds another's is said before it runs.
void Schedule::announce_other_builds() {
    for (std::size_t p = 0; p < plan_.programs.size(); ++p)
        for (const Build& b : plan_.builds) {
            // A sweep names each program once per point: said for its first.
            if (p > 0 && set_of(p) && plan_.programs[p - 1] == plan_.programs[p])
                continue;
            MachineRecord now;
            now.program = reader_.program(b.paths[p]);
            std::optional<std::string> added = recorded_build(now);
            std::set<std::string> held = builds_held(b.dir, plan_.programs[p]);
            if (!added || held.empty() || held.count(*added))
                continue;
            OtherBuild o{plan_.programs[p], &b, added->substr(0, 8), {}};
            for (const std::string& h : held)
                o.held.push_back(h.substr(0, 8));
            observer_.other_build(o);
        }
}

// Each build's folder; false (the error kept) when one cannot be made.
bool Schedule::make_folders() {
    std::error_code ec;
    for (const Build& b : plan_.builds) {
        fs::create_directories(b.dir, ec);
        if (ec) {
            result_.error = ScheduleError{"create", b.dir, ec.message()};
            return false;
        }
    }
    return true;
}

// The folders that got a repetition are said whatever ends the run.
ScheduleResult Schedule::finish() {
    for (std::size_t b = 0; b < plan_.builds.size(); ++b)
        if (used_[b])
            result_.folders.push_back(plan_.builds[b].dir);
    result_.elapsed = since_start();
    return result_;
}

// Each program that started, each build: its spread, its interval, why it stopped.
void Schedule::summarise(std::size_t reached, const std::vector<StopReason>& stopped) {
    for (std::size_t p = 0; p < reached; ++p)
        for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
            ProgramSummary s;
            s.program = name_of(p);
            s.build = &plan_.builds[b];
            s.variation = widest_variation(samples_[p][b].rates);
            if (plan_.precision)
                s.interval = interval(p, b);
            s.stopped = stopped[p];
            observer_.summary(s);
        }
}

ScheduleResult Schedule::run() {
    observer_.start(plan_);
    if (!survey())
        return result_;
    announce_cost();
    announce_other_builds();
    if (!make_folders())
        return result_;
    if (!executor_.prepare()) {
        result_.cannot_catch_signals = true;
        return result_;
    }
    started_ = clock_.seconds();
    interleaved_ = interleaved_name(clock_.wall(), plan_.process_id);
    std::vector<StopReason> stopped(plan_.programs.size(), StopReason::runs);
    std::size_t reached = 0;
    for (std::size_t p = 0; p < plan_.programs.size(); ++p) {
        reached = p + 1;
        stopped[p] = run_program(p);
        if (result_.error)
            return finish();
        if (result_.stopped_by)
            break;
    }
    summarise(reached, stopped);
    return finish();
}

}  // namespace

std::string interleaved_name(std::chrono::system_clock::time_point start, long pid) {
    return fmt::format("{}-{}", utc_compact_stamp(start), pid);
}

ScheduleResult run_schedule(const SchedulePlan& plan, Clock& clock, Executor& executor,
                            MachineReader& reader, ScheduleObserver& observer) {
    return Schedule(plan, clock, executor, reader, observer).run();
}

}  // namespace report
