// The repetition schedule of `run` with a fake clock, a fake executor (it
// copies a given results file into the repetition's directory, returns a
// given outcome and moves the clock on by a given duration) and a fake
// machine: the time budget, the stopping rules' minimum and cap, sequence
// numbers, counts, failed and interrupted repetitions and interleaved rounds,
// exactly and without real time.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <functional>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include <nlohmann/json.hpp>

#include "analysis/precision.h"
#include "execution/schedule.h"
#include "machine/record.h"
#include "process.h"
#include "schedule_fakes.h"

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace report;

namespace {

using namespace report::fakes;

// Every fact the schedule reports, kept.
struct Recorder : ScheduleObserver {
    std::vector<Decision> decisions;
    std::vector<Ended> ended_;
    std::vector<Unpaired> unpaired_;
    std::vector<ProgramSummary> summaries;
    std::vector<Status> statuses;
    std::optional<Cost> cost_;
    std::vector<OtherBuild> others;
    std::vector<PlannedProgram> planned_;
    std::vector<Revision> revisions;
    void planned(const PlannedProgram& p) override { planned_.push_back(p); }
    void revised(const Revision& r) override { revisions.push_back(r); }
    void other_build(const OtherBuild& o) override { others.push_back(o); }
    void decision(const Decision& d) override { decisions.push_back(d); }
    void ended(const Ended& e) override { ended_.push_back(e); }
    void unpaired(const Unpaired& u) override { unpaired_.push_back(u); }
    void summary(const ProgramSummary& s) override { summaries.push_back(s); }
    void status(const Status& s) override { statuses.push_back(s); }
    void cost(const Cost& c) override { cost_ = c; }
};

class Schedule : public ::testing::Test {
protected:
    fs::path root;
    FakeClock clock;
    FakeExecutor executor{clock};
    FakeMachine machine;
    Recorder seen;
    SchedulePlan plan;

    void SetUp() override {
        root = fs::temp_directory_path() /
               ("bench_schedule_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        plan.programs = {"bench_memory"};
        plan.runs = {3};
        plan.builds = {build("host")};
        plan.process_id = 4711;
        plan.version = "9.9";
    }
    void TearDown() override { fs::remove_all(root); }

    Build build(const std::string& label) {
        return Build{label, root / "runs" / label, {root / label / "bench_memory"}};
    }

    ScheduleResult run() { return run_schedule(plan, clock, executor, machine, seen); }

    // The machine.json of every repetition of a label, in the order they ran.
    std::vector<json> records(const std::string& label) {
        std::vector<json> out;
        for (const auto& [program, dir] : executor.calls)
            if (dir.parent_path().filename() == label)
                out.push_back(json::parse(slurp(dir / "machine.json"))["repetition"]);
        return out;
    }
};

TEST_F(Schedule, RepetitionsInNumberedDirectoriesRecordedAsTheyEnded) {
    // A directory already there is skipped, and the count is of what ran.
    fs::create_directories(root / "runs/host/20261208T100010Z-2");
    executor.steps = {{}, {Outcome::failed, 4, ""}, {Outcome::killed, 2, one}};
    ScheduleResult r = run();
    ASSERT_EQ(executor.calls.size(), 3u);
    std::vector<std::string> names;
    for (const auto& [program, dir] : executor.calls) {
        EXPECT_EQ(program, root / "host/bench_memory");
        names.push_back(dir.filename().string());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"20261208T100000Z-1", "20261208T100010Z-3",
                                               "20261208T100014Z-4"}));
    EXPECT_EQ(r.started, 3);
    EXPECT_EQ(r.completed, 1);
    EXPECT_EQ(r.unsuccessful, 2);
    EXPECT_EQ(r.directories, 3);
    EXPECT_EQ(r.stopped_by, 0);
    EXPECT_DOUBLE_EQ(r.elapsed, 16);
    EXPECT_EQ(r.folders, std::vector<fs::path>{root / "runs/host"});

