// The exact rank-sum test, conditional on ties, and the counts of its sums that it is made from.
#include "analysis/rank_sum.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "analysis/distributions.h"

namespace report::stats {

namespace {

// How many ways each sum of doubled ranks arises when `n` of the pooled
// values (their doubled mid-ranks in `ranks`, in ascending order) are drawn:
// counts[s] for s = 0 .. sum of all doubled ranks. Doubling keeps a mid-rank
// of a tie (k + 1/2) an integer. Each count is a whole number, exact in a
// double at these sizes, so the order of the work does not change it; the
// work keeps to the subsets that can still grow to `n` values and to the sums
// a subset of each size can have (between its smallest and its largest ranks
// seen so far).
std::vector<double> rank_sum_counts(const std::vector<int>& ranks, std::size_t n) {
    std::size_t all = ranks.size();
    std::vector<long> prefix(all + 1, 0);  // sums of the smallest ranks
    for (std::size_t i = 0; i < all; ++i)
        prefix[i + 1] = prefix[i] + ranks[i];
    auto width = static_cast<std::size_t>(prefix[all]) + 1;
    // ways[k * width + s]: subsets of size k of the values seen so far with sum s.
    std::vector<double> ways((n + 1) * width, 0);
    ways[0] = 1;
    for (std::size_t i = 0; i < all; ++i) {
        const long r = ranks[i];
        std::size_t most = std::min(n, i + 1), least = n + i + 1 > all ? n + i + 1 - all : 1;
        for (std::size_t k = most; k >= std::max<std::size_t>(least, 1); --k) {
            long high = prefix[i + 1] - prefix[i + 1 - k], low = std::max(prefix[k], r);
            const auto to = static_cast<long>(k * width), from = to - static_cast<long>(width) - r;
            for (long s = high; s >= low; --s)
                ways[static_cast<std::size_t>(to + s)] += ways[static_cast<std::size_t>(from + s)];
        }
    }
    return {ways.begin() + static_cast<long>(n * width), ways.end()};
}

// The counts without ties, kept for each size: ways[k * width + s], the ways k
// of the ranks 1 .. all (not doubled) sum to s, for k = 0 .. n. `exact`: every
// count is below 2^53, so sums and differences of them are exact in a double.
struct UntiedCounts {
    std::size_t all = 0, n = 0, width = 0;
    std::vector<double> ways;
    bool exact = true;
};

constexpr double exact_below = 9007199254740992.0;  // 2^53

// The sums k ranks of 1 .. all can have: from the k smallest to the k largest.
long least_sum(std::size_t k) {
    return static_cast<long>(k * (k + 1) / 2);
}
long most_sum(std::size_t k, std::size_t all) {
    return static_cast<long>(k * (2 * all - k + 1) / 2);
}

const UntiedCounts& untied_counts(std::size_t all, std::size_t n) {
    thread_local std::vector<UntiedCounts> kept;
    for (const UntiedCounts& u : kept)
        if (u.all == all && u.n == n)
            return u;
    if (kept.size() == 8)
        kept.erase(kept.begin());
    UntiedCounts u{all, n, static_cast<std::size_t>(most_sum(n, all)) + 1, {}, true};
    u.ways.assign((n + 1) * u.width, 0);
    u.ways[0] = 1;
    for (std::size_t r = 1; r <= all; ++r)
        for (std::size_t k = std::min(n, r); k >= 1; --k)
            for (long s = most_sum(k, r); s >= least_sum(k - 1) + static_cast<long>(r); --s)
                u.ways[k * u.width + static_cast<std::size_t>(s)] +=
                    u.ways[(k - 1) * u.width + static_cast<std::size_t>(s) - r];
    u.exact = std::all_of(u.ways.begin(), u.ways.end(), [](double w) { return w < exact_below; });
    kept.push_back(std::move(u));
    return kept.back();
}

// The groups of tied values in sorted doubled mid-ranks: (mid-rank, size).
std::vector<std::pair<int, std::size_t>> tie_groups(const std::vector<int>& sorted) {
    std::vector<std::pair<int, std::size_t>> groups;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i])
            ++j;
        if (j - i > 1)
            groups.emplace_back(sorted[i], j - i);
        i = j;
    }
    return groups;
}

// Takes the rank q out of counts in the layout of `base`: h = g / (1 + y x^q),
// row by row upwards, h_k(s) = g_k(s) - h_{k-1}(s - q).
void take_out(std::vector<double>& h, const UntiedCounts& base, std::size_t q) {
    const std::size_t w = base.width;
    for (std::size_t k = 1; k <= base.n; ++k)
        for (long s = least_sum(k - 1) + static_cast<long>(q); s <= most_sum(k, base.all); ++s)
            h[k * w + static_cast<std::size_t>(s)] -=
                h[(k - 1) * w + static_cast<std::size_t>(s) - q];
}

