// The baseline of a comparison, as --baseline names it for `compare` and
// `chart` alike: nothing (each program's first label), "median", a label, or a
// path (of an input, of one of the files read, or of another file, which is
// then read).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "analysis/runs_taken.h"
#include "cli/cli.h"

namespace report {

struct BaselineChoice {
    std::vector<const Run*> runs;       // every run compared, an outside baseline's first
    std::vector<const Run*> baselines;  // one run of each program's baseline label
    bool median = false;
};

// The help of --baseline, the same for every subcommand that takes it.
extern const char* const baseline_help;

// `extra` keeps the runs of an outside baseline file alive. A failure
// (bad_input) when the baseline names no run, or runs under several labels
// of a program, or a file that could not be read.
Expected<BaselineChoice> resolve_baseline(const Loaded& loaded, const Inputs& inputs,
                                          const std::string& baseline, Loaded& extra);

// What `compare` and `chart` read: the inputs, each build's repetitions under
// one label told apart (never pooled), of each history the runs `choice`
// takes (analysis/runs_taken.h), and the baseline resolved. The
// choice's runs point into `loaded` and `extra`, so a Compared stays where it
// was made.
struct Compared {
    Loaded loaded;
    Result unread;  // what load_inputs found unread beside the runs read
    Loaded extra;
    BaselineChoice choice;  // its runs: every run read
    std::vector<const Run*> compared;  // those taken of them, to compare
    std::vector<LabelRuns> taken;      // the histories and what was taken of them
};

// What there is to compare; a failure (bad_input) when there is nothing to
// compare: no run read, a --since that leaves a label no run, or a baseline
// that could not be resolved.
Expected<std::unique_ptr<Compared>> load_compared(const Inputs& inputs, const std::string& baseline,
                                                  const RunsChoice& runs);

}  // namespace report