    auto recs = records("host");
    ASSERT_EQ(recs.size(), 3u);
    const char* outcomes[] = {"completed", "failed", "killed"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recs[i]["number"], i + 1);
        EXPECT_EQ(recs[i]["outcome"], outcomes[i]);
        EXPECT_EQ(recs[i]["label"], "host");
        // One build: no interleaved run to pair.
        EXPECT_TRUE(recs[i]["round"].is_null());
        EXPECT_TRUE(recs[i]["interleaved"].is_null());
    }
    EXPECT_EQ(recs[1]["exit_status"], 3);
    EXPECT_EQ(recs[0]["started"], "2026-12-08T10:00:00Z");
    EXPECT_EQ(recs[0]["finished"], "2026-12-08T10:00:10Z");
    ASSERT_EQ(seen.ended_.size(), 3u);
    EXPECT_TRUE(seen.ended_[0].good());
    EXPECT_TRUE(seen.ended_[1].reason.empty() && !seen.ended_[1].good());
    // The machine is read over a busy window before every repetition, once for all at the start.
    EXPECT_EQ(machine.windows, 3);
    // The status names the test the program is in, and what is left: the
    // stored 5 s estimate until one has been timed, then the 10 s measured.
    ASSERT_FALSE(seen.statuses.empty());
    EXPECT_EQ(seen.statuses.front().activity, "starting");
    EXPECT_DOUBLE_EQ(seen.statuses.front().left, 15);
    ASSERT_GE(seen.statuses.size(), 3u);
    EXPECT_EQ(seen.statuses[2].activity, "Low speeds, one thread");
}

// Exiting 0 is not enough: a repetition whose results file is missing, does
// not read, is cut short or is another program's (bench_processors behind the
// name bench_memory) is recorded invalid with the reason, and not counted.
TEST_F(Schedule, ExitingZeroWithoutAUsableResultsFileIsInvalid) {
    fs::create_directories(root / "data");
    std::ofstream(root / "data/cut.txt") << slurp(two).substr(0, 400);
    std::ofstream(root / "data/garbage.txt") << "\x7f" "ELF garbage\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "it wrote no results file"},
        {(root / "data/cut.txt").string(), "its results file is cut short"},
        {(root / "data/garbage.txt").string(),
         "its results file does not parse (line 1: expected the title line of "
         "bench_processors or bench_memory)"},
        {data + "/processors_1thread.results.txt",
         "its results file is bench_processors's, not bench_memory's"},
        {one, ""},
    };
    plan.runs = {5};
    for (const auto& [file, reason] : cases)
        executor.steps.push_back({Outcome::completed, 1, file});
    ScheduleResult r = run();
    EXPECT_EQ(r.completed, 1);
    EXPECT_EQ(r.unsuccessful, 4);
    auto recs = records("host");
    ASSERT_EQ(recs.size(), 5u);
    ASSERT_EQ(seen.ended_.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        const std::string& reason = cases[i].second;
        SCOPED_TRACE(reason);
        EXPECT_EQ(recs[i]["exit_status"], 0);
        EXPECT_EQ(seen.ended_[i].good(), reason.empty());
        EXPECT_EQ(seen.ended_[i].reason.substr(0, reason.size()), reason);
        if (reason.empty()) {
            EXPECT_EQ(recs[i]["outcome"], "completed");
            EXPECT_TRUE(recs[i]["reason"].is_null());
        } else {
            EXPECT_EQ(recs[i]["outcome"], "invalid");
            EXPECT_EQ(recs[i]["reason"], seen.ended_[i].reason);
        }
    }
    // Only the good one is a value for the stopping rules and the summary.
    ASSERT_EQ(seen.summaries.size(), 1u);
    EXPECT_FALSE(seen.summaries[0].variation);
}

