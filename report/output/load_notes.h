// What loading the inputs found, as the lines said on standard error.
#pragma once

#include <string>

#include "input/load.h"

namespace report {

// "bench_report: PATH: ..." with a newline; paths and lines escaped.
std::string describe(const LoadNote& note);

}  // namespace report
