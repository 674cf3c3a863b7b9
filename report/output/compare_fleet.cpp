// The fleet layout of a comparison, a row per run slowest first, and the table of outliers.
#include "output/compare_views.h"
#include "output/compare_parts.h"

#include <fmt/format.h>

#include "analysis/run_standing.h"
#include "model/catalogue.h"

namespace report {

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

Table fleet_table(const ProgramComparison& c) {
    Table t;
    t.title = baseline_title(c);
    t.header = {"Run", "Threads", "Single", "Overall", "Mark", "Worst figure"};
    for (std::size_t i : slowest_overall_first(c)) {
        const Run& run = *c.runs[i];
        bool base = c.baseline == i;
        std::optional<int> threads =
            run.threads ? std::optional<int>(static_cast<int>(*run.threads)) : std::nullopt;
        std::optional<std::size_t> worst = worst_figure(c, i);
        // The ratio first, so a cell cut to fit the width keeps it.
        std::string worst_text =
            worst ? fmt::format("{} {}", format_ratio(*c.rows[*worst].cells[i].ratio),
                                row_figure_name(c.rows[*worst]))
                  : "-";
        Mark mark = overall_mark(c, i);
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
                       worst ? c.rows[*worst].cells[i].mark : Mark::none)});
    }
    t.notes = legend(c);
    t.notes[1] =
        "Single and Overall: geometric means of each run's single-thread and overall rates "
        "divided by the baseline's; Worst figure: the figure furthest on the slow side; "
        "Mark: - when any figure is worse, + when any is better and none worse. Slowest "
        "overall first.";
    return t;
}

}  // namespace report
