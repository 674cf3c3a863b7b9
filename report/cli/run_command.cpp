// `run`: runs bench_processors and bench_memory several times, each repetition
// in a directory of its own beside a machine.json that records the machine it
// ran on, and says on standard error what it will cost, what disturbs the
// measurement and how far it has got.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/run_view.h"
#include "execution/runner.h"
#include "execution/schedule.h"
#include "output/text.h"

extern char** environ;

namespace report {

namespace {

namespace fs = std::filesystem;

struct RunOptions {
    std::optional<int> runs;
    std::vector<std::string> programs;
    std::string out = "runs";
    std::vector<std::string> labels;    // one, or one per --bin-dir
    std::vector<std::string> bin_dirs;  // several: builds interleaved
    std::optional<double> until_stable;  // per cent
    std::optional<double> precision;     // per cent
    std::optional<std::string> time_budget;
    std::optional<std::string> timeout;
    bool strict = false;
    bool scaling = false;
};

// The durations run takes: a second at least (no repetition is shorter) and
// thirty days at most (longer than any campaign: a larger number is a slip).
constexpr double shortest_duration = 1;
constexpr double longest_duration = 720 * 3600.0;

// A duration's text read, or why it is not one.
struct Duration {
    enum Problem { none, malformed, unit_order, out_of_range };
    double seconds = 0;
    Problem problem = none;
};

// Seconds a unit stands for, 0 when it is none.
double unit_seconds(const std::string& unit) {
    if (unit == "s")
        return 1;
    if (unit == "m" || unit == "min")
        return 60;
    return unit == "h" ? 3600 : 0;
}

// "90s", "45m", "2h", "1h30m", "1.5h": numbers each with its unit, each unit
// once and the larger first ("1h1h" and "30m1h" are slips, not sums).
Duration parse_duration(const std::string& text) {
    Duration d;
    double last_unit = HUGE_VAL;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        while (i < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.'))
            ++i;
        // The whole number or nothing: "1.2.3" and "1..5" are not durations.
        double value = 0;
        auto [end, ec] = std::from_chars(text.data() + start, text.data() + i, value);
        if (start == i || end != text.data() + i || (ec != std::errc() && ec != std::errc::result_out_of_range))
            return {0, Duration::malformed};
        std::size_t unit_start = i;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i])))
            ++i;
        double unit = unit_seconds(text.substr(unit_start, i - unit_start));
        if (unit == 0)
            return {0, Duration::malformed};
        if (unit >= last_unit)
            return {0, Duration::unit_order};
        last_unit = unit;
        d.seconds += ec == std::errc() ? value * unit : HUGE_VAL;
    }
    if (text.empty())
        d.problem = Duration::malformed;
    else if (!(d.seconds >= shortest_duration && d.seconds <= longest_duration))
        d.problem = Duration::out_of_range;
    return d;
}

// Why `text`, given to `option`, is no duration run takes.
std::string duration_refusal(const std::string& option, const std::string& text,
                             Duration::Problem problem) {
    std::string quoted = "\"" + escape_path(text) + "\"";
    switch (problem) {
        case Duration::unit_order:
            return fmt::format("{}: {} gives a unit twice or a smaller one first; give each unit "
                               "once, the larger first, as in 1h30m",
                               option, quoted);
        case Duration::out_of_range:
            return fmt::format("{}: {} is out of range: give from {:g}s to {:g}h", option,
                               quoted, shortest_duration, longest_duration / 3600);
        default:
            return fmt::format("{}: {} is not a duration such as 90s, 45m, 2h or 1h30m", option,
                               quoted);
    }
}

std::string short_host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    // A name that would not make a label ("/" in it, a leading dot) is
    // mended rather than refused: the label is only a default.
    std::string host = name;
    host.erase(0, host.find_first_not_of('.'));
    host = host.substr(0, host.find('.'));
    for (char& c : host)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '_';
    return host.empty() ? "localhost" : host;
}

