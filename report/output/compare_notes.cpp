// The notes under a comparison's tables: legend, tests, pairs, cautions, flagged runs, machines.
#include "output/compare_views.h"
#include "output/compare_parts.h"
#include "output/gate_view.h"
#include "output/text.h"

#include <algorithm>

#include <fmt/format.h>

#include "analysis/run_standing.h"
#include "model/catalogue.h"

namespace report {

namespace {

// "~: ... (x0.930 against x0.888 for Allocation, single rate, the furthest)":
// what a ratio marked "~" is made of, or nothing when none is.
std::string apart_line(const ProgramComparison& c) {
    std::optional<FigureAt> at = furthest_apart(c);
    if (!at)
        return "";
    const FigureRow* row = &c.rows[at->row];
    const Cell* far = &row->cells[at->run];
    return fmt::format(
        "xR~: the test's estimate stands beyond the noise band from the ratio of the medians "
        "shown, which a repetition far from the others does (furthest: {} {}, {} against the "
        "medians' {}); `bench_report show` lists the repetitions.",
        row->test_title, row->figure, format_ratio(*far->ratio),
        format_ratio(*far->medians_ratio));
}

// What the marks, ratios and cells say; what a comparison with one column,
// or with repetitions, has to add.
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

}  // namespace

// The notes under a table; `spread`: its cells show the repetitions'
// spread and the pairs of a paired test.
std::vector<std::string> legend(const ProgramComparison& c, bool spread) {
    std::vector<std::string> notes;
    legend_lines(c, spread, notes);
    significance_line(c, notes);
    paired_lines(c, spread, notes);
    caution_lines(c, notes);
    flagged_lines(c, notes);
    return notes;
}

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

}  // namespace report
