// The clock during each pass of a running program: which pass is running,
// followed from the lines the program prints as it goes, and samples of the
// clock (machine/pass_clock.h) taken by one thread of bench_report's own that
// sleeps between them, kept apart per test and pass for machine.json.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "machine/context.h"
#include "machine/pass_clock.h"
#include "model/catalogue.h"

namespace report {

enum class ClockPass { none, single, multi };

// The pass a program is in, from each complete line it printed. A pass runs
// from the line printed just before its clock starts to the first line
// printed after it stops: the single-thread pass from "Force to be single
// thread." (or, in bench_memory, its test's heading) to "The system spent:"
// (or "Out of memory:"); the multi-thread pass from "Multi-Thread Enabled:"
// (in bench_memory, the heading that follows it) to "Overall, ..."; the
// effective frequency region from its heading to its one line. Between
// passes: none.
class PassPhase {
public:
    void see(std::string_view line);
    const TestInfo* test() const { return test_; }
    ClockPass pass() const { return pass_; }
    // Counts every change of test or pass: a reading over an interval
    // belongs to a pass only when it did not change meanwhile.
    unsigned epoch() const { return epoch_; }

private:
    void enter(const TestInfo* test, ClockPass pass);
    void at_heading(const TestInfo* info);
    bool ends_pass(std::string_view line) const;
    const TestInfo* test_ = nullptr;
    ClockPass pass_ = ClockPass::none;
    bool singles_ = false;    // past "Force to be single thread."
    bool awaiting_ = false;   // bench_memory: a region began, its heading comes next
    unsigned epoch_ = 0;
};

// The samples of one repetition: lines are seen by the thread reading the
// program's output, samples taken by the sampler's; both may call at once.
class PassMeter {
public:
    // `cpu_of_main`: the CPU the program's main thread last ran on, when
    // known: the single-thread pass is read there alone.
    PassMeter(ClockSource& source, CpuSet cpus,
              std::function<std::optional<int>()> cpu_of_main = {});
    void see(std::string_view line);
    // One reading, kept for the pass it belongs to.
    void sample();
    // What was measured, for machine.json.
    ClockRecord record(int interval_ms) const;

private:
    struct Sums {
        double single = 0, multi = 0;
        int single_n = 0, multi_n = 0;
    };
    ClockSource& source_;
    CpuSet cpus_;
    std::function<std::optional<int>()> cpu_of_main_;
    mutable std::mutex mutex_;
    PassPhase phase_;
    std::optional<unsigned> last_epoch_;  // the phase at the previous reading
    std::vector<std::string> order_;      // tests in the order they ran
    std::map<std::string, Sums> sums_;
};

// Samples `meter` every `interval` on a thread of its own, sleeping between;
// stopped (at once, not at the next sample) when it goes. With `away`, the
// thread runs on those CPUs only (those the program does not use), so that
// it never takes a CPU from the program where another is free.
class ClockSampler {
public:
    ClockSampler(PassMeter& meter, std::chrono::milliseconds interval, CpuSet away = {});
    ClockSampler(const ClockSampler&) = delete;
    ClockSampler& operator=(const ClockSampler&) = delete;
    ~ClockSampler();

private:
    PassMeter& meter_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// The time between samples: at most ten a second, so that the sampler
// takes a CPU from the program as seldom as it can while a pass of a second
// still gets samples.
inline constexpr std::chrono::milliseconds clock_interval{100};

}  // namespace report
