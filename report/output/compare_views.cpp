#include "output/compare_views.h"
#include "output/text.h"
#include "output/gate_view.h"
#include "output/scaling_view.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "model/catalogue.h"
#include "input/load.h"

namespace report {

// The word a JSON or CSV cell gives a mark: "better", "worse", "same", "none".
const char* mark_name(Mark m) {
    switch (m) {
        case Mark::better: return "better";
        case Mark::worse: return "worse";
        case Mark::same: return "same";
        case Mark::none: break;
    }
    return "none";
}

namespace {

// Up to this many runs of a program, the automatic layout is the wide one.
constexpr std::size_t few_runs = 4;

std::string mark_symbol(Mark m) {
    switch (m) {
        case Mark::better: return "+";
        case Mark::worse: return "-";
        case Mark::same: return "=";
        case Mark::none: break;
    }
    return "";
}




bool flagged(const Run& run) {
    return run.partial || !run.findings.empty();
}

std::string column_header(const Run& run, bool is_baseline, std::size_t repetitions = 1) {
    std::string h = run_name(run);
    if (repetitions > 1)
        h += fmt::format(" (n={})", repetitions);
    if (flagged(run))
        h += " *";
    if (is_baseline)
        h += " (baseline)";
    return h;
}

std::string percent(double p) {
    return fmt::format("{:g}%", p);
}

// The interval of a ratio and its real level: "[0.931-0.990, 95%]"; an end
// the level does not reach is "-" (below) or "inf" (above).
std::string ratio_interval_text(const stats::RatioInterval& i) {
    std::string low = i.low > 0 ? fmt::format("{:.3f}", i.low) : std::string("0");
    std::string high = std::isfinite(i.high) ? fmt::format("{:.3f}", i.high) : std::string("inf");
    return fmt::format("[{}-{}, {}%]", low, high, std::floor(i.confidence * 1000 + 1e-6) / 10);
}

// A figure with its spread over repetitions, its ratio (with repetitions
// tested, the estimate of the same test), its interval, and the mark.
TableCell ratio_cell(const Cell& cell, bool is_baseline) {
    std::string text = cell_text(cell);
    if (cell.samples.size() > 1 && cell.cv)
        text += fmt::format(" ±{:.1f}%", *cell.cv * 100);
    if (!cell.ratio || is_baseline)
        return number_cell(text);
    text += " " + format_ratio(*cell.ratio) + (cell.medians_ratio ? "~" : "");
    if (cell.interval) {
        std::string interval = ratio_interval_text(*cell.interval);
        // Paired: the pairs of rounds the interval is over, inside its brackets.
        if (cell.pairs)
            interval.insert(interval.size() - 1, fmt::format(", {} pairs", *cell.pairs));
        text += " " + interval;
    }
    return number_cell(text + " " + mark_symbol(cell.mark), cell.mark);
}

// The ratio, its interval and the mark alone, as the narrow layout shows
// them: "x1.052 [1.049-1.055, 95%] +".
TableCell ratio_only_cell(const Cell& cell) {
    if (!cell.ratio)
        return number_cell(cell.value ? "" : cell_text(cell));
    std::string text = format_ratio(*cell.ratio) + (cell.medians_ratio ? "~" : "");
    if (cell.interval)
        text += " " + ratio_interval_text(*cell.interval);
    return number_cell(text + " " + mark_symbol(cell.mark), cell.mark);
}

std::string geo_text(const GeoMean& g, bool is_baseline) {
    if (!g.ratio)
        return fmt::format("n/a (0/{})", g.total);
    std::string s = format_ratio(*g.ratio);
    if (!is_baseline)
        s += " " + mark_symbol(g.mark);
    return fmt::format("{} ({}/{})", s, g.used, g.total);
}

TableCell geo_cell(const GeoMean& g, bool is_baseline) {
    return number_cell(geo_text(g, is_baseline), is_baseline ? Mark::none : g.mark);
}

std::string baseline_title(const ProgramComparison& c) {
    std::string program = program_name(c.program);
    std::size_t runs = 0;
    for (const auto& reps : c.samples)
        runs += reps.size();
    std::string labels = runs == c.runs.size() ? "" : fmt::format(" of {} label(s)", c.runs.size());
    std::string why;
    if (c.baseline && c.baseline_reason == BaselineReason::ran_first)
        why = fmt::format(", the label that ran first ({})", escape_path(*c.baseline_started));
    else if (c.baseline && c.baseline_reason == BaselineReason::first_input)
        why = ", the input named first";
    else if (c.baseline && c.baseline_reason == BaselineReason::first_in_order)
        why = ", the first label (no start time known)";
    return c.baseline ? fmt::format("{}: {} run(s){}, baseline {}{}", program, runs, labels,
                                    column_header(*c.runs[*c.baseline], false,
                                                  c.samples[*c.baseline].size()),
                                    why)
                      : fmt::format("{}: {} run(s){}, baseline the median of the {}", program, runs,
                                    labels, labels.empty() ? "runs" : "labels");
}

// What the marks, ratios and cells say; what a comparison with one column,
// or with repetitions, has to add.
// "~: ... (x0.930 against x0.888 for Allocation, single rate, the furthest)":
// what a ratio marked "~" is made of, or nothing when none is.
std::string apart_line(const ProgramComparison& c) {
    const FigureRow* row = nullptr;
    const Cell* far = nullptr;
    double furthest = 0;
    for (const FigureRow& r : c.rows)
        for (const Cell& x : r.cells)
            if (x.medians_ratio && x.ratio &&
                std::fabs(std::log(*x.ratio / *x.medians_ratio)) > furthest) {
                furthest = std::fabs(std::log(*x.ratio / *x.medians_ratio));
                row = &r;
                far = &x;
            }
    if (!far)
        return "";
    return fmt::format(
        "xR~: the test's estimate stands beyond the noise band from the ratio of the medians "
        "shown, which a repetition far from the others does (furthest: {} {}, {} against the "
        "medians' {}); `bench_report show` lists the repetitions.",
        row->test_title, row->figure, format_ratio(*far->ratio),
        format_ratio(*far->medians_ratio));
}

void legend_lines(const ProgramComparison& c, bool spread, std::vector<std::string>& notes) {
    notes.push_back(fmt::format(
        "Legend: + better than the baseline, - worse, = not shown to differ (inside the noise "
        "band, +/-{}, or an interval holding x1); xR is the figure divided by the baseline's{}.",
        percent(c.noise),
        c.test == SignificanceTest::none
            ? ""
            : "; between tested labels, the test's estimate of it (below)"));
    if (std::string apart = apart_line(c); !apart.empty())
        notes.push_back(apart);
    notes.push_back(
        "Rates, MB/s and improvement: higher is better; seconds: lower is better. n/a: the run "
        "has no such figure; incomplete: some threads ran out of memory, not compared. "
        "Geometric means: (tests used/tests with the figure).");
    if (c.runs.size() == 1)
        notes.push_back(fmt::format("Only one {} of {}: nothing to compare it with.",
                                    c.samples.front().size() > 1 ? "label" : "run",
                                    program_name(c.program)));
    bool repetitions = std::any_of(c.samples.begin(), c.samples.end(),
                                   [](const auto& reps) { return reps.size() > 1; });
    if (repetitions)
        notes.push_back(spread ? "Runs that share a label are repetitions (n): a figure is their "
                                 "median, +/-P% their coefficient of variation."
                               : "Runs that share a label are repetitions (n): a figure is their "
                                 "median (--view wide shows their spread).");
}

// How labels with repetitions were tested against each other.
void significance_line(const ProgramComparison& c, std::vector<std::string>& notes) {
    if (c.test == SignificanceTest::none)
        return;
    notes.push_back(fmt::format(
        "Between labels with 3 or more repetitions each, the ratio is the estimate of a "
        "two-sided test at {:g}% on the logarithms ({}), [low-high, L%] the confidence "
        "interval dual to it at its real level L: a change is marked only when the interval "
        "excludes 1 and the estimate lies outside the band.",
        significance_level * 100,
        c.test == SignificanceTest::welch
            ? "Welch's t-test, the ratio of geometric means: with 3 repetitions on a side "
              "against 3 or 4 the rank test cannot reach the level"
            : "the exact rank-sum test, the Hodges-Lehmann ratio; Welch's t-test where a "
              "side has 3 repetitions against 3 or 4"));
}

// A column tested pair by pair against the baseline: how, and the
// repetitions without a partner.
void paired_lines(const ProgramComparison& c, bool spread, std::vector<std::string>& notes) {
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        // The pairs of a column tested pair by pair: those of any of its cells.
        std::optional<std::size_t> pairs;
        for (const FigureRow& row : c.rows)
            if (row.cells[i].pairs)
                pairs = row.cells[i].pairs;
        if (!pairs || !c.baseline)
            continue;
        std::string note = fmt::format(
            "Paired: {} against {} ran in rounds of one interleaved run; each figure is tested on "
            "its {} pairs of rounds, the ratio being the Hodges-Lehmann estimate of the ratios of "
            "the pairs and [low-high, L%{}] the interval dual to the two-sided signed-rank "
            "test at {:g}%, where a drift that moved both builds of a round alike cancels.",
            run_name(*c.runs[i]), run_name(*c.runs[*c.baseline]), *pairs,
            spread ? ", N pairs" : "", significance_level * 100);
        if (i < c.pairings.size() && c.pairings[i] && !c.pairings[i]->unpaired.empty()) {
            std::vector<std::string> paths;
            for (const UnpairedRepetition& u : c.pairings[i]->unpaired)
                paths.push_back(escape_path(u.repetition->path));
            note += fmt::format(" Without a partner: {}.", fmt::join(paths, ", "));
        }
        notes.push_back(std::move(note));
    }
}

// Labels too short of repetitions to test; machines that differ; disturbed
// labels; repetitions far from their label's median.
void caution_lines(const ProgramComparison& c, std::vector<std::string>& notes) {
    if (c.untested && c.baseline) {
        bool single = std::all_of(c.samples.begin(), c.samples.end(),
                                  [](const auto& reps) { return reps.size() == 1; });
        notes.push_back(
            single ? "1 run each: no significance test; the marks are the noise band's alone."
                   : "Fewer than 3 repetitions on a side: no significance test for "
                     "those labels; their marks are the noise band's alone.");
    }
    for (const std::string& note : machine_notes(c))
        notes.push_back("Machine: " + note);
    for (const DisturbedLabel& d : disturbances(c))
        notes.push_back("Disturbed: " + disturbance_line(d, c));
    for (const FarRepetition& f : c.far)
        notes.push_back(fmt::format(
            "! {}: the repetition {} lies far from its label's median (x{:.3f}{}); it is kept in "
            "the median, which it moves little.",
            run_name(*c.runs[f.column]), escape_path(f.run->path), f.ratio,
            f.score ? fmt::format(", {:.1f} times the spread of a repetition", *f.score) : ""));
}

// Notes with the runs each concerns, in the order first said.
using SaidOnce = std::vector<std::pair<std::string, std::vector<std::string>>>;

// Each partial run and consistency finding, by the text of its note.
SaidOnce flagged_runs(const ProgramComparison& c) {
    SaidOnce said;
    auto add = [&](const std::string& text, const std::string& run) {
        auto same =
            std::find_if(said.begin(), said.end(), [&](const auto& n) { return n.first == text; });
        if (same == said.end())
            said.push_back({text, {run}});
        else
            same->second.push_back(run);
    };
    for (const auto& reps : c.samples)
        for (const Run* r : reps) {
            if (!flagged(*r))
                continue;
            std::string name = run_name(*r);
            if (r->partial)
                add(fmt::format("partial, the file ends before the end of the run ({})",
                                escape_path(r->path)),
                    name);
            for (const Finding& f : r->findings) {
                // The file-wide iteration count of a short-pass build is a note,
                // not an inconsistency.
                bool note = f.check == "iterations" && f.line == 0 && f.test.empty();
                add(fmt::format("{}{}: {}", note ? "note" : "inconsistent",
                                f.line ? fmt::format(" (line {})", f.line) : "", f.message),
                    name);
            }
        }
    return said;
}

// One note per run and finding; a note that many runs share (a fleet of
// short-pass runs) is said once, with the runs it concerns.
void flagged_lines(const ProgramComparison& c, std::vector<std::string>& notes) {
    for (const auto& [text, runs] : flagged_runs(c)) {
        if (runs.size() <= 3) {
            for (const std::string& run : runs)
                notes.push_back(fmt::format("* {}: {}", run, text));
            continue;
        }
        notes.push_back(fmt::format("* {} runs ({}, {}, ... {}): {}", runs.size(), runs[0], runs[1],
                                    runs.back(), text));
    }
}

// The notes under a table; `spread`: its cells show the repetitions'
// spread and the pairs of a paired test.
std::vector<std::string> legend(const ProgramComparison& c, bool spread = true) {
    std::vector<std::string> notes;
    legend_lines(c, spread, notes);
    significance_line(c, notes);
    paired_lines(c, spread, notes);
    caution_lines(c, notes);
    flagged_lines(c, notes);
    return notes;
}

Table wide_table(const ProgramComparison& c) {
    Table t;
    t.title = baseline_title(c);
    t.header = {"Test", "Figure", "Unit"};
    if (!c.baseline)
        t.header.push_back("median");
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        t.header.push_back(column_header(*c.runs[i], c.baseline == i, c.samples[i].size()));

    std::string previous;
    for (const FigureRow& row : c.rows) {
        std::vector<TableCell> cells = {row.test_title == previous ? "" : row.test_title,
                                        row.figure, row.unit};
        previous = row.test_title;
        if (!c.baseline)
            cells.push_back(number_cell(cell_text(row.baseline)));
        for (std::size_t i = 0; i < row.cells.size(); ++i)
            cells.push_back(ratio_cell(row.cells[i], c.baseline == i));
        t.rows.push_back(std::move(cells));
    }
    for (auto [name, geo] : {std::pair{"geomean single rate", &c.geo_single},
                             std::pair{"geomean overall rate", &c.geo_overall}}) {
        std::vector<TableCell> cells = {geo == &c.geo_single ? "All tests" : "", name, "ratio"};
        if (!c.baseline)
            cells.push_back(number_cell("x1.000"));
        for (std::size_t i = 0; i < geo->size(); ++i)
            cells.push_back(geo_cell((*geo)[i], c.baseline == i));
        t.rows.push_back(std::move(cells));
    }
    t.notes = legend(c);
    return t;
}

// Each test's rate unit, for the narrow layout's note: "Rates in Millions
// Allocations/sec. (Allocation), Millions Executions/sec. (Low speeds, High
// speeds)."
std::string rate_units(const ProgramComparison& c) {
    std::vector<std::pair<std::string, std::vector<std::string>>> units;
    for (const FigureRow& row : c.rows) {
        if (row.id != FigureId::single_rate && row.id != FigureId::overall_rate)
            continue;
        auto same = std::find_if(units.begin(), units.end(),
                                 [&](const auto& u) { return u.first == row.unit; });
        if (same == units.end())
            units.push_back({row.unit, {row.test_title}});
        else if (same->second.back() != row.test_title)
            same->second.push_back(row.test_title);
    }
    std::vector<std::string> parts;
    for (const auto& [unit, tests] : units)
        parts.push_back(fmt::format("{} ({})", unit, fmt::join(tests, ", ")));
    return fmt::format("Rates in {}; MB/s in MB/sec.; seconds in Secs.; improvement in times.",
                       fmt::join(parts, ", "));
}

// One label against the baseline in four columns, a test's name on a row of
// its own: what the wide layout says of that label, in 80 columns.
Table narrow_table(const ProgramComparison& c, std::size_t i) {
    Table t;
    std::string against =
        c.baseline ? column_header(*c.runs[*c.baseline], false, c.samples[*c.baseline].size())
                   : std::string("the median");
    t.title = fmt::format("{}: {} against {}", program_name(c.program),
                          column_header(*c.runs[i], false, c.samples[i].size()), against);
    t.header = {"Figure", c.baseline ? "Baseline" : "Median", "This", "Ratio"};
    std::string previous;
    for (const FigureRow& row : c.rows) {
        if (row.test_title != previous)
            t.rows.push_back({row.test_title, "", "", ""});
        previous = row.test_title;
        const Cell& baseline = c.baseline ? row.cells[*c.baseline] : row.baseline;
        t.rows.push_back({"  " + row.figure, number_cell(cell_text(baseline)),
                          number_cell(cell_text(row.cells[i])), ratio_only_cell(row.cells[i])});
    }
    t.rows.push_back({"All tests", "", "", ""});
    for (auto [name, geo] : {std::pair{"geomean single rate", &c.geo_single},
                             std::pair{"geomean overall rate", &c.geo_overall}})
        t.rows.push_back({std::string("  ") + name, "", "", geo_cell((*geo)[i], false)});
    return t;
}

// The narrow layout: the title, a table per label compared, then the notes.
std::vector<Table> narrow_tables(const ProgramComparison& c) {
    std::vector<Table> tables;
    for (std::size_t i = 0; i < c.runs.size(); ++i)
        if (c.baseline != i)
            tables.push_back(narrow_table(c, i));
    if (tables.empty())
        return {wide_table(c)};
    tables.front().title = baseline_title(c) + "\n" + tables.front().title;
    tables.back().notes = legend(c, false);
    tables.back().notes.insert(tables.back().notes.begin() + 1, rate_units(c));
    return tables;
}

// The figure of a run furthest from its baseline on the slow side; the
// number of rows when no figure is compared.
std::size_t worst_row(const ProgramComparison& c, std::size_t run) {
    std::size_t worst = c.rows.size();
    double furthest = -HUGE_VAL;
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
        const Cell& cell = c.rows[k].cells[run];
        if (!cell.ratio)
            continue;
        double f = std::log(time_factor(*cell.ratio, c.rows[k].better));
        if (f > furthest) {
            furthest = f;
            worst = k;
        }
    }
    return worst;
}

