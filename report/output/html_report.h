// The HTML report of `chart`: self-contained (inline SVG and CSS, no script,
// no external resource), or a single SVG chart.
#pragma once

#include <string>
#include <vector>

#include "output/compare_views.h"
#include "analysis/comparison.h"
#include "analysis/change_points.h"
#include "analysis/history.h"
#include "model/run.h"
#include "output/svg.h"
#include "output/table.h"

namespace report {

// The scaling of one test: a bar per thread of the multi-thread pass and the
// single-thread rate as a line, which is also where every thread would be
// with ideal scaling. Empty when the test has no per-thread rates.
std::string scaling_chart(const Run& run, const Test& test);

// A few runs of one program (no more than there are colours): per test, the
// single-thread and the overall rates of each run divided by the baseline's
// (1.0 = baseline), a bar per run.
std::string comparison_chart(const ProgramComparison& comparison);

// Many runs of one program: for the test `test` (every test when empty), a
// panel per rate with a dot per run, sorted, on a logarithmic ratio axis, the
// median as a line, and the comparison's outliers (runs far from the fleet's
// median, the same its tables name) in colour and named. What could not be
// drawn or named goes to `notes` as HTML paragraphs. Empty when no run has
// the rates.
std::string fleet_chart(const ProgramComparison& comparison, const std::string& test,
                        std::string* notes = nullptr);

// The history of one label and program for test `key`: the single-thread and
// the overall rate by day on a time axis, each day's runs as the median with
// a bar from the lowest to the highest, and a dashed vertical line, named
// above the plot, where the machine changed between two days; a solid line
// on the first day of each of `change_points` (those of other tests and
// figures are left out). Empty when no day has the test's rates.
std::string history_chart(const History& history, const std::string& key,
                          const std::vector<const ChangePoint*>& change_points = {});

// The whole report: a contents list; with the options' gate, its verdict; per program, the comparison (bars for a
// few runs, a fleet chart per test for more) and its tables; the history of
// every label with runs on two days or more; then each run's
// charts and tables, folded: every run's for a few, a dozen (baselines,
// outliers, partial runs) for a fleet.
std::string html_report(const std::vector<const Run*>& runs,
                        const std::vector<ProgramComparison>& comparisons,
                        const ViewOptions& options);

// The one chart an .svg output holds: the first comparison of several runs
// (its fleet chart of every test for many), else the first scaling chart;
// with `gate`, under a banner stating its verdict. Empty when there is
// nothing to draw.
std::string svg_report(const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons,
                       const GateVerdict* gate = nullptr);

}  // namespace report
