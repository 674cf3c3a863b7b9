// Where the "times faster" goes, on the captured machines: what the records
// let explain_scaling tell apart (the threads' places, SMT, NUMA nodes, the
// clock, a hypervisor), the words show prints for it, and a sweep's curve
// with its ideal line.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/scaling.h"
#include "input/load.h"
#include "machine/machine.h"
#include "machine/record.h"
#include "output/scaling_json.h"
#include "output/scaling_view.h"

using namespace report;

namespace {

const std::string data_dir = REPORT_DATA;

Run loaded(const std::string& file) {
    Loaded l = load_runs({data_dir + "/" + file}, {});
    EXPECT_EQ(l.runs.size(), 1u);
    return l.runs.front();
}

Machine captured(const std::string& tree) {
    MachineSource source;
    source.root = data_dir + "/machines/" + tree;
    source.live = false;
    return read_machine(source);
}

// `run` as if recorded on `tree`, bound to `places` (the widest point of a
// sweep allowed those CPUs) when any are given.
Run on(Run run, const std::string& tree, std::vector<int> places = {}, std::string sweep = "") {
    auto record = std::make_shared<MachineRecord>();
    record->machine = captured(tree);
    record->repetition.outcome = "completed";
    if (!places.empty()) {
        CpuSet allowed = places;
        std::sort(allowed.begin(), allowed.end());
        for (const ScalingSet& s : scaling_sets(record->machine.topology, allowed))
            if (s.places == places)
                record->scaling = s;
        EXPECT_TRUE(record->scaling) << "no such point";
        if (record->scaling)
            record->scaling->sweep = sweep;
    }
    run.machine = record;
    return run;
}

std::string notes_of(const Run& run) {
    std::optional<Table> t = scaling_table(run, explain_scaling(run));
    std::string all;
    for (const std::string& n : t ? t->notes : std::vector<std::string>{})
        all += n + "\n";
    for (std::size_t at; (at = all.find('\n')) != std::string::npos && at + 1 < all.size();)
        all[at] = ' ';
    return all;
}

}  // namespace

