// Running one program in its directory: the child set up between fork and
// exec, its output kept and handed on line by line, the signals and the
// timeout passed on to its process group, and how it ended.
#include "execution/runner.h"
#include "execution/runner_parts.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

extern char** environ;

namespace report {

namespace fs = std::filesystem;

using namespace runner_parts;

namespace {

using Steady = std::chrono::steady_clock;

// What the child is given beside the program: its affinity and its
// environment, both made before the fork (nothing is allocated after it).
struct ChildSetup {
    const KernelCpuSet* affinity = nullptr;
    char* const* environment = nullptr;  // null: bench_report's own
};

// What the child met before it could run the program, sent back through a
// pipe that closes on exec: the step (1 its standard streams, 2 its
// directory, 3 the exec itself, 4 its CPU affinity) and errno.
struct ChildError {
    int step = 0;
    int error = 0;
};

// The program started, or why it could not be.
struct Started {
    pid_t pid = -1;
    int output = -1;  // the read end of its standard output and error
    std::optional<ChildError> child_error;
    std::string error;
};

void close_all(std::initializer_list<int> fds) {
    for (int fd : fds)
        ::close(fd);
}

// In the child: its own process group, so that a Ctrl-C at the terminal
// reaches bench_report alone and is passed on exactly once; ended with
// bench_report should bench_report be killed outright; the signals
// bench_report handles back to their defaults, but for those ignored when it
// started, which the program ignores too; standard input at end of
// file, output and error into `output`; then the program, in `dir`.
[[noreturn]] void become_program(const fs::path& program, const fs::path& dir, int output,
                                 int report, pid_t parent, const ChildSetup& setup) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        ::_exit(127);
    for (int sig : handled_signals)
        ::signal(sig, was_ignored(sig) ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int failed_step = 0;
    int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0)
        failed_step = 1;
    else if (::chdir(dir.c_str()) != 0)
        failed_step = 2;
    int affinity_error = 0;
    if (failed_step == 0 && setup.affinity && (affinity_error = setup.affinity->apply()) != 0) {
        failed_step = 4;
        errno = affinity_error;
    }
    if (failed_step == 0) {
        char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ::execve(program.c_str(), argv, setup.environment ? setup.environment : environ);
        failed_step = 3;
    }
    int error[2] = {failed_step, errno};
    [[maybe_unused]] auto n = ::write(report, error, sizeof error);
    ::_exit(127);
}

// Waits until the child has run the program (the pipe closes on exec) or
// said why it could not.
std::optional<ChildError> child_error(int report) {
    int error[2] = {0, 0};
    ssize_t got;
    while ((got = ::read(report, error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report);
    if (got != static_cast<ssize_t>(sizeof error))
        return std::nullopt;
    return ChildError{error[0], error[1]};
}

Started start_program(const fs::path& program, const fs::path& dir, const ChildSetup& setup) {
    Started started;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        started.error = fmt::format("cannot make a pipe: {}", std::strerror(errno));
        return started;
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        started.error = fmt::format("cannot make a pipe: {}", std::strerror(errno));
        close_all({out[0], out[1]});
        return started;
    }
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        started.error = fmt::format("cannot start {}: {}", program.string(), std::strerror(errno));
        close_all({out[0], out[1], report[0], report[1]});
        return started;
    }
    if (pid == 0)
        become_program(program, dir, out[1], report[1], parent, setup);
    close_all({out[1], report[1]});
    started.pid = pid;
    started.output = out[0];
    started.child_error = child_error(report[0]);
    return started;
}

// Empties the pipe the signal handler writes to.
void drain_wake_pipe() {
    char drain[64];
    while (::read(wake_pipe[0], drain, sizeof drain) > 0) {
    }
}

// The program's process group and what bench_report sent it: a signal it
// received, passed on, or the timeout's SIGTERM; SIGKILL 10 s after either.
// The whole group gets each, so a grandchild holding the pipe ends too.
class Group {
public:
    Group(pid_t pid, std::optional<double> timeout, Steady::time_point start)
        : pid_(pid), timeout_(timeout), start_(start) {}

