#include "cli/run_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "cli/cli.h"
#include "output/text.h"

namespace report {

namespace {

// Whole seconds of a duration to print: none below 0 (or not a number), and
// no more than a long holds.
long long whole_seconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    return std::llround(std::min(seconds, 1e15));
}

}  // namespace

std::string about(double seconds) {
    long long s = whole_seconds(seconds);
    if (s < 60)
        return fmt::format("{} s", s);
    if (s < 3600)
        return fmt::format("{} min", (s + 30) / 60);
    long long m = (s + 30) / 60;
    return fmt::format("{} h {:02} min", m / 60, m % 60);
}

std::string exact_duration(double seconds) {
    long long ms = whole_seconds(seconds * 1000);
    long long h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, frac = ms % 1000;
    std::string text;
    if (h > 0)
        text = fmt::format("{} h {:02} min", h, m);
    else if (m > 0)
        text = fmt::format("{} min", m);
    if (s == 0 && frac == 0 && !text.empty())
        return text;
    std::string secs = frac == 0 ? std::to_string(s) : fmt::format("{}.{:03}", s, frac);
    if (frac != 0)
        secs.erase(secs.find_last_not_of('0') + 1);
    if (h > 0 && s < 10)
        secs.insert(0, "0");
    return text.empty() ? secs + " s" : fmt::format("{} {} s", text, secs);
}

std::string clock_text(double seconds) {
    long long s = whole_seconds(seconds);
    if (s < 3600)
        return fmt::format("{}:{:02}", s / 60, s % 60);
    return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
}

std::string error_text(const ScheduleError& e) {
    std::string text = fmt::format("cannot {} {}", e.what, escape_path(e.path.string()));
    if (!e.reason.empty())
        text += ": " + e.reason;
    return text;
}

namespace {

// "bench_memory" alone, or "bench_memory (new)" when builds are interleaved.
std::string who(const std::string& program, const Build* build) {
    return build ? fmt::format("{} ({})", program, escape_path(build->label)) : program;
}

std::string percent(double fraction) {
    return fmt::format("{:.2f}%", fraction * 100);
}

// "is known to ±1.23% (90% interval)", or that there is no interval yet.
std::string precision_text(const std::optional<PrecisionInterval>& p) {
    auto h = p ? p->half_width() : std::nullopt;
    if (!h)
        return "has no interval yet (it needs 5 values)";
    return fmt::format("is known to ±{} ({:.0f}% interval)", percent(*h),
                       std::floor(p->confidence * 100));
}

}  // namespace

RunView::RunView(bool terminal) : terminal_(terminal) {}

std::string RunView::unit() const {
    return plan_ && plan_->builds.size() > 1 ? "round" : "repetition";
}

void RunView::status_line(const std::string& text) {
    if (!terminal_)
        return;
    std::string line = text;
    winsize ws{};
    std::size_t width =
        ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
    if (line.size() > width)
        line.resize(width);
    line = "\r\033[K" + line;
    std::fwrite(line.data(), 1, line.size(), stderr);
    shown_ = true;
}

void RunView::message(const std::string& text) {
    clear();
    error(text);
}

void RunView::clear() {
    if (shown_)
        std::fputs("\r\033[K", stderr);
    shown_ = false;
}

void RunView::warnings(const std::vector<Disturbance>& warnings) {
    // A condition nothing on the machine removes is said as such: --strict
    // runs despite it.
    for (const Disturbance& d : warnings)
        message("warning: " + d.message +
                (removal(d) ? "" : " (permanent: --strict runs despite it)"));
}

void RunView::start(const SchedulePlan& plan) {
    plan_ = &plan;
}

void RunView::planned(const PlannedProgram& p) {
    const SchedulePlan& plan = *plan_;
    int most = std::max(p.runs, stopping_maximum);
    std::string units = unit() + "s";
    std::string count;
    if (plan.until_stable && plan.precision)
        count = fmt::format("{} to {} {}, more while a rate varies by more than {:g}% or the "
                            "time factor is not known to ±{:g}%",
                            p.runs, most, units, *plan.until_stable, *plan.precision);
    else if (plan.until_stable)
        count = fmt::format("{} to {} {}, more while a rate varies by more than {:g}%", p.runs,
                            most, units, *plan.until_stable);
    else if (plan.precision)
        count = fmt::format("{} to {} {}, more until the time factor is known to ±{:g}%", p.runs,
                            most, units, *plan.precision);
    else
        count = fmt::format("{} {}{}", p.runs, unit(), p.runs == 1 ? "" : "s");
    const Build* build = plan.builds.size() > 1 ? p.build : nullptr;
    message(fmt::format("{}: {} ({}, about {} each, stopped past {})", who(p.program, build),
                        escape_path(p.build->paths[p.index].string()), count, about(p.each),
                        exact_duration(p.timeout)));
}

