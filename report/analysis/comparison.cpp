#include "analysis/comparison.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "model/catalogue.h"
#include "analysis/stats.h"
#include "analysis/machine_differences.h"

namespace report {

namespace {

// Ratios exactly on the edge of a band (1.02 for 2%) must fall inside it even
// though 1.02 - 1 is a hair above 0.02 in binary.
constexpr double edge = 1e-9;

// A robust score beyond this is an outlier (Iglewicz and Hoaglin's 3.5).
constexpr double outlier_score = 3.5;

Cell printed(const std::optional<Figure>& figure) {
    Cell c;
    if (!figure)
        return c;
    c.printed = figure->text;
    if (std::isfinite(figure->value)) {
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

const std::vector<std::pair<FigureKind, Getter>>& figures() {
    static const std::vector<std::pair<FigureKind, Getter>> defs = {
        {{"single rate", Better::higher, Pass::single, false},
         [](const Run&, const Test& t) { return printed(t.single_rate); }},
        {{"overall rate", Better::higher, Pass::multi, false},
         [](const Run&, const Test& t) { return overall(t, t.overall_rate); }},
        {{"overall per thread", Better::higher, Pass::multi, false},
         [](const Run& r, const Test& t) {
             Cell v = overall(t, t.overall_rate);
             std::optional<int> n = stats::thread_count(r, &t);
             if (!v.value || !n)
                 return v;
             return derived(*v.value / *n);
         }},
        {{"improvement", Better::higher, Pass::derived, false},
         [](const Run&, const Test& t) { return printed(t.improvement); }},
        {{"single MB/s", Better::higher, Pass::single, true},
         [](const Run&, const Test& t) { return printed(t.single_megabytes); }},
        {{"overall MB/s", Better::higher, Pass::multi, true},
         [](const Run&, const Test& t) { return overall(t, t.overall_megabytes); }},
        {{"single seconds", Better::lower, Pass::single, false},
         [](const Run&, const Test& t) { return printed(t.single_seconds); }},
        {{"thread seconds (mean)", Better::lower, Pass::multi, false},
         [](const Run&, const Test& t) { return mean_thread_seconds(t); }},
    };
    return defs;
}

std::string unit_of(const FigureKind& kind, const Test& t) {
    std::string name = kind.name;
    if (name == "improvement")
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

// Smallest two-sided p-value the exact U test can give for m against n values.
double smallest_u_p(std::size_t m, std::size_t n) {
    double arrangements = 1;  // C(m + n, m)
    for (std::size_t k = 1; k <= m; ++k)
        arrangements = arrangements * static_cast<double>(n + k) / static_cast<double>(k);
    return 2 / arrangements;
}

// The test between two sets of repetitions: Mann-Whitney U, robust to one
// disturbed repetition, where it can reach the level at all; else (three
// against three can give no p below 0.1) Welch's t-test.
SignificanceTest test_for(std::size_t m, std::size_t n) {
    if (m < 3 || n < 3)
        return SignificanceTest::none;
    return smallest_u_p(m, n) <= significance_level ? SignificanceTest::mann_whitney
                                                    : SignificanceTest::welch;
}

void compare_cell(Cell& cell, const Cell& base, Better better, double noise) {
    // Rates, seconds and MB/s are never negative or zero; a file that says so
    // is not compared rather than given a meaningless ratio.
    if (!cell.value || !base.value || *base.value <= 0 || *cell.value <= 0)
        return;
    double r = *cell.value / *base.value;
    if (!std::isfinite(r) || r <= 0)
        return;
    cell.ratio = r;
    cell.mark = classify(r, better, noise);
    cell.test = test_for(base.samples.size(), cell.samples.size());
    if (cell.test == SignificanceTest::none)
        return;
    // On the logarithms: a ratio, whichever way round, is a shift there.
    std::vector<double> a, b;
    for (double x : base.samples)
        a.push_back(std::log(x));
    for (double x : cell.samples)
        b.push_back(std::log(x));
    if (cell.test == SignificanceTest::mann_whitney) {
        if (auto u = stats::mann_whitney(a, b))
            cell.p = u->p;
    } else if (auto w = stats::welch(a, b)) {
        cell.p = w->p;
    } else {
        cell.p = 1;  // no spread on either side: nothing tells a change from noise
    }
    cell.interval = stats::ratio_interval(base.samples, cell.samples);
    if (!cell.p || *cell.p > significance_level)
        cell.mark = Mark::same;
}

// The figure of one label: one repetition as printed, several as the median
// of their values with the spread.
Cell sample_cell(const std::vector<const Run*>& reps, const std::string& key, const Getter& get) {
    std::vector<Cell> each;
    for (const Run* r : reps) {
        const Test* t = find_test(*r, key);
        each.push_back(t ? get(*r, *t) : Cell{});
    }
    if (each.size() == 1) {
        Cell one = std::move(each.front());
        if (one.value && *one.value > 0)
            one.samples = {*one.value};
        return one;
    }
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
    for (const auto& [kind, get] : figures())
        if (kind.name == row.figure) {
            Cell v = get(rep, *t);
            if (v.value && *v.value > 0)
                return v.value;
        }
    return std::nullopt;
}

// Each repetition's geometric mean, over the tests, of its figure divided by
// the baseline's median: the per-repetition summary a set of repetitions is
// tested on, one test for all the tests.
std::vector<double> repetition_means(const ProgramComparison& c, std::size_t column,
                                     const char* figure) {
    std::vector<double> out;
    for (const Run* rep : c.samples[column]) {
        std::vector<double> ratios;
        for (const FigureRow& row : c.rows) {
            if (row.figure != figure || !row.baseline.value || *row.baseline.value <= 0)
                continue;
            if (std::optional<double> v = repetition_value(*rep, row))
                ratios.push_back(*v / *row.baseline.value);
        }
        if (std::optional<double> g = stats::geometric_mean(ratios))
            out.push_back(*g);
    }
    return out;
}

GeoMean geometric_mean(const ProgramComparison& c, std::size_t run, const char* figure,
                       double noise) {
    GeoMean g;
    std::vector<double> ratios;
    for (const FigureRow& row : c.rows) {
        if (row.figure != figure)
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
            compare_cell(cell, base, Better::higher, noise);
            if (cell.test != SignificanceTest::none)
                g.mark = cell.mark;
        }
    }
    return g;
}

// Repetitions of a label far from its median: the geometric mean of a
// repetition's rates over the label's medians, more than 3.5 robust units
// from the other repetitions' and outside the noise band.
void find_far_repetitions(ProgramComparison& c, std::size_t column, double noise) {
    const std::vector<const Run*>& reps = c.samples[column];
    if (reps.size() < 3)
        return;
    std::vector<double> logs;
    for (const Run* rep : reps) {
        std::vector<double> ratios;
        for (const FigureRow& row : c.rows) {
            if (row.figure != std::string("single rate") &&
                row.figure != std::string("overall rate"))
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
    std::optional<double> med = stats::median(logs);
    std::optional<double> mad = stats::median_absolute_deviation(logs);
    double floor = std::log1p(noise / 100) + edge;
    for (std::size_t k = 0; k < reps.size(); ++k) {
        double off = std::fabs(logs[k] - *med);
        std::optional<double> score;
        if (mad)
            score = stats::robust_score(logs[k], *med, *mad);
        double far = score ? std::fabs(*score) : HUGE_VAL;
        if (off > floor && far > outlier_score)
            c.far.push_back({column, reps[k], std::exp(logs[k] - *med),
                             score ? std::optional<double>(far) : std::nullopt});
    }
}

// Runs far from the median: a geometric mean both outside the noise band and,
// where the fleet varies at all, more than 3.5 robust units from the fleet's
// own spread. Without the second rule every host of a fleet that varies by a
// few percent would be "outside the band".
void find_outliers(ProgramComparison& c, double noise) {
    double floor = std::log1p(noise / 100) + edge;
    std::vector<std::optional<double>> scores(c.runs.size());
    std::vector<double> distance(c.runs.size(), 0);
    std::vector<bool> out(c.runs.size(), false);
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
            double d = std::fabs(x);  // the ratio is to the median already
            std::optional<double> score;
            if (mad)
                score = stats::robust_score(x, *med, *mad);
            double far = score ? std::fabs(*score) : HUGE_VAL;  // no spread: the band decides
            bool beyond = d > floor && far > outlier_score;
            if (d >= distance[i]) {
                distance[i] = d;
                scores[i] = score ? std::optional<double>(far) : std::nullopt;
            }
            out[i] = out[i] || beyond;
        }
    }
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        if (!out[i])
            continue;
        std::vector<std::pair<double, std::size_t>> far;
        for (std::size_t k = 0; k < c.rows.size(); ++k) {
            const Cell& cell = c.rows[k].cells[i];
            if (cell.mark == Mark::better || cell.mark == Mark::worse)
                far.emplace_back(std::fabs(std::log(*cell.ratio)), k);
        }
        std::stable_sort(far.begin(), far.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        Outlier o{i, distance[i], scores[i], {}};
        for (std::size_t k = 0; k < far.size() && k < 3; ++k)
            o.rows.push_back(far[k].second);
        c.outliers.push_back(std::move(o));
    }
    std::stable_sort(c.outliers.begin(), c.outliers.end(),
                     [](const Outlier& a, const Outlier& b) { return a.distance > b.distance; });
}

ProgramComparison compare_program(const std::vector<const Run*>& runs, const CompareSettings& s) {
    ProgramComparison c;
    c.program = runs.front()->program;
    // Columns by label, in order of first appearance.
    for (const Run* r : runs) {
        auto same = std::find_if(c.runs.begin(), c.runs.end(),
                                 [&](const Run* first) { return first->label == r->label; });
        if (same == c.runs.end()) {
            c.runs.push_back(r);
            c.samples.push_back({r});
        } else {
            c.samples[static_cast<std::size_t>(same - c.runs.begin())].push_back(r);
        }
    }
    if (!s.median) {
        // The label holding the baseline run named, else the first.
        c.baseline = 0;
        auto named = [&](const std::vector<const Run*>& reps) {
            return std::any_of(reps.begin(), reps.end(), [&](const Run* r) {
                return std::find(s.baselines.begin(), s.baselines.end(), r) != s.baselines.end();
            });
        };
        auto it = std::find_if(c.samples.begin(), c.samples.end(), named);
        if (it != c.samples.end())
            c.baseline = static_cast<std::size_t>(it - c.samples.begin());
    }

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
        for (const auto& [kind, get] : figures()) {
            if ((kind.megabytes && info.bytes_per_iteration <= 0) || !wanted(s.figures, kind.name))
                continue;
            FigureRow row{key,         std::string(info.name),
                          kind.name,   unit_of(kind, *sample),
                          kind.better, kind.pass,
                          {},          {}};
            bool any = false;
            for (const std::vector<const Run*>& reps : c.samples) {
                Cell v = sample_cell(reps, key, get);
                any = any || v.missing != Missing::absent;
                row.cells.push_back(std::move(v));
            }
            if (!any)
                continue;  // a figure this test never has (effective frequency's single pass)
            if (c.baseline) {
                row.baseline = row.cells[*c.baseline];
            } else {
                std::vector<double> present;
                for (const Cell& cell : row.cells)
                    if (cell.value && *cell.value > 0)
                        present.push_back(*cell.value);
                std::optional<double> m = stats::median(present);
                if (m)
                    row.baseline = derived(*m);
                row.baseline.ratio = m ? std::optional<double>(1.0) : std::nullopt;
            }
            for (std::size_t i = 0; i < row.cells.size(); ++i)
                if (!c.baseline || i != *c.baseline)
                    compare_cell(row.cells[i], row.baseline, row.better, s.noise);
            if (c.baseline && row.cells[*c.baseline].value)
                row.cells[*c.baseline].ratio = 1.0;
            c.rows.push_back(std::move(row));
        }
    }
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        c.geo_single.push_back(geometric_mean(c, i, "single rate", s.noise));
        c.geo_overall.push_back(geometric_mean(c, i, "overall rate", s.noise));
        if (c.baseline && i == *c.baseline) {
            c.geo_single.back().mark = Mark::none;
            c.geo_overall.back().mark = Mark::none;
        }
    }
    if (!c.baseline)
        find_outliers(c, s.noise);
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        SignificanceTest t = c.baseline && i != *c.baseline
                                 ? test_for(c.samples[*c.baseline].size(), c.samples[i].size())
                                 : SignificanceTest::none;
        if (c.baseline && i != *c.baseline && t == SignificanceTest::none)
            c.untested = true;
        if (t != SignificanceTest::none)
            c.test = c.test == SignificanceTest::none || c.test == t
                         ? t
                         : SignificanceTest::mann_whitney;
        find_far_repetitions(c, i, s.noise);
    }
    std::vector<const Run*> all;
    for (const auto& reps : c.samples)
        all.insert(all.end(), reps.begin(), reps.end());
    c.mismatches = context_mismatches(all, *c.runs[c.baseline.value_or(0)]);
    return c;
}

}  // namespace

