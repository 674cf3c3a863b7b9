// `compare`: the figures of several runs side by side, each as a ratio to a
// baseline run (or to the median of the runs), marked better, worse or within
// the noise band. Runs of different programs are never compared: one
// comparison per program.
#pragma once

#include <cstddef>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

#include "load.h"
#include "run.h"
#include "table.h"

namespace report {

enum class Better { higher, lower };

// `none`: the baseline's own column, or a figure that cannot be compared
// (absent on either side, incomplete, or a zero baseline).
enum class Mark { none, better, worse, same };

// One figure of one run (or the median of the runs).
struct Cell {
    std::optional<double> value;   // absent: not in that run, or not comparable
    std::string text;              // as printed, "n/a" or "incomplete"
    std::optional<double> ratio;   // value / baseline value
    Mark mark = Mark::none;
};

// One figure of one test, across the runs.
struct FigureRow {
    std::string test;              // Test::key
    std::string test_title;        // as printed, e.g. "Float Streaming."
    std::string figure;            // "single rate", "overall per thread", ...
    std::string unit;
    Better better = Better::higher;
    Cell baseline;                 // the baseline run's figure, or the median
    std::vector<Cell> cells;       // one per run
};

// Geometric mean of one run's ratios over the tests where both it and the
// baseline have the figure.
struct GeoMean {
    std::optional<double> ratio;
    int used = 0;                  // tests that entered the mean
    int total = 0;                 // tests that have the figure in any run
    Mark mark = Mark::none;
};

// A run far from the fleet median, with the figures that put it there.
struct Outlier {
    std::size_t run = 0;           // index into ProgramComparison::runs
    double distance = 0;           // largest |ln ratio| of its two geometric means
    std::vector<std::string> figures;  // furthest figures first, e.g. "Float Streaming. single rate x0.812"
};

struct ProgramComparison {
    Program program = Program::processors;
    std::vector<const Run*> runs;  // the columns, in the order given
    std::optional<std::size_t> baseline;  // index into runs; absent: the median of the runs
    std::vector<FigureRow> rows;
    std::vector<GeoMean> geo_single;   // one per run, over the single-thread rates
    std::vector<GeoMean> geo_overall;  // one per run, over the overall rates
    std::vector<Outlier> outliers;     // median baseline only, furthest first
};

// A figure worse than its baseline by more than the allowed percentage.
struct Regression {
    Program program = Program::processors;
    std::string run;               // label
    std::string test_title;
    std::string figure;
    std::string text;              // the figure as printed
    double ratio = 1;
};

// The runs to compare and their baseline, as --baseline names it: empty for
// the first run of each program, "median", or a path. A path that is none of
// the runs is loaded into `extra` and becomes the first column.
struct BaselineChoice {
    std::vector<const Run*> runs;
    const Run* baseline = nullptr;
    bool median = false;
    bool failed = false;           // the baseline file could not be read, or held no single run
};
BaselineChoice choose_baseline(const std::vector<Run>& runs, const std::string& option,
                               Loaded& extra, std::ostream& diagnostics);

// Compares the runs, grouped by program in order of first appearance. The
// baseline of a program is `baseline` when it is one of its runs, else its
// first run; with `median` each figure's baseline is the median of the runs.
// `noise` is the band in percent within which a figure counts as the same.
std::vector<ProgramComparison> compare_runs(const std::vector<const Run*>& runs,
                                            const Run* baseline, bool median, double noise);

// The mark of a ratio: "=" within noise percent of 1, else better or worse
// according to the figure's direction.
Mark classify(double ratio, Better better, double noise);

// Whether a ratio is worse than the baseline by more than `percent`.
bool worse_beyond(double ratio, Better better, double percent);

// Every figure of every run worse than its baseline by more than `percent`.
std::vector<Regression> regressions(const std::vector<ProgramComparison>& comparisons,
                                    double percent);

// One table per program (and one of outliers when the baseline is the median),
// with the legend and the notes on partial or inconsistent runs.
std::vector<Table> compare_tables(const std::vector<ProgramComparison>& comparisons, double noise);

// The rendered text with the better and worse marks in green and red, for a
// terminal that shows colour.
std::string colour_marks(const std::string& text);

// The ratio as it appears in a cell: "x1.034".
std::string format_ratio(double ratio);

}  // namespace report