    // Passes on a signal received, or stops the program past its timeout; once.
    void pass_on() {
        if (forwarded_)
            return;
        if (pending_signal != 0) {
            signal(pending_signal);
        } else if (timeout_ && seconds_since(start_) > *timeout_) {
            signal(SIGTERM);
            timed_out_ = true;
        } else {
            return;
        }
        forwarded_ = true;
        forwarded_at_ = Steady::now();
    }
    // A program that ignores the signal is stopped for good after 10 s.
    void kill_late() {
        if (forwarded_ && !killed_ && Steady::now() - forwarded_at_ > std::chrono::seconds(10)) {
            signal(SIGKILL);
            killed_ = true;
        }
    }
    bool forwarded() const { return forwarded_; }
    // SIGTERM to what is left of the group once the program has ended, not
    // yet reaped; not counted as a signal passed on.
    void stop_leftovers() { ::kill(-pid_, SIGTERM); }
    bool timed_out() const { return timed_out_; }

    static double seconds_since(Steady::time_point t) {
        return std::chrono::duration<double>(Steady::now() - t).count();
    }

private:
    void signal(int sig) {
        if (::kill(-pid_, sig) != 0)
            ::kill(pid_, sig);
    }

    pid_t pid_;
    std::optional<double> timeout_;
    Steady::time_point start_;
    bool forwarded_ = false;
    Steady::time_point forwarded_at_{};
    bool timed_out_ = false;
    bool killed_ = false;
};

// What the program prints, kept whole in console.txt and handed on line by
// line. Only the new bytes are searched for a newline, and no more of one
// line than longest_line is kept: a program that prints a long line without
// a newline costs neither quadratic time nor unbounded memory.
class Output {
public:
    Output(std::ofstream& console, const ExecutionHooks& hooks)
        : console_(console), hooks_(hooks) {}

    void add(const char* data, std::size_t size) {
        console_.write(data, static_cast<std::streamsize>(size));
        console_.flush();
        if (!console_)
            write_failed_ = true;
        const char* end = data + size;
        while (data < end) {
            const void* nl = std::memchr(data, '\n', static_cast<std::size_t>(end - data));
            const char* stop = nl ? static_cast<const char*>(nl) : end;
            keep(data, static_cast<std::size_t>(stop - data));
            if (!nl)
                break;
            hand_on();
            data = stop + 1;
        }
    }
    // The last line, when the output does not end with a newline.
    void finish() {
        if (!pending_.empty())
            hand_on();
    }
    bool write_failed() const { return write_failed_; }

private:
    void keep(const char* data, std::size_t size) {
        pending_.append(data, std::min(size, longest_line - pending_.size()));
    }
    void hand_on() {
        if (hooks_.on_line)
            hooks_.on_line(pending_);
        pending_.clear();
    }

    std::ofstream& console_;
    const ExecutionHooks& hooks_;
    std::string pending_;
    bool write_failed_ = false;
};

// Whether the program has ended, seen without reaping it: until it is
// reaped its process id, and so its group's, cannot be another's.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Reads the program's output until the pipe closes, passing signals on and
// honouring the timeout meanwhile. Once the program has ended, reading stops
// output_grace_seconds later even if the pipe is still open; true then.
bool read_output(int fd, pid_t pid, Output& output, Group& group, const ExecutionHooks& hooks) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    nfds_t nfds = wake_pipe[0] >= 0 ? 2 : 1;
    std::optional<Steady::time_point> ended;
    for (;;) {
        group.pass_on();
        group.kill_late();
        if (!ended && has_ended(pid))
            ended = Steady::now();
        if (ended && Group::seconds_since(*ended) > output_grace_seconds)
            return true;
        int ready = ::poll(fds, nfds, 250);
        if (ready < 0 && errno != EINTR)
            return false;
        if (nfds == 2 && (fds[1].revents & POLLIN))
            drain_wake_pipe();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[8192];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            output.add(buffer, static_cast<std::size_t>(n));
        }
        if (hooks.on_tick)
            hooks.on_tick();
    }
}