// A file-size limit (as a full disk) met writing machine.json: the run stops
// with the system's reason, no temporary file is left, the record never goes
// on saying "running", and the folder that got a repetition is still said.
TEST_F(Schedule, AWriteLimitStopsTheRunWithTheReasonAndLeavesNothingRunning) {
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    auto limit = [&](rlim_t bytes) {
        rlimit l = unlimited;
        l.rlim_cur = std::min(bytes, unlimited.rlim_max);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &l), 0);
    };
    // Met while the program runs: the repetition is said, then the error.
    executor.steps = {{Outcome::completed, 1, one, 0, [&] { limit(64); }}};
    ScheduleResult r = run();
    limit(unlimited.rlim_cur);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->reason, "File too large");
    EXPECT_EQ(executor.calls.size(), 1u);
    fs::path dir = executor.calls[0].second;
    EXPECT_EQ(r.error->path, dir / "machine.json");
    EXPECT_EQ(seen.ended_.size(), 1u);
    EXPECT_EQ(r.folders, std::vector<fs::path>{root / "runs/host"});
    for (const auto& f : fs::directory_iterator(dir))
        EXPECT_NE(f.path().filename().string().rfind(".machine.json.", 0), 0u) << f.path();
    EXPECT_EQ(slurp(dir / "machine.json").find("running"), std::string::npos);
}

TEST_F(Schedule, EveryRepetitionHasATimeoutAndOneThatMeetsItIsUnsuccessful) {
    // No --timeout: the program's default, said before the run and given to
    // every repetition; a timed-out repetition is recorded so and counted
    // as unsuccessful (run exits 1), and the run goes on.
    executor.steps = {{Outcome::timed_out, 610, ""}};
    plan.runs = {2};
    ScheduleResult r = run();
    ASSERT_EQ(executor.timeouts.size(), 2u);
    EXPECT_EQ(executor.timeouts[0], default_timeout("bench_memory"));
    EXPECT_EQ(executor.timeouts[1], default_timeout("bench_memory"));
    EXPECT_EQ(default_timeout("bench_memory"), 650);
    EXPECT_EQ(default_timeout("bench_processors"), 8400);
    ASSERT_EQ(seen.planned_.size(), 1u);
    EXPECT_EQ(seen.planned_[0].timeout, 650);
    EXPECT_EQ(r.unsuccessful, 1);
    EXPECT_EQ(r.completed, 1);
    EXPECT_EQ(records("host")[0]["outcome"], "timed_out");
    // --timeout: that limit for every program.
    TearDown();
    SetUp();
    plan.runs = {1};
    plan.timeout = 90;
    run();
    EXPECT_EQ(executor.timeouts.back(), 90);
    EXPECT_EQ(seen.planned_.back().timeout, 90);
}

TEST_F(Schedule, TimeBudgetStartsNothingThatWouldEndPastIt) {
    plan.runs = {10};
    plan.time_budget = 35;
    ScheduleResult r = run();
    // 0 + 5 (stored), 10 + 10, 20 + 10 fit; 30 + 10 does not.
    EXPECT_EQ(r.started, 3);
    ASSERT_EQ(seen.decisions.size(), 1u);
    EXPECT_EQ(seen.decisions[0].reason, StopReason::time_budget);
    EXPECT_EQ(seen.decisions[0].next, 4);
    EXPECT_DOUBLE_EQ(seen.decisions[0].estimate, 10);
    ASSERT_TRUE(seen.cost_);
    EXPECT_DOUBLE_EQ(seen.cost_->total, 50);
    EXPECT_EQ(seen.cost_->budget, 35);
}

TEST_F(Schedule, UntilStableRunsItsMinimumThenStopsOrReachesItsCap) {
    plan.until_stable = 1;
    // Identical results: stable after the three first.
    run();
    EXPECT_EQ(executor.calls.size(), 3u);
    ASSERT_EQ(seen.decisions.size(), 1u);
    EXPECT_EQ(seen.decisions[0].reason, StopReason::stable);
    EXPECT_EQ(seen.decisions[0].next, 4);

    // Results of two machines alternating never settle: 17 are added, then the cap.
    TearDown();
    seen = {};
    executor.calls.clear();
    executor.steps.clear();
    for (int i = 0; i < 30; ++i)
        executor.steps.push_back({Outcome::completed, 1, i % 2 ? two : one});
    ScheduleResult r = run();
    EXPECT_EQ(r.started, stopping_maximum);
    ASSERT_EQ(seen.decisions.size(), 18u);
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(seen.decisions[i].reason, StopReason::runs);
        EXPECT_EQ(seen.decisions[i].next, 4 + i);
        EXPECT_EQ(seen.decisions[i].wanted, MoreWanted::spread);
        ASSERT_TRUE(seen.decisions[i].variation);
        EXPECT_GT(seen.decisions[i].variation->cv, 0.01);
    }
    EXPECT_EQ(seen.decisions.back().reason, StopReason::cap);
    EXPECT_EQ(seen.decisions.back().next, 21);
    ASSERT_EQ(seen.summaries.size(), 1u);
    EXPECT_EQ(seen.summaries[0].variation->repetitions, 20u);
    EXPECT_GT(seen.summaries[0].variation->spread, 1);
}

