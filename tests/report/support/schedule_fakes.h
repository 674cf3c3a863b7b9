// Fakes of what the repetition schedule of `run` reaches through interfaces:
// a clock moved by hand, an executor that copies a given results file into
// the repetition's directory, returns a given outcome and moves the clock on
// by a given duration, and a machine described as the test says. For the
// suites that run the schedule without real time.
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "execution/schedule.h"

namespace report::fakes {

namespace fs = std::filesystem;

inline const std::string data = REPORT_DATA;
inline const std::string one = data + "/memory_1thread.results.txt";
inline const std::string two = data + "/memory_2threads.results.txt";

class FakeClock : public Clock {
public:
    double now = 0;
    double seconds() override { return now; }
    std::chrono::system_clock::time_point wall() override {
        // 2026-12-08T10:00:00Z, then as the steady clock moves.
        return std::chrono::system_clock::from_time_t(1796724000) +
               std::chrono::milliseconds(static_cast<long long>(now * 1000));
    }
};

// What one execution does.
struct Step {
    Outcome outcome = Outcome::completed;
    double seconds = 10;
    std::string results = one;  // copied into the directory; "" for none
    int stop = 0;               // the signal that arrives while it runs
    std::function<void()> during = {};  // done while it runs, after the results file
    std::string error = {};  // why it could not start
};

class FakeExecutor : public Executor {
public:
    explicit FakeExecutor(FakeClock& clock) : clock_(clock) {}
    std::deque<Step> steps;  // when empty, every further step is `usual`
    Step usual;
    std::vector<std::pair<fs::path, fs::path>> calls;  // program, directory
    std::vector<std::optional<double>> timeouts;       // given to each call
    std::vector<std::optional<Placement>> placements;  // given to each call
    int signal = 0;

    bool prepare() override { return true; }
    Execution execute(const fs::path& program, const fs::path& dir, const ExecutionHooks& hooks,
                      std::optional<double> timeout, const Placement* placement) override {
        timeouts.push_back(timeout);
        placements.push_back(placement ? std::optional<Placement>(*placement) : std::nullopt);
        Step s = usual;
        if (!steps.empty()) {
            s = steps.front();
            steps.pop_front();
        }
        calls.push_back({program, dir});
        hooks.on_line("Force to be single thread.");
        hooks.on_line("Low speeds:");
        Execution e;
        e.outcome = s.outcome;
        e.seconds = s.seconds;
        e.error = s.error;
        if (s.outcome == Outcome::completed)
            e.exit_status = 0;
        else if (s.outcome == Outcome::failed)
            e.exit_status = 3;
        if (!s.results.empty()) {
            e.results_file = dir / "results_memory.txt";
            fs::copy_file(s.results, *e.results_file);
        }
        if (s.during)
            s.during();
        clock_.now += s.seconds;
        if (s.stop)
            signal = s.stop;
        return e;
    }
    int stop_signal() override { return signal; }

private:
    FakeClock& clock_;
};

class FakeMachine : public MachineReader {
public:
    int windows = 0;  // states read over a busy window
    std::string sha256 = std::string(64, 'b');
    std::optional<std::string> build_id;
    Machine described;  // what machine() gives
    MachineState now;   // what state() gives
    Machine machine() override { return described; }
    MachineState state(std::chrono::milliseconds window) override {
        windows += window.count() > 0;
        return now;
    }
    ProgramFile program(const fs::path& path) override {
        ProgramFile p;
        p.path = path.string();
        p.sha256 = sha256;
        p.build_id = build_id;
        return p;
    }
};

}  // namespace report::fakes
