// The help pages (--help of bench_report and of each command) laid out for
// the terminal they are read on: every description wrapped at the width,
// words and names whole, the option and command names in a column of their
// own.
#pragma once

#include <cstddef>

namespace CLI {
class App;
}  // namespace CLI

namespace report {

// Gives `app` and every command under it a help layout `width` columns wide.
void wrap_help(CLI::App& app, std::size_t width);

}  // namespace report