TEST(Scaling, WhatTheRecordsTellApartOnEachShape) {
    report::Run two = loaded("memory_2threads.results.txt");
    // A machine.json of before the affinity was recorded.
    report::Run bare = on(two, "this_machine");
    auto without = std::make_shared<MachineRecord>(*bare.machine);
    without->machine.affinity.reset();
    bare.machine = without;
    struct Case {
        std::string name;
        report::Run run;
        Placing placing;
        std::optional<int> cores;
        int sharing;
        std::string nodes;
        std::vector<std::string> said;  // sentences of the notes
    };
    const Case cases[] = {
        {"no machine.json", two, Placing::not_known, std::nullopt, 0, "",
         {"Where the threads ran is not known", "Clock not measurable here: no machine.json"}},
        {"no CPUs allowed recorded", bare, Placing::not_known, std::nullopt, 0, "",
         {"not known: machine.json records no CPUs allowed.",
          "Clock not measurable here: no cpufreq in this virtual machine."}},
        // This 2-CPU virtual machine: no cpufreq, a hypervisor, unbound threads.
        {"this machine", on(two, "this_machine"), Placing::unbound, 2, 0, "0",
         {"not bound: the scheduler placed them among 2 CPUs (0-1), 2 physical core(s).",
          "Clock not measurable here: no cpufreq in this virtual machine.",
          "Under a hypervisor", "One NUMA node"}},
        // Bound to one core's two siblings: both threads share it.
        {"SMT siblings", on(two, "smt_desktop", {0, 8}), Placing::bound, 1, 2, "0",
         {"Measured: run --scaling bound thread t to the t-th CPU of 2 CPUs (0,8), 1 "
          "physical core(s). 2 thread(s) shared a core with another (SMT)"}},
        // The point that crosses from node 0 to node 1.
        {"two nodes", on(two, "numa_server", {0, 1, 2, 3, 4, 5, 6, 7}), Placing::bound, 8, 0,
         "0-1", {"span NUMA nodes 0-1", "No two threads shared a physical core."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunScaling s = explain_scaling(c.run);
        EXPECT_EQ(s.placing, c.placing);
        EXPECT_EQ(s.cores, c.cores);
        EXPECT_EQ(s.sharing, c.sharing);
        EXPECT_EQ(cpu_list_text(s.nodes), c.nodes);
        EXPECT_FALSE(s.clock.measured);
        ASSERT_EQ(s.tests.size(), 3u);
        for (const TestScaling& t : s.tests) {
            EXPECT_EQ(t.threads, 2);
            EXPECT_DOUBLE_EQ(t.efficiency, t.improvement / 2);
            ASSERT_TRUE(t.slowest_share);
            EXPECT_LE(*t.slowest_share, 1.0);
            // A bound thread's CPU is the place it was given.
            EXPECT_EQ(t.slowest_cpu.has_value(), c.placing == Placing::bound);
        }
        std::string notes = notes_of(c.run);
        for (const std::string& words : c.said)
            EXPECT_NE(notes.find(words), std::string::npos) << words << "\nin: " << notes;
    }
    // The slowest thread of memory_2threads' allocation is thread 0.
    RunScaling bound = explain_scaling(on(two, "smt_desktop", {0, 8}));
    EXPECT_EQ(bound.tests[0].slowest_thread, 0);
    EXPECT_EQ(bound.tests[0].slowest_cpu, 0);
}

TEST(Scaling, ASweepsCurveAgainstTheOneThreadPointsIdealLine) {
    report::Run one = on(loaded("memory_1thread.results.txt"), "this_machine", {0}, "S");
    report::Run two = on(loaded("memory_2threads.results.txt"), "this_machine", {0, 1}, "S");
    report::Run other = on(loaded("memory_2threads.results.txt"), "this_machine", {0, 1}, "T");
    std::vector<SweepCurve> curves = sweep_curves({&two, &one, &other});
    // Sweep T has no one-thread point: no ideal, no curve.
    ASSERT_EQ(curves.size(), 2u);
    EXPECT_TRUE(curves[1].tests.empty());
    const SweepCurve& c = curves[0];
    EXPECT_EQ(c.sweep, "S");
    EXPECT_EQ(c.cores, 2);
    ASSERT_EQ(c.tests.size(), 3u);
    for (const CurveTest& t : c.tests) {
        SCOPED_TRACE(t.key);
        ASSERT_EQ(t.points.size(), 2u);
        EXPECT_EQ(t.points[0].threads, 1);
        EXPECT_EQ(t.points[1].threads, 2);
        EXPECT_DOUBLE_EQ(t.points[0].efficiency, 1);
        EXPECT_DOUBLE_EQ(t.points[1].ideal, 2 * t.points[0].rate);
        EXPECT_DOUBLE_EQ(t.points[1].efficiency, t.points[1].rate / t.points[1].ideal);
        EXPECT_FALSE(t.points[1].smt);
    }
    // The JSON carries the same numbers.
    nlohmann::json doc = nlohmann::json::parse(scaling_json({&one, &two}, curves));
    ASSERT_EQ(doc["sweeps"].size(), 2u);
    const nlohmann::json& point = doc["sweeps"][0]["tests"][0]["points"][1];
    EXPECT_EQ(point["threads"], 2);
    EXPECT_EQ(point["cpus"], "0-1");
    EXPECT_DOUBLE_EQ(point["ideal"].get<double>(), c.tests[0].points[1].ideal);
    EXPECT_DOUBLE_EQ(point["efficiency"].get<double>(), c.tests[0].points[1].efficiency);
    EXPECT_EQ(doc["runs"][1]["placing"], "bound");
    EXPECT_EQ(doc["runs"][1]["clock"]["reason"], "no cpufreq in this virtual machine");
    // The text carries the same numbers, within 80 columns.
    std::vector<Table> tables = curve_tables(curves);
    ASSERT_EQ(tables.size(), 1u);
    std::string text = render_text(tables[0]);
    EXPECT_NE(text.find(fmt::format("{:.6g}", c.tests[0].points[1].ideal)), std::string::npos);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
}

// compare: a table per program and label with show's figures as medians over
// the label's repetitions, the clock where measured, its reason where not,
// within 80 columns; past most_compared_labels labels, a line says how many more.
TEST(Scaling, CompareExplainsEachLabelCompactly) {
    report::Run two = loaded("memory_2threads.results.txt");
    auto labelled = [&](const std::string& label, std::optional<ClockRecord> clock) {
        report::Run r = on(two, "kvm_guest_cgroup2");
        auto record = std::make_shared<MachineRecord>(*r.machine);
        record->clock = std::move(clock);
        r.machine = record;
        r.label = label;
        return r;
    };
    ClockRecord measured{"scaling_cur_freq", std::nullopt, 100, {0, 1}, {}};
    measured.tests = {{"allocation", {3000, 12}, {2700, 10}}, {"low_speeds", {3000, 5}, {}}};
    std::vector<report::Run> runs = {
        labelled("base", ClockRecord{std::nullopt, "no cpufreq in sysfs", std::nullopt, {0, 1}, {}}),
        labelled("new", measured), labelled("new", measured), labelled("new", measured)};
    for (int i = 0; i < 11; ++i)
        runs.push_back(labelled(fmt::format("a-rather-long-label-of-a-fleet-host-{:02}", i), {}));
    std::vector<const report::Run*> few = {&runs[0], &runs[1], &runs[2], &runs[3]};
    std::vector<Table> tables = compare_scaling_tables(compare_runs(few, {}));
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].title, "Scaling of bench_memory in base");
    EXPECT_EQ(tables[1].title, "Scaling of bench_memory in new (n=3)");
    ASSERT_EQ(tables[1].rows.size(), 3u);
    EXPECT_EQ(tables[1].rows[0][5].text, "x0.90");  // 2700 over 3000 MHz
    EXPECT_EQ(tables[1].rows[1][5].text, "-");      // no sample of its multi-thread pass
    EXPECT_EQ(tables[0].rows[0][5].text, "-");
    EXPECT_EQ(tables[0].notes.at(1), "Clock not measurable here: no cpufreq in sysfs.");
    std::string clock = tables[1].notes.at(1);
    std::replace(clock.begin(), clock.end(), '\n', ' ');
    EXPECT_NE(clock.find("Clock: the all-core over the one-core clock, sampled scaling_cur_freq "
                         "every 100 ms"),
              std::string::npos)
        << clock;
    for (const Table& t : tables) {
        std::string text = render_text(t);
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1)
            EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    }

    // compare --format json: the same figures in each label's column.
    nlohmann::ordered_json doc = compare_scaling_json(compare_runs(few, {})[0], 1);
    EXPECT_EQ(doc["repetitions"], 3);
    EXPECT_EQ(doc["clock"]["source"], "scaling_cur_freq");
    EXPECT_DOUBLE_EQ(doc["tests"][0]["all_core_clock"].get<double>(), 0.9);
    EXPECT_EQ(doc["tests"][0]["clock_samples"]["single"], 36);  // 12 in each repetition
    EXPECT_TRUE(doc["tests"][1]["all_core_clock"].is_null());

    std::vector<const report::Run*> fleet;
    for (const report::Run& r : runs)
        fleet.push_back(&r);
    tables = compare_scaling_tables(compare_runs(fleet, {}));
    ASSERT_EQ(tables.size(), most_compared_labels);
    std::string last;
    for (const std::string& n : tables.back().notes)
        last += n + " ";
    std::replace(last.begin(), last.end(), '\n', ' ');
    EXPECT_NE(last.find("3 more label(s) of bench_memory: bench_report show explains each"),
              std::string::npos)
        << last;
}

TEST(Scaling, OnlyStreamingAboveItsIdealIsTheWorkloadsOwn) {
    struct Case {
        const char* key;
        double efficiency;
        bool by_design;
    };
    for (const Case& c : {Case{"float", 1.2, true}, Case{"integer", 1.01, true},
                          Case{"float", 1.0, false}, Case{"integer", 0.9, false},
                          Case{"logic", 1.2, false}}) {
        TestScaling t;
        t.key = c.key;
        t.efficiency = c.efficiency;
        EXPECT_EQ(above_ideal_by_design(t), c.by_design) << c.key << " " << c.efficiency;
    }
}
