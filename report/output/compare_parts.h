// What the tables of a comparison share between their files: the cells,
// the column headers and title, and the notes under a table. Only the
// compare views include it; the formats read compare_views.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/mark.h"
#include "output/table.h"

namespace report {

// The symbol a table cell gives a mark: "+", "-", "=", or nothing.
std::string mark_symbol(Mark m);

// A partial run, or one with consistency findings: its header carries "*".
bool flagged(const Run& run);

// A column's header: the run's name, "(n=N)" with repetitions, "*" when
// flagged, "(baseline)" for the baseline.
std::string column_header(const Run& run, bool is_baseline, std::size_t repetitions = 1);

// A per cent as the notes say it: "2%", "0.5%".
std::string percent(double p);

// The interval of a ratio and its real level: "[0.931-0.990, 95%]".
std::string ratio_interval_text(const stats::RatioInterval& i);

// A figure with its spread, ratio, interval and mark (the wide layout);
// the ratio, interval and mark alone (the narrow layout).
TableCell ratio_cell(const Cell& cell, bool is_baseline);
TableCell ratio_only_cell(const Cell& cell);

// A geometric mean's cell: "x0.982 - (5/6)", "n/a (0/6)".
TableCell geo_cell(const GeoMean& g, bool is_baseline);

// The title of a program's table: its runs, labels and baseline, and why
// that baseline.
std::string baseline_title(const ProgramComparison& c);

// "Float Streaming single rate": a row's test and figure.
std::string row_figure_name(const FigureRow& row);

// The wide layout of a program: a column per run, a row per figure, then
// the geometric means (compare_views.cpp).
Table wide_table(const ProgramComparison& c);
// The narrow layout: a table per label against the baseline, the
// comparison's title over the first and the notes under the last; the wide
// table when no label is compared (compare_views.cpp).
std::vector<Table> narrow_tables(const ProgramComparison& c);

// The runs far from the fleet's median, furthest first (compare_fleet.cpp).
Table outlier_table(const ProgramComparison& c);

// The notes under a table; `spread`: its cells show the repetitions'
// spread and the pairs of a paired test.
std::vector<std::string> legend(const ProgramComparison& c, bool spread = true);

}  // namespace report
