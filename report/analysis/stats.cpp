#include "analysis/stats.h"

#include <algorithm>
#include <cmath>

#include "analysis/distributions.h"
#include "analysis/rank_sum.h"

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
    return (x - median) / (mad_to_standard_deviation * mad);
}

namespace {

// How many ways each U from 0 to m x n arises among the arrangements of m
// and n values without ties (the recurrence of Mann and Whitney).
std::vector<double> u_counts(std::size_t m, std::size_t n) {
    // counts[i][j][u] built one sample size at a time: f(i, j, u) =
    // f(i - 1, j, u - j) + f(i, j - 1, u).
    std::vector<std::vector<std::vector<double>>> f(m + 1, std::vector<std::vector<double>>(n + 1));
    for (std::size_t i = 0; i <= m; ++i)
        for (std::size_t j = 0; j <= n; ++j) {
            f[i][j].assign(i * j + 1, 0);
            if (i == 0 || j == 0) {
                f[i][j][0] = 1;
                continue;
            }
            for (std::size_t u = 0; u <= i * j; ++u) {
                double v = 0;
                if (u >= j && u - j < f[i - 1][j].size())
                    v += f[i - 1][j][u - j];
                if (u < f[i][j - 1].size())
                    v += f[i][j - 1][u];
                f[i][j][u] = v;
            }
        }
    return f[m][n];
}

// P(U <= u) without ties, and the total number of arrangements.
double lower_tail(const std::vector<double>& counts, double u) {
    double total = 0, below = 0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
        total += counts[k];
        if (static_cast<double>(k) <= u + 1e-9)
            below += counts[k];
    }
    return below / total;
}

}  // namespace

std::optional<MannWhitney> mann_whitney(std::span<const double> a, std::span<const double> b) {
    if (a.empty() || b.empty())
        return std::nullopt;
    for (std::span<const double> s : {a, b})
        for (double x : s)
            if (!std::isfinite(x))
                return std::nullopt;
    MannWhitney r;
    bool ties = false;
    for (double x : a)
        for (double y : b) {
            if (x > y)
                r.u += 1;
            else if (x == y) {
                r.u += 0.5;
                ties = true;
            }
        }
    // Ties within the pooled sample matter too.
    std::vector<double> pooled(a.begin(), a.end());
    pooled.insert(pooled.end(), b.begin(), b.end());
    std::sort(pooled.begin(), pooled.end());
    ties = ties || std::adjacent_find(pooled.begin(), pooled.end()) != pooled.end();

    double m = static_cast<double>(a.size()), n = static_cast<double>(b.size());
    if (!ties && a.size() <= 50 && b.size() <= 50) {
        std::vector<double> counts = u_counts(a.size(), b.size());
        double low = std::min(r.u, m * n - r.u);
        r.p = std::min(1.0, 2 * lower_tail(counts, low));
        r.exact = true;
        return r;
    }
    // With ties, small samples are counted exactly too, conditional on the
    // ties: printed values tie often, and the normal approximation misstates
    // p at 5 against 5. Larger samples: the normal approximation with the
    // variance corrected for ties (rank_sum.h).
    std::optional<RankSum> rank = rank_sum(a, b);
    r.p = rank->p_two_sided;
    r.exact = rank->exact;
    return r;
}

std::optional<Welch> welch(std::span<const double> a, std::span<const double> b) {
    if (a.size() < 2 || b.size() < 2)
        return std::nullopt;
    auto moments = [](std::span<const double> s, double& mean, double& variance) {
        mean = 0;
        for (double x : s)
            mean += x;
        mean /= static_cast<double>(s.size());
        variance = 0;
        for (double x : s)
            variance += (x - mean) * (x - mean);
        variance /= static_cast<double>(s.size() - 1);
    };
    double ma, va, mb, vb;
    moments(a, ma, va);
    moments(b, mb, vb);
    double sa = va / static_cast<double>(a.size()), sb = vb / static_cast<double>(b.size());
    if (!(sa + sb > 0) || !std::isfinite(sa + sb))
        return std::nullopt;
    Welch w;
    w.t = (mb - ma) / std::sqrt(sa + sb);
    w.degrees_of_freedom =
        (sa + sb) * (sa + sb) /
        (sa * sa / static_cast<double>(a.size() - 1) + sb * sb / static_cast<double>(b.size() - 1));
    w.p = std::min(1.0, 2 * student_upper_tail(std::fabs(w.t), w.degrees_of_freedom));
    return w;
}

std::optional<RatioInterval> ratio_interval(std::span<const double> a, std::span<const double> b,
                                            double confidence) {
    if (a.empty() || b.empty() || a.size() > 50 || b.size() > 50)
        return std::nullopt;
    std::vector<double> d;
    for (double x : a)
        for (double y : b) {
            if (!(x > 0) || !(y > 0) || !std::isfinite(x) || !std::isfinite(y))
                return std::nullopt;
            d.push_back(std::log(y) - std::log(x));
        }
    std::sort(d.begin(), d.end());
    RatioInterval r;
    r.estimate = std::exp(*median(d));
    // The k-th smallest and k-th largest differences bound the shift with
    // coverage 1 - 2 P(U < k), for the largest k that keeps it at the level.
    std::vector<double> counts = u_counts(a.size(), b.size());
    std::size_t k = 0;
    while (k + 1 <= d.size() / 2 &&
           1 - 2 * lower_tail(counts, static_cast<double>(k)) >= confidence)
        ++k;
    if (k == 0) {
        // Too few values for the level asked: the widest interval there is.
        r.low = std::exp(d.front());
        r.high = std::exp(d.back());
        r.confidence = 1 - 2 * lower_tail(counts, 0);
        return r;
    }
    r.low = std::exp(d[k - 1]);
    r.high = std::exp(d[d.size() - k]);
    r.confidence = 1 - 2 * lower_tail(counts, static_cast<double>(k) - 1);
    return r;
}

std::optional<int> thread_count(const Run& run, const Test* test) {
    if (run.threads && *run.threads > 0 && *run.threads <= 1 << 20)
        return static_cast<int>(*run.threads);
    if (test && !test->threads.empty())
        return static_cast<int>(test->threads.size());
    return std::nullopt;
}

}  // namespace report::stats
