// The change points of several labels that make one fleet event.
#pragma once

#include <vector>

#include "analysis/history_findings.h"

namespace report {

// The change points of `cps` of several labels, in one direction and of one
// program, that fall on one day or the next (a rollout seen on consecutive
// nights) or share a cause within a week: one event each, by date.
std::vector<FleetEvent> fleet_events(const std::vector<ChangePoint>& cps);

}  // namespace report
