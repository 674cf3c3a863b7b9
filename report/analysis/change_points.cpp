// The analysis of a fleet's histories: each history's findings, put together in order.
#include "analysis/change_points.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <set>
#include <span>
#include <string_view>

#include "analysis/drift.h"
#include "analysis/fleet_events.h"
#include "analysis/history_drifts.h"
#include "analysis/history_series.h"
#include "analysis/stats.h"
#include "machine/record.h"
#include "model/parallel.h"

namespace report {

namespace {

// The machine of the last run with machine.json on days[0, upto], or of the
// first on days[from, end).
const MachineRecord* last_machine(const History& h, std::size_t upto) {
    for (std::size_t d = upto + 1; d-- > 0;)
        for (auto r = h.days[d].runs.rbegin(); r != h.days[d].runs.rend(); ++r)
            if ((*r)->machine)
                return (*r)->machine.get();
    return nullptr;
}
const MachineRecord* first_machine(const History& h, std::size_t from) {
    for (std::size_t d = from; d < h.days.size(); ++d)
        for (const Run* r : h.days[d].runs)
            if (r->machine)
                return r->machine.get();
    return nullptr;
}

// What the analysis finds in one history; its change points' `series` count
// from the history's first series.
struct HistoryFindings {
    std::vector<HistorySeries> series;
    std::vector<ChangePoint> change_points;
    std::vector<Drift> drifts;
    std::vector<QuietMachineChange> quiet;
};

// The k-th change point of `found` in series `s` (numbered `series`): the
// levels either side of it and what changed on the machine between them.
ChangePoint change_point(const History& h, const HistorySeries& s, std::size_t series,
                         const std::vector<SeriesChange>& found, std::size_t k) {
    std::size_t from = k == 0 ? 0 : found[k - 1].index;
    std::size_t at = found[k].index;
    std::size_t to = k + 1 == found.size() ? s.values.size() : found[k + 1].index;
    std::span<const double> v(s.values);
    ChangePoint cp;
    cp.series = series;
    cp.label = h.label;
    cp.program = h.program;
    cp.test = s.test;
    cp.overall = s.overall;
    cp.date = h.days[s.days[at]].date;
    cp.days = h.days[s.days[at]].days;
    cp.last_before = h.days[s.days[at - 1]].date;
    cp.before = *stats::median(v.subspan(from, at - from));
    cp.after = *stats::median(v.subspan(at, to - at));
    cp.change_percent = (cp.after / cp.before - 1) * 100;
    cp.p = found[k].p;
    cp.p_days = found[k].span;
    cp.p_window = found[k].window;
    const MachineRecord* before = last_machine(h, s.days[at - 1]);
    const MachineRecord* after = first_machine(h, s.days[at]);
    if (before && after)
        cp.causes = context_differences(*before, *after);
    return cp;
}

// The machine changes of a history that no change point spans: `covered`
// holds each change point's (last day before, first day after).
std::vector<QuietMachineChange> quiet_changes(
    const History& h, const std::vector<std::pair<std::size_t, std::size_t>>& covered) {
    std::vector<QuietMachineChange> quiet;
    for (const History::Change& change : h.changes) {
        bool moved = std::any_of(covered.begin(), covered.end(), [&](const auto& c) {
            return c.first < change.index && change.index <= c.second;
        });
        if (!moved)
            quiet.push_back({h.label, h.program, h.days[change.index].date,
                             h.days[change.index - 1].date, change.differences});
    }
    return quiet;
}

// The k-th step of `found`, on top of drift `d` of series `s`: the levels
// either side measured with the ramp taken out, at the ramp's level of the
// step's day, so that the step's size is its own and not the drift's.
ChangePoint step_on_drift(const History& h, const HistorySeries& s, std::size_t series,
                          const std::vector<SeriesChange>& found, std::size_t k,
                          const SeriesDrift& d) {
    HistorySeries flat = s;
    double at = d.fitted[found[k].index];
    for (std::size_t i = 0; i < flat.values.size(); ++i)
        flat.values[i] = std::exp(std::log(s.values[i]) - d.fitted[i] + at);
    return change_point(h, flat, series, found, k);
}

HistoryFindings analyse_one(const History& h, std::size_t hi,
                            const ChangePointSettings& settings) {
    HistoryFindings out;
    std::vector<std::pair<std::size_t, std::size_t>> covered;  // (last before, first after)
    std::vector<Drift> drifts;
    out.series = day_series(h, hi);
    std::vector<SeriesFindings> all = search_series(out.series, settings);
    for (std::size_t k = 0; k < out.series.size(); ++k) {
        HistorySeries& s = out.series[k];
        const SeriesFindings& found = all[k];
        const std::vector<SeriesChange>& steps = found.steps;
        for (std::size_t c = 0; c < steps.size(); ++c) {
            out.change_points.push_back(found.drift
                                            ? step_on_drift(h, s, k, steps, c, *found.drift)
                                            : change_point(h, s, k, steps, c));
            covered.push_back({s.days[steps[c].index - 1], s.days[steps[c].index]});
        }
        if (!found.drift)
            continue;
        const SeriesDrift& d = *found.drift;
        double from = std::exp(d.fitted[d.start]);
        s.ramp = HistorySeries::Ramp{s.days[d.start], s.days[d.end], from,
                                     std::exp(d.fitted[d.end]), from * std::exp(d.log_low),
                                     from * std::exp(d.log_high)};
        drifts.push_back(drift_of(h, s, k, d, settings));
        covered.push_back({s.days[d.start], s.days[d.end]});
    }
    out.drifts = group_drifts(std::move(drifts), out.series.size());
    out.quiet = quiet_changes(h, covered);
    return out;
}

// The labels and programs of `runs` that have no history, in the order they
// first appear: each looked up once, so that a flat folder of many labels
// costs no more per label than a few.
std::vector<std::pair<std::string, Program>> without_history(const std::vector<const Run*>& runs,
                                                             const std::vector<History>& histories) {
    std::set<std::pair<std::string_view, Program>> seen;  // with a history, or listed already
    for (const History& h : histories)
        seen.emplace(h.label, h.program);
    std::vector<std::pair<std::string, Program>> out;
    for (const Run* r : runs)
        if (seen.emplace(r->label, r->program).second)
            out.emplace_back(r->label, r->program);
    return out;
}

}  // namespace

HistoryAnalysis analyse_history(const std::vector<const Run*>& runs,
                                const ChangePointSettings& settings) {
    HistoryAnalysis a;
    a.histories = histories(runs);
    std::set<std::string_view> labels;
    for (const History& h : a.histories)
        labels.insert(h.label);
    a.labels = labels.size();
    a.without_history = without_history(runs, a.histories);

    // The histories are searched at once, each into its own findings, put
    // together in their order: the same analysis whatever the threads.
    std::vector<HistoryFindings> findings(a.histories.size());
    in_parallel(a.histories.size(), settings.threads, [&](std::size_t hi) {
        findings[hi] = analyse_one(a.histories[hi], hi, settings);
    });
    for (HistoryFindings& f : findings) {
        std::size_t first = a.series.size();
        for (ChangePoint& cp : f.change_points) {
            cp.series += first;
            a.change_points.push_back(std::move(cp));
        }
        for (Drift& d : f.drifts) {
            d.series += first;
            a.drifts.push_back(std::move(d));
        }
        std::move(f.series.begin(), f.series.end(), std::back_inserter(a.series));
        std::move(f.quiet.begin(), f.quiet.end(), std::back_inserter(a.quiet_machine_changes));
    }
    a.fleet_events = fleet_events(a.change_points);
    return a;
}

}  // namespace report
