// Two labels whose repetitions ran in rounds of one interleaved run (the
// same run name in machine.json) pair round by round: each pair is the
// baseline's and the label's repetition of one round, by index into their
// samples. A drift that moves both builds of a round alike cancels in the
// pair's ratio. The comparison decides each column's pairing once; the
// figures' intervals and the gate read it.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "model/run.h"

namespace report {

struct UnpairedRepetition {
    const Run* repetition = nullptr;  // without a partner in the other label
    bool baseline = false;            // on the baseline's side
};
struct Pairing {
    std::vector<std::pair<std::size_t, std::size_t>> pairs;  // (baseline, label)
    std::vector<UnpairedRepetition> unpaired;
};
// Absent when no repetition of one side shares an interleaved run with one
// of the other.
std::optional<Pairing> pair_rounds(const std::vector<const Run*>& base,
                                   const std::vector<const Run*>& run);

// The fewest pairs with which the signed-rank test can reach `alpha`
// (its smallest p-value is 2^-n).
std::size_t pairs_needed(double alpha);

}  // namespace report