// Puts a group of `size` values tied at the doubled mid-rank `mid` into the
// rows first .. last of `d` (doubled sums, `width` of them a row): row k gains
// C(size, j) times row k - j moved up by j * mid. Rows downwards, so each
// reads rows not yet given the group; row `first` is left as it is (the rows
// the answer needs never read what it lacks).
void put_back(std::vector<double>& d, std::size_t first, std::size_t last, std::size_t width,
              std::size_t all, int mid, std::size_t size) {
    for (std::size_t k = last; k > first; --k) {
        double choose = 1;  // C(size, j)
        for (std::size_t j = 1; j <= size && j <= k - first; ++j) {
            choose = choose * static_cast<double>(size + 1 - j) / static_cast<double>(j);
            // j tied values' mid-ranks sum to at most all ranks do: by < width.
            std::size_t by = j * static_cast<std::size_t>(mid);
            double* to = &d[(k - first) * width];
            const double* from = &d[(k - j - first) * width];
            // k - j values' doubled mid-ranks sum to at least twice the least
            // and at most twice the most ranks without ties can.
            auto low = static_cast<std::size_t>(2 * least_sum(k - j));
            auto high = std::min(static_cast<std::size_t>(2 * most_sum(k - j, all)),
                                 width - 1 - std::min(width - 1, by));
            for (std::size_t t = low; t <= high; ++t)
                to[t + by] += choose * from[t];
        }
    }
}

// rank_sum_counts for a pattern with few ties, from the counts without ties:
// the tied values' own ranks are taken out of them (dividing the generating
// function by each value's factor 1 + y x^rank, an exact subtraction of whole
// numbers), and each group of ties is put back at its mid-rank (j of its t
// values chosen in C(t, j) ways). The work grows with the number of tied
// values, not with every value, so an interval's search, whose every shift
// moves the ties to new mid-ranks, costs a few passes over the table instead
// of a count from scratch. Absent where a count would not be exact in a
// double (then neither would the full count's be the same): the caller counts
// from scratch.
std::optional<std::vector<double>> rank_sum_counts_from_untied(const std::vector<int>& sorted,
                                                               std::size_t n) {
    const std::size_t all = sorted.size();
    std::vector<std::pair<int, std::size_t>> groups = tie_groups(sorted);
    std::size_t tied = 0;
    for (auto group : groups)
        tied += group.second;
    if (tied > all / 4)  // the count from scratch costs less
        return std::nullopt;
    const UntiedCounts& base = untied_counts(all, n);
    if (!base.exact)
        return std::nullopt;
    std::vector<double> h = base.ways;
    for (auto [mid, size] : groups)
        for (std::size_t q = (static_cast<std::size_t>(mid) + 1 - size) / 2;
             q <= (static_cast<std::size_t>(mid) + size - 1) / 2; ++q)
            take_out(h, base, q);
    // d[(k - first) * width + s]: on doubled sums, rows first .. n.
    const std::size_t first = n - std::min(n, tied), width = all * (all + 1) + 1;
    std::vector<double> d((n - first + 1) * width, 0);
    for (std::size_t k = first; k <= n; ++k)
        for (std::size_t s = 0; s < base.width; ++s)
            d[(k - first) * width + 2 * s] = h[k * base.width + s];
    for (auto [mid, size] : groups)
        put_back(d, first, n, width, all, mid, size);
    // A count of a smaller subset that row n's count is made from is at most
    // some count of row n (add fixed values of the groups still to come), so
    // row n below 2^53 makes every step before it exact.
    std::vector<double> counts(d.end() - static_cast<long>(width), d.end());
    if (!std::all_of(counts.begin(), counts.end(), [](double c) { return c < exact_below; }))
        return std::nullopt;
    return counts;
}

// rank_sum_counts of the doubled ranks `ranks` in any order, kept: an
// interval's search tests one pair of samples at dozens of shifts, and the
// counts depend only on which mid-ranks the pooled values hold (the ties),
// not on which side holds them, so most shifts reuse one table. Each thread
// keeps its own few, the latest used.
const std::vector<double>& kept_rank_sum_counts(std::vector<int> ranks, std::size_t n) {
    struct Kept {
        std::vector<int> ranks;
        std::size_t n;
        std::vector<double> counts;
    };
    constexpr std::size_t most = 16;
    thread_local std::vector<Kept> kept;
    std::sort(ranks.begin(), ranks.end());
    for (std::size_t i = 0; i < kept.size(); ++i)
        if (kept[i].n == n && kept[i].ranks == ranks) {
            std::rotate(kept.begin(), kept.begin() + static_cast<long>(i),
                        kept.begin() + static_cast<long>(i) + 1);
            return kept.front().counts;
        }
    if (kept.size() == most)
        kept.pop_back();
    std::optional<std::vector<double>> quick = rank_sum_counts_from_untied(ranks, n);
    std::vector<double> counts = quick ? std::move(*quick) : rank_sum_counts(ranks, n);
    kept.insert(kept.begin(), Kept{std::move(ranks), n, std::move(counts)});
    return kept.front().counts;
}

