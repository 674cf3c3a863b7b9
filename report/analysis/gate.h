// The regression gate of `compare --fail-if-worse`: whether the runs compared
// are slower than the baseline by more than a percentage. The verdict is
// decided here once; the exit status, standard error and every view (text,
// Markdown, JSON, the chart) read this one decision.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/slowdown.h"

namespace report {

// Whether the run needs more than (1 + percent/100) times the baseline's time.
bool worse_beyond(double ratio, Better better, double percent);

// A figure beyond the gate's percentage: one per pass of a test of a label,
// named by its worst figure. For a label the gate tested these explain its
// time factor; for one it could not test they are the gate (the band alone).
struct Regression {
    std::size_t comparison = 0;  // index into the comparisons
    std::size_t run = 0;         // index into its runs
    std::size_t row = 0;         // the worst figure of the pass
    double factor = 1;           // time_factor of that figure
};
std::vector<Regression> regressions(const std::vector<ProgramComparison>& comparisons,
                                    double percent);

// An input (a path argument) without a program that the baseline has: the
// gate cannot judge what is not there.
struct MissingProgram {
    std::size_t input = 0;  // index into the path arguments
    Program program = Program::processors;
};
// Every program the baselines have (with the median, or no baseline named:
// every program compared) must be in every input that holds any run;
// `runs` are the runs loaded from the inputs, each with its `input`.
std::vector<MissingProgram> programs_missing(const std::vector<Run>& runs, std::size_t inputs,
                                             const std::vector<const Run*>& baselines,
                                             bool median);

// What keeps a gate from giving a verdict.
struct GateProblem {
    enum Kind {
        nothing_comparable,  // a label with no figure comparable with the baseline, or the only label
        partial,             // a repetition whose file ends before the end of its run
        inconsistent,        // a repetition that fails a consistency check
        program_missing,     // an input without a program the baseline has
        failed,              // a repetition that failed, was killed, interrupted or still runs
        disturbed,           // with --strict: a repetition recorded with machine warnings
        drifting,            // not run interleaved, and it or its baseline trends with the
                             // order its repetitions ran in: a drift moves the comparison
    } kind;
    std::size_t comparison = 0;  // index into the comparisons (not for program_missing)
    std::size_t run = 0;         // index into its runs (not for program_missing)
    // The finding's message for `inconsistent`; the path of the repetition
    // for `partial` and `failed`, of the input for `program_missing`; the
    // warning for `disturbed`; for `drifting` the label that trends (empty:
    // the two together, each about its own median).
    std::string detail;
    Program program = Program::processors;  // for program_missing
    std::string outcome = {};               // for failed: how it ended
};
// `strict`: machine warnings recorded with a repetition are problems too.
std::vector<GateProblem> gate_problems(const std::vector<ProgramComparison>& comparisons,
                                       bool strict = false);

// The warnings recorded with a label's repetitions (machine.json), each said
// once per label.
struct DisturbedLabel {
    std::size_t comparison = 0;
    std::size_t run = 0;
    std::string message;
    std::size_t repetitions = 0;  // how many of the label's repetitions carry it
};
std::vector<DisturbedLabel> disturbances(const std::vector<ProgramComparison>& comparisons);
std::vector<DisturbedLabel> disturbances(const ProgramComparison& comparison,
                                      std::size_t index = 0);

// A label whose repetitions trend with the order they started in, beyond
// their noise: Kendall's test of their time factors against that order, the
// level 5% shared among the labels looked at.
struct RepetitionTrend {
    std::size_t comparison = 0;
    std::size_t run = 0;  // the label's column (the baseline's too)
    double tau = 0;
    double p = 1;
    std::size_t repetitions = 0;
};
// The fewest repetitions for the trend to be looked for.
inline constexpr std::size_t trend_min_repetitions = 5;

struct GateVerdict {
    enum class Outcome { pass, fail, no_verdict };
    Outcome outcome = Outcome::pass;
    double percent = 0;
    // Labels with 3 or more repetitions a side: one test of the time factor
    // each, the gate's familywise error held at gate_alpha over them all.
    std::vector<ProgramSlowdown> tested;
    // Labels with fewer (or compared with the median): gated on the band of
    // their figures alone, untested. (comparison, column)
    std::vector<std::pair<std::size_t, std::size_t>> untested;
    // What tripped it: for a tested label whose slowdown is shown, the passes
    // beyond the percentage that explain it; for an untested one, the passes
    // beyond it (empty with no verdict).
    std::vector<Regression> regressions;
    std::vector<GateProblem> problems;  // why there is no verdict (besides inconclusive labels)
    // The labels that did not run interleaved with their baseline, (comparison,
    // column): a drift of the machine between them counts as a change.
    std::vector<std::pair<std::size_t, std::size_t>> not_interleaved;
    std::vector<RepetitionTrend> trends;
    std::vector<DisturbedLabel> disturbances;
};

// The gate at `percent`: no verdict when anything it needs is missing (a
// problem, or a program missing from an input) or a label that did not run
// interleaved with its baseline trends, or its baseline does (a drift of
// the machine between them would count as a change); else fail when a tested
// label shows, at the gate's level, more than (1 + percent/100) times the
// baseline's time, or an untested label has a figure beyond the band; else
// no verdict when a tested label shows neither that nor at most that
// (inconclusive), unless `accept_inconclusive` counts those as passes
// (accepted); else pass.
GateVerdict decide_gate(const std::vector<ProgramComparison>& comparisons,
                        const std::vector<MissingProgram>& missing,
                        const std::vector<std::string>& input_paths, double percent,
                        bool strict = false, bool accept_inconclusive = false);

// Whether a tested label tripped the gate.
bool tripped(const ProgramSlowdown& s);

// The tested labels with this outcome.
std::vector<const ProgramSlowdown*> labels_with(const GateVerdict& v, LabelOutcome outcome);

// "fail", "pass", "inconclusive", "accepted": a label's outcome in JSON.
const char* label_outcome_name(LabelOutcome outcome);

// "pass", "fail", "no_verdict": the verdict's name in JSON.
const char* outcome_name(GateVerdict::Outcome outcome);

// "partial", "inconsistent", "nothing_comparable", "program_missing",
// "failed", "disturbed": a problem's name in JSON.
const char* problem_name(GateProblem::Kind kind);

}  // namespace report
