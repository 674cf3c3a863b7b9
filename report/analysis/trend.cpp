#include "analysis/trend.h"

#include <cmath>
#include <vector>

#include "analysis/distributions.h"

namespace report::stats {

namespace {

// How many orders of n distinct values have each number of inversions
// (Mahonian numbers): ways[k] for k = 0 .. n(n-1)/2.
std::vector<double> inversion_counts(std::size_t n) {
    std::vector<double> ways{1};
    for (std::size_t m = 2; m <= n; ++m) {
        // The m-th value adds 0 .. m-1 inversions.
        std::vector<double> next(ways.size() + m - 1, 0);
        for (std::size_t k = 0; k < ways.size(); ++k)
            for (std::size_t add = 0; add < m; ++add)
                next[k + add] += ways[k];
        ways = std::move(next);
    }
    return ways;
}

}  // namespace

std::optional<KendallTest> kendall_trend(std::span<const double> x) {
    std::size_t n = x.size();
    if (n < 3)
        return std::nullopt;
    long s = 0;  // concordant minus discordant pairs; ties count nothing
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i]))
            return std::nullopt;
        for (std::size_t j = i + 1; j < n; ++j)
            s += x[j] > x[i] ? 1 : x[j] < x[i] ? -1 : 0;
    }
    double pairs = static_cast<double>(n * (n - 1) / 2);
    KendallTest t;
    t.tau = static_cast<double>(s) / pairs;
    double size = std::fabs(static_cast<double>(s));
    if (n <= 60) {
        // S = pairs - 2 * inversions: P(|S| >= |s|) over every order.
        std::vector<double> ways = inversion_counts(n);
        double all = 0, tail = 0;
        for (std::size_t k = 0; k < ways.size(); ++k) {
            all += ways[k];
            if (std::fabs(pairs - 2 * static_cast<double>(k)) >= size - 1e-9)
                tail += ways[k];
        }
        t.p = tail / all;
        return t;
    }
    double nn = static_cast<double>(n);
    double sd = std::sqrt(nn * (nn - 1) * (2 * nn + 5) / 18);
    t.p = std::min(1.0, 2 * normal_upper_tail((size - 1) / sd));
    return t;
}

}  // namespace report::stats