const std::vector<FigureKind>& figure_kinds() {
    static const std::vector<FigureKind> kinds = [] {
        std::vector<FigureKind> k;
        for (const auto& f : figures())
            k.push_back(f.first);
        return k;
    }();
    return kinds;
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

bool worse_beyond(double ratio, Better better, double percent) {
    return std::log(time_factor(ratio, better)) > std::log1p(percent / 100) + edge;
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
    for (const auto& g : groups)
        out.push_back(compare_program(g, settings));
    return out;
}

std::vector<Regression> regressions(const std::vector<ProgramComparison>& comparisons,
                                    double percent) {
    std::vector<Regression> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            if (c.baseline && i == *c.baseline)
                continue;
            // The worst figure of each pass of each test.
            std::vector<Regression> found;
            for (std::size_t k = 0; k < c.rows.size(); ++k) {
                const FigureRow& row = c.rows[k];
                const Cell& cell = row.cells[i];
                if (!cell.ratio || !worse_beyond(*cell.ratio, row.better, percent))
                    continue;
                // Between sets of repetitions, only a significant change counts.
                if (cell.test != SignificanceTest::none &&
                    (!cell.p || *cell.p > significance_level))
                    continue;
                double factor = time_factor(*cell.ratio, row.better);
                auto same_pass = std::find_if(found.begin(), found.end(), [&](const Regression& r) {
                    const FigureRow& other = c.rows[r.row];
                    return other.test == row.test && other.pass == row.pass &&
                           row.pass != Pass::derived;
                });
                if (same_pass == found.end())
                    found.push_back({ci, i, k, factor});
                else if (factor > same_pass->factor)
                    *same_pass = {ci, i, k, factor};
            }
            out.insert(out.end(), found.begin(), found.end());
        }
    }
    return out;
}

