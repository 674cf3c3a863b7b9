// Runs a benchmark program as a child process, the way a user does from a
// terminal, and collects what it wrote and how it ended.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct program_run {
    int status = -1;                // exit status, or -1 when the program did not exit
    std::string out, err;           // standard output and standard error
    bool waited_for_enter = false;  // still running after the prompt
    long peak_kib = 0;              // largest resident set of the process
};

struct program_options {
    std::string dir;                 // working directory
    bool remove_dir = false;         // delete the working directory before starting
    bool hold_input = false;         // keep standard input open until the prompt
    rlim_t file_size_limit = 0;      // RLIMIT_FSIZE when nonzero
    rlim_t address_space_limit = 0;  // RLIMIT_AS when nonzero
    int timeout_seconds = 600;
};

inline program_run run_program(const std::string& path, const program_options& options) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(options.hold_input ? in[0] : open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        setenv("TZ", "UTC", 1);
        // The workloads keep their cells by design; a leak report is noise.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        if (chdir(options.dir.c_str()) != 0)
            _exit(126);
        if (options.remove_dir && rmdir(options.dir.c_str()) != 0)
            _exit(126);
        if (options.file_size_limit) {
            rlimit limit = {options.file_size_limit, options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.address_space_limit) {
            rlimit limit = {options.address_space_limit, options.address_space_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
        execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!options.hold_input)
        close(in[1]);

    program_run run;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 200) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            } else {
                (i == 0 ? run.out : run.err).append(buf, n);
            }
        }
        if (options.hold_input && in[1] >= 0 &&
            run.out.find("Press Enter to Exit.\n") != std::string::npos) {
            // The prompt is out: the program must be waiting, not gone.
            usleep(300000);
            int status;
            run.waited_for_enter = waitpid(pid, &status, WNOHANG) == 0;
            if (write(in[1], "\n", 1) != 1)
                break;
            close(in[1]);
            in[1] = -1;
        }
    }
    if (in[1] >= 0)
        close(in[1]);
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    if (open_streams > 0)
        kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.peak_kib = usage.ru_maxrss;
    run.status = WIFEXITED(status) && open_streams == 0 ? WEXITSTATUS(status) : -1;
    return run;
}

inline std::string make_temp_dir() {
    char pattern[] = "/tmp/bench_run_XXXXXX";
    return mkdtemp(pattern) ? pattern : "";
}

inline void remove_tree(const std::string& dir) {
    if (!dir.empty() && dir.rfind("/tmp/bench_", 0) == 0)
        std::system(("rm -rf '" + dir + "'").c_str());
}

inline std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

inline std::string read_whole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The results-file name a program started at `when` gives itself in UTC.
inline std::string results_name(const std::string& program, std::time_t when) {
    return "results_" + program + "_Linux_x86 @ UTC time " + std::asctime(std::gmtime(&when)) +
           ".txt";
}

// The console's end-of-run lines for a results path, saved or not.
inline std::vector<std::string> end_lines(const std::string& path, bool saved) {
    std::string first = saved ? "Results have been saved in a file and you can find it at: "
                              : "Results could not be saved in a file; it would have been at: ";
    std::string::size_type nl = path.find('\n');
    return {first + path.substr(0, nl), path.substr(nl + 1), "", "", "", "Press Enter to Exit."};
}
