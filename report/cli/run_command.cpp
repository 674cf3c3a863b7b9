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

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/text.h"
#include "input/load.h"
#include "machine/machine.h"
#include "machine/record.h"
#include "model/catalogue.h"
#include "execution/runner.h"
#include "analysis/stats.h"

extern char** environ;

namespace report {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Repetitions when --runs is not given: a full bench_processors run takes
// about 13 minutes, so three (enough for a median and a spread); bench_memory
// takes seconds, so five (enough for a rank test to find a change).
constexpr int default_runs_processors = 3;
constexpr int default_runs_memory = 5;
// --until-stable: the fewest repetitions before judging the spread, and a cap
// so that a machine that never settles does not run forever.
constexpr int stable_minimum = 3;
constexpr int stable_maximum = 20;
// The second before a repetition in which busy processors are counted.
constexpr std::chrono::milliseconds busy_window{1000};

// What one repetition takes on a typical machine, until one has been timed here.
double stored_estimate(const std::string& program) {
    return program == "bench_processors" ? 780.0 : 5.0;
}

struct Options {
    std::optional<int> runs;
    std::vector<std::string> programs;
    std::string out = "runs";
    std::string label;
    std::optional<std::string> bin_dir;
    std::optional<double> until_stable;  // per cent
    std::optional<std::string> time_budget;
    bool strict = false;
};

// "90s", "45m", "2h", "1h30m"; absent when malformed.
std::optional<double> parse_duration(const std::string& text) {
    double total = 0;
    std::size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        std::size_t start = i;
        while (i < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.'))
            ++i;
        if (start == i)
            return std::nullopt;
        // The whole number or nothing: "1.2.3" and "1..5" are not durations.
        double value = 0;
        const char* first = text.data() + start;
        const char* last = text.data() + i;
        auto [end, ec] = std::from_chars(first, last, value);
        if (ec != std::errc() || end != last)
            return std::nullopt;
        std::size_t unit_start = i;
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i])))
            ++i;
        std::string unit = text.substr(unit_start, i - unit_start);
        if (unit == "s")
            total += value;
        else if (unit == "m" || unit == "min")
            total += value * 60;
        else if (unit == "h")
            total += value * 3600;
        else
            return std::nullopt;
        any = true;
    }
    if (!any || !std::isfinite(total) || total <= 0)
        return std::nullopt;
    return total;
}

// "45 s", "13 min", "1 h 05 min", for estimates.
std::string about(double seconds) {
    long s = std::lround(std::max(seconds, 0.0));
    if (s < 60)
        return fmt::format("{} s", s);
    if (s < 3600)
        return fmt::format("{} min", (s + 30) / 60);
    long m = (s + 30) / 60;
    return fmt::format("{} h {:02} min", m / 60, m % 60);
}

// "0:45", "13:20", "1:05:00", for elapsed time.
std::string clock_text(double seconds) {
    long s = std::lround(std::max(seconds, 0.0));
    if (s < 3600)
        return fmt::format("{}:{:02}", s / 60, s % 60);
    return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

std::string utc(std::chrono::system_clock::time_point t, const char* format) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, format, &tm);
    return buffer;
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

// The test a program is running, from the lines it prints.
struct Activity {
    std::string test;
    std::string pass;

    void see(std::string line) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        for (const TestInfo& info : catalogue())
            if (is_heading(info, line)) {
                test = info.name;
                if (!info.has_single())
                    pass = "all threads";
            }
        if (line == "Force to be single thread.")
            pass = "one thread";
        else if (line == "Multi-Thread Enabled:")
            pass = "all threads";
    }

    std::string text() const {
        if (test.empty())
            return "starting";
        return pass.empty() ? test : test + ", " + pass;
    }
};

// Progress on standard error: on a terminal one status line rewritten in
// place, otherwise only whole lines.
class Progress {
public:
    Progress() : terminal_(::isatty(STDERR_FILENO) == 1) {}

    bool terminal() const { return terminal_; }

