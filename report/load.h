// Finding, reading, parsing, checking and labelling the runs named on the
// command line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "run.h"
#include "table.h"

namespace report {

struct Loaded {
    std::vector<Run> runs;
    bool failed = false;                       // some file could not be read or parsed
    std::vector<std::size_t> files_per_input;  // files found under each path argument
};

// Expands directories (recursively, every results file by its name), reads and
// parses every file (files named explicitly are recognised by their content;
// a file holding several runs one after the other gives each), checks each run
// and labels it: `labels[i]` labels every run found under `paths[i]`. Runs
// that share a label are repetitions of one measurement. A file
// named twice, and a console transcript beside its own results file, are read
// once, with a note on `diagnostics`. Each bad file gets one line on `diagnostics`:
// "bench_report: PATH:LINE: expected ..., found "..."", and sets `failed`.
// Runs come in argument order, sorted by path within a directory.
Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels,
                 std::ostream& diagnostics);

}  // namespace report
