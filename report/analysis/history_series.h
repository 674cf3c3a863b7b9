// The series of a history: a figure by day.
#pragma once

#include <cstddef>
#include <vector>

#include "analysis/history.h"
#include "analysis/history_findings.h"

namespace report {

// Every series of history `h` (numbered `hi`): the geometric means of the
// single and overall rates, then each test's single rate (when it has one)
// and overall rate, in catalogue order; each day's median of its runs'
// figure, on the days that have it.
std::vector<HistorySeries> day_series(const History& h, std::size_t hi);

}  // namespace report
