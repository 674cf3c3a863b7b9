// A schedule from start to end: the survey of the machine, the builds a
// label already holds, each program's rounds in order until a stopping rule,
// the budget or a signal ends them, and the summary.
#include "execution/schedule.h"
#include "execution/schedule_parts.h"

#include <set>
#include <system_error>

#include "machine/build_identity.h"

namespace report::schedule_parts {

namespace {

// The program files of `program`'s repetitions that `dir` already holds, in
// the order of their folders' names (the order compare reads them in).
std::vector<ProgramFile> programs_held(const fs::path& dir, const std::string& program) {
    std::vector<std::pair<fs::path, ProgramFile>> held;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        // read_record looks beside a results file: any name in the directory does.
        Expected<std::optional<MachineRecord>> r = read_record(it->path() / "results");
        if (r && *r && (*r)->repetition.program == program)
            held.emplace_back(it->path(), std::move((*r)->program));
    }
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ProgramFile> out;
    for (auto& [path, file] : held)
        out.push_back(std::move(file));
    return out;
}

}  // namespace

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

// A new build under a label that holds another's is said before it runs.
void Schedule::announce_other_builds() {
    for (std::size_t p = 0; p < plan_.programs.size(); ++p)
        for (const Build& b : plan_.builds) {
            // A sweep names each program once per point: said for its first.
            if (p > 0 && set_of(p) && plan_.programs[p - 1] == plan_.programs[p])
                continue;
            ProgramFile added = reader_.program(b.paths[p]);
            std::vector<ProgramFile> held = programs_held(b.dir, plan_.programs[p]);
            if (!added.sha256 || added.sha256->empty() ||
                std::any_of(held.begin(), held.end(),
                            [&](const ProgramFile& h) { return same_build(added, h); }))
                continue;
            // The builds held, each named as compare names it.
            BuildClasses classes;
            for (const ProgramFile& h : held)
                classes.add(h);
            std::set<std::string> names;
            for (const ProgramFile& h : held)
                if (std::optional<std::string> name = classes.name(h))
                    names.insert(name->substr(0, 8));
            if (names.empty())
                continue;
            OtherBuild o{plan_.programs[p], &b, added.sha256->substr(0, 8),
                         {names.begin(), names.end()}};
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

}  // namespace report::schedule_parts
