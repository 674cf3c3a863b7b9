// What a run costs: the estimate said before it starts, from a typical
// machine's times and the load, and the estimate revised once a program's
// first round has been timed.
#include "execution/schedule.h"
#include "execution/schedule_parts.h"



namespace report::schedule_parts {

// What is left of the run from round `next` of `program` on, at the speed
// known now, `elapsed` seconds after its start.
Cost Schedule::cost_from(std::size_t program, int next, double elapsed) const {
    Cost cost;
    bool rules = plan_.until_stable || plan_.precision;
    double most = 0;
    for (std::size_t p = program; p < plan_.programs.size(); ++p) {
        int done = p == program ? next - 1 : 0;
        cost.total += round_estimate(p) * std::max(0, plan_.runs[p] - done);
        most += round_estimate(p) * std::max(0, most_rounds(p) - done);
    }
    if (rules)
        cost.with_rules = most;
    if (plan_.time_budget) {
        double left = std::max(0.0, *plan_.time_budget - elapsed);
        if (left < (rules ? most : cost.total))
            cost.budget = left;
    }
    return cost;
}

// What it will cost, from the typical times and the load at the start.
void Schedule::announce_cost() {
    int repetitions = 0;
    for (std::size_t p = 0; p < plan_.programs.size(); ++p) {
        for (std::size_t b = 0; b < plan_.builds.size(); ++b)
            observer_.planned({name_of(p), p, &plan_.builds[b], plan_.runs[p],
                               estimate(p, b), repetition_timeout(plan_, plan_.programs[p])});
        repetitions += plan_.runs[p];
    }
    Cost cost = cost_from(0, 1, 0);
    cost.load_factor = load_factor_;
    if (load_factor_ > 1) {
        cost.load = machine_.state.load1;
        cost.processors = machine_.logical_cpus.value_or(0);
    }
    cost.said_again = repetitions > 1;
    observer_.cost(cost);
}

Schedule::Timings Schedule::timings_of(std::size_t program) const {
    Timings t;
    for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
        t.expected.push_back(estimate(program, b));
        t.counts.push_back(samples_[program][b].durations.size());
    }
    return t;
}

// After round `next` of `program`, the first to time a repetition of it
// (`before` the round: the estimates and counts): what its timed repetitions
// took against what was expected of them, and what is left at the speed now
// known; said when anything is left.
void Schedule::revise(std::size_t program, int next, const Timings& before) {
    Revision r;
    r.program = name_of(program);
    bool timed = false;
    for (std::size_t b = 0; b < plan_.builds.size(); ++b) {
        const std::vector<double>& d = samples_[program][b].durations;
        if (d.size() > before.counts[b]) {
            timed = true;
            r.took += d.back();
            r.expected += before.expected[b];
        }
    }
    if (!timed)
        return;
    revised_[program] = true;
    r.elapsed = since_start();
    r.rest = cost_from(program, next + 1, r.elapsed);
    if (r.rest.total > 0 || r.rest.with_rules.value_or(0) > 0)
        observer_.revised(r);
}

}  // namespace report::schedule_parts