std::string RunView::cost_text(const Cost& cost, std::optional<double> elapsed) const {
    std::string text = "about " + about(cost.total);
    if (elapsed)
        text += fmt::format(" (about {} in all)", about(*elapsed + cost.total));
    if (cost.with_rules)
        text += fmt::format(", about {} if the stopping rules add every {} they may",
                            about(*cost.with_rules), unit());
    if (cost.budget)
        text += fmt::format("; the time budget stops it after about {}", about(*cost.budget));
    return text;
}

void RunView::cost(const Cost& cost) {
    std::string where;
    for (std::size_t b = 0; b < plan_->builds.size(); ++b) {
        if (b > 0)
            where += b + 1 == plan_->builds.size() ? " and " : ", ";
        where += escape_path(plan_->builds[b].dir.string() + "/");
    }
    message(fmt::format("this takes {}; results in {}", cost_text(cost, std::nullopt), where));
    std::string basis = "an estimate at a typical machine's speed";
    if (cost.load)
        basis += fmt::format(", slowed {:.1f} times for its load ({:.2f} on {} processors)",
                             cost.load_factor, *cost.load, cost.processors);
    if (cost.said_again)
        basis += fmt::format("; said again after the first {}", unit());
    message(basis);
}

void RunView::revised(const Revision& r) {
    // An estimate ten times off is said to be, not left for the reader to
    // work out from the two durations.
    std::string off;
    if (far_from_estimate(r))
        off = fmt::format(", {:.0f} times {}: this machine is far from the typical one the first "
                          "estimate assumed",
                          r.took >= r.expected ? r.took / r.expected : r.expected / r.took,
                          r.took >= r.expected ? "longer" : "shorter");
    message(fmt::format("{}: its first {} took {}, against about {} expected{}; at this speed the "
                        "rest takes {}",
                        r.program, unit(), about(r.took), about(r.expected), off,
                        cost_text(r.rest, r.elapsed)));
}

void RunView::other_build(const OtherBuild& o) {
    std::string held;
    for (std::size_t i = 0; i < o.held.size(); ++i)
        held += (i ? ", " : "") + o.held[i];
    std::string label = escape_path(o.build->label);
    message(fmt::format("{}: {} already holds repetitions of another build ({}); compare keeps "
                        "this one ({}) apart, as {}@{}",
                        o.program, escape_path(o.build->dir.string() + "/"), held, o.added, label,
                        o.added));
}

void RunView::decision(const Decision& d) {
    std::string u = unit();
    switch (d.reason) {
        case StopReason::runs:
            // A stopping rule adds a repetition: say which, as the decision
            // names it, and why.
            if (d.wanted == MoreWanted::spread)
                message(fmt::format("{}: {} varies by {}, above {:g}%: adding {} {}",
                                    who(d.program, d.varies), d.variation->pass,
                                    percent(d.variation->cv), *plan_->until_stable, u, d.next));
            else
                message(fmt::format("{}: the time factor {}, not yet ±{:g}%: adding "
                                    "{} {}",
                                    who(d.program, d.imprecise), precision_text(d.interval),
                                    *plan_->precision, u, d.next));
            break;
        case StopReason::cap:
            if (d.wanted == MoreWanted::spread)
                message(fmt::format("{}: {} still varies by {} after {} {}s; stopping there",
                                    who(d.program, d.varies), d.variation->pass,
                                    percent(d.variation->cv), d.next - 1, u));
            else
                message(fmt::format("{}: the time factor {} after {} {}s, not "
                                    "±{:g}%; stopping there",
                                    who(d.program, d.imprecise), precision_text(d.interval),
                                    d.next - 1, u, *plan_->precision));
            break;
        case StopReason::time_budget:
            message(fmt::format("{}: the time budget leaves no time for {} {} (about {})",
                                d.program, u, d.next, about(d.estimate)));
            break;
        case StopReason::stable:
            message(fmt::format("{}: every rate varies by at most {:g}% after {} {}s",
                                d.program, *plan_->until_stable, d.next - 1, u));
            break;
        case StopReason::precise:
            message(fmt::format("{}: the time factor {} after {} {}s", d.program,
                                precision_text(d.interval), d.next - 1, u));
            break;
        case StopReason::signal:
        case StopReason::failure: break;
    }
}

