// Passing Ctrl-C, SIGTERM and SIGHUP on to the running program: the handler
// that remembers the signal and wakes the waiting loop, and the signals that
// were ignored when bench_report started.
#include "execution/runner.h"
#include "execution/runner_parts.h"

#include <cerrno>
#include <csignal>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

namespace report {

namespace runner_parts {

volatile std::sig_atomic_t pending_signal = 0;
int wake_pipe[2] = {-1, -1};

}  // namespace runner_parts

using namespace runner_parts;

namespace {

extern "C" void on_signal(int sig) {
    if (pending_signal == 0)
        pending_signal = sig;
    int saved = errno;
    char byte = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(wake_pipe[1], &byte, 1);
    errno = saved;
}

// Which of the handled signals were ignored when bench_report started.
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

}  // namespace

bool runner_parts::was_ignored(int sig) {
    for (std::size_t i = 0; i < std::size(handled_signals); ++i)
        if (handled_signals[i] == sig)
            return ignored_at_start[i];
    return false;
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

}  // namespace report