    void status(const std::string& text) {
        if (!terminal_)
            return;
        std::string line = text;
        winsize ws{};
        std::size_t width =
            ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
        if (line.size() > width)
            line.resize(width);
        line = "\r\033[K" + line;
        std::fwrite(line.data(), 1, line.size(), stderr);
        shown_ = true;
    }

    void message(const std::string& text) {
        clear();
        error(text);
    }

    void clear() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

private:
    bool terminal_;
    bool shown_ = false;
};

// Every rate a program prints, one series per test and pass, over its repetitions.
struct Series {
    std::map<std::string, std::vector<double>> rates;

    void add(const Run& run) {
        for (const Test& t : run.tests) {
            // "Float Streaming. Float is at: 128bits." -> "Float Streaming"
            std::string name = t.title.substr(0, t.title.find_first_of(".:"));
            if (t.single_rate && std::isfinite(t.single_rate->value))
                rates[name + ", one thread"].push_back(t.single_rate->value);
            if (t.overall_rate && std::isfinite(t.overall_rate->value))
                rates[name + ", all threads"].push_back(t.overall_rate->value);
        }
    }

    // The widest spread and the rate that has it.
    std::optional<std::pair<double, std::string>> widest() const {
        std::optional<std::pair<double, std::string>> worst;
        for (const auto& [name, values] : rates)
            if (auto cv = stats::coefficient_of_variation(values);
                cv && (!worst || *cv > worst->first))
                worst = {*cv, name};
        return worst;
    }
};

struct ProgramPlan {
    std::string name;  // "bench_memory"
    fs::path path;
    int runs = 0;  // repetitions to run before --until-stable adds any
    std::vector<double> durations;
    Series series;
    int done = 0;  // repetitions started and ended
};

double estimate(const ProgramPlan& p) {
    if (p.durations.empty())
        return stored_estimate(p.name);
    double sum = 0;
    for (double d : p.durations)
        sum += d;
    return sum / static_cast<double>(p.durations.size());
}

bool write_record(const fs::path& path, const MachineRecord& record, std::string& error) {
    fs::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << record_text(record);
        out.close();
        if (!out) {
            error = fmt::format("cannot write {}", escape_path(temporary.string()));
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = fmt::format("cannot write {}: {}", escape_path(path.string()), ec.message());
        return false;
    }
    return true;
}

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        env.emplace_back(*e);
    return env;
}

constexpr int ok = static_cast<int>(Exit::ok);
constexpr int write_failed = static_cast<int>(Exit::write_failed);
constexpr int bad_input = static_cast<int>(Exit::bad_input);