// A label names one directory: no slash, no control character, not "." or "..".
bool valid_label(const std::string& label) {
    if (label.empty() || label == "." || label == "..")
        return false;
    return std::none_of(label.begin(), label.end(), [](char c) {
        return c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

constexpr Exit write_failed = Exit::write_failed;
constexpr Exit bad_input = Exit::bad_input;

// How a run ended, and its last lines: the folders of the runs on standard
// output (for the next command of a script), then how it ended. Its lines go
// through the view, which clears the status line first, so the failure
// carries only the status.
Result run_status(const ScheduleResult& result, RunView& view) {
    if (result.refused) {
        for (const Disturbance& d : result.removable)
            view.message(fmt::format("--strict: {}: removed by: {}", d.message, *removal(d)));
        view.message(fmt::format("--strict: not running, {} warning(s) that can be removed",
                                 result.removable.size()));
        return Failed(bad_input);
    }
    if (result.cannot_catch_signals) {
        view.message("cannot catch SIGINT, SIGTERM and SIGHUP");
        return Failed(write_failed);
    }
    view.clear();
    std::string folders;
    for (const fs::path& f : result.folders)
        folders += f.string() + '\n';
    bool written = folders.empty() || static_cast<bool>(std::cout << folders << std::flush);
    // A directory or machine.json that could not be written (a full disk, a
    // size limit) stops the run; the folders that got a repetition are still said.
    if (result.error) {
        view.message(error_text(*result.error));
        return Failed(write_failed);
    }
    if (!written) {
        view.message("cannot write to standard output");
        return Failed(write_failed);
    }
    if (result.stopped_by) {
        view.message(fmt::format(
            "stopped by {} after {}{}", signal_name(result.stopped_by), clock_text(result.elapsed),
            result.interrupted_one ? ": the finished repetitions are kept, the interrupted one "
                                     "is marked \"interrupted\" in its machine.json"
                                   : ", between repetitions: the finished repetitions are kept"));
        return Failed(128 + result.stopped_by);
    }
    if (result.directories == 0) {
        view.message("nothing ran");
        return Failed(bad_input);
    }
    // Sequence numbers may skip (a directory already there): count what ran.
    view.message(fmt::format("{} of {} repetition(s) completed in {}", result.completed,
                             result.started, clock_text(result.elapsed)));
    return result.unsuccessful > 0 ? Result(Failed(write_failed)) : std::nullopt;
}

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        env.emplace_back(*e);
    return env;
}

// Why the options cannot make a run, said before anything runs: a failure
// (bad_input), or nothing.
using Refusal = Result;
Failed refused(std::string why) {
    return Failed(bad_input, std::move(why));
}

// The programs asked for, in order, each once, with its repetitions.
Refusal plan_programs(const RunOptions& o, SchedulePlan& plan) {
    for (const std::string& p :
         o.programs.empty() ? std::vector<std::string>{"processors", "memory"} : o.programs) {
        if (p != "processors" && p != "memory")
            return refused(
                fmt::format("--programs: unknown program \"{}\" (processors, memory)", p));
        std::string name = "bench_" + p;
        if (std::find(plan.programs.begin(), plan.programs.end(), name) != plan.programs.end())
            continue;
        int runs =
            o.runs.value_or(p == "processors" ? default_runs_processors : default_runs_memory);
        if (o.until_stable || o.precision)
            runs = std::max(runs, stopping_minimum);
        plan.programs.push_back(name);
        plan.runs.push_back(runs);
    }
    return std::nullopt;
}

// --until-stable and --precision: a positive number of per cent.
Refusal plan_stopping_rules(const RunOptions& o, SchedulePlan& plan) {
    for (const auto& [option, value] :
         {std::pair{"--until-stable", o.until_stable}, std::pair{"--precision", o.precision}})
        if (value && !(std::isfinite(*value) && *value > 0))
            return refused(
                fmt::format("{}: \"{}\" is not a positive number of per cent", option, *value));
    plan.until_stable = o.until_stable;
    plan.precision = o.precision;
    return std::nullopt;
}

// One label per build (the short host name by default), each able to name a
// folder of its own.
Refusal choose_labels(const RunOptions& o, std::vector<std::string>& labels) {
    std::size_t builds = std::max<std::size_t>(o.bin_dirs.size(), 1);
    if (builds > 1 ? o.labels.size() != builds : o.labels.size() > 1)
        return refused(
            fmt::format("--label: {} given for {} --bin-dir; give one --label per --bin-dir",
                        o.labels.size(), o.bin_dirs.size()));
    labels = o.labels;
    if (labels.empty())
        labels.push_back(short_host_name());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (!valid_label(labels[i]))
            return refused(
                fmt::format("--label: \"{}\" cannot name a directory", escape_path(labels[i])));
        if (std::find(labels.begin(), labels.begin() + static_cast<long>(i), labels[i]) !=
            labels.begin() + static_cast<long>(i))
            return refused(
                fmt::format("--label: \"{}\" is given twice; each build needs a folder of "
                            "its own",
                            escape_path(labels[i])));
    }
    return std::nullopt;
}

// --time-budget and --timeout.
Refusal plan_durations(const RunOptions& o, SchedulePlan& plan) {
    for (const auto& [option, text, into] :
         {std::tuple{"--time-budget", &o.time_budget, &plan.time_budget},
          std::tuple{"--timeout", &o.timeout, &plan.timeout}}) {
        if (!*text)
            continue;
        Duration d = parse_duration(**text);
        if (d.problem != Duration::none)
            return refused(duration_refusal(option, **text, d.problem));
        *into = d.seconds;
    }
    return std::nullopt;
}

// Each build's folder and programs, found where --bin-dir says or beside
// bench_report and on PATH.
Refusal locate_builds(const RunOptions& o, const std::vector<std::string>& labels,
                      SchedulePlan& plan) {
    const char* path_variable = std::getenv("PATH");
    for (std::size_t i = 0; i < labels.size(); ++i) {
        std::optional<fs::path> bin_dir;
        if (!o.bin_dirs.empty())
            bin_dir = fs::path(o.bin_dirs[i]);
        Build build;
        build.label = labels[i];
        build.dir = fs::path(o.out) / labels[i];
        for (const std::string& name : plan.programs) {
            Located found = locate_program(name, bin_dir, self_executable(),
                                           path_variable ? path_variable : "");
            if (!found.path)
                return refused(fmt::format("{} not found ({})", name, escape_path(found.searched)));
            build.paths.push_back(*found.path);
        }
        plan.builds.push_back(std::move(build));
    }
    return std::nullopt;
}

// "0-3 (4 CPUs)", "0 (1 CPU)".
std::string counted(const CpuSet& cpus) {
    return fmt::format("{} ({} CPU{})", cpu_list_text(cpus), cpus.size(),
                       cpus.size() == 1 ? "" : "s");
}

// --scaling: each program once per set of CPUs, chosen from the machine's
// topology among the CPUs this process may use; each set tried before
// anything runs. `notes`: what is said before the run.
Refusal plan_sweep(const Topology& topology, const CpuSet& affinity, SchedulePlan& plan,
                   std::vector<std::string>& notes) {
    CpuSet allowed = topology.known() ? intersection(topology.online, affinity) : affinity;
    if (allowed.empty())
        return refused(std::string("--scaling: the CPUs this process may use cannot be read"));
    if (allowed.size() == 1)
        return refused(fmt::format(
            "--scaling: only CPU {} may be used here: there is nothing to sweep", allowed.front()));
    if (topology.known() && allowed != topology.online)
        notes.push_back(fmt::format("--scaling: this process may use CPUs {} of the {} online "
                                    "(its affinity or its cgroup's cpuset): the sweep covers "
                                    "those",
                                    counted(allowed), cpu_list_text(topology.online)));
    std::vector<ScalingSet> sets = scaling_sets(topology, allowed);
    std::string points;
    for (const ScalingSet& set : sets) {
        if (auto why = affinity_refusal(set.cpus))
            return refused(
                fmt::format("--scaling: the CPU set {} cannot be applied: {}; nothing ran",
                            cpu_list_text(set.cpus), *why));
        points += fmt::format("{}{}{}", points.empty() ? "" : ", ", cpu_list_text(set.cpus),
                              set.siblings.empty() ? "" : " (SMT)");
    }
    notes.push_back(fmt::format("--scaling: {} point(s) for each program, on CPUs {}",
                                sets.size(), points));
    SchedulePlan swept = plan;
    swept.programs.clear();
    swept.runs.clear();
    for (std::size_t p = 0; p < plan.programs.size(); ++p)
        for (const ScalingSet& set : sets) {
            swept.programs.push_back(plan.programs[p]);
            swept.runs.push_back(plan.runs[p]);
            swept.sets.push_back(set);
        }
    plan = std::move(swept);
    return std::nullopt;
}

// The plan of the run, or why the options cannot make one; everything that
// can be wrong is checked before anything runs.
Refusal make_plan(const RunOptions& o, SchedulePlan& plan, std::vector<std::string>& notes) {
    if (Refusal r = plan_programs(o, plan))
        return r;
    if (o.scaling) {
        LiveMachine live(environment());
        if (Refusal r = plan_sweep(live.machine().topology, current_affinity(), plan, notes))
            return r;
    }
    if (Refusal r = plan_stopping_rules(o, plan))
        return r;
    if (o.out.empty())
        return refused("--out: \"\" cannot name a directory");
    std::vector<std::string> labels;
    if (Refusal r = choose_labels(o, labels))
        return r;
    if (Refusal r = plan_durations(o, plan))
        return r;
    if (Refusal r = locate_builds(o, labels, plan))
        return r;
    plan.strict = o.strict;
    plan.process_id = static_cast<long>(::getpid());
    plan.version = BENCH_REPORT_VERSION;
    return std::nullopt;
}

Result run_benchmarks(const RunOptions& o) {
    RunView view(::isatty(STDERR_FILENO) == 1);
    SchedulePlan plan;
    std::vector<std::string> notes;
    if (Refusal r = make_plan(o, plan, notes))
        return r;
    for (const std::string& note : notes)
        view.message(note);
    SystemClock clock;
    ProcessExecutor executor;
    LiveMachine machine(environment());
    ScheduleResult result = run_schedule(plan, clock, executor, machine, view);
    return run_status(result, view);
}

}  // namespace

