// Finding, reading, parsing, checking and labelling the runs named on the
// command line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "run.h"

namespace report {

struct Loaded {
    std::vector<Run> runs;
    bool failed = false;   // some file could not be read or parsed
};

// Expands directories (recursively, every results file by its name), reads and
// parses every file (files named explicitly are recognised by their content),
// checks each run and labels it. Each bad file gets one line on `diagnostics`:
// "bench_report: PATH:LINE: expected ..., found "..."", and sets `failed`.
// Runs come in argument order, sorted by path within a directory.
Loaded load_runs(const std::vector<std::string>& paths, const std::vector<std::string>& labels,
                 std::ostream& diagnostics);

// The path with control characters escaped ("\n" for the newline in the names).
std::string escape_path(const std::string& path);

}  // namespace report