// The pipe closed; the program itself may still be running (it closed its
// output): keep passing signals on and honouring the timeout while waiting.
// Its wait status, -1 when it cannot be had.
int wait_for_exit(pid_t pid, Group& group) {
    pollfd wake = {wake_pipe[0], POLLIN, 0};
    nfds_t nfds = wake_pipe[0] >= 0 ? 1 : 0;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        group.pass_on();
        group.kill_late();
        ::poll(&wake, nfds, 100);
        if (nfds == 1 && (wake.revents & POLLIN))
            drain_wake_pipe();
    }
}

// How it ended, from its wait status and what bench_report sent it.
void set_outcome(Execution& rep, int status, const Group& group) {
    if (status != -1 && WIFEXITED(status)) {
        rep.exit_status = WEXITSTATUS(status);
        rep.outcome = *rep.exit_status == 0 ? Outcome::completed : Outcome::failed;
    } else if (status != -1 && WIFSIGNALED(status)) {
        rep.signal = WTERMSIG(status);
        rep.outcome = Outcome::killed;
    }
    // Whatever way it ended after the signal was passed on, the run was cut short.
    if (group.forwarded())
        rep.outcome = group.timed_out() ? Outcome::timed_out : Outcome::interrupted;
}

// The results file the program left in its directory.
std::optional<fs::path> results_file_in(const fs::path& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind("results_", 0) == 0 && it->is_regular_file(ec))
            return it->path();
    return std::nullopt;
}

}  // namespace

Execution execute_program(const fs::path& program, const fs::path& dir, const ExecutionHooks& hooks,
                          std::optional<double> timeout_seconds, const Placement* placement) {
    Execution rep;
    auto start = Steady::now();
    std::ofstream console(dir / "console.txt", std::ios::binary);
    if (!console) {
        rep.error = fmt::format("cannot write {}: {}", (dir / "console.txt").string(),
                                std::strerror(errno));
        return rep;
    }
    std::optional<KernelCpuSet> affinity;
    std::vector<std::string> variables;
    std::vector<char*> environment;
    ChildSetup setup;
    if (placement) {
        affinity.emplace(placement->cpus);
        variables = placed_environment(*placement);
        for (std::string& v : variables)
            environment.push_back(v.data());
        environment.push_back(nullptr);
        setup = {&*affinity, environment.data()};
    }
    Started started = start_program(program, dir, setup);
    if (started.pid < 0) {
        rep.error = started.error;
        return rep;
    }
    if (hooks.on_start && !started.child_error)
        hooks.on_start(started.pid);
    Group group(started.pid, timeout_seconds, start);
    Output output(console, hooks);
    rep.output_held = read_output(started.output, started.pid, output, group, hooks);
    output.finish();
    ::close(started.output);
    // What the program left in its group goes with it.
    if (rep.output_held)
        group.stop_leftovers();
    int status = wait_for_exit(started.pid, group);
    rep.seconds = Group::seconds_since(start);
    console.close();
    if (output.write_failed() || console.fail())
        rep.error = fmt::format("cannot write {}", (dir / "console.txt").string());

    if (const std::optional<ChildError>& e = started.child_error) {
        const char* step = e->step == 2 ? "cannot enter its directory" : "cannot start";
        if (e->step == 4 && placement)
            rep.error = fmt::format("cannot run {} on CPUs {}: {}", program.string(),
                                    cpu_list_text(placement->cpus), std::strerror(e->error));
        else
            rep.error = fmt::format("{} {}: {}", step, program.string(), std::strerror(e->error));
        rep.outcome = Outcome::failed;
        return rep;
    }
    set_outcome(rep, status, group);
    rep.results_file = results_file_in(dir);
    return rep;
}

}  // namespace report
