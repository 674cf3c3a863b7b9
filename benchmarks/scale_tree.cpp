// Trees for benchmarks/compare_at_scale:
//   scale_tree fleet DIR HOSTS   HOSTS host directories under DIR, each with
//                                a processors and a memory results file (the
//                                tests' generated fleet);
//   scale_tree runs DIR HOSTS    the same fleet as `bench_report run` leaves
//                                it: each file in a repetition's directory
//                                beside its machine.json;
//   scale_tree chain DIR DEPTH   DIR/d/d/.../d, DEPTH directories deep, with
//                                one processors results file at the bottom;
//   scale_tree reps DIR COUNT    DIR/old and DIR/new, COUNT repetitions of
//                                each program apiece at 2% noise a pass, new
//                                3% slower than old.
//   scale_tree nights DIR HOSTS  HOSTS hosts x 40 nights of both programs as
//                                `run` leaves them, host-002 8% slower from
//                                its 26th night on, when its kernel changed.
// The chain is made a directory at a time relative to the last one, so it
// can go deeper than the longest path the system takes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <fmt/format.h>

#include "fleet.h"

namespace {

int chain(const std::filesystem::path& dir, int depth) {
    std::filesystem::create_directories(dir);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; fd >= 0 && level < depth; ++level) {
        if (::mkdirat(fd, "d", 0755) != 0 && errno != EEXIST)
            break;
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    if (fd < 0) {
        std::fprintf(stderr, "scale_tree: %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    std::string text = scaled_results_file(report::Program::processors, 1.0, 4, 1);
    int out = ::openat(fd, "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:00:00 2026\n.txt",
                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = out >= 0 && ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (out >= 0)
        ok = ::close(out) == 0 && ok;
    ::close(fd);
    if (!ok) {
        std::fprintf(stderr, "scale_tree: cannot write the results file at depth %d\n", depth);
        return 1;
    }
    return 0;
}

int repetitions(const std::filesystem::path& dir, int count) {
    unsigned seed = 1;
    for (const char* label : {"old", "new"}) {
        std::filesystem::create_directories(dir / label);
        double speed = label[0] == 'o' ? 1.0 : 1 / 1.03;
        for (int i = 1; i <= count; ++i)
            for (report::Program p : {report::Program::processors, report::Program::memory}) {
                std::string name = fmt::format("results_{}_Linux_x86 @ {}.txt",
                                               p == report::Program::processors ? "processors"
                                                                                : "memory",
                                               i);
                std::FILE* f = std::fopen((dir / label / name).c_str(), "w");
                std::string text = noisy_results_file(p, speed, 0.02, 4, seed++);
                if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
                    std::fclose(f) != 0) {
                    std::fprintf(stderr, "scale_tree: cannot write %s\n", name.c_str());
                    return 1;
                }
            }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc == 4 ? argv[1] : "";
    if (mode != "fleet" && mode != "runs" && mode != "nights" && mode != "chain" &&
        mode != "reps") {
        std::fprintf(stderr, "usage: scale_tree fleet|runs|nights DIR HOSTS"
                             " | scale_tree chain DIR DEPTH | scale_tree reps DIR COUNT\n");
        return 2;
    }
    int count = std::atoi(argv[3]);
    if (mode == "chain")
        return chain(argv[2], count);
    if (mode == "reps")
        return repetitions(argv[2], count);
    if (mode == "runs") {
        for (int h = 1; h <= count; ++h)
            for (report::Program p : {report::Program::processors, report::Program::memory})
                write_host_history(
                    argv[2], fmt::format("host-{:03}", h), p, 20000, 1,
                    [&](int) { return fleet_factor(h, 7); },
                    [](int) { return std::string("6.1.0-27"); }, static_cast<unsigned>(h));
        return 0;
    }
    if (mode == "nights") {
        for (int h = 1; h <= count; ++h)
            for (report::Program p : {report::Program::processors, report::Program::memory})
                write_host_history(
                    argv[2], fmt::format("host-{:03}", h), p, 20000, 40,
                    [&](int day) { return fleet_factor(h, 7) * (h == 2 && day >= 25 ? 0.92 : 1); },
                    [&](int day) { return std::string(h == 2 && day >= 25 ? "6.1.0-28" : "6.1.0-27"); },
                    static_cast<unsigned>(h));
        return 0;
    }
    write_fleet(argv[2], count, 7);
    return 0;
}
