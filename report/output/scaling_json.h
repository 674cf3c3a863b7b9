// compare --format json's explanation of each label's improvement figures,
// as an object of the label's column; apart from output/scaling_view.h so
// that the views that include it do not compile a JSON library.
#pragma once

#include <cstddef>

#include <nlohmann/json.hpp>

#include "analysis/comparison.h"

namespace report {

// What compare's text says of label `label` of `comparison` (see
// compare_scaling_tables): its repetitions, where the threads ran, the NUMA
// nodes, the clock or why it was not measured, the hypervisor, and per test
// the ideal and the medians of the improvement, the efficiency, the slowest
// thread's share and the all-core clock.
nlohmann::ordered_json compare_scaling_json(const ProgramComparison& comparison,
                                            std::size_t label);

}  // namespace report
