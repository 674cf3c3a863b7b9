#include "analysis/energy_split.h"

#include <algorithm>
#include <cmath>

namespace report {

void PairDistances::reset(std::span<const double> x) {
    centre_ = x.front();
    sorted_.assign(x.begin(), x.end());
    std::sort(sorted_.begin(), sorted_.end());
    sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
    counts_.assign(sorted_.size() + 1, 0);
    sums_.assign(sorted_.size() + 1, 0);
    added_ = 0;
    total_ = 0;
}

double PairDistances::add(double v) {
    auto place = static_cast<std::size_t>(
                     std::lower_bound(sorted_.begin(), sorted_.end(), v) - sorted_.begin()) +
                 1;
    double c = v - centre_, below = 0, below_sum = 0;  // values at most v
    for (std::size_t i = place; i > 0; i &= i - 1) {
        below += counts_[i];
        below_sum += sums_[i];
    }
    double distance = (c * below - below_sum) +
                      ((total_ - below_sum) - c * (static_cast<double>(added_) - below));
    for (std::size_t i = place; i < counts_.size(); i += i & (~i + 1)) {
        counts_[i] += 1;
        sums_[i] += c;
    }
    ++added_;
    total_ += c;
    return distance;
}

namespace {

// Stretches up to this long have their pairs summed one by one, longer ones
// through PairDistances: the same sums to rounding, in n log n rather than n
// squared, so a history of decades of nights is searched in seconds.
constexpr std::size_t summed_pairwise = 2048;

// left[t]: the sum of |xi - xj| over pairs within [s, s + t); right[t]:
// within [s + t, e).
void pair_sums(std::span<const double> x, std::size_t s, std::size_t e, SplitWork& work) {
    std::size_t n = e - s;
    std::vector<double>& left = work.left;
    std::vector<double>& right = work.right;
    left.assign(n + 1, 0);
    right.assign(n + 1, 0);
    if (n <= summed_pairwise) {
        for (std::size_t t = 1; t <= n; ++t) {
            double add = 0;
            for (std::size_t i = s; i < s + t - 1; ++i)
                add += std::fabs(x[s + t - 1] - x[i]);
            left[t] = left[t - 1] + add;
        }
        for (std::size_t t = n; t-- > 0;) {
            double add = 0;
            for (std::size_t j = s + t + 1; j < e; ++j)
                add += std::fabs(x[s + t] - x[j]);
            right[t] = right[t + 1] + add;
        }
        return;
    }
    work.distances.reset(x.subspan(s, n));
    for (std::size_t t = 1; t <= n; ++t)
        left[t] = left[t - 1] + work.distances.add(x[s + t - 1]);
    work.distances.reset(x.subspan(s, n));
    for (std::size_t t = n; t-- > 0;)
        right[t] = right[t + 1] + work.distances.add(x[s + t]);
}

}  // namespace

std::optional<std::size_t> best_split(std::span<const double> x, std::size_t s, std::size_t e,
                                      std::size_t min, SplitWork& work) {
    if (e - s < 2 * min)
        return std::nullopt;
    std::size_t n = e - s;
    pair_sums(x, s, e, work);
    const std::vector<double>& left = work.left;
    const std::vector<double>& right = work.right;
    double total = left[n];
    std::optional<std::size_t> best;
    double best_q = -1;
    for (std::size_t t = min; t + min <= n; ++t) {
        double m = static_cast<double>(t), k = static_cast<double>(n - t);
        double between = total - left[t] - right[t];
        double within_a = m > 1 ? left[t] / (m * (m - 1) / 2) : 0;
        double within_b = k > 1 ? right[t] / (k * (k - 1) / 2) : 0;
        double q = m * k / (m + k) * (2 * between / (m * k) - within_a - within_b);
        if (q > best_q) {
            best_q = q;
            best = s + t;
        }
    }
    return best;
}

}  // namespace report
