// The label of a run named without --label.
#pragma once

#include <vector>

#include "model/run.h"

namespace report {

// Labels every run whose `labelled` is false: its directory relative to the
// deepest directory all the runs share ("hostA/day1" for hist/hostA/day1
// among hist/hostB/...), so a deeper layout never loses the host; when the
// runs all sit in one directory, their local time, else their file name. A
// run's own directory, named by its UTC start ("20261208T100220Z-1"), is
// never a label: the runs take the name of the directory above it.
void default_labels(std::vector<Run>& runs, const std::vector<bool>& labelled);

}  // namespace report