TEST_F(Schedule, SignalStopsTheRunAfterTheInterruptedRepetition) {
    plan.programs = {"bench_processors", "bench_memory"};
    plan.runs = {3, 3};
    plan.builds[0].paths.push_back(root / "host/bench_memory");
    executor.steps = {{Outcome::completed, 10, data + "/processors_1thread.results.txt"},
                      {Outcome::interrupted, 3, "", SIGTERM}};
    ScheduleResult r = run();
    EXPECT_EQ(r.started, 2);
    EXPECT_EQ(r.completed, 1);
    EXPECT_EQ(r.unsuccessful, 0);  // an interrupted repetition is not a failure
    EXPECT_EQ(r.stopped_by, SIGTERM);
    auto recs = records("host");
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1]["outcome"], "interrupted");
    EXPECT_EQ(recs[1]["signal"], "SIGTERM");
    EXPECT_EQ(seen.ended_.back().stop_signal, SIGTERM);
    // The programs that started are summed up; the one that never ran is not.
    ASSERT_EQ(seen.summaries.size(), 1u);
    EXPECT_EQ(seen.summaries[0].stopped, StopReason::signal);
}

TEST_F(Schedule, InterleavedRoundsAlternateAndAFailedRepetitionLeavesItsRoundUnpaired) {
    plan.builds = {build("old"), build("new")};
    // Round 2 runs new, then old; old fails in it.
    executor.steps = {{}, {}, {}, {Outcome::failed, 2, ""}};
    ScheduleResult r = run();
    std::vector<std::string> order;
    for (const auto& [program, dir] : executor.calls)
        order.push_back(dir.parent_path().filename().string());
    EXPECT_EQ(order, (std::vector<std::string>{"old", "new", "new", "old", "old", "new"}));
    EXPECT_EQ(r.folders, (std::vector<fs::path>{root / "runs/old", root / "runs/new"}));
    for (const char* label : {"old", "new"}) {
        auto recs = records(label);
        ASSERT_EQ(recs.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(recs[i]["interleaved"], "20261208T100000Z-4711");
            EXPECT_EQ(recs[i]["round"], i + 1);
            EXPECT_EQ(recs[i]["number"], i + 1);
            bool first = (std::string(label) == "old") == (i % 2 == 0);
            EXPECT_EQ(recs[i]["position"], first ? 1 : 2);
        }
    }
    ASSERT_EQ(seen.unpaired_.size(), 1u);
    EXPECT_EQ(seen.unpaired_[0].round, 2);
    ASSERT_EQ(seen.unpaired_[0].missing.size(), 1u);
    EXPECT_EQ(seen.unpaired_[0].missing[0]->label, "old");
    // The cost counts every build.
    EXPECT_DOUBLE_EQ(seen.cost_->total, 30);
}

