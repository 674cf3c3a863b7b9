#include <CLI/CLI.hpp>

#include "commands.h"

namespace report {

void add_list_command(CLI::App& app, int&) { app.add_subcommand("list", "list"); }

}  // namespace report
