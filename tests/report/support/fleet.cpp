#include "fleet.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#include "model/calendar.h"
#include "model/catalogue.h"

namespace {

// The rates of a real two-thread short-pass run (tests/report/data), by test
// key: the single-thread rate and the mean per-thread rate of the
// multi-thread pass (effective frequency has only the second). Headings,
// units, bytes and the order of the lines come from the catalogue.
struct Base {
    std::string_view key;
    double single;
    double per_thread;
};

constexpr double processors_iterations = 65536;  // 2^16
constexpr double memory_iterations = 4194304;    // 2^22

constexpr Base bases[] = {
    {"effective_frequency", 0, 0.00558939},  // Giga Executions/sec.
    {"float", 0.380198, 3.6106},
    {"integer", 0.414478, 12.8624},
    {"logic", 836.249, 835.248},
    {"allocation", 126.149, 67.192},
    {"low_speeds", 10.8917, 3.97302},
    {"high_speeds", 22.3712, 7.14126},
};

const Base& base(const report::TestInfo& info) {
    for (const Base& b : bases)
        if (b.key == info.key)
            return b;
    throw std::logic_error("fleet: no rates for the test " + std::string(info.key));
}

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

Multi multi(const report::TestInfo& test, const Pass& single, double factor, int threads,
            double iterations, PassNoise& noise) {
    Multi m;
    double sum = 0;
    for (int t = 0; t < threads; ++t) {
        m.threads.push_back(timed(base(test).per_thread * factor * noise(0.015),
                                  iterations, test.bytes_per_iteration));
        sum += m.threads.back().value;
    }
    m.overall = printed(sum);
    double overall = read_back(m.overall);
    if (test.bytes_per_iteration > 0)
        m.overall_megabytes = printed(overall * 1e6 * test.bytes_per_iteration / 1048576);
    m.improvement = printed(overall / single.value);
    return m;
}

// The spent, rate and (for tests that move bytes) MB lines of a single-thread pass.
std::string single_lines(const report::TestInfo& test, const Pass& p) {
    std::string out = fmt::format("The system spent: {} Secs. \nIt was: {} {}\n", p.seconds,
                                  p.rate, test.unit);
    if (test.bytes_per_iteration > 0)
        out += fmt::format("Conventionally, it was: {} MB/sec.\n", p.megabytes);
    return out;
}

// The region of one test: per-thread blocks, overall, MB and improvement lines.
std::string region_lines(const report::TestInfo& test, const Multi& m) {
    std::string out;
    for (std::size_t t = 0; t < m.threads.size(); ++t) {
        out += fmt::format("Thread:{0} {1}{2} Secs. \nThread:{0} It was: {3} {4}\n", t,
                           test.file_thread_spent, m.threads[t].seconds, m.threads[t].rate,
                           test.unit);
        if (test.bytes_per_iteration > 0)
            out += fmt::format("Conventionally, it was: {} MB/sec.\n", m.threads[t].megabytes);
    }
    out += fmt::format("\n{}{} {}\n", test.overall_prefix, m.overall, test.unit);
    if (test.bytes_per_iteration > 0)
        out += fmt::format("Conventionally, it was: {} MB/sec.\n", m.overall_megabytes);
    out += fmt::format("Multi-Thread Improvements: {} times.\n", m.improvement);
    return out;
}

std::string empty_lines(const report::TestInfo& test) {
    return std::string(static_cast<std::size_t>(test.empty_lines_after), '\n');
}

// A results file: the title and thread count, then the program's tests in
// the catalogue's order, each written by its layout.
std::string results_file(report::Program program, double factor, int threads, PassNoise& noise) {
    bool memory = program == report::Program::memory;
    double iterations = memory ? memory_iterations : processors_iterations;
    std::string out = fmt::format(
        "Velotrix :: Ombrelune Benchmark MultiProcessor {}for Linux on x86 64{} system "
        "2025.02.06.\n\nThread(s): {}\n\n",
        memory ? "Memory " : "", memory ? "it" : "bit", threads);
    std::span<const report::TestInfo> tests = report::catalogue(program);
    for (std::size_t i = 0; i < tests.size();) {
        const report::TestInfo& test = tests[i];
        switch (test.layout) {
        case report::Layout::one_line:
            out += fmt::format(
                "\n{}\n{}{} {}\n{}", test.file_heading, test.figure_prefix,
                printed(base(test).per_thread * factor * noise(0.01)), test.unit,
                empty_lines(test));
            ++i;
            break;
        case report::Layout::heading_then_passes: {
            Pass single =
                timed(base(test).single * factor * noise(0.01), iterations, 0);
            out += fmt::format("{}\n\nForce to be single thread.\n{}\nMulti-Thread Enabled:\n",
                               test.file_heading, single_lines(test, single));
            out += region_lines(test, multi(test, single, factor, threads, iterations, noise));
            out += empty_lines(test);
            ++i;
            break;
        }
        case report::Layout::singles_then_regions: {
            out += "Force to be single thread.\n\n";
            std::size_t first = i;
            std::vector<Pass> singles;
            for (; i < tests.size() && tests[i].layout == test.layout; ++i) {
                singles.push_back(timed(base(tests[i]).single * factor * noise(0.01),
                                        iterations, tests[i].bytes_per_iteration));
                out += fmt::format("{}\n{}\n", tests[i].file_heading,
                                   single_lines(tests[i], singles.back()));
            }
            for (std::size_t k = first; k < i; ++k) {
                Multi m = multi(tests[k], singles[k - first], factor, threads, iterations, noise);
                // One more empty line after the last single-thread pass.
                out += fmt::format("{}Multi-Thread Enabled:\n\n{}\n{}{}", k == first ? "\n" : "",
                                   tests[k].file_heading, region_lines(tests[k], m),
                                   empty_lines(tests[k]));
            }
            break;
        }
        }
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
    return results_file(program, factor, threads, noise);
}

std::string noisy_results_file(report::Program program, double speed, double sigma, int threads,
                               unsigned seed) {
    if (!(speed > 0) || !(sigma >= 0) || threads < 1)
        throw std::invalid_argument("noisy_results_file: bad speed, noise or threads");
    std::mt19937 rng(seed);
    PassNoise noise{rng, sigma};
    return results_file(program, speed, threads, noise);
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

std::string date_of_day(long day) {
    return report::calendar_date(day);
}

void write_host_history(const std::filesystem::path& dir, const std::string& host,
                        report::Program program, long first_day, int days,
                        const std::function<double(int)>& factor,
                        const std::function<std::string(int)>& kernel, unsigned seed) {
    static const char* const weekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    bool memory = program == report::Program::memory;
    for (int k = 0; k < days; ++k) {
        long day = first_day + k;
        std::string date = date_of_day(day);
        // Named as `bench_report run` names a repetition's directory.
        std::string compact = date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2);
        std::filesystem::path folder = dir / host / (compact + "T050000Z-1");
        std::filesystem::create_directories(folder);
        int month = std::stoi(date.substr(5, 2)), mday = std::stoi(date.substr(8, 2));
        std::string file = fmt::format(
            "results_{}_Linux_x86 @ UTC time {} {} {:2} 05:00:00 {}\n.txt",
            memory ? "memory" : "processors", weekdays[((day % 7) + 7) % 7], months[month - 1],
            mday, date.substr(0, 4));
        std::ofstream out(folder / file, std::ios::binary | std::ios::trunc);
        out << scaled_results_file(program, factor(k), 4, seed * 7919u + static_cast<unsigned>(k));
        std::ofstream machine(folder / "machine.json", std::ios::binary | std::ios::trunc);
        machine << fmt::format(
            R"({{"schema_version": 1, "repetition": {{"started": "{}T05:00:00Z", )"
            R"("outcome": "completed"}}, "machine": {{"hostname": "{}", )"
            R"("kernel": {{"release": "{}"}}}}}})",
            date, host, kernel(k));
        if (!out || !machine)
            throw std::runtime_error("write_host_history: cannot write " + folder.string());
    }
}
