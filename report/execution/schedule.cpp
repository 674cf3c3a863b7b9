#include "execution/schedule.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/recorded.h"
#include "execution/activity.h"
#include "input/load.h"
#include "machine/record.h"

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
                                   std::optional<double> timeout_seconds) {
    return execute_program(program, dir, hooks, timeout_seconds);
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
    fs::path temporary = path;
    temporary += ".tmp";
    std::optional<ScheduleError> error = write_file(temporary, text);
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = ScheduleError{"write", path, std::strerror(errno)};
    if (error) {
        ::unlink(temporary.c_str());
        error->path = path;
    }
    return error;
}

namespace {

std::string utc(std::chrono::system_clock::time_point t, const char* format) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, format, &tm);
    return buffer;
}

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

    bool interleaved() const { return plan_.builds.size() > 1; }
    double since_start() { return clock_.seconds() - started_; }

    double estimate(std::size_t program, std::size_t build) const {
        const std::vector<double>& d = samples_[program][build].durations;
        if (d.empty())
            return stored_estimate(plan_.programs[program]);
        double sum = 0;
        for (double x : d)
            sum += x;
        return sum / static_cast<double>(d.size());
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

    std::optional<PrecisionInterval> interval(std::size_t program, std::size_t build) const;
    std::optional<Decision> judge(std::size_t program, int next) const;
    StopReason run_program(std::size_t program);
    // One repetition; false when the run must stop (a signal, an error).
    bool repetition(std::size_t program, std::size_t build, int number, int position,
                    int planned, double left_after);
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

// Whether the stopping rules want round `next`: a decision to add it, or to stop.
std::optional<Decision> Schedule::judge(std::size_t program, int next) const {
    Decision d;
    d.program = plan_.programs[program];
    d.next = next;
    bool more = false;
    if (plan_.until_stable) {
        for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
            auto v = widest_variation(samples_[program][b].rates);
            if (v && (!d.variation || v->cv > d.variation->cv)) {
                d.variation = v;
                d.varies = &plan_.builds[b];
            }
        }
        more = d.variation && d.variation->cv * 100 > *plan_.until_stable;
    }
    if (plan_.precision) {
        // The widest interval decides; none yet (fewer than 5 values) is the widest.
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
        more = more || widest * 100 > *plan_.precision;
    }
    if (!more) {
        d.reason = plan_.precision ? StopReason::precise : StopReason::stable;
        return d;
    }
    if (next > most_rounds(program)) {
        d.reason = StopReason::cap;
        return d;
    }
    d.reason = StopReason::runs;
    return d;
}

