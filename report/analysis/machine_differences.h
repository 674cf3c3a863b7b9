// Where the machines of two runs differ in what changes figures: the fields
// compared, and the runs of a comparison measured on another machine than
// their baseline.
#pragma once

#include <string>
#include <vector>

#include "machine/record.h"
#include "model/run.h"

namespace report {

// A field that changes the figures, differing between two contexts.
struct ContextDifference {
    std::string field;          // "CPU model", "logical CPUs", "governor", ...
    std::string first, second;  // the values, "unknown" where absent
};
std::vector<ContextDifference> context_differences(const MachineRecord& a,
                                                   const MachineRecord& b);

// A compared run measured on a machine that differs from its baseline's in
// what changes the figures.
struct ContextMismatch {
    const Run* run = nullptr;
    const Run* baseline = nullptr;
    std::vector<ContextDifference> differences;
};
// Each of `runs` but the baseline itself, compared with `baseline`: the runs
// whose machine.json differs from the baseline's, in the order given. A run or
// a baseline without machine.json is not compared.
std::vector<ContextMismatch> context_mismatches(const std::vector<const Run*>& runs,
                                                const Run& baseline);

}  // namespace report
