// The subcommands of bench_report. Each registers itself on the application;
// its callback runs the command and stores the process exit status in
// `status` (see cli.h for the codes).
#pragma once

namespace CLI {
class App;
}

namespace report {

void add_list_command(CLI::App& app, int& status);
void add_show_command(CLI::App& app, int& status);
void add_export_command(CLI::App& app, int& status);
void add_compare_command(CLI::App& app, int& status);
void add_chart_command(CLI::App& app, int& status);
void add_run_command(CLI::App& app, int& status);
void add_history_command(CLI::App& app, int& status);
void add_store_command(CLI::App& app, int& status);
void add_system_command(CLI::App& app, int& status);

}  // namespace report
