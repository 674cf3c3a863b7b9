#include "analysis/worst_first.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace report {

namespace {

// How far a headline moved: |log factor|, below every real move when
// nothing was comparable.
double distance(const Headline& h) {
    if (h.passes == 0 || !std::isfinite(h.estimate) || h.estimate <= 0)
        return -1;
    return std::fabs(std::log(h.estimate));
}

}  // namespace

std::vector<std::size_t> worst_first(const std::vector<Headline>& headlines) {
    std::vector<std::size_t> order(headlines.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const Headline& x = headlines[a];
        const Headline& y = headlines[b];
        if (x.comparison != y.comparison)
            return x.comparison < y.comparison;
        return distance(x) > distance(y);
    });
    return order;
}

std::map<std::string, double> baseline_moves(const std::vector<ProgramComparison>& comparisons) {
    std::map<std::string, double> moved;
    for (const Headline& h : headlines(comparisons)) {
        double d = distance(h);
        if (d < 0)
            continue;
        double& m = moved[comparisons[h.comparison].runs[h.run]->label];
        m = std::max(m, d);
    }
    return moved;
}

}  // namespace report
