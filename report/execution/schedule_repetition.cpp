// One repetition of a schedule: its own directory, the machine.json that
// says "running" and then how it ended, the program run with its clock
// sampled, and whether its results file counts.
#include "execution/schedule.h"
#include "execution/schedule_parts.h"
#include "machine/replace_file.h"
#include "model/calendar.h"

#include <atomic>
#include <iterator>
#include <set>
#include <system_error>

#include <nlohmann/json.hpp>

#include "execution/activity.h"
#include "execution/pass_meter.h"

namespace report::schedule_parts {

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

// The CPUs of `all` that are not in `part`.
CpuSet without(const CpuSet& all, const CpuSet& part) {
    CpuSet out;
    std::set_difference(all.begin(), all.end(), part.begin(), part.end(), std::back_inserter(out));
    return out;
}

}  // namespace

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

}  // namespace report::schedule_parts
