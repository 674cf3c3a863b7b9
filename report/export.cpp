#include <CLI/CLI.hpp>

#include "commands.h"

namespace report {

void add_export_command(CLI::App& app, int&) { app.add_subcommand("export", "export"); }

}  // namespace report
