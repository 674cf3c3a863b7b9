// What `bench_report system` prints: the findings of `show` as a table, and
// what `tune` and `reset` did, in words. The decisions are the machine
// layer's (machine/system.h); these only lay them out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "machine/system.h"

namespace report {

// `show`: a table of what may disturb a measurement ("!" marks it), the
// reasons under it, what the machine does not expose, and the tune state.
// `state` is the state file read, absent when there is none. Laid out within
// `width` columns, names and words whole.
std::string show_system_text(const std::vector<SystemFinding>& findings,
                             const std::optional<TuneState>& state, const std::string& state_file,
                             std::size_t width = 80);

// One line per value tune changed, then where it remembered them.
std::string tune_text(const TuneResult& result, const std::string& state_file);

// The messages of a tune that failed, each naming the file, for standard error.
std::vector<std::string> tune_errors(const TuneResult& result);

// One line per value reset put back, found back already or left.
std::string reset_text(const ResetResult& result, const std::string& state_file);

// The messages of the values reset could not put back, for standard error.
std::vector<std::string> reset_errors(const ResetResult& result, const std::string& state_file);

}  // namespace report
