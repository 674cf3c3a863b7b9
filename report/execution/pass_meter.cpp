#include "execution/pass_meter.h"

#include <algorithm>

#include <pthread.h>
#include <sched.h>
#include <signal.h>

namespace report {

namespace {

bool starts(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

const TestInfo* heading_of(std::string_view line) {
    for (const TestInfo& info : catalogue())
        if (is_heading(info, line))
            return &info;
    return nullptr;
}

}  // namespace

void PassPhase::enter(const TestInfo* test, ClockPass pass) {
    if (test != test_ || pass != pass_)
        ++epoch_;
    test_ = test;
    pass_ = pass;
}

// A test's heading: its multi-thread pass begins when a region named it
// (or the test is one line), its single-thread pass when the singles of
// bench_memory are running, else nothing yet.
void PassPhase::at_heading(const TestInfo* info) {
    if (awaiting_ || info->layout == Layout::one_line)
        enter(info, ClockPass::multi);
    else if (info->layout == Layout::singles_then_regions && singles_)
        enter(info, ClockPass::single);
    else
        enter(info, ClockPass::none);
    awaiting_ = false;
}

// The line that closes the pass running.
bool PassPhase::ends_pass(std::string_view line) const {
    if (pass_ == ClockPass::single)
        return starts(line, "The system spent: ") || starts(line, "Out of memory:");
    return pass_ == ClockPass::multi &&
           (starts(line, "Overall, ") || (test_ && test_->layout == Layout::one_line &&
                                          starts(line, test_->figure_prefix)));
}

void PassPhase::see(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (const TestInfo* info = heading_of(line)) {
        at_heading(info);
    } else if (line == "Force to be single thread.") {
        singles_ = true;
        if (test_ && test_->layout == Layout::heading_then_passes)
            enter(test_, ClockPass::single);
    } else if (line == "Multi-Thread Enabled:") {
        // bench_memory names the test of a region after this line. Before
        // any heading known (another build's first test, a heading with a
        // trailing space) the region belongs to no test: its samples are
        // kept for none.
        awaiting_ = test_ && test_->layout == Layout::singles_then_regions;
        enter(awaiting_ ? nullptr : test_,
              awaiting_ || !test_ ? ClockPass::none : ClockPass::multi);
    } else if (ends_pass(line)) {
        enter(test_, ClockPass::none);
    }
}

PassMeter::PassMeter(ClockSource& source, CpuSet cpus,
                     std::function<std::optional<int>()> cpu_of_main)
    : source_(source), cpus_(std::move(cpus)), cpu_of_main_(std::move(cpu_of_main)) {}

void PassMeter::see(std::string_view line) {
    std::lock_guard lock(mutex_);
    phase_.see(line);
    // Every test that ran is recorded, those without a sample too.
    if (const TestInfo* test = phase_.test())
        if (sums_.try_emplace(std::string(test->key)).second)
            order_.emplace_back(test->key);
}

void PassMeter::sample() {
    PassPhase at;
    {
        std::lock_guard lock(mutex_);
        at = phase_;
    }
    // The single-thread pass runs on one CPU: where the main thread is, when known.
    CpuSet focus = cpus_;
    if (at.pass() == ClockPass::single && cpu_of_main_)
        if (std::optional<int> cpu = cpu_of_main_();
            cpu && std::binary_search(cpus_.begin(), cpus_.end(), *cpu))
            focus = {*cpu};
    std::optional<double> value = source_.read(focus);
    std::lock_guard lock(mutex_);
    bool whole = phase_.epoch() == at.epoch() &&
                 (!source_.over_interval() || last_epoch_ == at.epoch());
    last_epoch_ = at.epoch();
    if (!value || !whole || at.pass() == ClockPass::none || !at.test())
        return;
    Sums& s = sums_[std::string(at.test()->key)];
    if (at.pass() == ClockPass::single) {
        s.single += *value;
        ++s.single_n;
    } else {
        s.multi += *value;
        ++s.multi_n;
    }
}

ClockRecord PassMeter::record(int interval_ms) const {
    std::lock_guard lock(mutex_);
    ClockRecord r;
    r.source = source_.name();
    r.interval_ms = interval_ms;
    r.cpus = cpus_;
    for (const std::string& key : order_) {
        const Sums& s = sums_.at(key);
        TestClock t;
        t.test = key;
        t.single.samples = s.single_n;
        t.multi.samples = s.multi_n;
        if (s.single_n > 0)
            t.single.mean = s.single / s.single_n;
        if (s.multi_n > 0)
            t.multi.mean = s.multi / s.multi_n;
        r.tests.push_back(std::move(t));
    }
    return r;
}

namespace {

// The calling thread kept to `cpus`; left as it is when they cannot be set.
void keep_to(const CpuSet& cpus) {
    if (cpus.empty())
        return;
    std::size_t count = static_cast<std::size_t>(cpus.back()) + 1;
    cpu_set_t* set = CPU_ALLOC(count);
    if (!set)
        return;
    std::size_t size = CPU_ALLOC_SIZE(count);
    CPU_ZERO_S(size, set);
    for (int cpu : cpus)
        CPU_SET_S(static_cast<std::size_t>(cpu), size, set);
    ::sched_setaffinity(0, size, set);
    CPU_FREE(set);
}

}  // namespace

ClockSampler::ClockSampler(PassMeter& meter, std::chrono::milliseconds interval, CpuSet away)
    : meter_(meter), interval_(interval) {
    thread_ = std::thread([this, away = std::move(away)] {
        // Signals are bench_report's main thread's to handle (execution/runner.h).
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        keep_to(away);
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, interval_, [this] { return stop_; })) {
            lock.unlock();
            meter_.sample();
            lock.lock();
        }
    });
}

ClockSampler::~ClockSampler() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

}  // namespace report
