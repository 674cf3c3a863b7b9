// Each run of a comparison as a whole: its overall mark, its worst figure,
// the slowest-first order and the figure furthest from its medians' ratio.
#include "analysis/run_standing.h"

#include <algorithm>
#include <cmath>

namespace report {

Mark overall_mark(const ProgramComparison& c, std::size_t run) {
    if (c.baseline == run)
        return Mark::none;
    Mark mark = Mark::none;
    for (const FigureRow& row : c.rows) {
        Mark m = row.cells[run].mark;
        if (m == Mark::worse)
            mark = Mark::worse;
        else if (m == Mark::better && mark != Mark::worse)
            mark = Mark::better;
        else if (m == Mark::same && mark == Mark::none)
            mark = Mark::same;
    }
    return mark;
}

std::optional<std::size_t> worst_figure(const ProgramComparison& c, std::size_t run) {
    if (c.baseline == run)
        return std::nullopt;
    std::optional<std::size_t> worst;
    double furthest = -HUGE_VAL;
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
        const Cell& cell = c.rows[k].cells[run];
        if (!cell.ratio)
            continue;
        double f = std::log(time_factor(*cell.ratio, c.rows[k].better));
        if (f > furthest) {
            furthest = f;
            worst = k;
        }
    }
    return worst;
}

std::vector<std::size_t> slowest_first(const std::vector<std::optional<double>>& ratios) {
    std::vector<std::size_t> order(ratios.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // A missing ratio sorts with the infinite ones; a NaN would break the
    // ordering, so it counts as missing.
    auto key = [&](std::size_t i) {
        const std::optional<double>& r = ratios[i];
        return r && !std::isnan(*r) ? *r : HUGE_VAL;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    return order;
}

std::vector<std::size_t> slowest_overall_first(const ProgramComparison& c) {
    std::vector<std::optional<double>> ratios;
    for (const GeoMean& g : c.geo_overall)
        ratios.push_back(g.ratio);
    return slowest_first(ratios);
}

std::optional<FigureAt> furthest_apart(const ProgramComparison& c) {
    std::optional<FigureAt> far;
    double furthest = 0;
    for (std::size_t k = 0; k < c.rows.size(); ++k)
        for (std::size_t i = 0; i < c.rows[k].cells.size(); ++i) {
            const Cell& x = c.rows[k].cells[i];
            if (!x.medians_ratio || !x.ratio)
                continue;
            double apart = std::fabs(std::log(*x.ratio / *x.medians_ratio));
            if (apart > furthest) {
                furthest = apart;
                far = FigureAt{k, i};
            }
        }
    return far;
}

}  // namespace report