std::string row_figure_name(const FigureRow& row) {
    return row.test_title + " " + row.figure;
}

// A run's mark over all its figures: worse when any figure is worse, else
// better when any is better, else the same.
Mark run_mark(const ProgramComparison& c, std::size_t run) {
    Mark mark = Mark::none;
    for (const FigureRow& row : c.rows) {
        Mark m = row.cells[run].mark;
        if (m == Mark::worse)
            mark = Mark::worse;
        else if (m == Mark::better && mark != Mark::worse)
            mark = Mark::better;
        else if (m == Mark::same && mark == Mark::none)
            mark = Mark::same;
    }
    return mark;
}

Table outlier_table(const ProgramComparison& c) {
    Table t;
    t.title = fmt::format("{}: runs far from the median (outside +/-{} and the fleet's own spread)",
                          program_name(c.program), percent(c.noise));
    t.header = {"Run", "Single", "Overall", "Score", "Furthest figures"};
    for (const Outlier& out : c.outliers) {
        std::string figures;
        for (std::size_t k : out.rows)
            figures += (figures.empty() ? "" : "; ") +
                       format_ratio(*c.rows[k].cells[out.run].ratio) + " " +
                       row_figure_name(c.rows[k]);
        t.rows.push_back(
            {column_header(*c.runs[out.run], false), geo_cell(c.geo_single[out.run], false),
             geo_cell(c.geo_overall[out.run], false),
             number_cell(out.score ? fmt::format("{:.1f}", *out.score) : "-"), figures});
    }
    t.notes.push_back(
        c.outliers.empty()
            ? "No run lies far from the median."
            : "A run is listed when the geometric mean of its single-thread or "
              "overall rates (Single, Overall) lies outside the noise band and more "
              "than " + fmt::format("{:g}", outlier_score) + " robust units (Score: median absolute deviations, scaled) from "
              "the fleet's median; furthest first.");
    return t;
}

}  // namespace

