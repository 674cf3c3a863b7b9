// The stopping rules of a schedule: the spread and the precision each
// build's repetitions reached, whether to add a round or stop, and the time
// budget.
#include "execution/schedule.h"
#include "execution/schedule_parts.h"

#include <cmath>

namespace report::schedule_parts {

std::optional<PrecisionInterval> Schedule::interval(std::size_t program, std::size_t build) const {
    const std::vector<Sample>& s = samples_[program];
    if (!interleaved())
        return precision_interval(self_log_factors(s[build].rates));
    if (build == 0)
        return std::nullopt;
    // Paired: the rounds where both the first build and this one completed.
    std::vector<double> factors;
    for (const auto& [round, rates] : s[build].by_round)
        if (auto base = s[0].by_round.find(round); base != s[0].by_round.end())
            if (auto f = log_time_factor(base->second, rates))
                factors.push_back(*f);
    return precision_interval(factors);
}

// --until-stable: the widest spread of any build into `d`.
void Schedule::widest_variation_of(std::size_t program, Decision& d) const {
    for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
        auto v = widest_variation(samples_[program][b].rates);
        if (v && (!d.variation || v->cv > d.variation->cv)) {
            d.variation = v;
            d.varies = &plan_.builds[b];
        }
    }
}

// --precision: the widest interval of any build into `d` (none yet, with
// fewer than 5 values, is the widest); its half width, infinite for none.
double Schedule::widest_interval_of(std::size_t program, Decision& d) const {
    double widest = -1;
    for (std::size_t b = interleaved() ? 1 : 0; b < plan_.builds.size(); ++b) {
        auto p = interval(program, b);
        auto h = p ? p->half_width() : std::nullopt;
        double width = h ? *h : HUGE_VAL;
        if (width > widest) {
            widest = width;
            d.interval = p;
            d.imprecise = &plan_.builds[b];
        }
    }
    return widest;
}

// Whether the stopping rules want round `next`: a decision to add it, or to stop.
std::optional<Decision> Schedule::judge(std::size_t program, int next) const {
    Decision d;
    d.program = name_of(program);
    d.next = next;
    if (plan_.until_stable)
        widest_variation_of(program, d);
    double widest = plan_.precision ? widest_interval_of(program, d) : -1;
    d.wanted = more_wanted({plan_.until_stable, plan_.precision},
                           d.variation ? std::optional<double>(d.variation->cv) : std::nullopt,
                           widest);
    if (d.wanted == MoreWanted::none)
        d.reason = plan_.precision ? StopReason::precise : StopReason::stable;
    else
        d.reason = next > most_rounds(program) ? StopReason::cap : StopReason::runs;
    return d;
}

// Whether the time budget leaves no time for round `next`; said when so.
bool Schedule::over_budget(std::size_t program, int next) {
    if (!plan_.time_budget || since_start() + round_estimate(program) <= *plan_.time_budget)
        return false;
    Decision d;
    d.program = name_of(program);
    d.next = next;
    d.reason = StopReason::time_budget;
    d.estimate = round_estimate(program);
    observer_.decision(d);
    return true;
}

}  // namespace report::schedule_parts
