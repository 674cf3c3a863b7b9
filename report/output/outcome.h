// How a repetition that `run` recorded ended, in the words every view prints.
#pragma once

#include <string>

#include "model/run.h"

namespace report {

// A recorded outcome in words: "failed", "killed", "interrupted",
// "timed out", "invalid" (exited 0, its results file unusable), "still
// running"; any other text a file holds, escaped for a terminal and cut to a
// few dozen bytes.
std::string outcome_words(const std::string& outcome);

// "timed out" for a run whose machine.json says it did not complete, with
// the recorded reason after a colon when there is one ("timed out: past
// --timeout 90s"); "" for a run that completed or has no record.
std::string unfinished_text(const Run& run);

}  // namespace report
