// The gate's verdict in words, the same sentences wherever it is said: under
// the text and Markdown tables and on standard error.
#pragma once

#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/gate.h"

namespace report {

// One sentence a line: what keeps the gate from a verdict, each tested
// label's time factor against the threshold, the figures that explain a
// slowdown or trip an untested label, the untested labels; the last line is the verdict itself ("gate: pass", "gate:
// fail, ...", "gate: no verdict, ...").
std::vector<std::string> gate_lines(const GateVerdict& verdict,
                                    const std::vector<ProgramComparison>& comparisons);

// The last line alone.
std::string verdict_line(const GateVerdict& verdict,
                         const std::vector<ProgramComparison>& comparisons);

// A disturbance as said under a table and on standard error.
std::string disturbance_line(const DisturbedLabel& d, const ProgramComparison& comparison);

// "between x0.970 and x1.090": a tested label's interval of the time factor,
// each bound one-sided at the label's share of the gate's level.
std::string interval_text(const ProgramSlowdown& s);

// "cannot tell a 2% slowdown from noise here: between x0.970 and x1.090;
// about 12 repetitions a side would decide".
std::string inconclusive_words(const ProgramSlowdown& s, double percent);

// "rank-sum test", "Welch's t-test": a test's method in words.
const char* method_words(stats::SlowdownMethod method);
// The methods of a label's two bounds: one name, or each side's where they differ.
std::string bounds_method_words(stats::SlowdownMethod upper, stats::SlowdownMethod lower);

// "rank_sum", "welch", "constant": the method's name in JSON.
const char* method_name(stats::SlowdownMethod method);

}  // namespace report

namespace report {

// The lines of gate_lines that concern one label (a column of a comparison):
// its problems, its test against the threshold, the figures that explain it.
std::vector<std::string> label_gate_lines(const GateVerdict& verdict,
                                          const std::vector<ProgramComparison>& comparisons,
                                          std::size_t comparison, std::size_t run);

}  // namespace report
