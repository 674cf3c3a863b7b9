// The exit statuses the two gates end with, compare --fail-if-worse and
// history --fail-on-change-since: the command's status and the "exit_status"
// of their JSON read these, so the two always agree.
// They are bench_report's own exit statuses (model/failure.h), as numbers.
#pragma once

#include "model/failure.h"

namespace report {

inline constexpr int verdict_pass_status = static_cast<int>(Exit::ok);
inline constexpr int verdict_fail_status = static_cast<int>(Exit::gate);
// Neither pass nor fail: a status of its own, apart from the usage errors
// and unreadable inputs of 2, so a CI job can tell "could not decide" from
// "called wrongly".
inline constexpr int no_verdict_status = static_cast<int>(Exit::no_verdict);

}  // namespace report
