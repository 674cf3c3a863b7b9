// The drifts of a history's figures as findings: one a program and direction.
#pragma once

#include <cstddef>
#include <vector>

#include "analysis/change_search.h"
#include "analysis/drift.h"
#include "analysis/history.h"
#include "analysis/history_findings.h"

namespace report {

// What the search finds in each series of a history with two days or more
// (the others are taken out of `series`), a figure's drift told as such
// where its siblings drift the same way.
std::vector<SeriesFindings> search_series(std::vector<HistorySeries>& series,
                                          const ChangePointSettings& settings);

// A drift of series `s` (numbered `series`) of history `h` as a finding of one figure.
Drift drift_of(const History& h, const HistorySeries& s, std::size_t series,
               const SeriesDrift& d, const ChangePointSettings& settings);

// The drifts of a program's figures, one finding a direction: the first
// figure's (the geometric means come first) with the count of the others
// among its `figures` figures.
std::vector<Drift> group_drifts(std::vector<Drift> each, std::size_t figures);

}  // namespace report
