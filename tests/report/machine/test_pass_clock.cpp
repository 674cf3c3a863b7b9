// The clock during the passes, without real time: which pass each line of
// the programs' own output opens or closes, samples of a fake source and of a
// built sysfs whose values change kept apart per pass, the reasons given
// where nothing can be read, the record in machine.json, and the words show
// and compare say of it.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "analysis/scaling.h"
#include "execution/pass_meter.h"
#include "execution/schedule.h"
#include "input/load.h"
#include "machine/record.h"
#include "output/scaling_view.h"
#include "process.h"
#include "schedule_fakes.h"

using namespace report;
using report::fakes::data;
namespace fs = std::filesystem;

namespace {

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// Gives `next` at each reading; an interval source (counters) or an instant one.
class FakeSource : public ClockSource {
public:
    explicit FakeSource(bool interval) : interval_(interval) {}
    double next = 1;
    std::vector<CpuSet> focus;  // asked at each reading
    const char* name() const override { return interval_ ? "aperf_mperf" : "scaling_cur_freq"; }
    bool over_interval() const override { return interval_; }
    std::optional<double> read(const CpuSet& f) override {
        focus.push_back(f);
        return next;
    }

private:
    bool interval_;
};

// A temporary root for built sysfs trees.
struct Tree {
    fs::path root = fs::temp_directory_path() / ("pass_clock_" + std::to_string(::getpid()));
    Tree() { fs::remove_all(root); }
    ~Tree() { fs::remove_all(root); }
    fs::path cpu(int n) const { return root / "sys/devices/system/cpu" / ("cpu" + std::to_string(n)); }
    fs::path msr() const { return root / "sys/bus/event_source/devices/msr"; }
};

}  // namespace

// Each line of a transcript seen, then one reading: the readings taken
// while a pass ran are its samples. An interval source's first reading in
// a pass spans the line that opened it, and so is not the pass's.
TEST(PassClock, TheProgramsOwnLinesTellWhichPassIsRunning) {
    struct Case {
        std::string transcript;
        bool interval;
        // test -> samples of its single-thread and multi-thread passes
        std::map<std::string, std::pair<int, int>> samples;
    };
    const Case cases[] = {
        // Memory: the single-thread passes run one after another after
        // "Force to be single thread.", each from its heading; each region
        // is named by the heading after "Multi-Thread Enabled:".
        {"memory_2threads.console.txt", false,
         {{"allocation", {1, 6}}, {"low_speeds", {1, 8}}, {"high_speeds", {1, 8}}}},
        {"memory_2threads.console.txt", true,
         {{"allocation", {0, 5}}, {"low_speeds", {0, 7}}, {"high_speeds", {0, 7}}}},
        // Processors: the effective frequency region runs between its heading
        // and its one line; each streaming test's single-thread pass after
        // "Force to be single thread.", its region after "Multi-Thread Enabled:".
        {"processors_2threads.console.txt", false,
         {{"effective_frequency", {0, 1}}, {"float", {1, 6}}, {"integer", {1, 6}},
          {"logic", {1, 6}}}},
        // Passes that ran out of memory end at that line.
        {"memory_out_of_memory.console.txt", false,
         {{"allocation", {1, 6}}, {"low_speeds", {1, 4}}, {"high_speeds", {1, 4}}}},
        // A region before any heading known (one with a trailing space, or
        // another build's first test) belongs to no test; the lines after
        // it are read on.
        {"Multi-Thread Enabled:\nThread:0 The system spent: 1 Secs.\nOverall, 2\n"
         "Low speeds: \nMulti-Thread Enabled:\nThread:0 It was: 3\nOverall, 4\n",
         false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transcript + (c.interval ? ", counters" : ", frequency"));
        FakeSource source(c.interval);
        PassMeter meter(source, {0, 1});
        bool inline_text = c.transcript.find('\n') != std::string::npos;
        std::istringstream lines(inline_text ? c.transcript : slurp(data + "/" + c.transcript));
        for (std::string line; std::getline(lines, line);) {
            meter.see(line);
            meter.sample();
        }
        ClockRecord r = meter.record(100);
        std::map<std::string, std::pair<int, int>> got;
        for (const TestClock& t : r.tests)
            got[t.test] = {t.single.samples, t.multi.samples};
        EXPECT_EQ(got, c.samples);
        EXPECT_EQ(r.source, source.name());
        EXPECT_EQ(r.interval_ms, 100);
    }
}

