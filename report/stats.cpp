#include "stats.h"

#include <algorithm>
#include <cmath>

namespace report::stats {

std::optional<double> median(std::span<const double> values) {
    if (values.empty())
        return std::nullopt;
    std::vector<double> v(values.begin(), values.end());
    std::size_t n = v.size();
    std::nth_element(v.begin(), v.begin() + static_cast<long>(n / 2), v.end());
    double upper = v[n / 2];
    if (n % 2)
        return upper;
    double lower = *std::max_element(v.begin(), v.begin() + static_cast<long>(n / 2));
    return lower + (upper - lower) / 2;
}

std::optional<double> geometric_mean(std::span<const double> values) {
    if (values.empty())
        return std::nullopt;
    double sum = 0;
    for (double x : values) {
        if (!(x > 0) || !std::isfinite(x))
            return std::nullopt;
        sum += std::log(x);
    }
    return std::exp(sum / static_cast<double>(values.size()));
}

std::optional<Range> range(std::span<const double> values) {
    if (values.empty())
        return std::nullopt;
    auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    Range r{*lo, *hi, std::nullopt};
    if (*lo > 0)
        r.spread = *hi / *lo;
    return r;
}

std::optional<double> median_absolute_deviation(std::span<const double> values) {
    std::optional<double> m = median(values);
    if (!m)
        return std::nullopt;
    std::vector<double> deviations;
    deviations.reserve(values.size());
    for (double x : values)
        deviations.push_back(std::fabs(x - *m));
    return median(deviations);
}

std::optional<double> coefficient_of_variation(std::span<const double> values) {
    if (values.size() < 2)
        return std::nullopt;
    double mean = 0;
    for (double x : values)
        mean += x;
    mean /= static_cast<double>(values.size());
    if (mean == 0)
        return std::nullopt;
    double squares = 0;
    for (double x : values)
        squares += (x - mean) * (x - mean);
    return std::sqrt(squares / static_cast<double>(values.size() - 1)) / std::fabs(mean);
}

std::optional<double> robust_score(double x, double median, double mad) {
    if (!(mad > 0))
        return std::nullopt;
    return (x - median) / (1.4826 * mad);
}

std::optional<int> thread_count(const Run& run, const Test* test) {
    if (run.threads && *run.threads > 0 && *run.threads <= 1 << 20)
        return static_cast<int>(*run.threads);
    if (test && !test->threads.empty())
        return static_cast<int>(test->threads.size());
    return std::nullopt;
}

}  // namespace report::stats
