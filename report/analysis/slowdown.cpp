#include "analysis/slowdown.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "analysis/paired_test.h"

namespace report {

namespace {

// A cell with a value for every repetition of its label.
bool complete(const Cell& cell, std::size_t repetitions) {
    return cell.value && cell.samples.size() == repetitions;
}

}  // namespace

std::optional<std::vector<double>> paired_log_times(const ProgramComparison& c,
                                                    std::size_t column,
                                                    const std::vector<std::size_t>& rows,
                                                    const Pairing& pairing) {
    if (rows.empty() || !c.baseline || pairing.pairs.empty())
        return std::nullopt;
    std::size_t b = *c.baseline;
    std::vector<double> out(pairing.pairs.size(), 0);
    for (std::size_t k : rows) {
        const FigureRow& row = c.rows[k];
        const Cell& base = row.cells[b];
        const Cell& cell = row.cells[column];
        if (!complete(base, c.samples[b].size()) || !complete(cell, c.samples[column].size()))
            return std::nullopt;
        for (std::size_t p = 0; p < pairing.pairs.size(); ++p) {
            auto [i, j] = pairing.pairs[p];
            out[p] += std::log(time_factor(cell.samples[j] / base.samples[i], row.better));
        }
    }
    for (double& x : out)
        x /= static_cast<double>(rows.size());
    return out;
}

std::optional<std::vector<double>> repetition_log_times(const ProgramComparison& c,
                                                        std::size_t column,
                                                        const std::vector<std::size_t>& rows) {
    if (rows.empty())
        return std::nullopt;
    std::size_t n = c.samples[column].size();
    std::vector<double> out(n, 0);
    for (std::size_t k : rows) {
        const FigureRow& row = c.rows[k];
        const Cell& cell = row.cells[column];
        if (!complete(cell, n) || !row.baseline.value || !(*row.baseline.value > 0))
            return std::nullopt;
        for (std::size_t r = 0; r < n; ++r)
            out[r] += std::log(time_factor(cell.samples[r] / *row.baseline.value, row.better));
    }
    for (double& x : out)
        x /= static_cast<double>(rows.size());
    return out;
}

namespace {

// The rates of a column's tests that both it and the baseline have for
// every repetition: what its time factor is over.
std::vector<std::size_t> gated_rows(const ProgramComparison& c, std::size_t column) {
    std::size_t b = *c.baseline;
    std::vector<std::size_t> rows;
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
        const FigureRow& row = c.rows[k];
        if (pass_rate(row.id) && complete(row.cells[b], c.samples[b].size()) &&
            complete(row.cells[column], c.samples[column].size()))
            rows.push_back(k);
    }
    return rows;
}

// Every label against its baseline: tested with enough repetitions a side,
// else listed untested.
void gather_family(const std::vector<ProgramComparison>& comparisons, SlowdownFamily& family) {
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        if (!c.baseline)
            continue;
        std::size_t b = *c.baseline;
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            if (i == b)
                continue;
            if (c.samples[b].size() < gate_min_repetitions ||
                c.samples[i].size() < gate_min_repetitions) {
                family.untested.emplace_back(ci, i);
                continue;
            }
            family.tested.push_back({ci, i, gated_rows(c, i), std::nullopt, gate_alpha,
                                     std::nullopt, false});
        }
    }
}

// Rounds of one interleaved run: the test is on the pairs, where there are
// enough of them to reach this test's share of the level. False when the
// unpaired test is to decide.
bool test_paired(const ProgramComparison& c, ProgramSlowdown& s, double percent) {
    if (s.run < c.pairings.size())
        s.pairing = c.pairings[s.run];
    if (!s.pairing || s.pairing->pairs.size() < pairs_needed(s.alpha))
        return false;
    s.paired = true;
    std::optional<std::vector<double>> factors = paired_log_times(c, s.run, s.rows, *s.pairing);
    std::optional<stats::SignedRankTest> t =
        factors ? stats::signed_rank_slowdown(*factors, 1 + percent / 100, s.alpha) : std::nullopt;
    if (t)
        s.test = stats::SlowdownTest{stats::SlowdownMethod::signed_rank, t->estimate, t->p,
                                     t->bound, t->confidence, t->significant};
    return true;
}

}  // namespace

SlowdownFamily slowdown_family(const std::vector<ProgramComparison>& comparisons,
                               double percent) {
    SlowdownFamily family;
    gather_family(comparisons, family);
    double share = gate_alpha / static_cast<double>(std::max<std::size_t>(1, family.tested.size()));
    for (ProgramSlowdown& s : family.tested) {
        s.alpha = share;
        const ProgramComparison& c = comparisons[s.comparison];
        if (test_paired(c, s, percent))
            continue;
        std::optional<std::vector<double>> base = repetition_log_times(c, *c.baseline, s.rows);
        std::optional<std::vector<double>> run = repetition_log_times(c, s.run, s.rows);
        if (base && run)
            s.test = stats::slowdown_test(*base, *run, 1 + percent / 100, share);
    }
    return family;
}

}  // namespace report
