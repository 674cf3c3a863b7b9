// What the sources of the schedule share (schedule.cpp, schedule_run.cpp,
// schedule_rules.cpp, schedule_estimate.cpp, schedule_repetition.cpp): the
// Schedule that runs a plan, what it knows of each build's repetitions, and
// the few helpers they have in common. Not for use outside them.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "execution/schedule.h"
#include "machine/record.h"

namespace report::schedule_parts {

namespace fs = std::filesystem;

// A repetition's limit: --timeout, else the program's default.
double repetition_timeout(const SchedulePlan& plan, const std::string& program);

// `text` into `path`, created or truncated; the system's reason when it fails.
std::optional<ScheduleError> write_file(const fs::path& path, const std::string& text);

// What the schedule knows of one build's repetitions of one program.
struct Sample {
    std::vector<double> durations;     // seconds of each good repetition, readings included
    std::vector<PassRates> rates;      // each good repetition's
    std::map<int, PassRates> by_round; // the same, by round
};

class Schedule {
public:
    Schedule(const SchedulePlan& plan, Clock& clock, Executor& executor, MachineReader& reader,
             ScheduleObserver& observer)
        : plan_(plan),
          clock_(clock),
          executor_(executor),
          reader_(reader),
          observer_(observer),
          samples_(plan.programs.size(), std::vector<Sample>(plan.builds.size())),
          sequence_(plan.builds.size(), 0) {}

    ScheduleResult run();

private:
    const SchedulePlan& plan_;
    Clock& clock_;
    Executor& executor_;
    MachineReader& reader_;
    ScheduleObserver& observer_;
    std::vector<std::vector<Sample>> samples_;  // [program][build]
    std::vector<int> sequence_;                 // the last sequence number of each build's folder
    std::vector<bool> used_ = std::vector<bool>(plan_.builds.size(), false);
    ScheduleResult result_;
    Machine machine_;
    std::vector<Disturbance> warnings_;
    bool first_ = true;
    double started_ = 0;
    std::string interleaved_;
    // The typical times multiplied for the load at the start, until a
    // repetition has been timed.
    double load_factor_ = 1;
    std::vector<bool> revised_ = std::vector<bool>(plan_.programs.size(), false);

    // Where one repetition stands while it runs.
    struct Slot {
        std::size_t program = 0, build = 0;
        int number = 0, position = 0, planned = 0;
        double left_after = 0;  // seconds of the run left once it ends
        std::chrono::system_clock::time_point wall_start;
        double started = 0;  // steady seconds
        fs::path dir;
    };

    bool interleaved() const { return plan_.builds.size() > 1; }
    // The scaling point of entry `program` of the plan, null in a run that is no sweep.
    const ScalingSet* set_of(std::size_t program) const {
        return program < plan_.sets.size() ? &plan_.sets[program] : nullptr;
    }
    // The entry as the run's messages name it: the program, and in a sweep its CPUs.
    std::string name_of(std::size_t program) const {
        const ScalingSet* set = set_of(program);
        if (!set)
            return plan_.programs[program];
        return fmt::format("{} on {} CPU{} ({})", plan_.programs[program], set->cpus.size(),
                           set->cpus.size() == 1 ? "" : "s", cpu_list_text(set->cpus));
    }
    double since_start() { return clock_.seconds() - started_; }

    // The mean of a build's timed repetitions of a program; 0 when none was timed.
    double measured(std::size_t program, std::size_t build) const {
        const std::vector<double>& d = samples_[program][build].durations;
        double sum = 0;
        for (double x : d)
            sum += x;
        return d.empty() ? 0 : sum / static_cast<double>(d.size());
    }
    // How much slower than a typical machine this one runs: the timed
    // repetitions against their typical times, else the load's factor.
    double speed_factor() const {
        double timed = 0, typical = 0;
        for (std::size_t p = 0; p < plan_.programs.size(); ++p)
            for (std::size_t b = 0; b < plan_.builds.size(); ++b)
                if (double m = measured(p, b); m > 0) {
                    timed += m;
                    typical += stored_estimate(plan_.programs[p]);
                }
        return typical > 0 ? timed / typical : load_factor_;
    }
    double estimate(std::size_t program, std::size_t build) const {
        double m = measured(program, build);
        return m > 0 ? m : stored_estimate(plan_.programs[program]) * speed_factor();
    }
    double round_estimate(std::size_t program) const {
        double sum = 0;
        for (std::size_t b = 0; b < plan_.builds.size(); ++b)
            sum += estimate(program, b);
        return sum;
    }
    int most_rounds(std::size_t program) const {
        return std::max(plan_.runs[program], stopping_maximum);
    }

    // Before the run: what the machine is and what disturbs it, what the run
    // costs, and which labels get a build of another kind.
    bool survey();
    Cost cost_from(std::size_t program, int next, double elapsed) const;
    void announce_cost();
    // Each build's estimate and count of timed repetitions of a program.
    struct Timings {
        std::vector<double> expected;
        std::vector<std::size_t> counts;
    };
    Timings timings_of(std::size_t program) const;
    void revise(std::size_t program, int next, const Timings& before);
    void announce_other_builds();
    bool make_folders();
    ScheduleResult finish();
    void summarise(std::size_t reached, const std::vector<StopReason>& stopped);

    std::optional<PrecisionInterval> interval(std::size_t program, std::size_t build) const;
    void widest_variation_of(std::size_t program, Decision& d) const;
    double widest_interval_of(std::size_t program, Decision& d) const;
    std::optional<Decision> judge(std::size_t program, int next) const;
    bool over_budget(std::size_t program, int next);
    StopReason run_program(std::size_t program);
    bool run_round(std::size_t program, int next, int planned);
    void say_unpaired(std::size_t program, int round);

    // One repetition; false when the run must stop (a signal, an error).
    bool repetition(Slot slot);
    bool make_directory(Slot& slot);
    void drop_directory(const Slot& slot);
    Machine machine_before();
    MachineRecord first_record(const Slot& slot, const Machine& before) const;
    Execution execute(const Slot& slot, const Machine& before, MachineRecord& record);
    CpuSet sampled_cpus(const Slot& slot, const Machine& before) const;
    void judge_results(const Slot& slot, Ended& ended, RepetitionRecord& recorded);
    std::optional<std::string> point_problem(const Slot& slot, const Run& run) const;
    void record_end(MachineRecord& record, const Ended& ended);
};

}  // namespace report::schedule_parts
