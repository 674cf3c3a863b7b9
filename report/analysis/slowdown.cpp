#include "analysis/slowdown.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "analysis/distributions.h"
#include "analysis/paired_test.h"

namespace report {

double ProgramSlowdown::upper() const {
    if (!within || !(within->bound > 0))
        return std::numeric_limits<double>::infinity();
    return 1 / within->bound;
}

std::optional<std::size_t> repetitions_to_decide(double distance, double spread, std::size_t dof,
                                                 double alpha, bool paired, double now,
                                                 bool drift_checked, double chance) {
    if (!(distance > 0) || !(spread > 0) || dof == 0 || !(now > 0))
        return std::nullopt;
    // The spread at its upper confidence bound: a spread that happened to come
    // out small must not promise a count that then fails to decide.
    double d = static_cast<double>(dof);
    double sigma = spread * std::sqrt(d / stats::chi_squared_quantile(1 - decide_spread_level, d));
    // Two conditions to meet together: each at the square root of the chance.
    double power = drift_checked ? std::sqrt(chance) : chance;
    for (std::size_t n = static_cast<std::size_t>(std::floor(now)) + 1; n <= decide_cap; ++n) {
        double k = static_cast<double>(n);
        double df = paired ? k - 1 : 2 * k - 2;
        double se = sigma * std::sqrt(paired ? 1 / k : 2 / k);
        // Power of the one-sided t test at the distance: the shift must clear
        // the test's quantile and the quantile of the wanted chance.
        if (distance / se < stats::student_quantile(alpha, df) + stats::student_quantile(1 - power, df))
            continue;
        if (!drift_checked)
            return n;
        // The drift-adjusted effect of n evenly spaced repetitions a side, one
        // label after the other, is known `wider` times less well.
        double wider = std::sqrt(1 + 3 * k * k / (k * k - 1));
        if (distance / (wider * se) >= stats::student_quantile(1 - drift_check_level, 2 * k - 3) +
                                            stats::student_quantile(1 - power, 2 * k - 3))
            return n;
    }
    return std::nullopt;
}

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
            ProgramSlowdown s;
            s.comparison = ci;
            s.run = i;
            s.rows = gated_rows(c, i);
            family.tested.push_back(std::move(s));
        }
    }
}

// The spread (standard deviation) of `x` about its mean, and its degrees of
// freedom, pooled with `y`'s when given.
void set_spread(ProgramSlowdown& s, const std::vector<double>& x,
                const std::vector<double>* y = nullptr) {
    double ss = 0;
    std::size_t dof = 0;
    for (const std::vector<double>* v : {&x, y}) {
        if (!v || v->size() < 2)
            continue;
        double mean = 0;
        for (double e : *v)
            mean += e / static_cast<double>(v->size());
        for (double e : *v)
            ss += (e - mean) * (e - mean);
        dof += v->size() - 1;
    }
    s.spread = dof ? std::sqrt(ss / static_cast<double>(dof)) : 0;
    s.spread_dof = dof;
}

// One side of the paired test: the signed-rank test where the pairs can
// reach `alpha`, else Student's t on them.
std::optional<stats::SlowdownTest> paired_side(const std::vector<double>& factors, double limit,
                                               double alpha) {
    if (factors.size() < pairs_needed(alpha))
        return stats::paired_t_slowdown(factors, limit, alpha);
    std::optional<stats::SignedRankTest> t = stats::signed_rank_slowdown(factors, limit, alpha);
    if (!t)
        return std::nullopt;
    return stats::SlowdownTest{stats::SlowdownMethod::signed_rank, t->estimate, t->p,
                               t->bound, t->confidence, t->significant};
}

// Rounds of one interleaved run: the tests are on the pairs, where there are
// at least as many as the unpaired test needs repetitions. False when the
// unpaired test is to decide.
bool test_paired(const ProgramComparison& c, ProgramSlowdown& s, double percent) {
    if (s.run < c.pairings.size())
        s.pairing = c.pairings[s.run];
    if (!s.pairing || s.pairing->pairs.size() < gate_min_repetitions)
        return false;
    s.paired = true;
    std::optional<std::vector<double>> factors = paired_log_times(c, s.run, s.rows, *s.pairing);
    if (!factors)
        return true;
    double limit = 1 + percent / 100;
    set_spread(s, *factors);
    s.test = paired_side(*factors, limit, s.alpha);
    // The dual: the baseline's time over the label's, against 1 / limit.
    for (double& x : *factors)
        x = -x;
    s.within = paired_side(*factors, 1 / limit, s.within_alpha);
    return true;
}