std::vector<std::string> machine_notes(const ProgramComparison& c) {
    std::vector<std::string> notes;
    if (c.runs.empty())
        return notes;
    const Run& base = *c.runs[c.reference];
    const char* whose = c.baseline ? "the baseline" : "the first run";
    for (const ContextMismatch& m : c.mismatches)
        for (const ContextDifference& d : m.differences) {
            std::string note =
                fmt::format("{}: {} differs from {} {} in {}: {}, {}'s {}", program_name(c.program),
                            run_name(*m.run), whose, run_name(base), d.field, escape_path(d.first),
                            whose, escape_path(d.second));
            if (std::find(notes.begin(), notes.end(), note) == notes.end())
                notes.push_back(note);
        }
    return notes;
}

std::string run_name(const Run& run) {
    return run.label.empty() ? escape_path(run.path) : escape_path(run.label);
}

std::string format_ratio(double ratio) {
    return ratio >= 0.001 || ratio == 0 ? fmt::format("x{:.3f}", ratio)
                                        : fmt::format("x{:.1e}", ratio);
}

std::string cell_text(const Cell& cell) {
    if (!cell.printed.empty() && cell.missing != Missing::incomplete)
        return cell.printed;
    switch (cell.missing) {
        case Missing::incomplete: return "incomplete";
        case Missing::absent: return "n/a";
        case Missing::not_finite: return cell.printed;
        case Missing::none: break;
    }
    return fmt::format("{:.6g}", *cell.value);
}

