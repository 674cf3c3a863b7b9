// The runs of a comparison far from the fleet's median, and the repetitions far from their label's.
#include "analysis/far_runs.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "analysis/distributions.h"
#include "analysis/figure_rows.h"
#include "analysis/marking.h"
#include "analysis/stats.h"

namespace report {

namespace {

// The repetitions a label needs for one of them to be judged against the
// others: with fewer, the others are one value and have no mean to leave.
constexpr std::size_t judged_repetitions = 3;

// The logarithm of each repetition's geometric mean of its rates over its
// label's medians.
std::vector<double> repetition_logs(const ProgramComparison& c, std::size_t column) {
    std::vector<double> logs;
    for (const Run* rep : c.samples[column]) {
        std::vector<double> ratios;
        for (const FigureRow& row : c.rows) {
            if (!pass_rate(row.id))
                continue;
            const Cell& cell = row.cells[column];
            if (!cell.value)
                continue;
            if (std::optional<double> v = repetition_value(*rep, row))
                ratios.push_back(*v / *cell.value);
        }
        std::optional<double> g = stats::geometric_mean(ratios);
        logs.push_back(g ? std::log(*g) : 0.0);
    }
    return logs;
}

// A repetition far from its label's others, tested so that plain noise
// rarely marks one: its distance from the mean of the label's other
// repetitions in units of the spread of every other repetition of the program
// (each about its own label's mean, the one judged left out so that it cannot
// widen what it is measured in), which is Student's t with the pooled degrees
// of freedom on normal noise. The level is shared among the program's
// repetitions and the two programs, so that on plain noise at most one
// comparison in twenty carries a mark; the band must be left too.
struct FarTest {
    std::vector<std::vector<double>> logs;  // per column, when it has judged_repetitions
    std::size_t repetitions = 0;
};

FarTest far_test(const ProgramComparison& c) {
    FarTest f;
    f.logs.resize(c.samples.size());
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        if (c.samples[i].size() >= judged_repetitions) {
            f.logs[i] = repetition_logs(c, i);
            f.repetitions += f.logs[i].size();
        }
    return f;
}

double mean_without(const std::vector<double>& x, std::size_t skip) {
    double sum = 0;
    for (std::size_t k = 0; k < x.size(); ++k)
        sum += k == skip ? 0 : x[k];
    return sum / static_cast<double>(x.size() - (skip < x.size()));
}

// The t score of repetition k of column `column`, and its degrees of freedom.
std::pair<double, double> far_score(const FarTest& f, std::size_t column, std::size_t k) {
    double ss = 0, dof = 0;
    for (std::size_t i = 0; i < f.logs.size(); ++i) {
        std::size_t skip = i == column ? k : f.logs[i].size();
        if (f.logs[i].size() - (skip < f.logs[i].size()) < 2)
            continue;
        double m = mean_without(f.logs[i], skip);
        for (std::size_t j = 0; j < f.logs[i].size(); ++j)
            if (j != skip)
                ss += (f.logs[i][j] - m) * (f.logs[i][j] - m);
        dof += static_cast<double>(f.logs[i].size() - (skip < f.logs[i].size()) - 1);
    }
    const std::vector<double>& x = f.logs[column];
    double others = static_cast<double>(x.size() - 1);
    double s = dof > 0 ? std::sqrt(ss / dof) : 0;
    double distance = x[k] - mean_without(x, k);
    if (!(s > 0))
        return {distance == 0 ? 0 : std::numeric_limits<double>::infinity(), dof};
    return {std::fabs(distance) / (s * std::sqrt(1 + 1 / others)), dof};
}

void far_repetitions_of(ProgramComparison& c, std::size_t column, double noise,
                        const FarTest& f) {
    const std::vector<double>& logs = f.logs[column];
    if (logs.size() < judged_repetitions)
        return;
    std::optional<double> med = stats::median(logs);
    // Two programs a comparison, each repetition tested once, two-sided.
    double alpha = significance_level / 2 / static_cast<double>(f.repetitions) / 2;
    double band = std::log1p(noise / 100);
    for (std::size_t k = 0; k < logs.size(); ++k) {
        auto [t, dof] = far_score(f, column, k);
        if (std::fabs(logs[k] - mean_without(logs, k)) <= band || !(dof >= 1) ||
            !(t > stats::student_quantile(alpha, dof)))
            continue;
        c.far.push_back({column, c.samples[column][k], std::exp(logs[k] - *med),
                         std::isfinite(t) ? std::optional<double>(t) : std::nullopt});
    }
}

// How far each run's geometric means lie from the fleet's medians of them.
struct FleetDistances {
    std::vector<std::optional<double>> scores;  // robust score of the furthest mean
    std::vector<double> distance;               // |ln ratio| of the furthest mean
    std::vector<bool> out;                      // either mean far from the median
};

FleetDistances fleet_distances(const ProgramComparison& c, double noise) {
    FleetDistances f{std::vector<std::optional<double>>(c.runs.size()),
                     std::vector<double>(c.runs.size(), 0), std::vector<bool>(c.runs.size(), false)};
    for (const std::vector<GeoMean>* geo : {&c.geo_single, &c.geo_overall}) {
        std::vector<double> logs;
        for (const GeoMean& g : *geo)
            if (g.ratio)
                logs.push_back(std::log(*g.ratio));
        std::optional<double> med = stats::median(logs);
        std::optional<double> mad = stats::median_absolute_deviation(logs);
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            const GeoMean& g = (*geo)[i];
            if (!g.ratio || !med)
                continue;
            double x = std::log(*g.ratio);
            double d = std::fabs(x - *med);
            if (d >= f.distance[i]) {
                f.distance[i] = d;
                std::optional<double> score =
                    mad ? stats::robust_score(x, *med, *mad) : std::nullopt;
                f.scores[i] = score ? std::optional<double>(std::fabs(*score)) : std::nullopt;
            }
            f.out[i] = f.out[i] || far_from_median(x, *med, mad, noise);
        }
    }
    return f;
}

// The figures of a run marked better or worse, furthest first, at most 3.
std::vector<std::size_t> furthest_rows(const ProgramComparison& c, std::size_t run) {
    std::vector<std::pair<double, std::size_t>> far;
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
        const Cell& cell = c.rows[k].cells[run];
        if (cell.mark == Mark::better || cell.mark == Mark::worse)
            far.emplace_back(std::fabs(std::log(*cell.ratio)), k);
    }
    std::stable_sort(far.begin(), far.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::size_t> rows;
    for (std::size_t k = 0; k < far.size() && k < 3; ++k)
        rows.push_back(far[k].second);
    return rows;
}

}  // namespace

// Runs far from the median: a geometric mean (single-thread or overall) far
// from the fleet's median of it, whatever the baseline.
void find_outliers(ProgramComparison& c, double noise) {
    FleetDistances f = fleet_distances(c, noise);
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        if (f.out[i])
            c.outliers.push_back({i, f.distance[i], f.scores[i], furthest_rows(c, i)});
    std::stable_sort(c.outliers.begin(), c.outliers.end(),
                     [](const Outlier& a, const Outlier& b) { return a.distance > b.distance; });
}

void find_far_repetitions(ProgramComparison& c, double noise) {
    FarTest far = far_test(c);
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        far_repetitions_of(c, i, noise, far);
}

}  // namespace report