// The unpaired tests, each way, of each repetition's time factor against the
// baseline's medians.
void test_unpaired(const ProgramComparison& c, ProgramSlowdown& s, double percent) {
    std::optional<std::vector<double>> base = repetition_log_times(c, *c.baseline, s.rows);
    std::optional<std::vector<double>> run = repetition_log_times(c, s.run, s.rows);
    if (!base || !run)
        return;
    double limit = 1 + percent / 100;
    set_spread(s, *base, &*run);
    s.test = stats::slowdown_test(*base, *run, limit, s.alpha);
    s.within = stats::slowdown_test(*run, *base, 1 / limit, s.within_alpha);
}

// Whether the tests of `base` against `run` decide either way.
bool decides(const std::vector<double>& base, const std::vector<double>& run, double limit,
             const ProgramSlowdown& s) {
    std::optional<stats::SlowdownTest> up = stats::slowdown_test(base, run, limit, s.alpha);
    std::optional<stats::SlowdownTest> down =
        stats::slowdown_test(run, base, 1 / limit, s.within_alpha);
    return up && down && (up->significant || down->significant);
}

// The far repetition of an inconclusive, unpaired label or of its baseline
// that alone keeps the tests from deciding.
const Run* repetition_to_rerun(const ProgramComparison& c, const ProgramSlowdown& s,
                               double percent) {
    std::optional<std::vector<double>> base = repetition_log_times(c, *c.baseline, s.rows);
    std::optional<std::vector<double>> run = repetition_log_times(c, s.run, s.rows);
    if (!base || !run || s.paired)
        return nullptr;
    for (const FarRepetition& f : c.far) {
        if (f.column != s.run && f.column != *c.baseline)
            continue;
        const std::vector<const Run*>& reps = c.samples[f.column];
        auto at = std::find(reps.begin(), reps.end(), f.run);
        std::vector<double> without = f.column == s.run ? *run : *base;
        if (at == reps.end() || without.size() <= gate_min_repetitions)
            continue;
        without.erase(without.begin() + (at - reps.begin()));
        bool decided = f.column == s.run ? decides(*base, without, 1 + percent / 100, s)
                                         : decides(without, *run, 1 + percent / 100, s);
        if (decided)
            return f.run;
    }
    return nullptr;
}

// Whether the pass test's interval resolves the limit: its reach above the
// estimate is at most the limit's own distance from 1 (on logarithms). An
// interval wider than that comes from repetitions too noisy to tell no
// change from a change of 1.5 times the limit, whose pass test still passes
// by the luck of its order (a rank test of 3 against 3 passes on the one
// arrangement in twenty, however far apart the values lie).
bool resolves(const ProgramSlowdown& s, double percent) {
    return std::log(s.upper()) - std::log(s.test->estimate) <= std::log1p(percent / 100) + 1e-9;
}

// What the two tests show. Repetitions without spread show exactly what they
// are: at the limit is within it. An inconclusive label's count gives it
// `chance` to decide.
void decide_label(const ProgramComparison& c, ProgramSlowdown& s, double percent, double chance) {
    if (!s.test || !s.within) {
        s.outcome = LabelOutcome::inconclusive;
        return;
    }
    if (s.test->significant)
        s.outcome = LabelOutcome::fail;
    else if (s.test->method == stats::SlowdownMethod::constant ||
             (s.within->significant && resolves(s, percent)))
        s.outcome = LabelOutcome::pass;
    else
        s.outcome = LabelOutcome::inconclusive;
    if (s.outcome != LabelOutcome::inconclusive)
        return;
    double m = static_cast<double>(c.samples[*c.baseline].size());
    double n = static_cast<double>(c.samples[s.run].size());
    // An unpaired interval's width goes as sqrt(1/m + 1/n): m against n
    // repetitions are worth 2 / (1/m + 1/n) a side.
    double now = s.paired ? static_cast<double>(s.pairing->pairs.size()) : 2 / (1 / m + 1 / n);
    // The side the estimate lies on is the one more repetitions would show:
    // below the limit the pass test's level, above it the trip's.
    double limit = std::log1p(percent / 100);
    double distance = std::log(s.test->estimate) - limit;
    // The distance taken at its decide_distance_level lower bound: a noisy
    // estimate overstates how far from the limit the truth lies. Below the
    // limit, a pass also needs the interval to resolve it: no more than the
    // limit's own distance counts.
    double sure = std::fabs(distance);
    if (s.spread_dof > 0)
        sure -= stats::student_quantile(1 - decide_distance_level, static_cast<double>(s.spread_dof)) *
                s.spread * std::sqrt((s.paired ? 1 : 2) / now);
    if (distance < 0)
        sure = std::min(sure, limit);
    s.decide_at = repetitions_to_decide(sure, s.spread, s.spread_dof,
                                        distance < 0 ? s.within_alpha : s.alpha, s.paired, now,
                                        !s.pairing, chance);
    s.rerun = repetition_to_rerun(c, s, percent);
}

}  // namespace

