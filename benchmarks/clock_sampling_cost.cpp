// What sampling the clock during the passes costs a program: the program run
// in alternation without and with run's sampler (one thread sleeping 100 ms
// between readings of scaling_cur_freq), its own rates compared per test and
// pass. The frequencies are read from a built tree of scaling_cur_freq files
// (one per CPU this process may use), so the cost measured is the sampler's:
// its thread waking, reading the files, keeping the samples; what the kernel
// does to answer a real scaling_cur_freq is not in it.
//
//   clock_sampling_cost PROGRAM [ROUNDS]     (default 10 rounds)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

#include <fmt/format.h>

#include "analysis/stats.h"
#include "execution/pass_meter.h"
#include "execution/runner.h"
#include "input/load.h"
#include "model/catalogue.h"

namespace fs = std::filesystem;
using namespace report;

namespace {

struct Rates {
    std::map<std::string, std::vector<double>> single, overall;
    std::vector<int> samples;
};

// One execution of `program` in `dir`, sampled when `meter` is given; its rates into `into`.
bool run_once(const fs::path& program, const fs::path& dir, PassMeter* meter, Rates& into) {
    fs::create_directories(dir);
    std::optional<ClockSampler> sampler;
    ExecutionHooks hooks;
    hooks.on_line = [&](const std::string& line) {
        if (meter)
            meter->see(line);
    };
    hooks.on_start = [&](long) {
        if (meter)
            sampler.emplace(*meter, clock_interval);
    };
    Execution e = execute_program(program, dir, hooks);
    sampler.reset();
    if (e.outcome != Outcome::completed || !e.results_file)
        return false;
    Loaded loaded = load_runs({e.results_file->string()}, {});
    if (loaded.runs.empty())
        return false;
    for (const Test& t : loaded.runs.front().tests) {
        if (t.single_rate)
            into.single[t.key].push_back(t.single_rate->value);
        if (t.overall_rate)
            into.overall[t.key].push_back(t.overall_rate->value);
    }
    return true;
}

void row(const std::string& key, const char* pass, const std::vector<double>& without,
         const std::vector<double>& with) {
    if (without.empty() || with.empty())
        return;
    double a = *stats::median(without), b = *stats::median(with);
    std::printf("| %s | %s | %.6g | %.6g | %.3f |\n", std::string(display_name(key)).c_str(),
                pass, a, b, b / a);
}

// The sampler's own work: CPU time of one reading of every CPU, kept.
void sampler_cpu_time(ClockSource& source, const CpuSet& cpus) {
    PassMeter meter(source, cpus);
    meter.see("Multi-Thread Enabled:");
    constexpr int readings = 2000;
    timespec a{}, b{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    for (int i = 0; i < readings; ++i)
        meter.sample();
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    double us = ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / 1e3 / readings;
    std::printf("One sample of %zu CPU(s): %.1f us of CPU time; at one per %lld ms, %.4f%% "
                "of one CPU\n\n",
                cpus.size(), us, static_cast<long long>(clock_interval.count()),
                us / 1e3 / static_cast<double>(clock_interval.count()) * 100);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: clock_sampling_cost PROGRAM [ROUNDS]\n");
        return 2;
    }
    fs::path program = fs::absolute(argv[1]);
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    fs::path root = fs::temp_directory_path() / fmt::format("clock_cost_{}", ::getpid());
    CpuSet cpus = current_affinity();
    for (int cpu : cpus) {
        fs::path f = root / fmt::format("sys/devices/system/cpu/cpu{}/cpufreq", cpu);
        fs::create_directories(f);
        std::ofstream(f / "scaling_cur_freq") << 2500000 << "\n";
    }
    ClockProbe probe = probe_clock({root, {}, false}, cpus, false, nullptr, true);
    if (!probe.source) {
        std::fprintf(stderr, "no source: %s\n", probe.reason.c_str());
        return 1;
    }
    sampler_cpu_time(*probe.source, cpus);
    Rates without, with;
    for (int r = 0; r < rounds; ++r)
        // Alternating: without first in odd rounds, with first in even ones.
        for (int k = 0; k < 2; ++k) {
            bool sampled = (r + k) % 2 == 1;
            PassMeter meter(*probe.source, cpus);
            fs::path dir = root / fmt::format("r{}-{}", r, sampled ? "with" : "without");
            if (!run_once(program, dir, sampled ? &meter : nullptr, sampled ? with : without))
                std::fprintf(stderr, "round %d: %s did not complete\n", r + 1, argv[1]);
            if (sampled) {
                int n = 0;
                for (const TestClock& t : meter.record(100).tests)
                    n += t.single.samples + t.multi.samples;
                with.samples.push_back(n);
            }
        }
    std::printf("| Test | Pass | Median rate without | Median rate with | With / without |\n");
    std::printf("| --- | --- | ---: | ---: | ---: |\n");
    for (const auto& [key, values] : without.single)
        row(key, "single", values, with.single[key]);
    for (const auto& [key, values] : without.overall)
        row(key, "overall", values, with.overall[key]);
    std::vector<double> n(with.samples.begin(), with.samples.end());
    if (!n.empty())
        std::printf("\n%d rounds; samples in the passes of a sampled run: median %.0f\n", rounds,
                    *stats::median(n));
    fs::remove_all(root);
    return 0;
}
