// The drifts of a history's figures as findings: one a program and direction.
#include "analysis/history_drifts.h"

#include <algorithm>
#include <cmath>

namespace report {

// A drift of series `s` (numbered `series`) as a finding of one figure.
Drift drift_of(const History& h, const HistorySeries& s, std::size_t series,
               const SeriesDrift& d, const ChangePointSettings& settings) {
    Drift out;
    out.series = series;
    out.label = h.label;
    out.program = h.program;
    out.test = s.test;
    out.overall = s.overall;
    out.start = h.days[s.days[d.start]].date;
    out.end = h.days[s.days[d.end]].date;
    out.start_days = h.days[s.days[d.start]].days;
    out.end_days = h.days[s.days[d.end]].days;
    // A level after the ramp shorter than half the shortest drift does not
    // show that the drift stopped.
    out.ongoing = s.days.size() - 1 - d.end < settings.shortest_drift / 2;
    out.change_percent = std::expm1(d.log_change) * 100;
    out.low_percent = std::expm1(d.log_low) * 100;
    out.high_percent = std::expm1(d.log_high) * 100;
    out.figures = 1;
    return out;
}

// The drifts of a program's figures, one finding a direction: the first
// figure's (the geometric means come first) with the count of the others.
std::vector<Drift> group_drifts(std::vector<Drift> each, std::size_t figures) {
    std::vector<Drift> out;
    for (Drift& d : each) {
        auto same = std::find_if(out.begin(), out.end(), [&](const Drift& o) {
            return is_worse(o.change_percent) == is_worse(d.change_percent);
        });
        if (same != out.end())
            ++same->figures;
        else
            out.push_back(std::move(d));
    }
    for (Drift& d : out)
        d.figures_total = figures;
    return out;
}

// What the search finds in each series of a history with two days or more,
// a figure's drift told as such where its siblings drift the same way.
std::vector<SeriesFindings> search_series(std::vector<HistorySeries>& series,
                                          const ChangePointSettings& settings) {
    std::erase_if(series, [](const HistorySeries& s) { return s.values.size() < 2; });
    std::vector<SeriesFindings> found(series.size());
    std::vector<std::vector<double>> logs(series.size());
    for (std::size_t k = 0; k < series.size(); ++k) {
        const std::vector<double>& v = series[k].values;
        logs[k].resize(v.size());
        std::transform(v.begin(), v.end(), logs[k].begin(),
                       [](double x) { return std::log(x); });
        found[k] = series_findings(logs[k], settings);
    }
    adopt_sibling_drifts(found, logs, settings);
    return found;
}

}  // namespace report
