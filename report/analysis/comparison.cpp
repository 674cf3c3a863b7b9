// A comparison put together: columns, rows, geometric means, outliers and machines, a program each.
#include "analysis/comparison.h"

#include <algorithm>
#include <vector>

#include "analysis/columns.h"
#include "analysis/far_runs.h"
#include "analysis/figure_rows.h"
#include "analysis/machine_differences.h"
#include "analysis/stats.h"

namespace report {

namespace {

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

// Every repetition's machine against the reference run's.
void find_mismatches(ProgramComparison& c) {
    std::vector<const Run*> all;
    for (const auto& reps : c.samples)
        all.insert(all.end(), reps.begin(), reps.end());
    c.mismatches = context_mismatches(all, *c.runs[c.reference]);
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
    find_far_repetitions(c, s.noise);
    find_mismatches(c);
    return c;
}

}  // namespace

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
