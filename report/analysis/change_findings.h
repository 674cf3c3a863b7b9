// What a history's change points mean to a reader: one finding per machine
// and day whose figures moved together (a kernel upgrade moves every figure
// of both programs: one finding, not one row a figure), ordered by how far
// they moved; and, for a gate that cannot decide yet, the first day it can.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analysis/change_points.h"

namespace report {

// The change points of one label that begin on the same day with the same
// machine changes.
struct ChangeFinding {
    std::string label;
    std::string date;
    std::set<Program> programs;
    std::vector<std::size_t> change_points;  // indexes into HistoryAnalysis::change_points
    // The smallest and largest change of its figures, in percent of the
    // rate (below 0: slower).
    double low_percent = 0, high_percent = 0;
    std::vector<ContextDifference> causes;
};

struct ChangeFindings {
    std::vector<ChangeFinding> findings;  // the largest move first
    std::size_t labels_without = 0;       // labels of the analysis with none of them
};

// The change points of `selection` grouped into findings, the finding whose
// largest change is the largest first (ties: label, then date).
ChangeFindings change_findings(const HistoryAnalysis& analysis, const HistorySelection& selection);

// The first day on which a gate on `since` could decide, with a run every
// day from the histories' last: when every label that cannot be judged yet
// lacks only days on or after `since`. Absent when one lacks days before it
// (waiting does not help) or when every label can be judged. "YYYY-MM-DD".
std::optional<std::string> gate_decidable_from(const HistoryAnalysis& analysis, long since,
                                        const ChangePointSettings& settings = {});

}  // namespace report
