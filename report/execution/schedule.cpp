// The schedule's plain parts: the real clock, executor and machine, the
// typical times and timeouts, the order of a round, whether a results file
// counts, writing a file whole, and run_schedule.
#include "execution/schedule.h"
#include "execution/schedule_parts.h"
#include "machine/replace_file.h"
#include "model/calendar.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "input/load.h"
#include "machine/system.h"

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
    Machine m = read_machine(source_);
    // Whether the settings hold tune's values, for the record alone: reading
    // a machine does not run the settings' rules.
    m.tuned = is_tuned(source_.root, m);
    return m;
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

double schedule_parts::repetition_timeout(const SchedulePlan& plan,
                                          const std::string& program) {
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

std::optional<ScheduleError> schedule_parts::write_file(const fs::path& path,
                                                        const std::string& text) {
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

std::optional<ScheduleError> write_whole(const fs::path& path, const std::string& text) {
    if (int failure = replace_file(path, text))
        return ScheduleError{"write", path, std::strerror(failure)};
    return std::nullopt;
}

std::string interleaved_name(std::chrono::system_clock::time_point start, long pid) {
    return fmt::format("{}-{}", utc_compact_stamp(start), pid);
}

ScheduleResult run_schedule(const SchedulePlan& plan, Clock& clock, Executor& executor,
                            MachineReader& reader, ScheduleObserver& observer) {
    return schedule_parts::Schedule(plan, clock, executor, reader, observer).run();
}

}  // namespace report
