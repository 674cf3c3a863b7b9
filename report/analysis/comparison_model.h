// The model of a comparison: each figure of each label as a ratio to its baseline, with marks.
//
// The figures of several runs of one program, each as a ratio to its
// baseline (a run, or the median of the runs), with marks, geometric means,
// outliers and what a regression gate needs to know. comparison.h makes it;
// the views (text, Markdown, CSV, JSON, HTML) present it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/run.h"
#include "analysis/machine_differences.h"
#include "analysis/figures.h"
#include "analysis/mark.h"
#include "analysis/pairing.h"
#include "analysis/repetitions.h"
#include "analysis/runs_taken.h"
#include "analysis/stats.h"

namespace report {

// Why a figure has no value to compare.
enum class Missing {
    none,        // it has a value
    absent,      // the run did not print it
    incomplete,  // an overall figure summed over fewer threads than ran
    not_finite,  // printed as inf or nan
};

// How a change between two sets of repetitions was tested.
// signed_rank: pair by pair, the rounds of an interleaved run.
enum class SignificanceTest { none, mann_whitney, welch, signed_rank };

// One figure of one label (its repetitions), or the median of the labels.
struct Cell {
    std::optional<double> value;  // the median of the repetitions; absent: see `missing`
    std::string printed;          // the text the program printed (one repetition); empty for a
                                  // derived figure or a median
    Missing missing = Missing::absent;
    std::optional<double> ratio;  // value / baseline value
    Mark mark = Mark::none;
    // With repetitions: every value, and how a change against the baseline's
    // was tested (at least min_repetitions_a_side on each side).
    std::vector<double> samples;
    std::optional<double> cv;  // coefficient of variation of the samples
    SignificanceTest test = SignificanceTest::none;
    std::optional<double> p;                       // two-sided p-value of the test
    std::optional<stats::RatioInterval> interval;  // of the ratio, when tested
    std::optional<std::size_t> pairs;  // signed_rank: the pairs of rounds tested
    // Where `ratio` is a test's estimate: the ratio of the medians shown,
    // when it stands apart from the estimate by more than the noise band (a
    // repetition far from the others pulls a ratio of geometric means), so
    // that the outputs say both rather than contradict the columns.
    std::optional<double> medians_ratio;
};

// One figure of one test, across the runs.
struct FigureRow {
    std::string test;        // Test::key
    std::string test_title;  // the test's display name (catalogue)
    std::string figure;      // FigureKind::name
    FigureId id = FigureId::single_rate;
    std::string unit;        // printed unit of the figure
    Better better = Better::higher;
    Pass pass = Pass::derived;
    Cell baseline;            // the baseline run's figure, or the median
    std::vector<Cell> cells;  // one per run
};

// Geometric mean of one run's ratios over the tests where both it and the
// baseline have the figure.
struct GeoMean {
    std::optional<double> ratio;
    int used = 0;   // tests that entered the mean
    int total = 0;  // tests that have the figure in any run
    Mark mark = Mark::none;
};

// A run far from the fleet median, with the figures that put it there.
struct Outlier {
    std::size_t run = 0;            // index into ProgramComparison::runs
    double distance = 0;            // largest |ln ratio| of its two geometric means
    std::optional<double> score;    // robust score (MAD units) of that geometric mean
    std::vector<std::size_t> rows;  // furthest figures first (indices into rows), at most 3
};

// A repetition far from the median of its label's repetitions.
struct FarRepetition {
    std::size_t column = 0;  // index into ProgramComparison::runs
    const Run* run = nullptr;
    double ratio = 1;             // geometric mean of its rates over the label's medians
    // Its distance from the mean of the label's others in units of the
    // program's spread of a repetition (a t score); absent: no spread at all.
    std::optional<double> score;
};

// The significance level of the tests between sets of repetitions.
constexpr double significance_level = 0.05;

// The noise band when none is given, in percent: a figure within it of the
// baseline's time is the same.
constexpr double default_noise_percent = 2;

// A run (or a repetition) is far from the median of its fleet (or label) when
// it lies outside the noise band and more than this many robust units (scaled
// median absolute deviations) from the median: Iglewicz and Hoaglin's 3.5.
constexpr double outlier_score = 3.5;

enum class BaselineReason { named, first_input, ran_first, first_in_order };

struct ProgramComparison {
    Program program = Program::processors;
    // The columns: one per label, in the order given; `runs[i]` is the first
    // repetition of label i and `samples[i]` all of them.
    std::vector<const Run*> runs;
    std::vector<std::vector<const Run*>> samples;
    std::optional<std::size_t> baseline;  // index into runs; absent: the median of the runs
    // Why the baseline is the baseline: named by --baseline, the only label
    // of the input named first, the label that ran first (its earliest
    // repetition's start, `baseline_started`), or, no start being known, the
    // first label in natural order. Its column is the first.
    BaselineReason baseline_reason = BaselineReason::named;
    std::optional<std::string> baseline_started;
    double noise = default_noise_percent;  // the noise band it was compared with, percent
    std::vector<FigureRow> rows;
    std::vector<GeoMean> geo_single;   // one per run, over the single-thread rates
    std::vector<GeoMean> geo_overall;  // one per run, over the overall rates
    std::vector<Outlier> outliers;     // runs far from the fleet's median, furthest first
    std::vector<FarRepetition> far;    // repetitions far from their label's median
    // The column whose first repetition the others' machines are told
    // against: the baseline's, or with the median the first label's.
    std::size_t reference = 0;
    // Runs whose machine.json differs from the reference run's (the first
    // repetition of column `reference`) in what changes figures.
    std::vector<ContextMismatch> mismatches;
    // Per column: the pairs of its rounds with the baseline's, when the two
    // ran interleaved; its figures are tested pair by pair where there are
    // `figure_pairs_needed` of them.
    std::vector<std::optional<Pairing>> pairings;
    SignificanceTest test = SignificanceTest::none;  // the test used where columns were tested
    bool untested = false;  // a column and the baseline have too few repetitions
    // The labels whose runs are a history, and which of them were compared.
    std::vector<LabelRuns> taken;
};

struct CompareSettings {
    double noise = default_noise_percent;  // percent: a figure within it counts as the same
    bool median = false;                // each figure's baseline is the median of the runs
    std::vector<const Run*> baselines;  // with !median: one run per program compared
    std::vector<std::string> tests;     // keys to keep; empty: all
    std::vector<std::string> figures;   // FigureKind names to keep; empty: all
    std::vector<LabelRuns> taken;       // which runs of each history were taken
};

}  // namespace report