TEST_F(Schedule, PrecisionStopsWhenTheIntervalIsNarrowEnoughOrAtTheCap) {
    plan.precision = 1;
    // Identical repetitions: no interval below 5, then one of no width.
    run();
    EXPECT_EQ(executor.calls.size(), 5u);
    ASSERT_EQ(seen.decisions.size(), 3u);
    EXPECT_EQ(seen.decisions[0].reason, StopReason::runs);
    EXPECT_EQ(seen.decisions[0].wanted, MoreWanted::precision);
    EXPECT_FALSE(seen.decisions[0].interval->half_width());
    EXPECT_EQ(seen.decisions[2].reason, StopReason::precise);
    EXPECT_EQ(seen.decisions[2].wanted, MoreWanted::none);
    EXPECT_EQ(seen.decisions[2].next, 6);
    EXPECT_EQ(seen.summaries.at(0).stopped, StopReason::precise);

    // Paired: a new build whose allocation rate swings by 15% from round to
    // round (some 3% on the geometric mean) is not known to 0.1% in 20 rounds.
    plan.precision = 0.1;
    TearDown();
    seen = {};
    executor.calls.clear();
    plan.builds = {build("old"), build("new")};
    fs::create_directories(root / "data");
    std::string text = slurp(one);
    const char* rates[] = {"100", "130", "90", "120", "110"};
    for (int i = 0; i < 5; ++i) {
        std::string variant = text;
        variant.replace(variant.find("125.617"), 7, rates[i]);
        std::ofstream(root / "data" / std::to_string(i)) << variant;
    }
    executor.usual = {Outcome::completed, 1, one};
    for (int round = 1; round <= 30; ++round) {
        std::string swung = (root / "data" / std::to_string(round % 5)).string();
        // Old runs first in odd rounds, new first in even ones.
        executor.steps.push_back({Outcome::completed, 1, round % 2 ? one : swung});
        executor.steps.push_back({Outcome::completed, 1, round % 2 ? swung : one});
    }
    ScheduleResult r = run();
    EXPECT_EQ(r.started, 2 * stopping_maximum);
    EXPECT_EQ(seen.decisions.back().reason, StopReason::cap);
    EXPECT_EQ(seen.decisions.back().imprecise->label, "new");
}

TEST_F(Schedule, ANewBuildUnderALabelHoldingAnotherIsSaid) {
    MachineRecord held;
    held.repetition.program = "bench_memory";
    held.program.sha256 = std::string(64, 'a');
    fs::create_directories(root / "runs/host/20261207T100000Z-1");
    std::ofstream(root / "runs/host/20261207T100000Z-1/machine.json") << record_text(held);
    plan.runs = {1};
    run();
    ASSERT_EQ(seen.others.size(), 1u);
    EXPECT_EQ(seen.others[0].added, "bbbbbbbb");
    EXPECT_EQ(seen.others[0].held, std::vector<std::string>{"aaaaaaaa"});
    // The same build again, its stripped copy (another SHA-256, the same
    // build ID: compare pools them), or another program's build, is nothing
    // to say.
    seen = {};
    machine.sha256 = std::string(64, 'a');
    run();
    held.program.build_id = "1d";
    std::ofstream(root / "runs/host/20261207T100000Z-1/machine.json") << record_text(held);
    machine.sha256 = std::string(64, 'd');
    machine.build_id = "1d";
    run();
    held.repetition.program = "bench_processors";
    held.program.sha256 = std::string(64, 'c');
    std::ofstream(root / "runs/host/20261207T100000Z-1/machine.json") << record_text(held);
    run();
    EXPECT_TRUE(seen.others.empty());
}

