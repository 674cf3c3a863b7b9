// The rows of a comparison: each figure of each test read from every label and marked.
#include "analysis/figure_rows.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/marking.h"
#include "analysis/stats.h"
#include "model/catalogue.h"

namespace report {

namespace {

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

// Figure `id` of test `t` of run `r`: as the run printed it, or derived from
// what it printed.
Cell figure_cell(FigureId id, const Run& r, const Test& t) {
    switch (id) {
        case FigureId::single_rate: return printed(t.single_rate);
        case FigureId::overall_rate: return overall(t, t.overall_rate);
        case FigureId::overall_per_thread: {
            Cell v = overall(t, t.overall_rate);
            std::optional<int> n = stats::thread_count(r, &t);
            if (!v.value || !n)
                return v;
            return derived(*v.value / *n);
        }
        case FigureId::improvement: return printed(t.improvement);
        case FigureId::single_megabytes: return printed(t.single_megabytes);
        case FigureId::overall_megabytes: return overall(t, t.overall_megabytes);
        case FigureId::single_seconds: return printed(t.single_seconds);
        case FigureId::thread_seconds: return mean_thread_seconds(t);
    }
    return {};
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

// The figure of one label: one repetition as printed, several as the median
// of their values with the spread.
Cell sample_cell(const std::vector<const Run*>& reps, const std::string& key, FigureId id) {
    auto cell_of = [&](const Run* r) {
        const Test* t = find_test(*r, key);
        return t ? figure_cell(id, *r, *t) : Cell{};
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
                                    const Test& sample, const FigureKind& kind, double noise) {
    std::string key(info.key);
    FigureRow row{key,         std::string(info.name), kind.name,   kind.id,
                  unit_of(kind, sample), kind.better,  kind.pass, {}, {}};
    bool any = false;
    for (const std::vector<const Run*>& reps : c.samples) {
        Cell v = sample_cell(reps, key, kind.id);
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

}  // namespace

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
        for (const FigureKind& kind : figure_kinds()) {
            if ((kind.megabytes && info.bytes_per_iteration <= 0) || !wanted(s.figures, kind.name))
                continue;
            if (std::optional<FigureRow> row = figure_row(c, info, *sample, kind, s.noise))
                c.rows.push_back(std::move(*row));
        }
    }
}

// One repetition's value of a row's figure, when it has a positive one.
std::optional<double> repetition_value(const Run& rep, const FigureRow& row) {
    const Test* t = find_test(rep, row.test);
    if (!t)
        return std::nullopt;
    Cell v = figure_cell(row.id, rep, *t);
    if (v.value && *v.value > 0)
        return v.value;
    return std::nullopt;
}

}  // namespace report
