// The change points of several labels that make one fleet event, and the causes they share.
#include "analysis/fleet_events.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <tuple>

namespace report {

namespace {

using CauseKey = std::tuple<std::string, std::string, std::string>;

bool shares_cause(const ChangePoint& x, const ChangePoint& y) {
    for (const ContextDifference& c : x.causes)
        for (const ContextDifference& d : y.causes)
            if (c.field == d.field && c.first == d.first && c.second == d.second)
                return true;
    return false;
}

// The change points that make one rollout: one day apart at most, or a week
// with a cause in common, in one direction and of one program. Each group's
// members earliest first, the groups by their root's index.
std::map<std::size_t, std::vector<std::size_t>> rollouts(const std::vector<ChangePoint>& cps) {
    std::vector<std::size_t> parent(cps.size());
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](std::size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    std::vector<std::size_t> order(cps.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return cps[x].days < cps[y].days; });
    for (std::size_t u = 0; u < order.size(); ++u)
        for (std::size_t v = u + 1; v < order.size(); ++v) {
            const ChangePoint& x = cps[order[u]];
            const ChangePoint& y = cps[order[v]];
            long apart = y.days - x.days;
            if (apart > 7)
                break;
            if (is_worse(x.change_percent) != is_worse(y.change_percent) ||
                x.program != y.program)
                continue;
            if (apart <= 1 || shares_cause(x, y))
                parent[root(order[u])] = root(order[v]);
        }
    std::map<std::size_t, std::vector<std::size_t>> groups;
    for (std::size_t i : order)
        groups[root(i)].push_back(i);
    return groups;
}

// The machine changes of an event's change points, each with the labels
// that had it, the most shared first (in the order first seen on a tie).
std::vector<FleetEvent::Cause> shared_causes(const std::vector<ChangePoint>& cps,
                                             const std::vector<std::size_t>& members) {
    std::map<CauseKey, std::set<std::string>> holders;
    std::vector<CauseKey> seen;
    for (std::size_t i : members)
        for (const ContextDifference& d : cps[i].causes) {
            CauseKey k{d.field, d.first, d.second};
            if (holders.find(k) == holders.end())
                seen.push_back(k);
            holders[k].insert(cps[i].label);
        }
    std::vector<FleetEvent::Cause> causes;
    for (const CauseKey& k : seen)
        causes.push_back({{std::get<0>(k), std::get<1>(k), std::get<2>(k)}, holders[k].size()});
    std::stable_sort(causes.begin(), causes.end(),
                     [](const auto& x, const auto& y) { return x.labels > y.labels; });
    return causes;
}

}  // namespace

std::vector<FleetEvent> fleet_events(const std::vector<ChangePoint>& cps) {
    std::vector<FleetEvent> events;
    for (auto& [r, members] : rollouts(cps)) {
        std::set<std::string> labels;
        for (std::size_t i : members)
            labels.insert(cps[i].label);
        if (labels.size() < 2)
            continue;
        FleetEvent e;
        e.date = cps[members.front()].date;
        e.last_date = cps[members.back()].date;
        e.worse = is_worse(cps[members.front()].change_percent);
        e.labels.assign(labels.begin(), labels.end());
        e.change_points = members;
        std::sort(e.change_points.begin(), e.change_points.end());
        e.causes = shared_causes(cps, members);
        events.push_back(std::move(e));
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const FleetEvent& x, const FleetEvent& y) { return x.date < y.date; });
    return events;
}

}  // namespace report
