#include "analysis/comparison.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "model/catalogue.h"
#include "model/natural_order.h"
#include "analysis/distributions.h"
#include "analysis/history.h"
#include "analysis/paired_test.h"
#include "analysis/stats.h"
#include "analysis/threshold_test.h"
#include "analysis/machine_differences.h"

namespace report {

namespace {

// Ratios exactly on the edge of a band (1.02 for 2%) must fall inside it even
// though 1.02 - 1 is a hair above 0.02 in binary.
constexpr double edge = 1e-9;


Cell printed(const std::optional<Figure>& figure) {
    Cell c;
    if (!figure)
        return c;
    c.printed = figure->text;
    // A subnormal figure (below the smallest normal double, as 1e-310) is no
    // measurement: its reciprocal, a time, overflows, and one such pass
    // would turn a comparison around. It is left out as an infinite one is.
    if (std::isfinite(figure->value) &&
        (figure->value == 0 || std::fabs(figure->value) >= std::numeric_limits<double>::min())) {
        c.value = figure->value;
        c.missing = Missing::none;
    } else {
        c.missing = Missing::not_finite;
    }
    return c;
}

Cell derived(double v) {
    Cell c;
    c.value = v;
    c.missing = Missing::none;
    return c;
}

// An overall figure summed over fewer threads than ran (some ran out of
// memory) is not comparable with a complete one.
Cell overall(const Test& test, const std::optional<Figure>& figure) {
    Cell c = printed(figure);
    if (figure && test.incomplete_threads > 0) {
        c.value.reset();
        c.missing = Missing::incomplete;
    }
    return c;
}

Cell mean_thread_seconds(const Test& t) {
    // Only when every thread finished: a mean over the survivors of an
    // out-of-memory pass would flatter the run.
    if (t.threads.empty())
        return {};
    double sum = 0;
    for (const ThreadResult& th : t.threads) {
        if (!th.seconds || th.out_of_memory || !std::isfinite(th.seconds->value))
            return {};
        sum += th.seconds->value;
    }
    return derived(sum / static_cast<double>(t.threads.size()));
}

using Getter = std::function<Cell(const Run&, const Test&)>;

struct FigureDef {
    FigureKind kind;
    Getter get;
};

const std::vector<FigureDef>& figures() {
    static const std::vector<FigureDef> defs = {
        {{FigureId::single_rate, "single rate", Better::higher, Pass::single, false},
         [](const Run&, const Test& t) { return printed(t.single_rate); }},
        {{FigureId::overall_rate, "overall rate", Better::higher, Pass::multi, false},
         [](const Run&, const Test& t) { return overall(t, t.overall_rate); }},
        {{FigureId::overall_per_thread, "overall per thread", Better::higher, Pass::multi, false},
         [](const Run& r, const Test& t) {
             Cell v = overall(t, t.overall_rate);
             std::optional<int> n = stats::thread_count(r, &t);
             if (!v.value || !n)
                 return v;
             return derived(*v.value / *n);
         }},
        {{FigureId::improvement, "improvement", Better::higher, Pass::derived, false},
         [](const Run&, const Test& t) { return printed(t.improvement); }},
        {{FigureId::single_megabytes, "single MB/s", Better::higher, Pass::single, true},
         [](const Run&, const Test& t) { return printed(t.single_megabytes); }},
        {{FigureId::overall_megabytes, "overall MB/s", Better::higher, Pass::multi, true},
         [](const Run&, const Test& t) { return overall(t, t.overall_megabytes); }},
        {{FigureId::single_seconds, "single seconds", Better::lower, Pass::single, false},
         [](const Run&, const Test& t) { return printed(t.single_seconds); }},
        {{FigureId::thread_seconds, "thread seconds (mean)", Better::lower, Pass::multi, false},
         [](const Run&, const Test& t) { return mean_thread_seconds(t); }},
    };
    return defs;
}

const FigureDef& figure_def(FigureId id) {
    const std::vector<FigureDef>& all = figures();
    return *std::find_if(all.begin(), all.end(), [&](const FigureDef& f) { return f.kind.id == id; });
}

std::string unit_of(const FigureKind& kind, const Test& t) {
    if (kind.id == FigureId::improvement)
        return "times";
    if (kind.megabytes)
        return "MB/sec.";
    if (kind.better == Better::lower)
        return "Secs.";
    return t.unit;
}

const Test* find_test(const Run& run, const std::string& key) {
    for (const Test& t : run.tests)
        if (t.key == key)
            return &t;
    return nullptr;
}

bool wanted(const std::vector<std::string>& keep, const std::string& name) {
    return keep.empty() || std::find(keep.begin(), keep.end(), name) != keep.end();
}

// The test between two sets of repetitions: the rank-sum test, robust to
// one disturbed repetition, where each of its one-sided halves can reach
// 2.5% at all; else (3 against 3 or 4, whose smallest one-sided p is 1/20
// and 1/35) Welch's t-test. Both sides need 3 or more.
SignificanceTest test_for(std::size_t m, std::size_t n) {
    if (m < 3 || n < 3)
        return SignificanceTest::none;
    return stats::slowdown_method(m, n, significance_level / 2) == stats::SlowdownMethod::rank_sum
               ? SignificanceTest::mann_whitney
               : SignificanceTest::welch;
}

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

// `paired`: the column's pairs of rounds with the baseline, when there are
// enough of them to test pair by pair.
void compare_cell(Cell& cell, const Cell& base, Better better, double noise,
                  const Pairing* paired = nullptr) {
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

// The pairs a column's figures are tested on: its pairing with the
// baseline, when it has enough pairs.
const Pairing* figure_pairing(const ProgramComparison& c, std::size_t column) {
    if (column >= c.pairings.size() || !c.pairings[column] ||
        c.pairings[column]->pairs.size() < figure_pairs_needed())
        return nullptr;
    return &*c.pairings[column];
}

// The figure of one label: one repetition as printed, several as the median
// of their values with the spread.
Cell sample_cell(const std::vector<const Run*>& reps, const std::string& key, const Getter& get) {
    auto cell_of = [&](const Run* r) {
        const Test* t = find_test(*r, key);
        return t ? get(*r, *t) : Cell{};
    };
    if (reps.size() == 1) {  // a fleet's every host: no set to gather
        Cell one = cell_of(reps.front());
        if (one.value && *one.value > 0)
            one.samples = {*one.value};
        return one;
    }
    std::vector<Cell> each;
    for (const Run* r : reps)
        each.push_back(cell_of(r));
    Cell c;
    c.missing = each.front().missing;
    for (const Cell& e : each)
        if (e.value && *e.value > 0)
            c.samples.push_back(*e.value);
        else if (e.missing != Missing::absent && c.missing == Missing::absent)
            c.missing = e.missing;
    if (c.samples.size() != each.size() && !c.samples.empty()) {
        // A repetition without the figure makes the set incomparable with a
        // complete one: the median of the others would flatter it.
        c.samples.clear();
        c.missing = Missing::incomplete;
        return c;
    }
    if (c.samples.empty())
        return c;
    c.value = stats::median(c.samples);
    c.missing = Missing::none;
    c.cv = stats::coefficient_of_variation(c.samples);
    return c;
}

// One repetition's value of a row's figure, when it has a positive one.
std::optional<double> repetition_value(const Run& rep, const FigureRow& row) {
    const Test* t = find_test(rep, row.test);
    if (!t)
        return std::nullopt;
    Cell v = figure_def(row.id).get(rep, *t);
    if (v.value && *v.value > 0)
        return v.value;
    return std::nullopt;
}

// Each repetition's geometric mean, over the tests, of its figure divided by
// the baseline's median: the per-repetition summary a set of repetitions is
// tested on, one test for all the tests.
std::vector<double> repetition_means(const ProgramComparison& c, std::size_t column,
                                     FigureId figure) {
    std::vector<double> out;
    for (const Run* rep : c.samples[column]) {
        std::vector<double> ratios;
        for (const FigureRow& row : c.rows) {
            if (row.id != figure || !row.baseline.value || *row.baseline.value <= 0)
                continue;
            if (std::optional<double> v = repetition_value(*rep, row))
                ratios.push_back(*v / *row.baseline.value);
        }
        if (std::optional<double> g = stats::geometric_mean(ratios))
            out.push_back(*g);
    }
    return out;
}

GeoMean geometric_mean(const ProgramComparison& c, std::size_t run, FigureId figure,
                       double noise) {
    GeoMean g;
    std::vector<double> ratios;
    for (const FigureRow& row : c.rows) {
        if (row.id != figure)
            continue;
        ++g.total;
        const std::optional<double>& r = row.cells[run].ratio;
        if (r && *r > 0)
            ratios.push_back(*r);
    }
    g.used = static_cast<int>(ratios.size());
    g.ratio = stats::geometric_mean(ratios);
    if (g.ratio)
        g.mark = classify(*g.ratio, Better::higher, noise);
    // Between sets of repetitions the mark needs the summaries to differ
    // significantly too.
    if (g.ratio && c.baseline && run != *c.baseline) {
        Cell base, cell;
        base.value = 1;
        base.samples = repetition_means(c, *c.baseline, figure);
        cell.value = *g.ratio;
        cell.samples = repetition_means(c, run, figure);
        if (base.samples.size() == c.samples[*c.baseline].size() &&
            cell.samples.size() == c.samples[run].size()) {
            compare_cell(cell, base, Better::higher, noise, figure_pairing(c, run));
            if (cell.test != SignificanceTest::none)
                g.mark = cell.mark;
        }
    }
    return g;
}

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
    std::vector<std::vector<double>> logs;  // per column, when it has 3 or more
    std::size_t repetitions = 0;
};

FarTest far_test(const ProgramComparison& c) {
    FarTest f;
    f.logs.resize(c.samples.size());
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        if (c.samples[i].size() >= 3) {
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

void find_far_repetitions(ProgramComparison& c, std::size_t column, double noise,
                          const FarTest& f) {
    const std::vector<double>& logs = f.logs[column];
    if (logs.size() < 3)
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

// Columns by label, in the natural order of the labels (release-1.9 before
// release-1.10), a label's repetitions in the order given. A fleet has a
// label per host: each is looked up, not searched for.
void gather_columns(ProgramComparison& c, const std::vector<const Run*>& runs) {
    std::unordered_map<std::string_view, std::size_t> column_of;
    for (const Run* r : runs) {
        auto [same, fresh] = column_of.emplace(r->label, c.runs.size());
        if (fresh) {
            c.runs.push_back(r);
            c.samples.push_back({r});
        } else {
            c.samples[same->second].push_back(r);
        }
    }
    std::stable_sort(c.samples.begin(), c.samples.end(), [](const auto& x, const auto& y) {
        return natural_less(x.front()->label, y.front()->label);
    });
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        c.runs[i] = c.samples[i].front();
}

// The column holding one of the baseline runs named, if any.
std::optional<std::size_t> named_column(const ProgramComparison& c,
                                        const std::vector<const Run*>& baselines) {
    auto named = [&](const std::vector<const Run*>& reps) {
        return std::any_of(reps.begin(), reps.end(), [&](const Run* r) {
            return std::find(baselines.begin(), baselines.end(), r) != baselines.end();
        });
    };
    auto it = std::find_if(c.samples.begin(), c.samples.end(), named);
    if (it == c.samples.end())
        return std::nullopt;
    return static_cast<std::size_t>(it - c.samples.begin());
}

// The columns that may be the baseline when none is named: those of the
// input named first that holds the program, when the runs come from several
// inputs (`compare OLD NEW`), else every column.
std::vector<std::size_t> first_input_columns(const ProgramComparison& c) {
    std::size_t first = static_cast<std::size_t>(-1);
    bool several = false;
    for (const auto& reps : c.samples)
        for (const Run* r : reps) {
            several = several || (first != static_cast<std::size_t>(-1) && r->input != first);
            first = std::min(first, r->input);
        }
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        if (!several || std::any_of(c.samples[i].begin(), c.samples[i].end(),
                                    [&](const Run* r) { return r->input == first; }))
            out.push_back(i);
    return out;
}

// Of the columns that may be the baseline, the one that ran first (its
// earliest repetition), when any start is known; else the first of them.
void earliest_column(ProgramComparison& c) {
    std::vector<std::size_t> candidates = first_input_columns(c);
    bool narrowed = candidates.size() < c.samples.size();
    c.baseline = candidates.front();
    c.baseline_reason = narrowed ? BaselineReason::first_input : BaselineReason::first_in_order;
    if (narrowed && candidates.size() == 1)
        return;
    for (std::size_t i : candidates)
        for (const Run* r : c.samples[i]) {
            std::optional<std::string> start = run_start(*r);
            // ISO 8601 to the second: the text orders as the time does.
            if (start && (!c.baseline_started ||
                          start->substr(0, 19) < c.baseline_started->substr(0, 19))) {
                c.baseline_started = start;
                c.baseline = i;
                c.baseline_reason = BaselineReason::ran_first;
            }
        }
}

// The baseline's column first, the others in their order.
void baseline_first(ProgramComparison& c) {
    if (!c.baseline || *c.baseline == 0)
        return;
    auto b = static_cast<std::ptrdiff_t>(*c.baseline);
    std::rotate(c.samples.begin(), c.samples.begin() + b, c.samples.begin() + b + 1);
    std::rotate(c.runs.begin(), c.runs.begin() + b, c.runs.begin() + b + 1);
    c.baseline = 0;
}

// The label holding the baseline run named, else of the input named first
// the label that ran first, else the first label in order; none with the
// median. Its column comes first.
void choose_baseline(ProgramComparison& c, const CompareSettings& s) {
    if (s.median)
        return;
    if (std::optional<std::size_t> named = named_column(c, s.baselines)) {
        c.baseline = *named;
        c.baseline_reason = BaselineReason::named;
    } else {
        earliest_column(c);
    }
    baseline_first(c);
}

void pair_with_baseline(ProgramComparison& c) {
    c.pairings.resize(c.runs.size());
    if (c.baseline)
        for (std::size_t i = 0; i < c.runs.size(); ++i)
            if (i != *c.baseline)
                c.pairings[i] = pair_rounds(c.samples[*c.baseline], c.samples[i]);
}

// A row's baseline: the baseline label's cell, or the median of the labels'
// positive values.
Cell row_baseline(const ProgramComparison& c, const FigureRow& row) {
    if (c.baseline)
        return row.cells[*c.baseline];
    std::vector<double> present;
    for (const Cell& cell : row.cells)
        if (cell.value && *cell.value > 0)
            present.push_back(*cell.value);
    Cell base;
    std::optional<double> m = stats::median(present);
    if (m)
        base = derived(*m);
    base.ratio = m ? std::optional<double>(1.0) : std::nullopt;
    return base;
}

// One figure of one test across the labels, each compared with the
// baseline; absent where no label has it (effective frequency's single pass).
// `sample` is the test as the first label that has it printed it.
std::optional<FigureRow> figure_row(const ProgramComparison& c, const TestInfo& info,
                                    const Test& sample, const FigureDef& def, double noise) {
    const FigureKind& kind = def.kind;
    std::string key(info.key);
    FigureRow row{key,         std::string(info.name), kind.name,   kind.id,
                  unit_of(kind, sample), kind.better,  kind.pass, {}, {}};
    bool any = false;
    for (const std::vector<const Run*>& reps : c.samples) {
        Cell v = sample_cell(reps, key, def.get);
        any = any || v.missing != Missing::absent;
        row.cells.push_back(std::move(v));
    }
    if (!any)
        return std::nullopt;
    row.baseline = row_baseline(c, row);
    for (std::size_t i = 0; i < row.cells.size(); ++i)
        if (!c.baseline || i != *c.baseline)
            compare_cell(row.cells[i], row.baseline, row.better, noise, figure_pairing(c, i));
    if (c.baseline && row.cells[*c.baseline].value)
        row.cells[*c.baseline].ratio = 1.0;
    return row;
}

// A row per figure of every test kept that some label has, in catalogue order.
void add_rows(ProgramComparison& c, const CompareSettings& s) {
    for (const TestInfo& info : catalogue(c.program)) {
        std::string key(info.key);
        if (!wanted(s.tests, key))
            continue;
        const Test* sample = nullptr;
        for (const Run* r : c.runs)
            if ((sample = find_test(*r, key)))
                break;
        if (!sample)
            continue;
        for (const FigureDef& def : figures()) {
            if ((def.kind.megabytes && info.bytes_per_iteration <= 0) ||
                !wanted(s.figures, def.kind.name))
                continue;
            if (std::optional<FigureRow> row = figure_row(c, info, *sample, def, s.noise))
                c.rows.push_back(std::move(*row));
        }
    }
}

void add_geometric_means(ProgramComparison& c, double noise) {
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        c.geo_single.push_back(geometric_mean(c, i, FigureId::single_rate, noise));
        c.geo_overall.push_back(geometric_mean(c, i, FigureId::overall_rate, noise));
        if (c.baseline && i == *c.baseline) {
            c.geo_single.back().mark = Mark::none;
            c.geo_overall.back().mark = Mark::none;
        }
    }
}

// The test the columns were compared with (the rank-sum test where columns
// differ), and whether a column had too few repetitions to be tested.
void note_tests(ProgramComparison& c) {
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        if (!c.baseline || i == *c.baseline)
            continue;
        SignificanceTest t = test_for(c.samples[*c.baseline].size(), c.samples[i].size());
        if (t == SignificanceTest::none)
            c.untested = true;
        else if (!figure_pairing(c, i))
            c.test = c.test == SignificanceTest::none || c.test == t
                         ? t
                         : SignificanceTest::mann_whitney;
    }
}

// Every repetition's machine against the baseline's first (with the median,
// the first label's).
void find_mismatches(ProgramComparison& c) {
    std::vector<const Run*> all;
    for (const auto& reps : c.samples)
        all.insert(all.end(), reps.begin(), reps.end());
    c.mismatches = context_mismatches(all, *c.runs[c.baseline.value_or(0)]);
}

ProgramComparison compare_program(const std::vector<const Run*>& runs, const CompareSettings& s) {
    ProgramComparison c;
    c.program = runs.front()->program;
    c.noise = s.noise;
    gather_columns(c, runs);
    choose_baseline(c, s);
    pair_with_baseline(c);
    add_rows(c, s);
    add_geometric_means(c, s.noise);
    find_outliers(c, s.noise);
    note_tests(c);
    FarTest far = far_test(c);
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        find_far_repetitions(c, i, s.noise, far);
    find_mismatches(c);
    return c;
}

}  // namespace

const std::vector<FigureKind>& figure_kinds() {
    static const std::vector<FigureKind> kinds = [] {
        std::vector<FigureKind> k;
        for (const FigureDef& f : figures())
            k.push_back(f.kind);
        return k;
    }();
    return kinds;
}

const FigureKind& figure_kind(FigureId id) {
    return figure_def(id).kind;
}

bool pass_rate(FigureId id) {
    return id == FigureId::single_rate || id == FigureId::overall_rate;
}

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

std::vector<ProgramComparison> compare_runs(const std::vector<const Run*>& runs,
                                            const CompareSettings& settings) {
    std::vector<std::vector<const Run*>> groups;
    for (const Run* r : runs) {
        auto g = std::find_if(groups.begin(), groups.end(), [&](const auto& group) {
            return group.front()->program == r->program;
        });
        if (g == groups.end())
            groups.push_back({r});
        else
            g->push_back(r);
    }
    std::vector<ProgramComparison> out;
    for (const auto& g : groups) {
        out.push_back(compare_program(g, settings));
        for (const LabelRuns& l : settings.taken)
            if (l.program == out.back().program)
                out.back().taken.push_back(l);
    }
    return out;
}

}  // namespace report
