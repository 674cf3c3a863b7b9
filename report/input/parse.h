// Reading one results file or saved console transcript of either program.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/run.h"

namespace report {

// Parses the text of a results file or a console transcript of bench_processors
// or bench_memory. A text cut short is read up to where it ends and the run is
// marked partial; a text that is neither gives a ParseError at its first bad line.
std::variant<Run, ParseError> parse_run(std::string_view text, const std::string& path);

// The same for a text that may hold several runs one after the other (a
// console file both programs were saved into): one result per run, in order.
std::vector<std::variant<Run, ParseError>> parse_runs(std::string_view text,
                                                      const std::string& path);

}  // namespace report
