// The store against the files on a generated fleet: HOSTS hosts, DAYS nights
// each, both programs a night (their results files and the machine.json
// beside them, as `bench_report run` leaves them). Measures, with
// bench_report as a person runs it:
//   - the first ingest of the whole fleet;
//   - the ingest of one more night (HOSTS x 2 new results files);
//   - `history` of the whole fleet from the files and from the store,
//     whose outputs must be the same byte for byte.
// Usage: store_benchmark [HOSTS [DAYS [DIR]]] (default 200 hosts, 30 days,
// under the temporary directory); the full year is `store_benchmark 200 365`.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fmt/format.h>

#include "fleet.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

// Seconds `command` took in `dir`; exits when it fails.
double timed(const fs::path& dir, const std::string& command, int expected = 0) {
    auto start = std::chrono::steady_clock::now();
    int status = shell("cd '" + dir.string() + "' && " + command);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != expected) {
        std::fprintf(stderr, "store_benchmark: %s: exit %d\n", command.c_str(), status);
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    int hosts = argc > 1 ? std::atoi(argv[1]) : 200;
    int days = argc > 2 ? std::atoi(argv[2]) : 30;
    fs::path dir = argc > 3 ? fs::path(argv[3])
                            : fs::temp_directory_path() / fmt::format("store_benchmark_{}", ::getpid());
    const std::string bench = "'" BENCH_REPORT "'";
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto write_nights = [&](int first, int count) {
        for (int h = 1; h <= hosts; ++h) {
            std::string host = fmt::format("host-{:03}", h);
            for (report::Program p : {report::Program::processors, report::Program::memory})
                write_host_history(
                    dir / "fleet", host, p, 20000 + first, count,
                    [&](int) { return fleet_factor(h, 7); },
                    [](int) { return std::string("6.1.0-27"); }, static_cast<unsigned>(h));
        }
    };
    auto start = std::chrono::steady_clock::now();
    write_nights(0, days);
    std::printf("fleet: %d hosts x %d nights x 2 programs = %d results files (written in %.1f s)\n",
                hosts, days, hosts * days * 2,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());

    double ingest = timed(dir, bench + " store fleet.db fleet >ingest.txt");
    std::printf("first ingest:        %8.2f s  (%s)\n", ingest, slurp(dir / "ingest.txt").c_str());
    write_nights(days, 1);
    double night = timed(dir, bench + " store fleet.db fleet >night.txt");
    std::printf("one night's ingest:  %8.2f s  (%s)\n", night, slurp(dir / "night.txt").c_str());
    std::printf("store: %.1f MB\n", static_cast<double>(fs::file_size(dir / "fleet.db")) / 1e6);

    double files = timed(dir, bench + " history fleet >files.txt");
    double store = timed(dir, bench + " history fleet.db >store.txt");
    std::printf("history from files:  %8.2f s\n", files);
    std::printf("history from store:  %8.2f s  (%.1f times faster)\n", store, files / store);
    bool same = slurp(dir / "files.txt") == slurp(dir / "store.txt");
    std::printf("same output: %s\n", same ? "yes" : "NO");
    if (argc <= 3)
        fs::remove_all(dir);
    return same ? 0 : 1;
}