// What a run is said to take: a typical machine's times slowed for the load
// at the start, then, once per program after its first round with a good
// repetition, the rest at the speed measured so far (a program not yet timed
// scaled as the timed ones were). Never a bound: the stopping rules' most is
// what they may add, and the budget says where it stops.
TEST_F(Schedule, EstimatesFromTheLoadThenFromTheSpeedMeasured) {
    const std::string processors = data + "/processors_1thread.results.txt";
    struct Case {
        const char* name;
        std::vector<std::string> programs;
        std::vector<int> runs;
        std::optional<double> load;  // on 2 processors
        std::vector<Step> steps;
        double each, total;  // the first program's estimate, the whole run's
        // Each revision: program, took, expected, the rest, elapsed.
        std::vector<std::tuple<std::string, double, double, double, double>> revisions;
    };
    const Case cases[] = {
        {"a quiet machine", {"bench_memory"}, {3}, std::nullopt, {}, 5, 15,
         {{"bench_memory", 10, 5, 20, 10}}},
        // A load of 0.2 on 2 processors is under the warning's tenth: no slowing.
        {"a load too small to count", {"bench_memory"}, {3}, 0.2, {}, 5, 15,
         {{"bench_memory", 10, 5, 20, 10}}},
        {"a loaded machine: n / (n + load) of it", {"bench_memory"}, {3}, 2.0, {}, 10, 30,
         {{"bench_memory", 10, 10, 20, 10}}},
        // bench_processors runs at half a typical machine's speed: the
        // untimed bench_memory is expected at half its speed too.
        {"the speed of one program scales the next",
         {"bench_processors", "bench_memory"}, {2, 3}, std::nullopt,
         {{Outcome::completed, 1560, processors}, {Outcome::completed, 1560, processors}},
         780, 2 * 780 + 3 * 5, {{"bench_processors", 1560, 780, 1560 + 3 * 10, 1560},
                    {"bench_memory", 10, 10, 20, 3130}}},
        // A first repetition that fails times nothing; the next one does.
        {"a failed first repetition", {"bench_memory"}, {3}, std::nullopt,
         {{Outcome::failed, 1, ""}}, 5, 15, {{"bench_memory", 10, 5, 10, 11}}},
        // One repetition in all: nothing is left to say again.
        {"nothing left", {"bench_memory"}, {1}, std::nullopt, {}, 5, 5, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        seen = {};
        executor.calls.clear();
        clock.now = 0;
        plan.programs = c.programs;
        plan.runs = c.runs;
        plan.builds[0].paths.assign(c.programs.size(), root / "host/bench");
        machine.described.logical_cpus = 2;
        machine.now.load1 = c.load;
        executor.steps.assign(c.steps.begin(), c.steps.end());
        run();
        ASSERT_TRUE(seen.cost_);
        EXPECT_DOUBLE_EQ(seen.planned_.at(0).each, c.each);
        EXPECT_DOUBLE_EQ(seen.cost_->total, c.total);
        EXPECT_FALSE(seen.cost_->with_rules);
        EXPECT_EQ(seen.cost_->load.has_value(), c.each == 10);
        EXPECT_EQ(seen.cost_->said_again, c.total > c.each);
        ASSERT_EQ(seen.revisions.size(), c.revisions.size());
        for (std::size_t i = 0; i < c.revisions.size(); ++i) {
            const auto& [program, took, expected, rest, elapsed] = c.revisions[i];
            const Revision& r = seen.revisions[i];
            EXPECT_EQ(r.program, program);
            EXPECT_DOUBLE_EQ(r.took, took);
            EXPECT_DOUBLE_EQ(r.expected, expected);
            EXPECT_DOUBLE_EQ(r.rest.total, rest);
            EXPECT_DOUBLE_EQ(r.elapsed, elapsed);
        }
    }
    // With a stopping rule, what it may add (up to its cap) is said apart
    // from the plan, and a time budget where it stops.
    TearDown();
    SetUp();
    seen = {};
    plan.precision = 1;
    plan.time_budget = 60;
    plan.runs = {3};
    machine.now.load1.reset();
    executor.steps.clear();
    run();
    EXPECT_DOUBLE_EQ(seen.cost_->total, 15);
    EXPECT_EQ(seen.cost_->with_rules, 20 * 5);
    EXPECT_EQ(seen.cost_->budget, 60);
    ASSERT_FALSE(seen.revisions.empty());
    EXPECT_EQ(seen.revisions[0].rest.with_rules, 19 * 10);
    EXPECT_EQ(seen.revisions[0].rest.budget, 50);
}

// A sweep: each point runs with its CPUs and the threads' places handed to
// the executor, its machine.json records the set (and the sweep's name, the
// same at every point), and the estimate before the run counts every point.
// Each point runs on its set; one whose program ran fewer threads than its
// set has CPUs (the set shrank under it) is invalid, and one the kernel
// refused to start on its set says why.
TEST_F(Schedule, ASweepPlacesEachPointAndRecordsItsSet) {
    Machine shape;
    shape.topology.online = {0, 1, 2, 3};
    shape.topology.cores = {{0, 2}, {1, 3}};
    shape.topology.nodes = {{0, {0, 1, 2, 3}}};
    std::vector<ScalingSet> sets = scaling_sets(shape.topology, {0, 1, 2, 3});
    ASSERT_EQ(sets.size(), 3u);
    plan.programs = {"bench_memory", "bench_memory", "bench_memory"};
    plan.runs = {2, 2, 2};
    plan.sets = sets;
    plan.builds = {Build{"host", root / "runs/host",
                         {root / "host/bench_memory", root / "host/bench_memory",
                          root / "host/bench_memory"}}};
    const std::string refused = "cannot run bench_memory on CPUs 0-1: Invalid argument";
    executor.steps = {{}, {}, {Outcome::completed, 10, two}, {Outcome::failed, 0, ""}, {}, {}};
    executor.steps[3].error = refused;
    executor.steps[4].results = executor.steps[5].results = two;
    ScheduleResult r = run();
    EXPECT_EQ(r.completed, 3);
    EXPECT_EQ(r.unsuccessful, 3);
    std::vector<json> recs = records("host");
    ASSERT_EQ(recs.size(), 6u);
    EXPECT_EQ(recs[3]["outcome"], "failed");
    EXPECT_EQ(recs[3]["reason"], refused);
    for (std::size_t i : {4u, 5u}) {
        EXPECT_EQ(recs[i]["outcome"], "invalid");
        EXPECT_EQ(recs[i]["reason"], "it ran 2 thread(s), not the 4 of its CPU set 0-3: it could "
                                     "use fewer CPUs than the set (a narrowed cpuset or a CPU "
                                     "taken offline)");
    }
    for (std::size_t i : {0u, 1u, 2u})
        EXPECT_TRUE(recs[i]["reason"].is_null()) << i;
    ASSERT_TRUE(seen.cost_);
    EXPECT_DOUBLE_EQ(seen.cost_->total, 6 * stored_estimate("bench_memory"));

    ASSERT_EQ(executor.placements.size(), 6u);
    const char* places[] = {"{0}", "{0},{1}", "{0},{1},{2},{3}"};
    std::set<std::string> sweeps;
    for (std::size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const std::optional<Placement>& p = executor.placements[i];
        ASSERT_TRUE(p);
        EXPECT_EQ(p->cpus, sets[i / 2].cpus);
        using Variables = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(p->environment,
                  (Variables{{"OMP_PLACES", places[i / 2]},
                             {"OMP_PROC_BIND", "close"},
                             {"OMP_NUM_THREADS", std::to_string(sets[i / 2].cpus.size())}}));
        json rec = json::parse(slurp(executor.calls[i].second / "machine.json"));
        EXPECT_EQ(rec["scaling"]["cpus"], cpu_list_text(sets[i / 2].cpus));
        EXPECT_EQ(rec["scaling"]["cores"], sets[i / 2].cores);
        sweeps.insert(rec["scaling"]["sweep"].get<std::string>());
    }
    EXPECT_EQ(sweeps.size(), 1u);
    // The SMT point: CPUs 0 and 2 share core 0, 1 and 3 core 1.
    EXPECT_EQ(sets[2].siblings, (CpuSet{0, 1, 2, 3}));
    ASSERT_EQ(seen.ended_.size(), 6u);
    EXPECT_EQ(seen.ended_[5].program, "bench_memory on 4 CPUs (0-3)");

    // A run that is no sweep hands no placement on and records no set.
    executor.placements.clear();
    executor.calls.clear();
    plan = SchedulePlan{};
    SetUp();
    run();
    for (const auto& p : executor.placements)
        EXPECT_FALSE(p);
    EXPECT_FALSE(json::parse(slurp(executor.calls[0].second / "machine.json")).contains("scaling"));
}

TEST(RoundOrder, AlternatesSoThatALinearDriftWeighsOnEveryBuildAlike) {
    using V = std::vector<std::size_t>;
    EXPECT_EQ(round_order(1, 1), V{0});
    EXPECT_EQ(round_order(1, 2), V{0});
    EXPECT_EQ(round_order(2, 1), (V{0, 1}));
    EXPECT_EQ(round_order(2, 2), (V{1, 0}));
    EXPECT_EQ(round_order(2, 3), (V{0, 1}));
    EXPECT_EQ(round_order(3, 2), (V{2, 1, 0}));
    // Over two rounds each build's positions sum alike.
    for (std::size_t k = 2; k <= 5; ++k) {
        std::vector<std::size_t> sum(k, 0);
        for (int round : {1, 2}) {
            V order = round_order(k, round);
            for (std::size_t pos = 0; pos < k; ++pos)
                sum[order[pos]] += pos;
        }
        for (std::size_t b = 0; b < k; ++b)
            EXPECT_EQ(sum[b], k - 1) << k;
    }
}

TEST(Precision, SignedRankIntervalFromFiveValues) {
    std::vector<double> logs = {0.01, 0.02, 0.03, 0.04, 0.05};
    auto p = precision_interval(logs);
    ASSERT_TRUE(p);
    EXPECT_NEAR(p->estimate, std::exp(0.03), 1e-12);
    // At 5 values each one-sided 95% bound is the extreme Walsh average: the
    // extreme values, at 1 - 1/32 a side.
    EXPECT_NEAR(*p->low, std::exp(0.01), 1e-12);
    EXPECT_NEAR(*p->high, std::exp(0.05), 1e-12);
    EXPECT_NEAR(p->confidence, 1 - 2.0 / 32, 1e-12);
    EXPECT_NEAR(*p->half_width(), std::exp(0.02) - 1, 1e-12);
    // Four values cannot reach 95% a side.
    auto four = precision_interval(std::span<const double>(logs).first(4));
    ASSERT_TRUE(four);
    EXPECT_FALSE(four->half_width());
    // Identical repetitions: known exactly.
    std::vector<double> same(6, 0.0);
    EXPECT_DOUBLE_EQ(*precision_interval(same)->half_width(), 0);
}

}  // namespace