bool Schedule::repetition(std::size_t program, std::size_t build, int number, int position,
                          int planned, double left_after) {
    const std::string& name = plan_.programs[program];
    const Build& b = plan_.builds[build];
    // Its own directory: UTC time and a sequence number, never reused.
    const auto wall_start = clock_.wall();
    std::string stamp = utc(wall_start, "%Y%m%dT%H%M%SZ");
    fs::path dir;
    std::error_code ec;
    for (++sequence_[build];; ++sequence_[build]) {
        dir = b.dir / fmt::format("{}-{}", stamp, sequence_[build]);
        if (fs::create_directory(dir, ec))
            break;
        if (ec) {
            result_.error = ScheduleError{"create", dir, ec.message()};
            return false;
        }
    }
    ++result_.directories;

    double rep_started = clock_.seconds();
    Machine before = first_ ? machine_ : reader_.machine();
    if (!first_)
        before.state = reader_.state(plan_.busy_window);
    first_ = false;
    // Stopped while the machine was read: the empty directory goes, nothing ran in it.
    if ((result_.stopped_by = executor_.stop_signal())) {
        fs::remove(dir, ec);
        --result_.directories;
        return false;
    }
    MachineRecord record;
    record.bench_report_version = plan_.version;
    RepetitionRecord& recorded = record.repetition;
    recorded.program = name;
    recorded.number = number;
    recorded.label = b.label;
    recorded.started = utc(wall_start, "%Y-%m-%dT%H:%M:%SZ");
    recorded.outcome = "running";
    if (interleaved()) {
        recorded.interleaved = interleaved_;
        recorded.round = number;
        recorded.position = position;
    }
    record.program = reader_.program(b.paths[program]);
    record.machine = before;
    record.before = before.state;
    record.warnings = warnings_;
    if ((result_.error = write_whole(dir / "machine.json", record_text(record)))) {
        // Nothing ran in it: the directory goes.
        fs::remove(dir, ec);
        --result_.directories;
        return false;
    }

    used_[build] = true;

    Activity activity;
    double each = estimate(program, build);
    auto show = [&] {
        Status s;
        s.program = name;
        s.build = interleaved() ? &b : nullptr;
        s.number = number;
        s.planned = planned;
        s.activity = activity.text();
        s.elapsed = since_start();
        s.left = std::max(0.0, each - (clock_.seconds() - rep_started)) + left_after;
        observer_.status(s);
    };
    show();
    Ended ended;
    ended.execution = executor_.execute(b.paths[program], dir,
                                        {[&](const std::string& line) {
                                             activity.see(line);
                                             show();
                                         },
                                         [&] { show(); }},
                                        repetition_timeout(plan_, name));
    ++result_.started;
    const Execution& rep = ended.execution;

    // Exiting 0 is not enough: it must have left a complete results file of
    // the program asked for (not another program behind its name).
    Sample& sample = samples_[program][build];
    if (rep.outcome == Outcome::completed) {
        Run usable;
        if (std::optional<std::string> problem = results_problem(rep.results_file, name, &usable)) {
            ended.execution.outcome = Outcome::invalid;
            ended.reason = *problem;
            recorded.reason = *problem;
        } else {
            sample.rates.push_back(pass_rates(usable));
            sample.by_round[number] = sample.rates.back();
        }
    }
    if (rep.outcome == Outcome::interrupted)
        ended.stop_signal = executor_.stop_signal();
    if (ended.good()) {
        ++result_.completed;
        // The estimate covers the whole repetition, the machine's readings included.
        sample.durations.push_back(clock_.seconds() - rep_started);
    } else if (rep.outcome != Outcome::interrupted) {
        ++result_.unsuccessful;
    }

    recorded.finished = utc(clock_.wall(), "%Y-%m-%dT%H:%M:%SZ");
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
    result_.error = write_final_record(dir / "machine.json", record);

    ended.program = name;
    ended.build = interleaved() ? &b : nullptr;
    ended.number = number;
    ended.planned = planned;
    ended.dir = dir;
    // Said even when its record could not be written: it ran, and where.
    observer_.ended(ended);
    if (result_.error)
        return false;
    if (rep.outcome == Outcome::interrupted) {
        result_.stopped_by = ended.stop_signal;
        return false;
    }
    return true;
}

StopReason Schedule::run_program(std::size_t program) {
    const std::string& name = plan_.programs[program];
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
        if (plan_.time_budget && since_start() + round_estimate(program) > *plan_.time_budget) {
            Decision d;
            d.program = name;
            d.next = next;
            d.reason = StopReason::time_budget;
            d.estimate = round_estimate(program);
            observer_.decision(d);
            return StopReason::time_budget;
        }
        if ((result_.stopped_by = executor_.stop_signal()))
            return StopReason::signal;

        // What is left after each repetition of the round: the rest of this
        // program's rounds, then every later program's.
        double later = 0;
        for (std::size_t q = program + 1; q < plan_.programs.size(); ++q)
            later += round_estimate(q) * plan_.runs[q];
        std::vector<std::size_t> order = round_order(plan_.builds.size(), next);
        double round_left = round_estimate(program);
        bool go_on = true;
        int before = result_.started;
        for (std::size_t i = 0; i < order.size() && go_on; ++i) {
            round_left -= estimate(program, order[i]);
            double left_after = round_left + round_estimate(program) * (planned - next) + later;
            go_on = repetition(program, order[i], next, static_cast<int>(i) + 1, planned,
                               left_after);
        }
        if (result_.error)
            return StopReason::failure;
        if (interleaved() && result_.started > before) {
            Unpaired u;
            u.program = name;
            u.round = next;
            for (std::size_t b = 0; b < plan_.builds.size(); ++b)
                if (!samples_[program][b].by_round.count(next))
                    u.missing.push_back(&plan_.builds[b]);
            if (!u.missing.empty())
                observer_.unpaired(u);
        }
        if (!go_on)
            return StopReason::signal;
    }
}

