// Consistency checks between the figures of one run.
#pragma once

#include "model/run.h"

namespace report {

// Appends a Finding to run.findings for every figure that disagrees with the
// others beyond the rounding of the printed digits, and sets run.iterations.
void check_run(Run& run);

}  // namespace report