// A built sysfs whose scaling_cur_freq changes between readings: the
// single-thread pass read on the main thread's CPU alone, the multi-thread
// pass on every CPU; the explanation then compares the two.
TEST(PassClock, ScalingCurFreqSampledPerPassAndExplained) {
    Tree tree;
    auto freq = [&](int cpu, int khz) {
        put(tree.cpu(cpu) / "cpufreq/scaling_cur_freq", std::to_string(khz));
    };
    freq(0, 1000000);
    freq(1, 1000000);
    MachineSource source{tree.root, {}, false};
    ClockProbe probe = probe_clock(source, {0, 1}, false, nullptr, true);
    ASSERT_TRUE(probe.source) << probe.reason;
    EXPECT_STREQ(probe.source->name(), "scaling_cur_freq");
    PassMeter meter(*probe.source, {0, 1}, [] { return std::optional<int>(1); });

    std::istringstream lines(slurp(data + "/processors_2threads.console.txt"));
    // Each single-thread pass on CPU 1 at 3 GHz, CPU 0 idle at 1 GHz; the
    // first multi-thread pass at 2.7 GHz on average, then 2.6.
    bool multi_seen = false;
    for (std::string line; std::getline(lines, line);) {
        meter.see(line);
        if (line == "Force to be single thread.") {
            freq(0, 1000000);
            freq(1, 3000000);
            meter.sample();
        } else if (line == "Multi-Thread Enabled:" && !multi_seen) {
            multi_seen = true;
            freq(0, 2800000);
            freq(1, 2600000);
            meter.sample();
            freq(0, 2600000);
            meter.sample();
        }
    }
    ClockRecord r = meter.record(100);
    ASSERT_GE(r.tests.size(), 2u);
    const TestClock& f = r.tests[1];
    EXPECT_EQ(f.test, "float");
    EXPECT_EQ(f.single.mean, 3000.0);
    EXPECT_EQ(f.single.samples, 1);
    EXPECT_EQ(f.multi.samples, 2);
    EXPECT_DOUBLE_EQ(*f.multi.mean, 2650.0);

    // Only the float test's passes had samples on both sides: x0.88.
    Loaded l = load_runs({data + "/processors_2threads.results.txt"}, {});
    ASSERT_EQ(l.runs.size(), 1u);
    auto record = std::make_shared<MachineRecord>();
    record->clock = r;
    record->clock->tests = {f};
    report::Run run = l.runs.front();
    run.machine = record;
    RunScaling s = explain_scaling(run);
    ASSERT_TRUE(s.clock.measured);
    ASSERT_FALSE(s.tests.empty());
    EXPECT_EQ(s.tests[0].key, "float");
    EXPECT_EQ(clock_phrase(s.tests[0], s.clock),
              "all-core clock x0.88 of the one-core clock (sampled scaling_cur_freq, 1 and 2 "
              "samples)");
    EXPECT_EQ(clock_phrase(s.tests[1], s.clock),
              "clock not compared: no sample of either pass (sampled scaling_cur_freq, one every "
              "100 ms)");
    std::optional<Table> table = scaling_table(run, s);
    ASSERT_TRUE(table);
    std::string notes;
    for (const std::string& n : table->notes)
        notes += n + "\n";
    EXPECT_NE(notes.find("Float streaming: all-core clock x0.88"), std::string::npos) << notes;
    EXPECT_EQ(notes.find("Clock not measurable"), std::string::npos) << notes;
}

// The counters: APERF/MPERF summed over the CPUs asked since the reading
// before; a counter that went backwards adds nothing.
TEST(PassClock, AperfMperfCountedBetweenReadings) {
    struct Counters : CounterAccess {
        std::map<int, std::pair<std::uint64_t, std::uint64_t>> now;
        int open(int, std::uint32_t type, std::uint64_t aperf, std::uint64_t mperf) override {
            return type == 9 && aperf == 2 && mperf == 1 ? 0 : EINVAL;
        }
        std::optional<std::pair<std::uint64_t, std::uint64_t>> read(int cpu) override {
            return now.at(cpu);
        }
    };
    Tree tree;
    put(tree.msr() / "type", "9");
    put(tree.msr() / "events/aperf", "event=0x02");
    put(tree.msr() / "events/mperf", "event=0x01");
    auto owned = std::make_unique<Counters>();
    Counters& counters = *owned;
    counters.now = {{0, {100, 100}}, {1, {100, 100}}};
    ClockProbe probe = probe_clock({tree.root, {}, false}, {0, 1}, true, std::move(owned), true);
    ASSERT_TRUE(probe.source) << probe.reason;
    ClockSource& s = *probe.source;
    EXPECT_STREQ(s.name(), "aperf_mperf");
    EXPECT_FALSE(s.read({0, 1}));  // nothing before it to count from
    counters.now = {{0, {1300, 1100}}, {1, {200, 300}}};
    EXPECT_DOUBLE_EQ(*s.read({0, 1}), (1200.0 + 100) / (1000 + 200));
    counters.now = {{0, {2200, 2100}}, {1, {50, 400}}};
    EXPECT_DOUBLE_EQ(*s.read({0}), 0.9);
    EXPECT_FALSE(s.read({1}));  // unchanged since the reading before
}

