// Views of a history analysis: the change points, fleet events and machine
// changes that moved nothing, as terminal text, Markdown and JSON, and the
// tables the HTML report shows.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "analysis/change_points.h"
#include "output/table.h"

namespace report {

// The version of history's JSON document; raised whenever a field changes meaning.
inline constexpr int history_schema_version = 1;

// "Geometric mean, single rate", "Float streaming, overall rate".
std::string series_name(const std::string& test, bool overall);

// "kernel 6.1.0-27 -> 6.1.0-28"
std::string cause_text(const ContextDifference& d);

// "kernel 6.1.0-27 -> 6.1.0-28; governor powersave -> performance", or
// "none known".
std::string causes_text(const std::vector<ContextDifference>& causes);

// "17 of 200 hosts, 2026-12-03, worse, kernel 6.1.0-27 -> 6.1.0-28 on all 17"
std::string fleet_event_text(const FleetEvent& e, std::size_t labels);

// "drifting slower by 10.0% [8.1-12.0%] from 2026-01-03 to 2026-12-30"
std::string drift_text(const Drift& d);

// A change point's p with the stretch or window it is local to:
// "p 0.0001 local to its 24-day window".
std::string local_p_text(const ChangePoint& cp);

// "host-007: bench_memory: 8 of 8 figures, still going on": whose drift it is.
std::string drift_owner_text(const Drift& d);

// The tables of what `selection` holds: change points, fleet events, quiet
// machine changes (each only when it has rows).
std::vector<Table> history_tables(const HistoryAnalysis& a, const HistorySelection& selection);

struct HistoryViewOptions {
    std::optional<std::string> since;       // --since, as given
    std::optional<std::string> gate_since;  // --fail-on-change-since, as given
    std::optional<HistoryGate> gate;
    // For a gate without a verdict: the first day it can decide on, when
    // waiting is what it needs.
    std::optional<std::string> decidable_from;
    bool colour = false;
    std::size_t width = 80;  // the text's columns
    bool rows = false;       // the text lists every change point, not only the findings
};

std::string history_text(const HistoryAnalysis& a, const HistorySelection& selection,
                         const HistoryViewOptions& options);
std::string history_markdown(const HistoryAnalysis& a, const HistorySelection& selection,
                             const HistoryViewOptions& options);
std::string history_json(const HistoryAnalysis& a, const HistorySelection& selection,
                         const HistoryViewOptions& options);
// The gate as JUnit XML, a test case per label's history (history_junit.cpp).
std::string history_junit(const HistoryAnalysis& a, const HistoryViewOptions& options);

}  // namespace report
