// What `run` says on standard error, worded from the facts its schedule
// reports: on a terminal one status line rewritten in place, otherwise only
// whole lines.
#pragma once

#include <optional>
#include <string>

#include "execution/schedule.h"

namespace report {

// "45 s", "13 min", "1 h 05 min", for estimates.
std::string about(double seconds);
// "1.5 s", "10 min 50 s", "2 h 20 min", "1 h 00 min 05 s": to the
// millisecond, for limits given or applied.
std::string exact_duration(double seconds);
// "0:45", "13:20", "1:05:00", for elapsed time.
std::string clock_text(double seconds);

class RunView : public ScheduleObserver {
public:
    // `terminal`: standard error is a terminal, for the status line.
    explicit RunView(bool terminal);

    // A whole line, "bench_report: " before it, the status line cleared first.
    void message(const std::string& text);
    void clear();
    bool terminal() const { return terminal_; }

    void start(const SchedulePlan& plan) override;
    void warnings(const std::vector<Disturbance>& warnings) override;
    void planned(const PlannedProgram& p) override;
    void cost(const Cost& cost) override;
    void revised(const Revision& r) override;
    void other_build(const OtherBuild& o) override;
    void decision(const Decision& d) override;
    void status(const Status& s) override;
    void ended(const Ended& e) override;
    void unpaired(const Unpaired& u) override;
    void summary(const ProgramSummary& s) override;

private:
    bool terminal_;
    bool shown_ = false;
    const SchedulePlan* plan_ = nullptr;
    void status_line(const std::string& text);
    // "repetition" or "round".
    std::string unit() const;
    // "about 39 min", with the whole run's time when `elapsed` is given, and
    // what the stopping rules and the time budget make of it.
    std::string cost_text(const Cost& cost, std::optional<double> elapsed) const;
};

// The message of an error the schedule met.
std::string error_text(const ScheduleError& e);

}  // namespace report
