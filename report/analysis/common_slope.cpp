#include "analysis/common_slope.h"

#include <algorithm>
#include <cmath>

namespace report::stats {

namespace {

double mean(std::span<const double> x) {
    double m = 0;
    for (double v : x)
        m += v / static_cast<double>(x.size());
    return m;
}

bool finite(std::span<const double> x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

std::optional<SlopeAdjusted> slope_adjusted(std::span<const double> base_times,
                                            std::span<const double> base_values,
                                            std::span<const double> run_times,
                                            std::span<const double> run_values) {
    std::size_t m = base_values.size(), n = run_values.size();
    if (base_times.size() != m || run_times.size() != n || m == 0 || n == 0 || m + n < 4 ||
        !finite(base_times) || !finite(base_values) || !finite(run_times) || !finite(run_values))
        return std::nullopt;
    double tb = mean(base_times), tr = mean(run_times);
    double yb = mean(base_values), yr = mean(run_values);
    // The slope pooled within the labels: each about its own means.
    double sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < m; ++i) {
        sxx += (base_times[i] - tb) * (base_times[i] - tb);
        sxy += (base_times[i] - tb) * (base_values[i] - yb);
    }
    for (std::size_t i = 0; i < n; ++i) {
        sxx += (run_times[i] - tr) * (run_times[i] - tr);
        sxy += (run_times[i] - tr) * (run_values[i] - yr);
    }
    // Times that are all equal within the labels, or spread too little to
    // tell from rounding, leave the slope undetermined.
    double span = std::max({std::fabs(tb), std::fabs(tr), 1.0});
    if (!(sxx > 1e-18 * span * span * static_cast<double>(m + n)))
        return std::nullopt;
    SlopeAdjusted out;
    out.slope = sxy / sxx;
    out.effect = (yr - yb) - out.slope * (tr - tb);
    double rss = 0;
    for (std::size_t i = 0; i < m; ++i) {
        double e = base_values[i] - yb - out.slope * (base_times[i] - tb);
        rss += e * e;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double e = run_values[i] - yr - out.slope * (run_times[i] - tr);
        rss += e * e;
    }
    out.dof = m + n - 3;
    double s2 = rss / static_cast<double>(out.dof);
    double gap = tr - tb;
    out.error = std::sqrt(s2 * (1 / static_cast<double>(m) + 1 / static_cast<double>(n) +
                                gap * gap / sxx));
    return out;
}

}  // namespace report::stats
