// The change points, drifts and events shown since a day, and the history gate's verdict.
#include "analysis/history_gate.h"

#include "analysis/history.h"
#include "model/run.h"

namespace report {

HistorySelection select_since(const HistoryAnalysis& a, std::optional<long> since) {
    HistorySelection s;
    auto keep = [&](const std::string& date) {
        return !since || calendar_days(date).value_or(0) >= *since;
    };
    for (std::size_t i = 0; i < a.change_points.size(); ++i)
        if (keep(a.change_points[i].date))
            s.change_points.push_back(i);
    // An event that runs into the period is shown whole.
    for (std::size_t i = 0; i < a.fleet_events.size(); ++i)
        if (keep(a.fleet_events[i].last_date))
            s.fleet_events.push_back(i);
    for (std::size_t i = 0; i < a.quiet_machine_changes.size(); ++i)
        if (keep(a.quiet_machine_changes[i].date))
            s.quiet_machine_changes.push_back(i);
    // A drift that runs into the period is shown whole.
    for (std::size_t i = 0; i < a.drifts.size(); ++i)
        if (keep(a.drifts[i].end))
            s.drifts.push_back(i);
    return s;
}

namespace {

// Whether a series has min_segment days on each side of `since`, so that a
// change there could be found.
bool judges(const History& h, const HistorySeries& s, long since,
            const ChangePointSettings& settings) {
    std::size_t before = 0;
    for (std::size_t d : s.days)
        before += h.days[d].days < since;
    return before >= settings.min_segment && s.days.size() - before >= settings.min_segment;
}

}  // namespace

HistoryGate history_gate(const HistoryAnalysis& analysis, long since,
                         const ChangePointSettings& settings) {
    HistoryGate g;
    for (std::size_t i = 0; i < analysis.change_points.size(); ++i) {
        const ChangePoint& cp = analysis.change_points[i];
        if (cp.days >= since && is_worse(cp.change_percent))
            g.worse.push_back(i);
    }
    for (std::size_t i = 0; i < analysis.drifts.size(); ++i) {
        const Drift& d = analysis.drifts[i];
        if (d.end_days >= since && is_worse(d.change_percent))
            g.worse_drifts.push_back(i);
    }
    auto name = [](const std::string& label, Program p) {
        return label + " (" + program_name(p) + ")";
    };
    std::vector<bool> judged(analysis.histories.size(), false);
    for (const HistorySeries& s : analysis.series)
        if (s.history < judged.size() && !judged[s.history])
            judged[s.history] = judges(analysis.histories[s.history], s, since, settings);
    for (std::size_t hi = 0; hi < analysis.histories.size(); ++hi)
        if (!judged[hi])
            g.unjudged.push_back(name(analysis.histories[hi].label, analysis.histories[hi].program));
    for (const auto& [label, program] : analysis.without_history)
        g.unjudged.push_back(name(label, program));
    g.verdict = !g.worse.empty() || !g.worse_drifts.empty() ? HistoryGate::fail
                : !g.unjudged.empty() ? HistoryGate::too_little
                                      : HistoryGate::pass;
    return g;
}

}  // namespace report
