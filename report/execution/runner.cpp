// Finding the benchmark programs, and the names of how an execution ended.
#include "execution/runner.h"

#include <csignal>
#include <system_error>

#include <unistd.h>

#include <fmt/format.h>

namespace report {

namespace fs = std::filesystem;

namespace {

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

}  // namespace report
