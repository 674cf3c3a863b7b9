// The order in which a reader meets what moved: the label that moved
// furthest from its baseline first, so that among many hosts the one that
// matters is in the first lines, not past a cut.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "analysis/slowdown.h"

namespace report {

// Indexes into `headlines`: each comparison's in turn (in their order), and
// within one the largest change of time either way first (a factor of 0.5
// and one of 2 are as far); a headline with nothing comparable last. Ties
// keep the order of the columns.
std::vector<std::size_t> worst_first(const std::vector<Headline>& headlines);

// How far each label moved from its program's baseline: |log factor| of its
// headline, the largest of its programs'; labels without one are absent.
std::map<std::string, double> baseline_moves(const std::vector<ProgramComparison>& comparisons);

}  // namespace report