int run_benchmarks(const Options& o) {
    Progress progress;
    auto fail = [&](int status, const std::string& text) {
        progress.message(text);
        return status;
    };

    // Check everything that can be wrong before anything runs.
    std::vector<ProgramPlan> plans;
    for (const std::string& p :
         o.programs.empty() ? std::vector<std::string>{"processors", "memory"} : o.programs) {
        if (p != "processors" && p != "memory")
            return fail(bad_input,
                        fmt::format("--programs: unknown program \"{}\" (processors, memory)", p));
        std::string name = "bench_" + p;
        if (std::any_of(plans.begin(), plans.end(), [&](auto& q) { return q.name == name; }))
            continue;
        ProgramPlan plan;
        plan.name = name;
        plan.runs =
            o.runs.value_or(p == "processors" ? default_runs_processors : default_runs_memory);
        if (o.until_stable)
            plan.runs = std::max(plan.runs, stable_minimum);
        plans.push_back(std::move(plan));
    }
    if (o.until_stable && !(std::isfinite(*o.until_stable) && *o.until_stable > 0))
        return fail(bad_input, fmt::format("--until-stable: \"{}\" is not a positive number of "
                                           "per cent",
                                           *o.until_stable));
    if (o.out.empty())
        return fail(bad_input, "--out: \"\" cannot name a directory");
    std::string label = o.label.empty() ? short_host_name() : o.label;
    if (!valid_label(label))
        return fail(bad_input,
                    fmt::format("--label: \"{}\" cannot name a directory", escape_path(label)));
    std::optional<double> budget;
    if (o.time_budget) {
        budget = parse_duration(*o.time_budget);
        if (!budget)
            return fail(bad_input,
                        fmt::format("--time-budget: \"{}\" is not a duration such as 90s, 45m, "
                                    "2h or 1h30m",
                                    escape_path(*o.time_budget)));
    }
    const char* path_variable = std::getenv("PATH");
    std::optional<fs::path> bin_dir;
    if (o.bin_dir)
        bin_dir = fs::path(*o.bin_dir);
    for (ProgramPlan& plan : plans) {
        Located found = locate_program(plan.name, bin_dir, self_executable(),
                                       path_variable ? path_variable : "");
        if (!found.path)
            return fail(bad_input,
                        fmt::format("{} not found ({})", plan.name, escape_path(found.searched)));
        plan.path = *found.path;
    }

    // The machine as it is now, and what in it may disturb the figures.
    MachineSource source;
    source.environment = environment();
    Machine machine = read_machine(source);
    machine.state = read_state(source.root, busy_window);
    std::vector<Disturbance> warnings = disturbances(machine);
    for (const Disturbance& d : warnings)
        progress.message("warning: " + d.message);
    if (o.strict && !warnings.empty())
        return fail(bad_input,
                    fmt::format("--strict: not running, {} warning(s)", warnings.size()));

    // What it will cost.
    double total = 0;
    for (const ProgramPlan& plan : plans) {
        double each = estimate(plan);
        std::string count =
            o.until_stable
                ? fmt::format("{} to {} repetitions, more while a rate varies by more than {:g}%",
                              plan.runs, std::max(plan.runs, stable_maximum), *o.until_stable)
                : fmt::format("{} repetition{}", plan.runs, plan.runs == 1 ? "" : "s");
        progress.message(fmt::format("{}: {} ({}, about {} each)", plan.name,
                                     escape_path(plan.path.string()), count, about(each)));
        total += each * plan.runs;
    }
    fs::path label_dir = fs::path(o.out) / label;
    std::string cost = fmt::format("about {}", about(total));
    if (o.until_stable) {
        double most = 0;
        for (const ProgramPlan& plan : plans)
            most += estimate(plan) * std::max(plan.runs, stable_maximum);
        cost += fmt::format(", at most {}", about(budget ? std::min(most, *budget) : most));
    } else if (budget && *budget < total) {
        cost = fmt::format("about {} (the time budget)", about(*budget));
    }
    progress.message(
        fmt::format("this takes {}; results in {}", cost, escape_path(label_dir.string() + "/")));

    std::error_code ec;
    fs::create_directories(label_dir, ec);
    if (ec)
        return fail(write_failed, fmt::format("cannot create {}: {}",
                                              escape_path(label_dir.string()), ec.message()));
    if (!forward_signals())
        return fail(write_failed, "cannot catch SIGINT, SIGTERM and SIGHUP");

    const auto started = Clock::now();
    auto since = [](Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    };
    int sequence = 0, started_count = 0, completed = 0, unsuccessful = 0;
    bool first = true;
    int stopped_by = 0;
    for (std::size_t pi = 0; pi < plans.size() && !stopped_by; ++pi) {
        ProgramPlan& plan = plans[pi];
        int planned = plan.runs;
        for (int i = 1; !stopped_by; ++i) {
            if (i > planned) {
                if (!o.until_stable)
                    break;
                auto widest = plan.series.widest();
                if (!widest || widest->first * 100 <= *o.until_stable)
                    break;
                if (i > std::max(plan.runs, stable_maximum)) {
                    progress.message(fmt::format(
                        "{}: {} still varies by {:.2f}% after {} repetitions; stopping there",
                        plan.name, widest->second, widest->first * 100, i - 1));
                    break;
                }
                progress.message(fmt::format(
                    "{}: {} varies by {:.2f}%, above {:g}%: adding "
                    "repetition {}",
                    plan.name, widest->second, widest->first * 100, *o.until_stable, i));
                planned = i;
            }
            if (budget && since(started) + estimate(plan) > *budget) {
                progress.message(
                    fmt::format("{}: the time budget leaves no time for repetition "
                                "{} (about {})",
                                plan.name, i, about(estimate(plan))));
                break;
            }
            if ((stopped_by = received_signal()))
                break;

            // Its own directory: UTC time and a sequence number, never reused.
            const auto wall_start = std::chrono::system_clock::now();
            std::string stamp = utc(wall_start, "%Y%m%dT%H%M%SZ");
            fs::path dir;
            for (++sequence;; ++sequence) {
                dir = label_dir / fmt::format("{}-{}", stamp, sequence);
                if (fs::create_directory(dir, ec))
                    break;
                if (ec)
                    return fail(write_failed, fmt::format("cannot create {}: {}",
                                                          escape_path(dir.string()), ec.message()));
            }

            auto rep_started = Clock::now();
            Machine before = first ? machine : read_machine(source);
            if (!first)
                before.state = read_state(source.root, busy_window);
            first = false;
            // Stopped while the machine was read: the empty directory goes, nothing ran in it.
            if ((stopped_by = received_signal())) {
                fs::remove(dir, ec);
                break;
            }
            MachineRecord record;
            record.bench_report_version = BENCH_REPORT_VERSION;
            RepetitionRecord& recorded = record.repetition;
            recorded.program = plan.name;
            recorded.number = i;
            recorded.label = label;
            recorded.started = utc(wall_start, "%Y-%m-%dT%H:%M:%SZ");
            recorded.outcome = "running";
            record.program = describe_program(plan.path);
            record.machine = before;
            record.before = before.state;
            record.warnings = warnings;
            std::string error;
            if (!write_record(dir / "machine.json", record, error))
                return fail(write_failed, error);

            Activity activity;
            auto show = [&] {
                double left = std::max(0.0, estimate(plan) - since(rep_started)) +
                              estimate(plan) * (planned - i);
                for (std::size_t q = pi + 1; q < plans.size(); ++q)
                    left += estimate(plans[q]) * plans[q].runs;
                progress.status(fmt::format("{} {} of {}: {}; {} elapsed, about {} left", plan.name,
                                            i, planned, activity.text(), clock_text(since(started)),
                                            about(left)));
            };
            show();
            Execution rep = execute_program(plan.path, dir,
                                            {[&](const std::string& line) {
                                                 activity.see(line);
                                                 show();
                                             },
                                             [&] { show(); }});
            ++plan.done;
            ++started_count;

            // What it left: a complete results file, or the reason there is none.
            std::string remark;
            if (rep.outcome == Outcome::completed) {
                if (!rep.results_file) {
                    remark = "; it wrote no results file";
                } else {
                    Loaded loaded = load_runs({rep.results_file->string()}, {});
                    if (loaded.runs.empty() || loaded.runs.front().partial)
                        remark = "; its results file is cut short";
                    else
                        plan.series.add(loaded.runs.front());
                }
            }
            bool good = rep.outcome == Outcome::completed && remark.empty();
            if (good) {
                ++completed;
                // The estimate covers the whole repetition, the machine's readings included.
                plan.durations.push_back(since(rep_started));
            } else if (rep.outcome != Outcome::interrupted) {
                ++unsuccessful;
            }

            std::string how;
            switch (rep.outcome) {
                case Outcome::completed: how = "completed"; break;
                case Outcome::failed:
                    how = rep.exit_status
                              ? fmt::format("failed with exit status {}", *rep.exit_status)
                              : "failed: " + rep.error;
                    break;
                case Outcome::killed:
                    how = "was killed by " + signal_name(rep.signal.value_or(0));
                    break;
                case Outcome::interrupted:
                    how = "was interrupted by " + signal_name(received_signal());
                    break;
                case Outcome::timed_out: how = "timed out"; break;
            }
            recorded.finished = utc(std::chrono::system_clock::now(), "%Y-%m-%dT%H:%M:%SZ");
            recorded.seconds = rep.seconds;
            recorded.outcome = outcome_name(rep.outcome);
            recorded.exit_status = rep.exit_status;
            if (rep.outcome == Outcome::interrupted)
                recorded.signal = signal_name(received_signal());
            else if (rep.signal)
                recorded.signal = signal_name(*rep.signal);
            if (rep.results_file)
                recorded.results_file = rep.results_file->filename().string();
            record.after = read_state(source.root, std::chrono::milliseconds(0));
            if (!write_record(dir / "machine.json", record, error))
                return fail(write_failed, error);

            std::string line =
                fmt::format("{} {} of {} {} in {:.1f} s{}: {}", plan.name, i, planned, how,
                            rep.seconds, remark, escape_path(dir.string()));
            if (!rep.error.empty() && rep.outcome != Outcome::failed)
                line += "; " + rep.error;
            if (!good || !progress.terminal())
                progress.message(line);
            if (rep.outcome == Outcome::interrupted)
                stopped_by = received_signal();
        }
    }
    progress.clear();

    for (const ProgramPlan& plan : plans)
        if (auto widest = plan.series.widest())
            progress.message(
                fmt::format("{}: rates vary by up to {:.2f}% ({}) over {} "
                            "repetitions",
                            plan.name, widest->first * 100, widest->second,
                            plan.series.rates.begin()->second.size()));
    // The folder of the runs, for the next command of a script.
    if (sequence > 0 && !(std::cout << label_dir.string() << '\n' << std::flush)) {
        progress.message("cannot write to standard output");
        return write_failed;
    }
    if (stopped_by) {
        progress.message(
            fmt::format("stopped by {} after {}: the finished repetitions are kept, "
                        "the interrupted one is marked \"interrupted\" in its "
                        "machine.json",
                        signal_name(stopped_by), clock_text(since(started))));
        return 128 + stopped_by;
    }
    if (sequence == 0)
        return fail(bad_input, "nothing ran");
    // Sequence numbers may skip (a directory already there): count what ran.
    progress.message(fmt::format("{} of {} repetition(s) completed in {}", completed, started_count,
                                 clock_text(since(started))));
    return unsuccessful > 0 ? write_failed : ok;
}

}  // namespace

