// The words and tables of scaling: each improvement figure of a run
// explained (show, the page), and a sweep's curve as a table (show). They
// word what analysis/scaling.h decided and compute nothing of their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/scaling.h"
#include "output/table.h"

namespace report {

// "Scaling of PATH": a row per test with an improvement (the ideal, the
// improvement, the efficiency, the slowest thread against the mean) and
// notes that say what was measured of where the threads ran and what could
// not be; absent when no test has an improvement.
std::optional<Table> scaling_table(const Run& run, const RunScaling& scaling);

// A table per sweep: each test's overall rate at each point, the ideal line
// (the one-thread rate times the threads), the efficiency, and SMT points marked.
std::vector<Table> curve_tables(const std::vector<SweepCurve>& curves);

// show --format json: each run's explanation and each sweep's curve, the
// same numbers the text prints, as one JSON document ending in a newline.
std::string scaling_json(const std::vector<const Run*>& runs, const std::vector<SweepCurve>& curves);

}  // namespace report
