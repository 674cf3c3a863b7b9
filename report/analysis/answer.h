// The answer compare opens with, one per label against its program's
// baseline. Under a gate a tested label's answer reads the gate's own
// estimate and bounds, so that the answer and the verdict beside it are one
// story; elsewhere it is the label's two-sided interval (slowdown.h).
#pragma once

#include <vector>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "analysis/slowdown.h"

namespace report {

// The headlines of `comparisons`, those of labels `gate` tested replaced by
// the gate's estimate and interval (`gate` may be null: no gate).
std::vector<Headline> answers(const std::vector<ProgramComparison>& comparisons,
                              const GateVerdict* gate);

}  // namespace report
