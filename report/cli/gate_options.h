// The gate's options and its ending, shared by `compare` and `chart`: the
// same --fail-if-worse, --strict and --accept-inconclusive, one verdict said
// on standard error, one exit status for it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "cli/failure.h"

namespace report {

struct GateOptions {
    std::optional<double> fail_if_worse;
    bool strict = false;
    bool accept_inconclusive = false;
};

// --fail-if-worse PERCENT and --strict on `cmd`.
void add_gate_options(CLI::App* cmd, GateOptions& options);

// The verdict when --fail-if-worse is given.
std::optional<GateVerdict> gate_verdict(const GateOptions& options,
                                        const std::vector<ProgramComparison>& comparisons,
                                        const std::vector<MissingProgram>& missing,
                                        const std::vector<std::string>& input_paths);

// After the output is written: without a gate, each input missing a program
// said; with one, its lines on standard error and its failure: no_verdict,
// or gate for a fail.
Result finish_gate(const std::optional<GateVerdict>& verdict,
                   const std::vector<ProgramComparison>& comparisons,
                   const std::vector<MissingProgram>& missing,
                   const std::vector<std::string>& input_paths);

}  // namespace report
