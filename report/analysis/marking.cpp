// The mark of a figure against its baseline: the noise band, the test between repetitions.
#include "analysis/marking.h"

#include <cmath>
#include <vector>

#include "analysis/paired_test.h"
#include "analysis/stats.h"
#include "analysis/threshold_test.h"

namespace report {

namespace {

// Ratios exactly on the edge of a band (1.02 for 2%) must fall inside it even
// though 1.02 - 1 is a hair above 0.02 in binary.
constexpr double edge = 1e-9;

// Each pair's log ratio of a figure (the label's repetition over the
// baseline's of its round); absent when a side lacks a repetition's value.
std::optional<std::vector<double>> paired_log_ratios(const Cell& cell, const Cell& base,
                                                     const Pairing& pairing) {
    std::vector<double> d;
    for (auto [i, j] : pairing.pairs) {
        if (i >= base.samples.size() || j >= cell.samples.size())
            return std::nullopt;
        d.push_back(std::log(cell.samples[j]) - std::log(base.samples[i]));
    }
    return d;
}

}  // namespace

std::size_t figure_pairs_needed() {
    return pairs_needed(significance_level / 2);
}

double time_factor(double ratio, Better better) {
    return better == Better::higher ? 1 / ratio : ratio;
}

Mark classify(double ratio, Better better, double noise) {
    double t = std::log(time_factor(ratio, better));
    double band = std::log1p(noise / 100);
    if (std::fabs(t) <= band + edge)
        return Mark::same;
    return t > 0 ? Mark::worse : Mark::better;
}

bool far_from_median(double x, double median, std::optional<double> mad, double noise) {
    // Both rules: outside the band, and where the values vary at all, far in
    // units of their own spread. Without the second every host of a fleet that
    // varies by a few percent would be "outside the band".
    double floor = std::log1p(noise / 100) + edge;
    if (std::fabs(x - median) <= floor)
        return false;
    std::optional<double> score = mad ? stats::robust_score(x, median, *mad) : std::nullopt;
    return !score || std::fabs(*score) > outlier_score;
}

// The test between two sets of repetitions: the rank-sum test, robust to
// one disturbed repetition, where each of its one-sided halves can reach
// 2.5% at all; else (3 against 3 or 4, whose smallest one-sided p is 1/20
// and 1/35) Welch's t-test. Both sides need min_repetitions_a_side or more.
SignificanceTest test_for(std::size_t m, std::size_t n) {
    if (m < min_repetitions_a_side || n < min_repetitions_a_side)
        return SignificanceTest::none;
    return stats::slowdown_method(m, n, significance_level / 2) == stats::SlowdownMethod::rank_sum
               ? SignificanceTest::mann_whitney
               : SignificanceTest::welch;
}

// The pairs a column's figures are tested on: its pairing with the
// baseline, when it has enough pairs.
const Pairing* figure_pairing(const ProgramComparison& c, std::size_t column) {
    if (column >= c.pairings.size() || !c.pairings[column] ||
        c.pairings[column]->pairs.size() < figure_pairs_needed())
        return nullptr;
    return &*c.pairings[column];
}

// `paired`: the column's pairs of rounds with the baseline, when there are
// enough of them to test pair by pair.
void compare_cell(Cell& cell, const Cell& base, Better better, double noise,
                  const Pairing* paired) {
    // Rates, seconds and MB/s are never negative or zero; a file that says so
    // is not compared rather than given a meaningless ratio.
    if (!cell.value || !base.value || *base.value <= 0 || *cell.value <= 0)
        return;
    double r = *cell.value / *base.value;
    if (!std::isfinite(r) || r <= 0)
        return;
    cell.ratio = r;
    cell.mark = classify(r, better, noise);
    // Pairs of rounds: the test is on each pair's ratio, where a drift that
    // moved both builds of a round alike cancels.
    std::optional<std::vector<double>> d =
        paired ? paired_log_ratios(cell, base, *paired) : std::nullopt;
    cell.test = d ? SignificanceTest::signed_rank : test_for(base.samples.size(), cell.samples.size());
    if (cell.test == SignificanceTest::none)
        return;
    std::optional<stats::ChangeTest> t;
    if (d) {
        t = stats::paired_change_test(*d, significance_level);
        cell.pairs = d->size();
    } else {
        // On the logarithms: a ratio, whichever way round, is a shift there.
        std::vector<double> a, b;
        for (double x : base.samples)
            a.push_back(std::log(x));
        for (double x : cell.samples)
            b.push_back(std::log(x));
        t = stats::change_test(a, b, significance_level);
    }
    // One test gives the ratio shown, its interval and the mark, so that they
    // cannot disagree: the estimate and the interval dual to the test (no
    // interval excluding 1 unless the change is significant).
    if (!t) {
        cell.test = SignificanceTest::none;
        cell.pairs.reset();
        return;
    }
    cell.p = t->p;
    if (std::fabs(std::log(t->estimate / r)) > std::log1p(noise / 100))
        cell.medians_ratio = r;
    cell.ratio = t->estimate;
    cell.interval = stats::RatioInterval{t->estimate, t->low, t->high, t->confidence};
    cell.mark = t->significant ? classify(t->estimate, better, noise) : Mark::same;
}

}  // namespace report