ScheduleResult Schedule::run() {
    observer_.start(plan_);
    // The machine as it is now, and what in it may disturb the figures.
    machine_ = reader_.machine();
    machine_.state = reader_.state(plan_.busy_window);
    warnings_ = disturbances(machine_);
    result_.warnings = warnings_.size();
    observer_.warnings(warnings_);
    if (plan_.strict && !warnings_.empty()) {
        result_.refused = true;
        return result_;
    }

    // What it will cost.
    Cost cost;
    for (std::size_t p = 0; p < plan_.programs.size(); ++p) {
        for (const Build& b : plan_.builds)
            observer_.planned({plan_.programs[p], p, &b, plan_.runs[p],
                               stored_estimate(plan_.programs[p]),
                               repetition_timeout(plan_, plan_.programs[p])});
        cost.total += round_estimate(p) * plan_.runs[p];
    }
    if (plan_.until_stable || plan_.precision) {
        double most = 0;
        for (std::size_t p = 0; p < plan_.programs.size(); ++p)
            most += round_estimate(p) * most_rounds(p);
        cost.at_most = plan_.time_budget ? std::min(most, *plan_.time_budget) : most;
    } else if (plan_.time_budget && *plan_.time_budget < cost.total) {
        cost.budget_bound = true;
    }
    observer_.cost(cost);

    // A new build under a label that holds another's is said before it runs.
    for (std::size_t p = 0; p < plan_.programs.size(); ++p)
        for (const Build& b : plan_.builds) {
            MachineRecord now;
            now.program = reader_.program(b.paths[p]);
            std::optional<std::string> added = recorded_build(now);
            std::set<std::string> held = builds_held(b.dir, plan_.programs[p]);
            if (added && !held.empty() && !held.count(*added)) {
                OtherBuild o{plan_.programs[p], &b, added->substr(0, 8), {}};
                for (const std::string& h : held)
                    o.held.push_back(h.substr(0, 8));
                observer_.other_build(o);
            }
        }

    std::error_code ec;
    for (const Build& b : plan_.builds) {
        fs::create_directories(b.dir, ec);
        if (ec) {
            result_.error = ScheduleError{"create", b.dir, ec.message()};
            return result_;
        }
    }
    if (!executor_.prepare()) {
        result_.cannot_catch_signals = true;
        return result_;
    }

    started_ = clock_.seconds();
    interleaved_ = interleaved_name(clock_.wall(), plan_.process_id);
    std::vector<StopReason> stopped(plan_.programs.size(), StopReason::runs);
    std::size_t reached = 0;
    // The folders that got a repetition are said whatever ends the run.
    auto finish = [&] {
        for (std::size_t b = 0; b < plan_.builds.size(); ++b)
            if (used_[b])
                result_.folders.push_back(plan_.builds[b].dir);
        result_.elapsed = since_start();
        return result_;
    };
    for (std::size_t p = 0; p < plan_.programs.size(); ++p) {
        reached = p + 1;
        stopped[p] = run_program(p);
        if (result_.error)
            return finish();
        if (result_.stopped_by)
            break;
    }
    for (std::size_t p = 0; p < reached; ++p)
        for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
            ProgramSummary s;
            s.program = plan_.programs[p];
            s.build = &plan_.builds[b];
            s.variation = widest_variation(samples_[p][b].rates);
            if (plan_.precision)
                s.interval = interval(p, b);
            s.stopped = stopped[p];
            observer_.summary(s);
        }
    return finish();
}

}  // namespace

std::string interleaved_name(std::chrono::system_clock::time_point start, long pid) {
    return fmt::format("{}-{}", utc(start, "%Y%m%dT%H%M%SZ"), pid);
}

ScheduleResult run_schedule(const SchedulePlan& plan, Clock& clock, Executor& executor,
                            MachineReader& reader, ScheduleObserver& observer) {
    return Schedule(plan, clock, executor, reader, observer).run();
}

}  // namespace report
