// The regression gate of `compare --fail-if-worse`: whether the runs compared
// are slower than the baseline by more than a percentage. The verdict is
// decided here once; the exit status, standard error and every view (text,
// Markdown, JSON, the chart) read this one decision.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "analysis/comparison.h"

namespace report {

// Whether the run needs more than (1 + percent/100) times the baseline's time.
bool worse_beyond(double ratio, Better better, double percent);

// A slowdown beyond the gate's percentage (and, where tested, significant):
// one per pass of a test of a label, named by its worst figure.
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
    } kind;
    std::size_t comparison = 0;  // index into the comparisons (not for program_missing)
    std::size_t run = 0;         // index into its runs (not for program_missing)
    // The finding's message for `inconsistent`; the path of the repetition
    // for `partial`, of the input for `program_missing`.
    std::string detail;
    Program program = Program::processors;  // for program_missing
};
std::vector<GateProblem> gate_problems(const std::vector<ProgramComparison>& comparisons);

struct GateVerdict {
    enum class Outcome { pass, fail, no_verdict };
    Outcome outcome = Outcome::pass;
    double percent = 0;
    std::vector<Regression> regressions;  // what tripped it (empty with no verdict)
    std::vector<GateProblem> problems;    // why there is no verdict
};

// The gate at `percent`: no verdict when anything it needs is missing (a
// problem, or a program missing from an input), else fail when any pass of
// any run is slower than allowed, else pass.
GateVerdict decide_gate(const std::vector<ProgramComparison>& comparisons,
                        const std::vector<MissingProgram>& missing,
                        const std::vector<std::string>& input_paths, double percent);

// "pass", "fail", "no_verdict": the verdict's name in JSON.
const char* outcome_name(GateVerdict::Outcome outcome);

}  // namespace report
