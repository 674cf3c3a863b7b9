// The HTML report of `chart`: self-contained (inline SVG and CSS, no script,
// no external resource), or a single SVG chart.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/page.h"
#include "model/run.h"
#include "output/charts.h"
#include "output/compare_views.h"

namespace report {

// The labels whose history a page carries, the furthest moved first; `chart` of a
// label's runs alone charts its history.
inline constexpr std::size_t page_histories = 12;

// The whole report: a contents list; with the options' gate, its verdict;
// per program, the comparison (bars for a few runs, a fleet chart per test
// for more) and its tables; the fleet events and the history of each label
// of `history`; then each run's charts and tables, folded: every run's for a
// few, a dozen (baselines, outliers, partial runs) for a fleet; a label's
// repetitions together, one chart per test with a dot per repetition.
std::string html_report(const std::vector<const Run*>& runs,
                        const std::vector<ProgramComparison>& comparisons,
                        const ViewOptions& options, const HistoryPage& history = {});

// The one chart an .svg output holds: the first comparison of several runs
// (its fleet chart of every test for many), else the first scaling chart;
// with `gate`, under a banner stating its verdict. Empty when there is
// nothing to draw.
std::string svg_report(const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons,
                       const GateVerdict* gate = nullptr);

}  // namespace report
