// The tables of a comparison, which every compare format and the HTML report
// show: the wide and fleet layouts, the outliers, the legend and the notes on
// machines. Which layout a comparison gets is compare_layout.h's; the formats
// themselves are in compare_formats.h, one file each.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "analysis/slowdown.h"
#include "output/table.h"

namespace report {

enum class CompareLayout { automatic, wide, narrow, fleet };

struct ViewOptions {
    const GateVerdict* gate = nullptr;  // with --fail-if-worse: the verdict the views state
    CompareLayout layout = CompareLayout::automatic;
    std::size_t width = 80;  // columns of the terminal (fleet layout fits it)
    bool colour = false;
    // A text for a terminal or a pipe: a few runs whose columns overflow the
    // width are shown a label at a time (the narrow layout).
    bool narrow = false;
};

// A run's name for tables and terminals: its label (control characters
// escaped), else its path.
std::string run_name(const Run& run);

// The ratio as a cell shows it: "x1.034".
std::string format_ratio(double ratio);

// A figure's text: as printed, else its value in 6 significant digits, else
// why it has none ("n/a", "incomplete", the printed inf or nan).
std::string cell_text(const Cell& cell);

// Where the machines differ from the baseline's in what changes the figures:
// one line per run and field, the same line said once.
std::vector<std::string> machine_notes(const ProgramComparison& comparison);

// The answer first: per program and label compared with a baseline, how
// much slower or faster with its interval, or "no difference shown";
// at most 10 labels a program.
// Then, of each label whose runs span days (a history), which were compared.
std::vector<std::string> headline_lines(const std::vector<ProgramComparison>& comparisons,
                                        const GateVerdict* gate = nullptr);
std::vector<std::string> taken_lines(const ProgramComparison& comparison);
// One label's line of the answer.
std::string answer_line(const Headline& headline, const ProgramComparison& comparison);
// Why a history's latest runs were compared, when they were by default.
std::optional<std::string> taken_hint(const ProgramComparison& comparison);

// The fleet layout: a row per run with its geometric means, worst figure and
// mark, sorted by the overall geometric mean (compare_fleet.cpp). Which
// layout a comparison gets, and its tables in it: compare_layout.h.
Table fleet_table(const ProgramComparison& comparison);

// The word a JSON or CSV cell gives a mark: "better", "worse", "same", "none".
const char* mark_name(Mark m);

}  // namespace report