namespace {

// --strict on a virtual machine: a condition nothing removes (the
// hypervisor) is recorded and the run goes on; what can be removed (the
// governor, the load, swap) refuses the run, each with its command.
TEST_F(Schedule, StrictRefusesOnlyWhatCanBeRemoved) {
    struct Case {
        const char* name;
        bool hypervisor;
        std::optional<std::string> governor;
        double load;
        std::vector<std::string> refused_for;  // the checks, in order
    };
    const Case cases[] = {
        {"a virtual machine, nothing else", true, std::nullopt, 0, {}},
        {"a virtual machine, governor powersave", true, "powersave", 0, {"governor"}},
        {"a virtual machine, loaded", true, std::nullopt, 1.5, {"load"}},
        {"bare metal, both", false, "powersave", 1.5, {"governor", "load"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root);
        executor.calls.clear();
        executor.steps = {{}, {}, {}};
        plan.strict = true;
        machine.described = Machine{};
        machine.described.logical_cpus = 2;
        machine.described.hypervisor = c.hypervisor;
        if (c.governor) {
            FrequencyPolicy p;
            p.name = "policy0";
            p.cpus = "0-1";
            p.governor = c.governor;
            machine.described.policies = {p};
        }
        machine.now.load1 = c.load;
        ScheduleResult r = run();
        std::vector<std::string> checks;
        for (const Disturbance& d : r.removable) {
            checks.push_back(d.check);
            EXPECT_TRUE(removal(d).has_value());
        }
        EXPECT_EQ(checks, c.refused_for);
        EXPECT_EQ(r.refused, !c.refused_for.empty());
        EXPECT_EQ(executor.calls.size(), c.refused_for.empty() ? 3u : 0u);
        EXPECT_EQ(r.warnings, c.refused_for.size() + c.hypervisor);
    }
    EXPECT_FALSE(removal({"hypervisor", "the machine runs under a hypervisor"}));
    EXPECT_EQ(removal({"governor", ""}), "sudo bench_report system tune");
}

TEST(Estimates, TenTimesOffEitherWayIsFarFromTheEstimate) {
    struct Case {
        double took, expected;
        bool far;
    };
    for (const Case& c : {Case{50, 5, true}, Case{49.9, 5, false}, Case{0.5, 5, true},
                          Case{0.51, 5, false}, Case{5, 5, false}, Case{50, 0, false},
                          Case{0, 5, false}}) {
        Revision r;
        r.took = c.took;
        r.expected = c.expected;
        EXPECT_EQ(far_from_estimate(r), c.far) << c.took << " against " << c.expected;
    }
}

}  // namespace
