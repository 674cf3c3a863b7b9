#include "execution/runner.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

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
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a waiting poll returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(sig, &sa, nullptr) != 0)
            return false;
    return ::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

int received_signal() {
    return pending_signal;
}

Execution execute_program(const fs::path& program, const fs::path& dir, const ExecutionHooks& hooks,
                          std::optional<double> timeout_seconds) {
    Execution rep;
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::ofstream console(dir / "console.txt", std::ios::binary);
    if (!console) {
        rep.error = fmt::format("cannot write {}: {}", (dir / "console.txt").string(),
                                std::strerror(errno));
        return rep;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        rep.error = fmt::format("cannot make a pipe: {}", std::strerror(errno));
        return rep;
    }
    // The error the child meets before exec comes back through this pipe.
    int report_pipe[2];
    if (::pipe2(report_pipe, O_CLOEXEC) != 0) {
        rep.error = fmt::format("cannot make a pipe: {}", std::strerror(errno));
        ::close(out[0]);
        ::close(out[1]);
        return rep;
    }
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        rep.error = fmt::format("cannot start {}: {}", program.string(), std::strerror(errno));
        for (int fd : {out[0], out[1], report_pipe[0], report_pipe[1]})
            ::close(fd);
        return rep;
    }
    if (pid == 0) {
        // The program has a process group of its own, so a Ctrl-C at the
        // terminal reaches bench_report alone and is passed on exactly once;
        // it ends with bench_report should bench_report be killed outright.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ})
            ::signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int failed_step = 0;
        int in = ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(out[1], 2) < 0)
            failed_step = 1;
        else if (::chdir(dir.c_str()) != 0)
            failed_step = 2;
        else {
            ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            failed_step = 3;
        }
        int error[2] = {failed_step, errno};
        [[maybe_unused]] auto n = ::write(report_pipe[1], error, sizeof error);
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(report_pipe[1]);
    int child_error[2] = {0, 0};
    ssize_t got;
    while ((got = ::read(report_pipe[0], child_error, sizeof child_error)) < 0 && errno == EINTR) {
    }
    ::close(report_pipe[0]);

    std::string pending;
    // When the signal was passed on, or the timeout's SIGTERM sent; the whole
    // process group gets each, so a grandchild holding the pipe ends too.
    std::optional<std::chrono::steady_clock::time_point> forwarded_at;
    bool timed_out = false;
    bool write_failed = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    int nfds = wake_pipe[0] >= 0 ? 2 : 1;
    bool open_stream = true;
    auto signal_group = [&](int sig) {
        if (::kill(-pid, sig) != 0)
            ::kill(pid, sig);
    };
    auto pass_on = [&] {
        if (forwarded_at)
            return;
        if (pending_signal != 0) {
            signal_group(pending_signal);
            forwarded_at = std::chrono::steady_clock::now();
        } else if (timeout_seconds && elapsed() > *timeout_seconds) {
            signal_group(SIGTERM);
            forwarded_at = std::chrono::steady_clock::now();
            timed_out = true;
        }
    };
    bool killed = false;
    auto kill_late = [&] {
        // A program that ignores the signal is stopped for good after 10 s.
        if (forwarded_at && !killed &&
            std::chrono::steady_clock::now() - *forwarded_at > std::chrono::seconds(10)) {
            signal_group(SIGKILL);
            killed = true;
        }
    };
    while (open_stream) {
        pass_on();
        kill_late();
        int ready = ::poll(fds, static_cast<nfds_t>(nfds), 250);
        if (ready < 0 && errno != EINTR)
            break;
        if (nfds == 2 && (fds[1].revents & POLLIN)) {
            char drain[64];
            while (::read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[8192];
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                open_stream = false;
            } else {
                console.write(buffer, n);
                console.flush();
                if (!console)
                    write_failed = true;
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t nl;
                while ((nl = pending.find('\n')) != std::string::npos) {
                    if (hooks.on_line)
                        hooks.on_line(pending.substr(0, nl));
                    pending.erase(0, nl + 1);
                }
            }
        }
        if (hooks.on_tick)
            hooks.on_tick();
    }
    if (!pending.empty() && hooks.on_line)
        hooks.on_line(pending);
    ::close(out[0]);
    int status = 0;
    // The pipe closed; the program itself may still be running (it closed its
    // output): keep passing signals on and honouring the timeout while waiting.
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        pass_on();
        kill_late();
        ::poll(fds + 1, static_cast<nfds_t>(nfds - 1), 100);
        if (nfds == 2 && (fds[1].revents & POLLIN)) {
            char drain[64];
            while (::read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
    }
    rep.seconds = elapsed();
    console.close();
    if (write_failed || console.fail())
        rep.error = fmt::format("cannot write {}", (dir / "console.txt").string());

    if (got == static_cast<ssize_t>(sizeof child_error)) {
        const char* step = child_error[0] == 2 ? "cannot enter its directory" : "cannot start";
        rep.error = fmt::format("{} {}: {}", step, program.string(), std::strerror(child_error[1]));
        rep.outcome = Outcome::failed;
        return rep;
    }
    if (status != -1 && WIFEXITED(status)) {
        rep.exit_status = WEXITSTATUS(status);
        rep.outcome = *rep.exit_status == 0 ? Outcome::completed : Outcome::failed;
    } else if (status != -1 && WIFSIGNALED(status)) {
        rep.signal = WTERMSIG(status);
        rep.outcome = Outcome::killed;
    }
    // Whatever way it ended after the signal was passed on, the run was cut short.
    if (forwarded_at)
        rep.outcome = timed_out ? Outcome::timed_out : Outcome::interrupted;

    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind("results_", 0) == 0 && it->is_regular_file(ec)) {
            rep.results_file = it->path();
            break;
        }
    return rep;
}

}  // namespace report