// Doubled mid-ranks of the pooled values a then b, in that order.
std::vector<int> doubled_ranks(std::span<const double> a, std::span<const double> b) {
    std::vector<std::pair<double, std::size_t>> pooled;
    for (double x : a)
        pooled.emplace_back(x, pooled.size());
    for (double x : b)
        pooled.emplace_back(x, pooled.size());
    std::sort(pooled.begin(), pooled.end());
    std::vector<int> ranks(pooled.size());
    for (std::size_t i = 0; i < pooled.size();) {
        std::size_t j = i;
        while (j < pooled.size() && pooled[j].first == pooled[i].first)
            ++j;
        // Positions i .. j - 1 (0-based) share the mid-rank (i + 1 + j) / 2.
        for (std::size_t k = i; k < j; ++k)
            ranks[pooled[k].second] = static_cast<int>(i + 1 + j);
        i = j;
    }
    return ranks;
}

bool finite_values(std::span<const double> s) {
    return std::all_of(s.begin(), s.end(), [](double x) { return std::isfinite(x); });
}

}  // namespace

double smallest_one_sided_p(std::size_t m, std::size_t n) {
    double arrangements = 1;  // C(m + n, m)
    for (std::size_t k = 1; k <= m; ++k)
        arrangements = arrangements * static_cast<double>(n + k) / static_cast<double>(k);
    return 1 / arrangements;
}

std::optional<RankSum> rank_sum(std::span<const double> a, std::span<const double> b) {
    if (a.empty() || b.empty() || !finite_values(a) || !finite_values(b))
        return std::nullopt;
    RankSum r;
    for (double x : a)
        for (double y : b)
            r.u += y > x ? 1 : y == x ? 0.5 : 0;
    double m = static_cast<double>(a.size()), n = static_cast<double>(b.size());
    std::vector<int> ranks = doubled_ranks(a, b);
    if (a.size() + b.size() <= exact_limit) {
        // W (b's rank sum) = U + n(n + 1)/2; doubled, as the counts are.
        long observed = std::lround(2 * r.u + n * (n + 1));
        const std::vector<double>& counts = kept_rank_sum_counts(ranks, b.size());
        double all = 0, upper = 0, lower = 0;
        for (std::size_t s = 0; s < counts.size(); ++s) {
            all += counts[s];
            if (static_cast<long>(s) >= observed)
                upper += counts[s];
            if (static_cast<long>(s) <= observed)
                lower += counts[s];
        }
        r.p_greater = upper / all;
        r.p_less = lower / all;
        r.exact = true;
    } else {
        double N = m + n, ties = 0;
        std::vector<int> sorted = ranks;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t i = 0; i < sorted.size();) {
            std::size_t j = i;
            while (j < sorted.size() && sorted[j] == sorted[i])
                ++j;
            double t = static_cast<double>(j - i);
            ties += t * t * t - t;
            i = j;
        }
        double var = m * n / 12 * ((N + 1) - ties / (N * (N - 1)));
        if (var > 0) {
            double sd = std::sqrt(var);
            r.p_greater = std::min(1.0, normal_upper_tail((r.u - 0.5 - m * n / 2) / sd));
            r.p_less = std::min(1.0, normal_upper_tail((m * n / 2 - r.u - 0.5) / sd));
        }
    }
    r.p_two_sided = std::min(1.0, 2 * std::min(r.p_greater, r.p_less));
    return r;
}

double rank_test_level(std::size_t m, std::size_t n, double alpha) {
    if (m + n > exact_limit)
        return 1 - alpha;
    std::vector<int> ranks;
    for (std::size_t r = 1; r <= m + n; ++r)
        ranks.push_back(static_cast<int>(2 * r));
    const std::vector<double>& counts = kept_rank_sum_counts(ranks, n);
    double all = 0;
    for (double c : counts)
        all += c;
    double tail = 0, attained = 0;
    for (std::size_t s = counts.size(); s-- > 0;) {
        if (counts[s] == 0)
            continue;
        if ((tail + counts[s]) / all > alpha * (1 + 1e-12))
            break;
        tail += counts[s];
        attained = tail / all;
    }
    return 1 - attained;
}

}  // namespace report::stats