Table fleet_table(const ProgramComparison& c) {
    Table t;
    t.title = baseline_title(c);
    t.header = {"Run", "Threads", "Single", "Overall", "Mark", "Worst figure"};
    std::vector<std::size_t> order(c.runs.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    // Slowest overall first; runs without an overall mean last.
    auto key = [&](std::size_t i) {
        const GeoMean& g = c.geo_overall[i];
        return g.ratio ? *g.ratio : HUGE_VAL;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    for (std::size_t i : order) {
        const Run& run = *c.runs[i];
        bool base = c.baseline == i;
        std::optional<int> threads =
            run.threads ? std::optional<int>(static_cast<int>(*run.threads)) : std::nullopt;
        std::size_t worst = base ? c.rows.size() : worst_row(c, i);
        bool has_worst = worst < c.rows.size();
        // The ratio first, so a cell cut to fit the width keeps it.
        std::string worst_text =
            has_worst ? fmt::format("{} {}", format_ratio(*c.rows[worst].cells[i].ratio),
                                    row_figure_name(c.rows[worst]))
                      : "-";
        Mark mark = base ? Mark::none : run_mark(c, i);
        auto geo = [&](const GeoMean& g) {
            if (!g.ratio)
                return number_cell("n/a");
            return number_cell(format_ratio(*g.ratio) + (base ? "" : " " + mark_symbol(g.mark)),
                               base ? Mark::none : g.mark);
        };
        t.rows.push_back(
            {column_header(run, base, c.samples[i].size()),
             number_cell(threads ? std::to_string(*threads) : "?"), geo(c.geo_single[i]),
             geo(c.geo_overall[i]), TableCell(mark_symbol(mark), false, mark),
             TableCell(worst_text, false,
                       has_worst ? c.rows[worst].cells[i].mark : Mark::none)});
    }
    t.notes = legend(c);
    t.notes[1] =
        "Single and Overall: geometric means of each run's single-thread and overall rates "
        "divided by the baseline's; Worst figure: the figure furthest on the slow side; "
        "Mark: - when any figure is worse, + when any is better and none worse. Slowest "
        "overall first.";
    return t;
}

bool wide_fits(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options) {
    for (const ProgramComparison& c : comparisons) {
        // A few runs read best as columns even where they overflow the width.
        if (c.runs.size() <= few_runs)
            continue;
        std::string text = render_text(wide_table(c));
        std::size_t end = text.find('\n');
        // The header line and every row.
        std::size_t start = end + 1;
        while ((end = text.find('\n', start)) != std::string::npos) {
            if (display_width(text.substr(start, end - start)) > options.width &&
                start < text.size() && text.compare(start, 7, "Legend:") != 0)
                return false;
            start = end + 1;
            if (text.compare(start, 7, "Legend:") == 0)
                break;
        }
    }
    return true;
}

bool fleet_layout(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options) {
    return options.layout == CompareLayout::fleet ||
           (options.layout == CompareLayout::automatic && !wide_fits(comparisons, options));
}

bool narrow_wanted(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options) {
    if (options.layout == CompareLayout::narrow)
        return true;
    if (!options.narrow || options.layout != CompareLayout::automatic)
        return false;
    for (const ProgramComparison& c : comparisons) {
        std::string text = render_text(wide_table(c));
        std::size_t start = text.find('\n') + 1, end = text.find('\n', start);
        if (end != std::string::npos && display_width(text.substr(start, end - start)) > options.width)
            return true;
    }
    return false;
}

std::vector<Table> compare_tables(const std::vector<ProgramComparison>& comparisons,
                                  const ViewOptions& options) {
    bool fleet = fleet_layout(comparisons, options);
    bool narrow = !fleet && narrow_wanted(comparisons, options);
    std::vector<Table> tables;
    for (const ProgramComparison& c : comparisons) {
        if (narrow) {
            for (Table& t : narrow_tables(c))
                tables.push_back(std::move(t));
        } else {
            tables.push_back(fleet ? fleet_table(c) : wide_table(c));
        }
        // The runs far from the fleet's median: always against the median;
        // against a baseline run, in the fleet layout when there are any.
        if (!c.baseline || (fleet && !c.outliers.empty()))
            tables.push_back(outlier_table(c));
    }
    // Each label's improvement figures explained, after the comparison's own tables.
    for (Table& t : compare_scaling_tables(comparisons))
        tables.push_back(std::move(t));
    return tables;
}

}  // namespace report