bool difference_shown(const Headline& h) {
    return h.test && h.test->significant;
}

namespace {

// The mean of `x`, which is not empty.
double mean_of(const std::vector<double>& x) {
    double sum = 0;
    for (double v : x)
        sum += v;
    return sum / static_cast<double>(x.size());
}

Headline headline(const ProgramComparison& c, std::size_t ci, std::size_t column) {
    Headline h;
    h.comparison = ci;
    h.run = column;
    std::vector<std::size_t> rows = gated_rows(c, column);
    h.passes = rows.size();
    const std::optional<Pairing>& pairing = c.pairings[column];
    if (pairing && pairing->pairs.size() >= pairs_needed(headline_alpha / 2)) {
        if (std::optional<std::vector<double>> f = paired_log_times(c, column, rows, *pairing)) {
            h.paired = true;
            h.pairs = pairing->pairs.size();
            h.test = stats::paired_change_test(*f, headline_alpha);
            h.estimate = h.test ? h.test->estimate : std::exp(mean_of(*f));
            return h;
        }
    }
    std::optional<std::vector<double>> base = repetition_log_times(c, *c.baseline, rows);
    std::optional<std::vector<double>> run = repetition_log_times(c, column, rows);
    if (!base || !run) {
        h.passes = 0;
        return h;
    }
    // One run on a side has no spread to tell a difference from noise with.
    if (base->size() >= 2 && run->size() >= 2)
        h.test = stats::change_test(*base, *run, headline_alpha);
    h.estimate = h.test ? h.test->estimate : std::exp(mean_of(*run) - mean_of(*base));
    return h;
}

}  // namespace

std::vector<Headline> headlines(const std::vector<ProgramComparison>& comparisons) {
    std::vector<Headline> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        if (!c.baseline)
            continue;
        for (std::size_t i = 0; i < c.runs.size(); ++i)
            if (i != *c.baseline)
                out.push_back(headline(c, ci, i));
    }
    return out;
}

double label_decide_chance(std::size_t labels, bool drift_tested) {
    double chance = decide_power / (drift_tested ? 1 - 2 * gate_alpha : 1);
    return std::pow(chance, 1 / static_cast<double>(std::max<std::size_t>(1, labels)));
}

namespace {

// The gate decides only when every label does: each inconclusive label says
// the count for the gate, the largest of theirs (none when one has none).
void gate_count(std::vector<ProgramSlowdown>& tested) {
    std::optional<std::size_t> most = 0;
    for (const ProgramSlowdown& s : tested)
        if (s.outcome == LabelOutcome::inconclusive && most)
            most = s.decide_at ? std::optional(std::max(*most, *s.decide_at)) : std::nullopt;
    for (ProgramSlowdown& s : tested)
        if (s.outcome == LabelOutcome::inconclusive)
            s.decide_at = most;
}

}  // namespace

SlowdownFamily slowdown_family(const std::vector<ProgramComparison>& comparisons,
                               double percent) {
    SlowdownFamily family;
    gather_family(comparisons, family);
    double share = gate_alpha / static_cast<double>(std::max<std::size_t>(1, family.tested.size()));
    for (ProgramSlowdown& s : family.tested) {
        s.alpha = share;
        s.within_alpha = gate_alpha;
        const ProgramComparison& c = comparisons[s.comparison];
        if (!test_paired(c, s, percent))
            test_unpaired(c, s, percent);
    }
    // Labels run one after the other are looked at for drift as well.
    bool drift_tested = std::any_of(family.tested.begin(), family.tested.end(),
                                    [](const ProgramSlowdown& s) { return !s.pairing; });
    double chance = label_decide_chance(family.tested.size(), drift_tested);
    for (ProgramSlowdown& s : family.tested)
        decide_label(comparisons[s.comparison], s, percent, chance);
    gate_count(family.tested);
    return family;
}

}  // namespace report