void add_run_command(CLI::App& app, Commands& commands) {
    auto* cmd = app.add_subcommand(
        "run",
        "Runs bench_processors and bench_memory several times, each repetition in "
        "DIR/LABEL/<UTC time>-<n>/ with its console output (console.txt) and the "
        "machine's context (machine.json) beside the results file.");
    auto o = std::make_shared<RunOptions>();
    cmd->add_option("--runs", o->runs,
                    fmt::format("Repetitions of each program (default {} of bench_processors, "
                                "{} of bench_memory); with several builds, rounds",
                                default_runs_processors, default_runs_memory))
        ->check(CLI::Range(1, 1000));
    cmd->add_option("--programs", o->programs, "Which programs, in order: processors,memory")
        ->delimiter(',');
    cmd->add_option("--out", o->out, "Folder of the runs (default runs)");
    cmd->add_option("--label", o->labels,
                    "Folder of this build's runs (default the short host name); one per "
                    "--bin-dir when there are several");
    cmd->add_option("--bin-dir", o->bin_dirs,
                    "Folder of the programs (default: beside bench_report, else on PATH). "
                    "Given several times, the builds run interleaved: each round runs every "
                    "build once, in the given order in odd rounds and reversed in even ones "
                    "(A B, B A: a drift linear in time weighs on both alike), so that compare "
                    "can pair them round by round");
    cmd->add_option("--until-stable", o->until_stable,
                    fmt::format("After {0} repetitions, add more (up to {1}) while the coefficient "
                                "of variation of a rate exceeds PCT per cent. It measures the "
                                "machine's spread, which more repetitions do not shrink; to pin "
                                "the result down use --precision",
                                stopping_minimum, stopping_maximum))
        ->check(CLI::PositiveNumber);
    cmd->add_option("--precision", o->precision,
                    fmt::format("After {0} repetitions (rounds), add more (up to {1}) until the "
                                "90% confidence interval of the time factor (the geometric mean "
                                "of the rates; paired against the first build when several are "
                                "interleaved) lies within ±PCT per cent; the interval exists "
                                "from 5",
                                stopping_minimum, stopping_maximum))
        ->check(CLI::PositiveNumber);
    cmd->add_option("--time-budget", o->time_budget,
                    "Start no repetition (round) expected to end later than this after the "
                    "start (90s, 45m, 2h, 1h30m; from 1s to 720h)");
    cmd->add_option("--timeout", o->timeout,
                    fmt::format("Stop a repetition that runs longer than this (90s, 45m, 2h, "
                                "1h30m; from 1s to 720h): it is recorded as timed_out and run exits 1 (default "
                                "{} for bench_processors, {} for bench_memory: ten times a "
                                "typical repetition plus ten minutes)",
                                exact_duration(default_timeout("bench_processors")),
                                exact_duration(default_timeout("bench_memory"))));
    cmd->add_flag("--strict", o->strict, "Run nothing, exit 2, when the machine draws a warning");
    cmd->add_flag("--scaling", o->scaling,
                  "Run each program on growing sets of CPUs chosen from the topology: 1, one "
                  "CPU per physical core in steps 1, 2, 4, ... and every core (a step at each "
                  "NUMA node's end), then the SMT siblings, then every CPU this process may "
                  "use; each thread bound to one CPU of the set (OMP_PLACES, OMP_PROC_BIND). "
                  "Each point's machine.json records its set under \"scaling\"");
    cmd->footer(
        "Exit status: 0 every repetition completed, each with a whole results file of its own "
        "program; 1 a repetition failed, was killed, timed out or was invalid (its results file "
        "missing, unreadable, cut short or another program's), or a folder, machine.json or "
        "standard output could not be written; 2 usage error, --strict on a disturbed machine, "
        "or nothing ran; 128+N stopped by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP).");
    commands.add(cmd, [o] { return run_benchmarks(*o); });
}

}  // namespace report
