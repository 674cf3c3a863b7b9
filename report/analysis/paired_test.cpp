#include "analysis/paired_test.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/distributions.h"

namespace report::stats {

namespace {

// How many of the 2^n sign patterns give each sum of doubled ranks
// (doubling keeps a tied mid-rank k + 1/2 an integer).
std::vector<double> sign_sum_counts(const std::vector<int>& doubled) {
    int total = 0;
    for (int r : doubled)
        total += r;
    std::vector<double> ways(static_cast<std::size_t>(total) + 1, 0);
    ways[0] = 1;
    int reached = 0;
    for (int r : doubled) {
        reached += r;
        for (int s = reached; s >= r; --s)
            ways[static_cast<std::size_t>(s)] += ways[static_cast<std::size_t>(s - r)];
    }
    return ways;
}

}  // namespace

double signed_rank_upper(std::size_t n, std::size_t w) {
    std::vector<int> doubled;
    for (std::size_t k = 1; k <= n; ++k)
        doubled.push_back(static_cast<int>(2 * k));
    std::vector<double> ways = sign_sum_counts(doubled);
    double all = std::ldexp(1.0, static_cast<int>(n)), tail = 0;
    for (std::size_t s = 2 * w; s < ways.size(); ++s)
        tail += ways[s];
    return tail / all;
}

std::optional<SignedRankTest> signed_rank_slowdown(std::span<const double> log_factors,
                                                   double limit, double alpha) {
    if (log_factors.empty() || !(limit > 0))
        return std::nullopt;
    double threshold = std::log(limit);
    std::vector<double> d;
    for (double x : log_factors) {
        if (!std::isfinite(x))
            return std::nullopt;
        d.push_back(x);
    }
    SignedRankTest t;
    // The Hodges-Lehmann estimate and the bound come from the Walsh averages
    // (d_i + d_j) / 2, i <= j, of every round.
    std::vector<double> walsh;
    for (std::size_t i = 0; i < d.size(); ++i)
        for (std::size_t j = i; j < d.size(); ++j)
            walsh.push_back((d[i] + d[j]) / 2);
    std::sort(walsh.begin(), walsh.end());
    std::size_t N = walsh.size();
    t.estimate = std::exp(N % 2 ? walsh[N / 2] : (walsh[N / 2 - 1] + walsh[N / 2]) / 2);

    // The test: differences from the threshold, zeros dropped, ranked by size
    // with mid-ranks for ties; W+ is the sum of the ranks of the positive ones
    // and its null distribution is that of random signs on those same ranks.
    std::vector<double> x;
    for (double v : d)
        if (v - threshold != 0)
            x.push_back(v - threshold);
    t.pairs = x.size();
    if (!x.empty()) {
        std::vector<std::size_t> order(x.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return std::fabs(x[a]) < std::fabs(x[b]); });
        std::vector<int> doubled(x.size());
        for (std::size_t i = 0; i < order.size();) {
            std::size_t j = i;
            while (j < order.size() && std::fabs(x[order[j]]) == std::fabs(x[order[i]]))
                ++j;
            for (std::size_t k = i; k < j; ++k)
                doubled[order[k]] = static_cast<int>(i + 1 + j);
            i = j;
        }
        int observed = 0;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (x[i] > 0)
                observed += doubled[i];
        std::vector<double> ways = sign_sum_counts(doubled);
        double all = std::ldexp(1.0, static_cast<int>(x.size())), tail = 0;
        for (std::size_t s = static_cast<std::size_t>(observed); s < ways.size(); ++s)
            tail += ways[s];
        t.p = tail / all;
    }
    t.significant = t.p <= alpha;

    // The lower bound dual to the test (untied ranks): the test at theta
    // rejects when W+(theta), the number of Walsh averages above theta, is at
    // least w with P(W+ >= w) <= alpha; so the bound is the (N - w + 1)-th
    // smallest Walsh average, with confidence 1 - P(W+ >= w).
    std::size_t n = d.size();
    for (std::size_t w = 1; w <= N; ++w) {
        double tail = signed_rank_upper(n, w);
        if (tail <= alpha) {
            t.bound = std::exp(walsh[N - w]);
            t.confidence = 1 - tail;
            break;
        }
    }
    return t;
}

std::optional<SlowdownTest> paired_t_slowdown(std::span<const double> log_factors, double limit,
                                              double alpha) {
    std::size_t n = log_factors.size();
    if (n < 2 || !(limit > 0) || !(alpha > 0 && alpha < 1))
        return std::nullopt;
    double mean = 0;
    for (double x : log_factors) {
        if (!std::isfinite(x))
            return std::nullopt;
        mean += x;
    }
    mean /= static_cast<double>(n);
    double ss = 0;
    for (double x : log_factors)
        ss += (x - mean) * (x - mean);
    double dof = static_cast<double>(n - 1);
    double se = std::sqrt(ss / dof / static_cast<double>(n));
    double threshold = std::log(limit);
    SlowdownTest t;
    t.method = SlowdownMethod::paired_t;
    t.estimate = std::exp(mean);
    t.confidence = 1 - alpha;
    if (!(se > 0)) {
        // Rounds that all differ alike: the difference is what it is.
        t.method = SlowdownMethod::constant;
        t.bound = t.estimate;
        t.confidence = 1;
        t.significant = mean > threshold + 1e-9;
        t.p = t.significant ? 0 : 1;
        return t;
    }
    t.p = student_upper_tail((mean - threshold) / se, dof);
    t.bound = std::exp(mean - student_quantile(alpha, dof) * se);
    t.significant = t.p <= alpha;
    return t;
}

std::optional<ChangeTest> paired_change_test(std::span<const double> log_ratios, double alpha) {
    std::optional<SignedRankTest> up = signed_rank_slowdown(log_ratios, 1, alpha / 2);
    std::vector<double> negated(log_ratios.begin(), log_ratios.end());
    for (double& x : negated)
        x = -x;
    std::optional<SignedRankTest> down = signed_rank_slowdown(negated, 1, alpha / 2);
    if (!up || !down)
        return std::nullopt;
    ChangeTest t;
    t.method = SlowdownMethod::signed_rank;
    t.estimate = up->estimate;
    t.low = up->bound;
    t.high = down->bound > 0 ? 1 / down->bound : std::numeric_limits<double>::infinity();
    // A side without a bound covers all of its half: its level is 1.
    double miss_up = up->bound > 0 ? 1 - up->confidence : 0;
    double miss_down = down->bound > 0 ? 1 - down->confidence : 0;
    t.confidence = std::max(0.0, 1 - miss_up - miss_down);
    t.p = std::min(1.0, 2 * std::min(up->p, down->p));
    t.significant = up->significant || down->significant;
    return t;
}

}  // namespace report::stats
