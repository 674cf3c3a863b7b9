// The machine-readable forms of runs, used by `export` and its benchmark.
#pragma once

#include <string>
#include <vector>

#include "run.h"

namespace report {

std::string export_json(const std::vector<Run>& runs);
// CSV: the header line, then export_csv_rows of each run.
void export_csv(const std::vector<Run>& runs, std::string& out);  // appends
const char* csv_header();
void export_csv_rows(const Run& run, std::string& out);           // appends

}  // namespace report
