#include <CLI/CLI.hpp>

#include "commands.h"

namespace report {

void add_show_command(CLI::App& app, int&) { app.add_subcommand("show", "show"); }

}  // namespace report