// Where neither source reads, the reason names what each lacked; hostile
// files (a FIFO, a value that is no number) count as missing, never read.
TEST(PassClock, ReasonsWhereTheClockCannotBeRead) {
    struct Refusing : CounterAccess {
        int error;
        explicit Refusing(int e) : error(e) {}
        int open(int, std::uint32_t, std::uint64_t, std::uint64_t) override { return error; }
        std::optional<std::pair<std::uint64_t, std::uint64_t>> read(int) override { return {}; }
    };
    struct Case {
        std::string name;
        std::function<void(const Tree&)> build;
        int refusal = 0;  // the counters' errno; 0: none offered
        bool hypervisor = false, root_user = true;
        std::string reason;
    };
    auto msr = [](const Tree& t, bool aperf) {
        put(t.msr() / "type", "9");
        put(t.msr() / "events/tsc", "event=0x00");
        if (aperf) {
            put(t.msr() / "events/aperf", "event=0x02");
            put(t.msr() / "events/mperf", "event=0x01");
        }
    };
    const Case cases[] = {
        {"this machine", [&](const Tree& t) { msr(t, false); }, 0, true, true,
         "no cpufreq in sysfs and the msr PMU offers no APERF/MPERF (virtual machine)"},
        {"no msr PMU", [](const Tree& t) { fs::create_directories(t.cpu(0)); }, 0, false, true,
         "no cpufreq in sysfs and the kernel has no msr PMU"},
        {"not permitted", [&](const Tree& t) {
             msr(t, true);
             put(t.root / "proc/sys/kernel/perf_event_paranoid", "2");
         },
         EACCES, false, false,
         "no cpufreq in sysfs and APERF/MPERF not permitted (perf_event_paranoid 2, not root)"},
        {"refused otherwise", [&](const Tree& t) { msr(t, true); }, ENOENT, false, true,
         "no cpufreq in sysfs and APERF/MPERF cannot be counted on CPU 0: No such file or "
         "directory"},
        {"one CPU without", [&](const Tree& t) {
             msr(t, false);
             put(t.cpu(0) / "cpufreq/scaling_cur_freq", "2000000");
             fs::create_directories(t.cpu(1) / "cpufreq");
         },
         0, false, true,
         "cpufreq gives no scaling_cur_freq for CPU 1 and the msr PMU offers no APERF/MPERF"},
        {"a FIFO and garbage", [&](const Tree& t) {
             msr(t, false);
             put(t.cpu(0) / "cpufreq/scaling_cur_freq", "fast");
             fs::create_directories(t.cpu(1) / "cpufreq");
             ::mkfifo((t.cpu(1) / "cpufreq/scaling_cur_freq").c_str(), 0600);
         },
         0, false, true,
         "cpufreq gives no scaling_cur_freq for CPU 0 and the msr PMU offers no APERF/MPERF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree;
        c.build(tree);
        std::unique_ptr<CounterAccess> counters;
        if (c.refusal)
            counters = std::make_unique<Refusing>(c.refusal);
        ClockProbe probe =
            probe_clock({tree.root, {}, false}, {0, 1}, c.hypervisor, std::move(counters),
                        c.root_user);
        EXPECT_FALSE(probe.source);
        EXPECT_EQ(probe.reason, c.reason);
    }
}

// machine.json keeps what was measured, and reads back; an older file
// without it has none, and keeps the explanation it had.
TEST(PassClock, RecordedInMachineJsonAndReadBack) {
    MachineRecord r;
    r.repetition.program = "bench_processors";
    r.clock = ClockRecord{"scaling_cur_freq", std::nullopt, 100, {0, 1}, {}};
    r.clock->tests.push_back({"float", {2987.654321, 41}, {2780.0, 40}});
    r.clock->tests.push_back({"logic", {std::nullopt, 0}, {2700.0, 1}});
    report::Expected<MachineRecord> back = parse_record(record_text(r));
    ASSERT_TRUE(back && back->clock);
    EXPECT_EQ(back->clock->source, "scaling_cur_freq");
    EXPECT_EQ(back->clock->cpus, (CpuSet{0, 1}));
    ASSERT_EQ(back->clock->tests.size(), 2u);
    EXPECT_EQ(back->clock->tests[0].single.mean, 2988.0);  // four significant digits
    EXPECT_EQ(back->clock->tests[0].multi.samples, 40);
    EXPECT_FALSE(back->clock->tests[1].single.mean);

    r.clock = ClockRecord{std::nullopt, "no cpufreq in sysfs", std::nullopt, {0}, {}};
    back = parse_record(record_text(r));
    ASSERT_TRUE(back && back->clock);
    EXPECT_EQ(back->clock->reason, "no cpufreq in sysfs");

    r.clock.reset();
    EXPECT_EQ(record_text(r).find("\"clock\""), std::string::npos);
    back = parse_record(record_text(r));
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->clock);
}

