#include "fleet.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

namespace {

// The rates of a real two-thread short-pass run (tests/report/data): the
// single-thread rate and the mean per-thread rate of the multi-thread pass.
struct Base {
    const char* heading;  // as printed, with the line that follows it where there is one
    const char* unit;
    double single;
    double per_thread;
    double bytes;  // per iteration, for MB/s; 0 for none
};

constexpr double processors_iterations = 65536;     // 2^16
constexpr double memory_iterations = 4194304;       // 2^22
constexpr double effective_frequency = 0.00558939;  // Giga Executions/sec.

const Base processors_tests[] = {
    {"Float Streaming. Float is at: 128bits", "Millions Executions/sec.", 0.380198, 3.6106, 0},
    {"Integer Streaming. Integer is at: 128bits.", "Millions Executions/sec.", 0.414478, 12.8624,
     0},
    {"Logic Streaming. Logic is at: 8bits.", "Millions Executions/sec.", 836.249, 835.248, 0},
};
const Base memory_tests[] = {
    {"Power of Memory Allocation.", "Millions Allocations/sec.", 126.149, 67.192, 0},
    {"Low speeds:", "Millions Executions/sec.", 10.8917, 3.97302, 32},
    {"High speeds:", "Millions Executions/sec.", 22.3712, 7.14126, 16},
};

// A number as the programs print it: a C++ stream's default, 6 significant digits.
std::string printed(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

double read_back(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

// Uniform in [-1, 1), the same on every platform: mt19937's sequence is fixed
// by the C++ standard, while its distributions may differ between libraries.
double jitter(std::mt19937& rng) {
    return static_cast<double>(rng()) / 2147483648.0 - 1;
}

// How far each timed pass strays from its expected rate: uniformly within
// +/- the spread given at each draw (the fleets' hosts), or, with `sigma` set,
// by a log-normal factor of that standard deviation, the same for every pass
// (a noisy machine's repetitions).
struct PassNoise {
    std::mt19937& rng;
    double sigma = -1;

    double operator()(double spread) {
        if (sigma < 0)
            return 1 + spread * jitter(rng);
        // Box-Muller on two draws in (0, 1).
        double u1 = (static_cast<double>(rng()) + 0.5) / 4294967296.0;
        double u2 = (static_cast<double>(rng()) + 0.5) / 4294967296.0;
        return std::exp(sigma * std::sqrt(-2 * std::log(u1)) * std::cos(2 * M_PI * u2));
    }
};

// One timed pass: the rate as printed and the seconds that make rate x
// seconds exactly the iteration count before rounding.
struct Pass {
    std::string seconds, rate;
    double value = 0;  // the printed rate's value
    std::string megabytes;
};

Pass timed(double rate, double iterations, double bytes) {
    Pass p;
    p.rate = printed(rate);
    p.value = read_back(p.rate);
    p.seconds = printed(iterations / (p.value * 1e6));
    if (bytes > 0)
        p.megabytes = printed(p.value * 1e6 * bytes / 1048576);
    return p;
}

// The multi-thread pass of one test: a pass per thread, the overall rate as
// the sum of the printed rates and the improvement over the single thread.
struct Multi {
    std::vector<Pass> threads;
    std::string overall, overall_megabytes, improvement;
};

Multi multi(const Base& test, const Pass& single, double factor, int threads, double iterations,
            PassNoise& noise) {
    Multi m;
    double sum = 0;
    for (int t = 0; t < threads; ++t) {
        m.threads.push_back(
            timed(test.per_thread * factor * noise(0.015), iterations, test.bytes));
        sum += m.threads.back().value;
    }
    m.overall = printed(sum);
    double overall = read_back(m.overall);
    if (test.bytes > 0)
        m.overall_megabytes = printed(overall * 1e6 * test.bytes / 1048576);
    m.improvement = printed(overall / single.value);
    return m;
}

std::string processors_file(double factor, int threads, PassNoise& noise) {
    std::string out = fmt::format(
        "Velotrix :: Ombrelune Benchmark MultiProcessor for Linux on x86 64bit system "
        "2025.02.06.\n\nThread(s): {}\n\n\nEffective Frequency.\nEffective Frequency was: {} Giga "
        "Executions/sec.\n\n\n",
        threads, printed(effective_frequency * factor * noise(0.01)));
    for (const Base& test : processors_tests) {
        Pass single =
            timed(test.single * factor * noise(0.01), processors_iterations, 0);
        out += fmt::format(
            "{}\n\nForce to be single thread.\nThe system spent: {} Secs. \nIt "
            "was: {} {}\n\nMulti-Thread Enabled:\n",
            test.heading, single.seconds, single.rate, test.unit);
        Multi m = multi(test, single, factor, threads, processors_iterations, noise);
        for (int t = 0; t < threads; ++t)
            out +=
                fmt::format("Thread:{0} The system spent: {1} Secs. \nThread:{0} It was: {2} {3}\n",
                            t, m.threads[t].seconds, m.threads[t].rate, test.unit);
        out += fmt::format("\nOverall, It was: {} {}\nMulti-Thread Improvements: {} times.\n\n\n",
                           m.overall, test.unit, m.improvement);
    }
    return out;
}

std::string memory_file(double factor, int threads, PassNoise& noise) {
    std::string out = fmt::format(
        "Velotrix :: Ombrelune Benchmark MultiProcessor Memory for Linux on x86 64it system "
        "2025.02.06.\n\nThread(s): {}\n\nForce to be single thread.\n\n",
        threads);
    std::vector<Pass> singles;
    for (const Base& test : memory_tests) {
        singles.push_back(
            timed(test.single * factor * noise(0.01), memory_iterations, test.bytes));
        const Pass& s = singles.back();
        out += fmt::format("{}\nThe system spent: {} Secs. \nIt was: {} {}\n", test.heading,
                           s.seconds, s.rate, test.unit);
        if (test.bytes > 0)
            out += fmt::format("Conventionally, it was: {} MB/sec.\n", s.megabytes);
        out += "\n";
    }
    for (std::size_t k = 0; k < std::size(memory_tests); ++k) {
        const Base& test = memory_tests[k];
        Multi m = multi(test, singles[k], factor, threads, memory_iterations, noise);
        // The low-speed pass prints "The spent:", as the program does.
        const char* spent = k == 1 ? "The spent" : "The system spent";
        out += fmt::format("{}Multi-Thread Enabled:\n\n{}\n", k == 1 ? "" : "\n", test.heading);
        for (int t = 0; t < threads; ++t) {
            out += fmt::format("Thread:{0} {1}: {2} Secs. \nThread:{0} It was: {3} {4}\n", t, spent,
                               m.threads[t].seconds, m.threads[t].rate, test.unit);
            if (test.bytes > 0)
                out += fmt::format("Conventionally, it was: {} MB/sec.\n", m.threads[t].megabytes);
        }
        // The allocation test prints its overall line with a small "it".
        out +=
            fmt::format("\nOverall, {} was: {} {}\n", k == 0 ? "it" : "It", m.overall, test.unit);
        if (test.bytes > 0)
            out += fmt::format("Conventionally, it was: {} MB/sec.\n", m.overall_megabytes);
        out += fmt::format("Multi-Thread Improvements: {} times.\n\n", m.improvement);
    }
    return out;
}

}  // namespace

std::string scaled_results_file(report::Program program, double factor, int threads,
                                unsigned seed) {
    if (!(factor > 0) || threads < 1)
        throw std::invalid_argument("scaled_results_file: the factor and threads must be positive");
    std::mt19937 rng(seed);
    PassNoise noise{rng};
    return program == report::Program::processors ? processors_file(factor, threads, noise)
                                                  : memory_file(factor, threads, noise);
}

std::string noisy_results_file(report::Program program, double speed, double sigma, int threads,
                               unsigned seed) {
    if (!(speed > 0) || !(sigma >= 0) || threads < 1)
        throw std::invalid_argument("noisy_results_file: bad speed, noise or threads");
    std::mt19937 rng(seed);
    PassNoise noise{rng, sigma};
    return program == report::Program::processors ? processors_file(speed, threads, noise)
                                                  : memory_file(speed, threads, noise);
}

bool fleet_outlier(int host) {
    return host % 25 == 13;
}

double fleet_factor(int host, unsigned seed) {
    if (fleet_outlier(host))
        return (host / 25) % 2 == 0 ? 0.6 : 1.5;
    std::mt19937 rng(seed * 7919u + static_cast<unsigned>(host));
    return 1 + 0.03 * jitter(rng);
}

std::vector<std::string> write_fleet(const std::filesystem::path& dir, int hosts, unsigned seed) {
    std::vector<std::string> names;
    for (int host = 1; host <= hosts; ++host) {
        std::string name = fmt::format("host-{:03}", host);
        std::filesystem::path folder = dir / name;
        std::filesystem::create_directories(folder);
        double factor = fleet_factor(host, seed);
        // Each host ran the two programs one after the other, a minute apart,
        // the hosts 40 seconds apart from 05:00:00.
        int start = 5 * 3600 + 40 * (host - 1);
        for (report::Program program : {report::Program::processors, report::Program::memory}) {
            bool memory = program == report::Program::memory;
            int t = (start + (memory ? 60 : 0)) % 86400;
            std::string file = fmt::format(
                "results_{}_Linux_x86 @ UTC time Tue Dec  8 {:02}:{:02}:{:02} 2026\n.txt",
                memory ? "memory" : "processors", t / 3600, t / 60 % 60, t % 60);
            std::ofstream out(folder / file, std::ios::binary | std::ios::trunc);
            out << scaled_results_file(program, factor, 4, seed * 1000003u + 2u * host + memory);
            if (!out)
                throw std::runtime_error("write_fleet: cannot write " + (folder / file).string());
        }
        names.push_back(name);
    }
    return names;
}
