// The analysis of a fleet's histories: change points, drifts, their causes and fleet events.
//
// Change points in a label's history: the days on which a figure moved to a
// new level and stayed there, how far and how surely; the machine fields that
// changed with them; and the changes that many labels of a fleet share.
//
// The search of each series is change_search.h's, its drifts drift.h's; what
// it finds is in history_findings.h, and the gate on it in history_gate.h.
#pragma once

#include <vector>

#include "analysis/change_search.h"
#include "analysis/history_findings.h"
#include "analysis/history_gate.h"
#include "model/run.h"

namespace report {

// Every series of every history of `runs` and their change points, causes,
// fleet events and machine changes that moved nothing.
HistoryAnalysis analyse_history(const std::vector<const Run*>& runs,
                                const ChangePointSettings& settings = {});

}  // namespace report
