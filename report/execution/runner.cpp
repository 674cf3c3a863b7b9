#include "execution/runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

extern char** environ;

namespace report {

namespace fs = std::filesystem;

namespace {

// The signal received and a pipe that wakes the waiting loop when one comes.
volatile std::sig_atomic_t pending_signal = 0;
int wake_pipe[2] = {-1, -1};

extern "C" void on_signal(int sig) {
    if (pending_signal == 0)
        pending_signal = sig;
    int saved = errno;
    char byte = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

// The signals bench_report handles or ignores while it runs programs, and
// which of them were ignored when it started: those stay ignored, in
// bench_report and in the programs (nohup, a shell's background job).
constexpr int handled_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
bool ignored_at_start[std::size(handled_signals)] = {};
bool start_seen = false;

void see_start() {
    if (start_seen)
        return;
    start_seen = true;
    for (std::size_t i = 0; i < std::size(handled_signals); ++i) {
        struct sigaction old {};
        ignored_at_start[i] =
            ::sigaction(handled_signals[i], nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
    }
}

bool was_ignored(int sig) {
    for (std::size_t i = 0; i < std::size(handled_signals); ++i)
        if (handled_signals[i] == sig)
            return ignored_at_start[i];
    return false;
}

bool executable(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

}  // namespace

const char* outcome_name(Outcome o) {
    switch (o) {
        case Outcome::completed: return "completed";
        case Outcome::failed: return "failed";
        case Outcome::killed: return "killed";
        case Outcome::interrupted: return "interrupted";
        case Outcome::timed_out: return "timed_out";
        case Outcome::invalid: return "invalid";
    }
    return "failed";
}

std::string signal_name(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGKILL: return "SIGKILL";
        case SIGSEGV: return "SIGSEGV";
        case SIGABRT: return "SIGABRT";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        case SIGHUP: return "SIGHUP";
        case SIGQUIT: return "SIGQUIT";
        case SIGPIPE: return "SIGPIPE";
        case SIGXCPU: return "SIGXCPU";
        case SIGXFSZ: return "SIGXFSZ";
        default: return fmt::format("signal {}", sig);
    }
}

fs::path self_executable() {
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : p;
}

Located locate_program(const std::string& name, const std::optional<fs::path>& bin_dir,
                       const fs::path& self, const std::string& path_variable) {
    Located found;
    std::vector<fs::path> candidates;
    if (bin_dir) {
        candidates.push_back(*bin_dir / name);
    } else {
        if (!self.empty()) {
            fs::path dir = self.parent_path();
            candidates.push_back(dir / name);
            // A build tree keeps each program in its own folder beside report/.
            std::string folder = name == "bench_processors" ? "processors" : "memory";
            candidates.push_back(dir.parent_path() / folder / name);
        }
        std::size_t start = 0;
        while (start <= path_variable.size()) {
            std::size_t end = path_variable.find(':', start);
            if (end == std::string::npos)
                end = path_variable.size();
            std::string entry = path_variable.substr(start, end - start);
            candidates.push_back(fs::path(entry.empty() ? "." : entry) / name);
            start = end + 1;
        }
    }
    for (const fs::path& c : candidates) {
        if (executable(c)) {
            std::error_code ec;
            fs::path absolute = fs::absolute(c, ec);
            found.path = ec ? c : absolute.lexically_normal();
            return found;
        }
    }
    if (bin_dir)
        found.searched = bin_dir->string();
    else
        found.searched = self.empty() ? "PATH" : "beside " + self.string() + " and on PATH";
    return found;
}

bool forward_signals() {
    if (wake_pipe[0] < 0 && ::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    see_start();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a waiting poll returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (!was_ignored(sig) && ::sigaction(sig, &sa, nullptr) != 0)
            return false;
    return ::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

int received_signal() {
    return pending_signal;
}

namespace {

using Steady = std::chrono::steady_clock;

// A set of CPUs as the kernel takes it, sized for its highest CPU.
class KernelCpuSet {
public:
    explicit KernelCpuSet(const CpuSet& cpus) {
        int highest = cpus.empty() ? 0 : cpus.back();
        count_ = static_cast<std::size_t>(highest) + 1;
        set_ = CPU_ALLOC(count_);
        size_ = CPU_ALLOC_SIZE(count_);
        if (set_) {
            CPU_ZERO_S(size_, set_);
            for (int cpu : cpus)
                CPU_SET_S(static_cast<std::size_t>(cpu), size_, set_);
        }
    }
    KernelCpuSet(const KernelCpuSet&) = delete;
    KernelCpuSet& operator=(const KernelCpuSet&) = delete;
    ~KernelCpuSet() {
        if (set_)
            CPU_FREE(set_);
    }
    // 0, else errno; async-signal-safe, for the child between fork and exec.
    int apply() const {
        if (!set_)
            return ENOMEM;
        return ::sched_setaffinity(0, size_, set_) == 0 ? 0 : errno;
    }

private:
    std::size_t count_ = 0, size_ = 0;
    cpu_set_t* set_ = nullptr;
};

// What the child is given beside the program: its affinity and its
// environment, both made before the fork (nothing is allocated after it).
struct ChildSetup {
    const KernelCpuSet* affinity = nullptr;
    char* const* environment = nullptr;  // null: bench_report's own
};

// The environment with `placement`'s variables in place of any of the same name.
std::vector<std::string> placed_environment(const Placement& placement) {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(placement.environment.begin(), placement.environment.end(),
                                    [&](const auto& v) { return v.first == name; });
        if (!replaced)
            out.push_back(std::move(entry));
    }
    for (const auto& [name, value] : placement.environment)
        out.push_back(name + "=" + value);
    return out;
}

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

Placement placement_of(const ScalingSet& set) {
    Placement p;
    p.cpus = set.cpus;
    std::string places;
    for (int cpu : set.places)
        places += fmt::format("{}{{{}}}", places.empty() ? "" : ",", cpu);
    p.environment = {{"OMP_PLACES", places},
                     {"OMP_PROC_BIND", set.binding},
                     {"OMP_NUM_THREADS", std::to_string(set.places.size())}};
    return p;
}

CpuSet current_affinity() {
    // Grown until the kernel's mask fits: machines with more than 1024 CPUs.
    for (std::size_t count = 1024; count <= (std::size_t{1} << 20); count *= 4) {
        cpu_set_t* set = CPU_ALLOC(count);
        if (!set)
            return {};
        std::size_t size = CPU_ALLOC_SIZE(count);
        CPU_ZERO_S(size, set);
        if (::sched_getaffinity(0, size, set) == 0) {
            CpuSet cpus;
            for (std::size_t c = 0; c < count; ++c)
                if (CPU_ISSET_S(c, size, set))
                    cpus.push_back(static_cast<int>(c));
            CPU_FREE(set);
            return cpus;
        }
        CPU_FREE(set);
        if (errno != EINVAL)
            return {};
    }
    return {};
}

std::optional<std::string> affinity_refusal(const CpuSet& cpus) {
    CpuSet before = current_affinity();
    if (cpus.empty())
        return std::string("no CPU in the set");
    if (before.empty())
        return std::string("this process's own CPU affinity cannot be read");
    int error = KernelCpuSet(cpus).apply();
    if (!before.empty())
        KernelCpuSet(before).apply();
    if (error)
        return std::string(std::strerror(error));
    return std::nullopt;
}

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
