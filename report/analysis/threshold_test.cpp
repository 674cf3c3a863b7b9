// The one-sided slowdown test against a threshold, the two-sided change test, leave-one-out scores.
#include "analysis/threshold_test.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "analysis/distributions.h"
#include "analysis/rank_sum.h"
#include "analysis/stats.h"

namespace report::stats {

namespace {

bool all_finite(std::span<const double> s) {
    return std::all_of(s.begin(), s.end(), [](double x) { return std::isfinite(x); });
}

bool constant(std::span<const double> s) {
    return std::all_of(s.begin(), s.end(), [&](double x) { return x == s.front(); });
}

double mean(std::span<const double> s) {
    double m = 0;
    for (double x : s)
        m += x;
    return m / static_cast<double>(s.size());
}

double variance(std::span<const double> s) {
    double m = mean(s), v = 0;
    for (double x : s)
        v += (x - m) * (x - m);
    return v / static_cast<double>(s.size() - 1);
}

std::vector<double> shifted(std::span<const double> s, double by) {
    std::vector<double> out;
    for (double x : s)
        out.push_back(x - by);
    return out;
}

}  // namespace

SlowdownMethod slowdown_method(std::size_t m, std::size_t n, double alpha) {
    return smallest_one_sided_p(m, n) <= alpha ? SlowdownMethod::rank_sum : SlowdownMethod::welch;
}

std::optional<SlowdownTest> slowdown_test(std::span<const double> a, std::span<const double> b,
                                          double limit, double alpha) {
    if (a.empty() || b.empty() || !all_finite(a) || !all_finite(b) || !(limit > 0) ||
        !(alpha > 0 && alpha < 1))
        return std::nullopt;
    double threshold = std::log(limit);
    SlowdownTest t;
    if (constant(a) && constant(b)) {
        // Repetitions that print the same value every time: nothing to tell
        // noise from, so the difference counts as it stands.
        double d = b.front() - a.front();
        t.method = SlowdownMethod::constant;
        t.estimate = t.bound = std::exp(d);
        t.confidence = 1;
        t.significant = d > threshold + 1e-9;
        t.p = t.significant ? 0 : 1;
        return t;
    }
    t.method = slowdown_method(a.size(), b.size(), alpha);
    if (t.method == SlowdownMethod::welch) {
        if (a.size() < 2 || b.size() < 2)
            return std::nullopt;
        double sa = variance(a) / static_cast<double>(a.size());
        double sb = variance(b) / static_cast<double>(b.size());
        double se = std::sqrt(sa + sb);
        double dof = (sa + sb) * (sa + sb) /
                     (sa * sa / static_cast<double>(a.size() - 1) +
                      sb * sb / static_cast<double>(b.size() - 1));
        double d = mean(b) - mean(a);
        t.estimate = std::exp(d);
        t.p = student_upper_tail((d - threshold) / se, dof);
        t.bound = std::exp(d - student_quantile(alpha, dof) * se);
        t.confidence = 1 - alpha;
        t.significant = t.p <= alpha;
        return t;
    }
    // Rank-sum: the shift of b's logarithms against a's.
    std::vector<double> diffs;
    for (double x : a)
        for (double y : b)
            diffs.push_back(y - x);
    std::sort(diffs.begin(), diffs.end());
    t.estimate = std::exp(*median(diffs));
    auto rejects = [&](double delta) {
        std::vector<double> moved = shifted(b, delta);
        return rank_sum(a, moved)->p_greater <= alpha;
    };
    t.p = rank_sum(a, shifted(b, threshold))->p_greater;
    t.significant = t.p <= alpha;
    // The bound: the right end of the last interval between distinct
    // differences where a shift still rejects (the test's p grows with the
    // shift, so a binary search finds it).
    diffs.erase(std::unique(diffs.begin(), diffs.end()), diffs.end());
    std::size_t k = diffs.size();
    auto point = [&](std::size_t i) {
        if (i == 0)
            return diffs.front() - 1;
        if (i == k)
            return diffs.back() + 1;
        return diffs[i - 1] + (diffs[i] - diffs[i - 1]) / 2;
    };
    if (rejects(point(0))) {
        std::size_t lo = 0, hi = k;  // rejects at lo; not at hi (U = 0 there)
        while (hi - lo > 1) {
            std::size_t mid = lo + (hi - lo) / 2;
            (rejects(point(mid)) ? lo : hi) = mid;
        }
        t.bound = std::exp(diffs[lo]);
    }
    t.confidence = rank_test_level(a.size(), b.size(), alpha);
    return t;
}

std::optional<ChangeTest> change_test(std::span<const double> a, std::span<const double> b,
                                      double alpha) {
    std::optional<SlowdownTest> up = slowdown_test(a, b, 1, alpha / 2);
    std::optional<SlowdownTest> down = slowdown_test(b, a, 1, alpha / 2);
    if (!up || !down)
        return std::nullopt;
    ChangeTest t;
    t.method = up->method;
    t.estimate = up->estimate;
    t.low = up->bound;
    t.high = down->bound > 0 ? 1 / down->bound : std::numeric_limits<double>::infinity();
    t.confidence = std::max(0.0, 1 - (1 - up->confidence) - (1 - down->confidence));
    t.p = std::min(1.0, 2 * std::min(up->p, down->p));
    t.significant = up->significant || down->significant;
    return t;
}

std::vector<std::optional<double>> leave_one_out_scores(std::span<const double> values) {
    std::vector<std::optional<double>> out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::vector<double> others;
        for (std::size_t j = 0; j < values.size(); ++j)
            if (j != i)
                others.push_back(values[j]);
        std::optional<double> m = median(others), mad = median_absolute_deviation(others);
        out.push_back(m && mad ? robust_score(values[i], *m, *mad) : std::nullopt);
    }
    return out;
}

}  // namespace report::stats
