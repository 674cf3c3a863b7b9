// Which layout a comparison is shown in, decided here once for every view
// that shows one (the text and Markdown tables, the page's tables and
// charts, the .svg chart), and a comparison's tables in that layout.
#pragma once

#include <vector>

#include "analysis/comparison.h"
#include "output/compare_views.h"
#include "output/table.h"

namespace report {

// Whether a program's runs are shown a row a run (the fleet layout: a table
// of a row a run and a chart of a dot a run) rather than a column and a bar a
// run: when asked; left to choose, when the runs are more than the colours a
// chart tells apart, or when their wide table does not fit the width (up to
// 4 runs always do: they read best as columns).
bool fleet_layout(const ProgramComparison& comparison, const ViewOptions& options);
// The programs of one text share a layout: the fleet one when any program's is.
bool fleet_layout(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options);

// Whether the text shows the narrow layout: a few runs, whose wide table is
// wider than the width, in a text that allows it.
bool narrow_wanted(const std::vector<ProgramComparison>& comparisons, const ViewOptions& options);

// The tables of the comparisons in the layout chosen: one table per program
// (or, narrow, one per label), then the outliers when the baseline is the
// median, then each label's improvement figures explained.
std::vector<Table> compare_tables(const std::vector<ProgramComparison>& comparisons,
                                  const ViewOptions& options);

}  // namespace report
