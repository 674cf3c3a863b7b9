// The machine-readable forms of runs, used by `export` and its benchmark.
#pragma once

#include <string>
#include <vector>

#include "run.h"

namespace report {

std::string export_json(const std::vector<Run>& runs);
void export_csv(const std::vector<Run>& runs, std::string& out);  // appends

}  // namespace report
