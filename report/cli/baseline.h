// The baseline of a comparison, as --baseline names it for `compare` and
// `chart` alike: nothing (each program's first label), "median", a label, or a
// path (of an input, of one of the files read, or of another file, which is
// then read).
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace report {

struct BaselineChoice {
    std::vector<const Run*> runs;       // every run compared, an outside baseline's first
    std::vector<const Run*> baselines;  // one run of each program's baseline label
    bool median = false;
    bool failed = false;  // said on standard error
};

// The help of --baseline, the same for every subcommand that takes it.
extern const char* const baseline_help;

// `extra` keeps the runs of an outside baseline file alive.
BaselineChoice resolve_baseline(const Loaded& loaded, const Inputs& inputs,
                                const std::string& baseline, Loaded& extra);

}  // namespace report
