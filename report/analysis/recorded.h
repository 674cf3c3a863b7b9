// What machine.json recorded of a repetition that the comparison and its gate
// need: how it ended, which build it measured (so that repetitions of two
// builds under one label are never pooled into one sample) and the warnings
// the machine drew.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/run.h"

namespace report {

// Whether two runs measured the same build, by the rule of
// machine/build_identity.h: the same SHA-256, or the same GNU build ID (a
// build and its stripped copy). False when either is unknown.
bool same_build(const Run& a, const Run& b);

// How the repetition ended, when machine.json says and it is not "completed":
// "failed", "killed", "interrupted", "timed_out" or "running".
std::optional<std::string> unfinished_outcome(const Run& run);

// The warnings recorded with the repetition (load, governor, ...), as sentences.
std::vector<std::string> recorded_warnings(const Run& run);

// The sample each of the runs (of one program) belongs to: its label, or,
// when its label holds runs of more than one build, "LABEL@" and the first 8
// hex digits of its build's SHA-256 ("vm@f58a6f21"). Runs of one build
// stripped or not (see same_build) are one sample, named by the SHA-256 seen
// first (BuildClasses). Runs whose build is unknown keep the plain label.
std::vector<std::string> sample_labels(const std::vector<const Run*>& runs);

// Gives every run its sample label, program by program: two builds under one
// label become two labels, compared like any two.
void label_builds(std::vector<Run>& runs);

}  // namespace report
