// The charts of `chart`, each an SVG drawing: the scaling of one test, the
// comparison of a few runs, a fleet's dots and a label's history. Every
// chart is drawn from what the analysis decided (ratios, marks, outliers,
// each day's points); the page and the .svg output place them.
#pragma once

#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "analysis/page.h"
#include "analysis/scaling.h"
#include "model/run.h"
#include "output/svg.h"

namespace report {

// The scaling of one test: a bar per thread of the multi-thread pass and the
// single-thread rate as a line, which is also where every thread would be
// with ideal scaling. Empty when the test has no per-thread rates.
Chart scaling_chart(const Run& run, const Test& test);

// The scaling of one test over a label's repetitions (runs of one program
// that share a label): a bar per thread at the median of its rates with a
// dot per repetition, and the median single-thread rate as a line. `label`
// is the label as shown.
Chart repetitions_chart(const std::string& label, std::size_t repetitions,
                        const RepeatedScaling& scaling);

// A sweep's curve for one test (run --scaling): the overall rate of each
// point against its threads, the range of its repetitions as a whisker, SMT
// points hollow, the ideal line (the one-thread rate times the threads)
// dashed, and each point's efficiency written above it.
Chart curve_chart(const SweepCurve& sweep, const CurveTest& test);

// A few runs of one program (those not in the fleet layout, compare_layout.h:
// no more than there are colours): per test, the
// single-thread and the overall rates of each run divided by the baseline's
// (1.0 = baseline), a bar per run. A bar with an interval carries it as a
// whisker; a bar the comparison marks "same" is hatched: no difference shown.
Chart comparison_chart(const ProgramComparison& comparison);

// Many runs of one program (the fleet layout): for the test `test` (every test when empty), a
// panel per rate with a dot per run, sorted, on a logarithmic ratio axis, the
// median as a line, and the comparison's outliers (runs far from the fleet's
// median, the same its tables name) in colour and named, beside their dots
// where there is room, else under the panel. The runs without the figure go
// to `notes` as an HTML paragraph. Empty when no run has the rates.
Chart fleet_chart(const ProgramComparison& comparison, const std::string& test,
                  std::string* notes = nullptr);

// The history of one test of one label and program: each rate by day on a
// time axis, each day's runs as the median with a bar from the lowest to the
// highest, and a dashed vertical line, named above the plot, where the
// machine changed between two days; a solid line on the first day of each of
// the rate's change points.
Chart history_chart(const ProgramHistory& history, const HistoryTest& test);

// `chart` under a banner that states the gate's verdict in the sentences
// compare says: the chart's own drawing nested below the banner's lines, the
// whole as wide as the chart.
Chart with_verdict(const Chart& chart, const GateVerdict& verdict,
                   const std::vector<ProgramComparison>& comparisons);

}  // namespace report
