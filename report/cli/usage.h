// Usage errors in bench_report's own words: what the command-line parser
// refused, said as one line (without the "bench_report: " every message
// starts with), naming the subcommand it concerns and, for a mistyped option
// or subcommand, the nearest one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
class ParseError;
class Validator;
}  // namespace CLI

namespace report {

// The candidate a mistyped `word` most likely meant: the nearest by edit
// distance, when it is near enough to be a typo (at most two edits, and
// fewer than half the word's length); empty when none is.
std::string nearest_name(std::string_view word, const std::vector<std::string>& candidates);

// The names of the subcommands `command` offers, in their order.
std::vector<std::string> subcommand_names(const CLI::App& command);

// One line for the usage error `e` that parsing `app`'s command line threw,
// worded from the error's type and the state parsing left the options in.
std::string usage_message(CLI::App& app, const CLI::ParseError& e);

// The check of an option that takes one of `names`: a value outside them is
// said "NAME VALUE: expected a, b or c".
CLI::Validator one_of(const std::vector<std::string>& names);

}  // namespace report