// The CPU a thread last ran on, from its stat line, whose name may hold
// spaces and parentheses.
TEST(PassClock, LastCpuOfAThread) {
    Tree tree;
    std::string fields;
    for (int n = 3; n <= 38; ++n)
        fields += " " + std::to_string(n);
    put(tree.root / "proc/42/task/42/stat", "42 (a) b (c)" + fields + " 7 0 0");
    EXPECT_EQ(last_cpu_of(tree.root, 42), 7);
    put(tree.root / "proc/43/task/43/stat", "43 (short) R 1 2");
    EXPECT_FALSE(last_cpu_of(tree.root, 43));
    EXPECT_FALSE(last_cpu_of(tree.root, 44));
}

// run samples the CPUs the program may use while it runs, and keeps in
// machine.json what it measured or why it could not.
TEST(PassClock, EachRepetitionRecordsTheClockOrItsReason) {
    struct Machine : fakes::FakeMachine {
        bool offer = false;
        std::vector<CpuSet> asked;
        std::optional<ClockProbe> clock(const CpuSet& cpus, const report::Machine&) override {
            asked.push_back(cpus);
            ClockProbe p;
            p.cpus = cpus;
            if (offer)
                p.source = std::make_unique<FakeSource>(false);
            else
                p.reason = "no cpufreq in sysfs";
            return p;
        }
    };
    struct Executor : fakes::FakeExecutor {
        using FakeExecutor::FakeExecutor;
        Execution execute(const fs::path& program, const fs::path& dir, const ExecutionHooks& hooks,
                          std::optional<double> timeout, const Placement* placement) override {
            hooks.on_start(4242);
            return FakeExecutor::execute(program, dir, hooks, timeout, placement);
        }
    };
    for (bool offer : {false, true}) {
        SCOPED_TRACE(offer ? "a source" : "a reason");
        Tree tree;
        fakes::FakeClock clock;
        Executor executor{clock};
        Machine machine;
        machine.offer = offer;
        machine.described.affinity = "0-1";
        ScheduleObserver quiet;
        SchedulePlan plan;
        plan.programs = {"bench_memory"};
        plan.runs = {1};
        plan.builds = {Build{"host", tree.root / "runs/host", {tree.root / "bench_memory"}}};
        ScheduleResult r = run_schedule(plan, clock, executor, machine, quiet);
        ASSERT_EQ(r.completed, 1);
        EXPECT_EQ(machine.asked, std::vector<CpuSet>{(CpuSet{0, 1})});
        nlohmann::json doc =
            nlohmann::json::parse(slurp(executor.calls.at(0).second / "machine.json"));
        const nlohmann::json& c = doc["clock"];
        EXPECT_EQ(c["cpus"], "0-1");
        if (offer) {
            EXPECT_EQ(c["source"], "scaling_cur_freq");
            EXPECT_EQ(c["interval_ms"], 100);
            ASSERT_EQ(c["tests"].size(), 1u);  // the fake printed one test's heading
            EXPECT_EQ(c["tests"][0]["test"], "low_speeds");
        } else {
            EXPECT_TRUE(c["source"].is_null());
            EXPECT_EQ(c["reason"], "no cpufreq in sysfs");
        }
    }
}