std::vector<GateProblem> gate_problems(const std::vector<ProgramComparison>& comparisons) {
    std::vector<GateProblem> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        // Short-pass runs are comparable with each other: the file-wide note
        // on their iteration count matters only when the counts differ.
        // A comparison with a single label has nothing to judge.
        if (c.runs.size() < 2)
            out.push_back({GateProblem::nothing_comparable, ci, 0, {}});
        bool one_count = true;
        for (const auto& reps : c.samples)
            for (const Run* r : reps)
                one_count = one_count && r->iterations == c.runs.front()->iterations;
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            // Every repetition of a label counts: one partial run spoils its median.
            for (const Run* rep : c.samples[i]) {
                if (rep->partial)
                    out.push_back({GateProblem::partial, ci, i, rep->path});
                for (const Finding& f : rep->findings) {
                    bool short_pass_note = f.check == "iterations" && f.line == 0 && f.test.empty();
                    if (!short_pass_note || !one_count)
                        out.push_back({GateProblem::inconsistent, ci, i, f.message});
                }
            }
            bool is_baseline = c.baseline && i == *c.baseline;
            bool comparable = std::any_of(c.rows.begin(), c.rows.end(), [&](const FigureRow& row) {
                return row.cells[i].ratio.has_value();
            });
            if (!comparable && !is_baseline)
                out.push_back({GateProblem::nothing_comparable, ci, i, {}});
        }
    }
    return out;
}

}  // namespace report