void RunView::status(const Status& s) {
    status_line(fmt::format("{} {} of {}{}: {}; {} elapsed, about {} left", s.program, s.number,
                            s.planned, s.build ? " (" + escape_path(s.build->label) + ")" : "",
                            s.activity, clock_text(s.elapsed), about(s.left)));
}

void RunView::ended(const Ended& e) {
    const Execution& rep = e.execution;
    std::string how;
    switch (rep.outcome) {
        case Outcome::completed: how = "completed"; break;
        case Outcome::failed:
            how = rep.exit_status ? fmt::format("failed with exit status {}", *rep.exit_status)
                                  : "failed: " + rep.error;
            break;
        case Outcome::killed: how = "was killed by " + signal_name(rep.signal.value_or(0)); break;
        case Outcome::interrupted: how = "was interrupted by " + signal_name(e.stop_signal); break;
        case Outcome::timed_out:
            how = fmt::format("timed out after {} and was stopped", about(rep.seconds));
            break;
        case Outcome::invalid: how = "exited with status 0"; break;
    }
    // Invalid: not counted as completed, and why (what machine.json's reason says).
    std::string remark = rep.outcome == Outcome::invalid ? "; invalid: " + escape_path(e.reason) : "";
    std::string line = fmt::format("{} {} of {}{} {} in {:.1f} s{}: {}", e.program, e.number,
                                   e.planned,
                                   e.build ? " (" + escape_path(e.build->label) + ")" : "", how,
                                   rep.seconds, remark, escape_path(e.dir.string()));
    if (!rep.error.empty() && rep.outcome != Outcome::failed)
        line += "; " + rep.error;
    if (rep.output_held)
        line += "; " + held_output_reason();
    if (!e.good() || !terminal_ || rep.output_held)
        message(line);
}

void RunView::unpaired(const Unpaired& u) {
    std::string labels;
    for (std::size_t i = 0; i < u.missing.size(); ++i)
        labels += (i ? ", " : "") + escape_path(u.missing[i]->label);
    message(fmt::format("{}: round {} is unpaired: no completed repetition of {}; compare "
                        "leaves it out",
                        u.program, u.round, labels));
}

void RunView::summary(const ProgramSummary& s) {
    bool several = plan_->builds.size() > 1;
    std::string name = who(s.program, several ? s.build : nullptr);
    if (const auto& v = s.variation)
        message(fmt::format("{}: over {} repetitions, the least steady rate ({}) has a "
                            "coefficient of variation of {} (its standard deviation over its "
                            "mean); its fastest repetition is {:.1f}% above its slowest",
                            name, v->repetitions, v->pass, percent(v->cv),
                            (v->spread - 1) * 100));
    if (!plan_->precision || (several && s.build == &plan_->builds.front()))
        return;
    std::string why;
    switch (s.stopped) {
        case StopReason::precise: why = "the precision asked for was reached"; break;
        case StopReason::cap:
            why = fmt::format("it reached the most {}s the rule adds", unit());
            break;
        case StopReason::time_budget: why = "the time budget ended"; break;
        case StopReason::signal: why = "a signal stopped the run"; break;
        default: why = "the repetitions asked for ran"; break;
    }
    std::string what =
        several ? fmt::format("the time factor against {}, paired by round,",
                              escape_path(plan_->builds.front().label))
                : "the time factor of the geometric mean of rates";
    std::string estimate;
    if (several && s.interval && s.interval->half_width())
        estimate = fmt::format(" x{:.3f} [{:.3f}, {:.3f}]", s.interval->estimate,
                               *s.interval->low, *s.interval->high);
    message(fmt::format("{}: {}{} {}; stopped because {}", name, what, estimate,
                        precision_text(s.interval), why));
}

}  // namespace report
