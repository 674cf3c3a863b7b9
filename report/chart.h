// `chart`: a self-contained HTML report (inline SVG and CSS, no script, no
// external resource) or a single SVG chart.
#pragma once

#include <string>
#include <vector>

#include "compare.h"
#include "run.h"
#include "svg.h"
#include "table.h"

namespace report {

// The scaling of one test: a bar per thread of the multi-thread pass and the
// single-thread rate as a line, which is also where every thread would be
// with ideal scaling. Empty when the test has no per-thread rates.
std::string scaling_chart(const Run& run, const Test& test);

// Several runs of one program: per test, the single-thread and the overall
// rates of each run divided by the baseline's (1.0 = baseline).
std::string comparison_chart(const ProgramComparison& comparison);

// An HTML table with the same cells as render_text shows.
std::string render_html(const Table& table);

// The whole report: the comparison (when several runs are given), then each
// run's charts and tables.
std::string html_report(const std::vector<const Run*>& runs,
                        const std::vector<ProgramComparison>& comparisons, double noise);

// The one chart an .svg output holds: the first comparison of several runs,
// else the first scaling chart. Empty when there is nothing to draw.
std::string svg_report(const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons);

}  // namespace report
