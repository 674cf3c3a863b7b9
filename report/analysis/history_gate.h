// What a report of a fleet's histories shows since a day, and the gate's verdict on it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "analysis/change_search.h"
#include "analysis/history_findings.h"

namespace report {

// What a report of an analysis shows: the change points, fleet events and
// quiet machine changes on or after a day (days since 1970-01-01).
struct HistorySelection {
    std::vector<std::size_t> change_points, fleet_events, quiet_machine_changes;
    std::vector<std::size_t> drifts;  // those still going on at the day, or after it
};
HistorySelection select_since(const HistoryAnalysis& analysis, std::optional<long> since);

// The verdict of a gate on change points on or after a day (days since
// 1970-01-01): `worse` the change points for the worse it found,
// `worse_drifts` the drifts for the worse that go on at or after it; `unjudged`
// the labels whose history cannot show a change there (fewer than
// min_segment days on either side of it).
struct HistoryGate {
    enum Verdict { pass, fail, too_little } verdict = pass;
    std::vector<std::size_t> worse;
    // The drifts for the worse still going on at the day, or begun after it.
    std::vector<std::size_t> worse_drifts;
    std::vector<std::string> unjudged;
};
HistoryGate history_gate(const HistoryAnalysis& analysis, long since,
                         const ChangePointSettings& settings = {});

}  // namespace report