void add_run_command(CLI::App& app, int& status) {
    auto* cmd = app.add_subcommand(
        "run",
        "Runs bench_processors and bench_memory several times, each repetition in "
        "DIR/LABEL/<UTC time>-<n>/ with its console output (console.txt) and the "
        "machine's context (machine.json) beside the results file.");
    auto o = std::make_shared<Options>();
    cmd->add_option("--runs", o->runs,
                    fmt::format("Repetitions of each program (default {} of bench_processors, "
                                "{} of bench_memory)",
                                default_runs_processors, default_runs_memory))
        ->check(CLI::Range(1, 1000));
    cmd->add_option("--programs", o->programs, "Which programs, in order: processors,memory")
        ->delimiter(',');
    cmd->add_option("--out", o->out, "Folder of the runs (default runs)");
    cmd->add_option("--label", o->label,
                    "Folder of this machine's runs (default the short host "
                    "name)");
    cmd->add_option("--bin-dir", o->bin_dir,
                    "Folder of the programs (default: beside bench_report, else on PATH)");
    cmd->add_option("--until-stable", o->until_stable,
                    fmt::format("After {0} repetitions, add more (up to {1}) while the coefficient "
                                "of variation of a rate exceeds PCT per cent",
                                stable_minimum, stable_maximum))
        ->check(CLI::PositiveNumber);
    cmd->add_option("--time-budget", o->time_budget,
                    "Start no repetition that would end later than this after the start "
                    "(90s, 45m, 2h, 1h30m)");
    cmd->add_flag("--strict", o->strict, "Run nothing, exit 2, when the machine draws a warning");
    cmd->callback([o, &status] { status = run_benchmarks(*o); });
}

}  // namespace report
