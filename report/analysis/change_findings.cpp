#include "analysis/change_findings.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "model/calendar.h"

namespace report {

namespace {

// The machine changes as one comparable key.
std::vector<std::string> cause_key(const std::vector<ContextDifference>& causes) {
    std::vector<std::string> key;
    for (const ContextDifference& d : causes) {
        key.push_back(d.field);
        key.push_back(d.first);
        key.push_back(d.second);
    }
    return key;
}

double largest_move(const ChangeFinding& f) {
    return std::max(std::fabs(f.low_percent), std::fabs(f.high_percent));
}

}  // namespace

ChangeFindings change_findings(const HistoryAnalysis& a, const HistorySelection& s) {
    ChangeFindings out;
    std::map<std::tuple<std::string, std::string, std::vector<std::string>>, std::size_t> index;
    for (std::size_t i : s.change_points) {
        const ChangePoint& cp = a.change_points[i];
        auto key = std::make_tuple(cp.label, cp.date, cause_key(cp.causes));
        auto [at, fresh] = index.emplace(key, out.findings.size());
        if (fresh) {
            ChangeFinding f;
            f.label = cp.label;
            f.date = cp.date;
            f.low_percent = f.high_percent = cp.change_percent;
            f.causes = cp.causes;
            out.findings.push_back(std::move(f));
        }
        ChangeFinding& f = out.findings[at->second];
        f.programs.insert(cp.program);
        f.change_points.push_back(i);
        f.low_percent = std::min(f.low_percent, cp.change_percent);
        f.high_percent = std::max(f.high_percent, cp.change_percent);
    }
    std::stable_sort(out.findings.begin(), out.findings.end(),
                     [](const ChangeFinding& x, const ChangeFinding& y) {
                         double mx = largest_move(x), my = largest_move(y);
                         if (mx != my)
                             return mx > my;
                         return std::tie(x.label, x.date) < std::tie(y.label, y.date);
                     });
    std::set<std::string> moved;
    for (const ChangeFinding& f : out.findings)
        moved.insert(f.label);
    out.labels_without = a.labels > moved.size() ? a.labels - moved.size() : 0;
    return out;
}

std::optional<std::string> gate_decidable_from(const HistoryAnalysis& a, long since,
                                               const ChangePointSettings& settings) {
    std::optional<long> from;
    const long needed = static_cast<long>(settings.min_segment);
    for (const History& h : a.histories) {
        long before = 0, after = 0;
        for (const HistoryDay& d : h.days)
            ++(d.days < since ? before : after);
        if (after >= needed)
            continue;
        if (before < needed)
            return std::nullopt;
        // The days still missing, a run a night after the last one (or from
        // `since`, when the last is before it).
        long last = h.days.empty() ? since - 1 : std::max(h.days.back().days, since - 1);
        long day = last + (needed - after);
        from = from ? std::max(*from, day) : day;
    }
    if (!a.without_history.empty() || !from)
        return std::nullopt;
    return calendar_date(*from);
}

}  // namespace report
