// The subcommands of bench_report. Each registers itself on the application
// and, in `commands`, what runs it once the command line has chosen it; what
// runs it returns how it ended (cli/failure.h).
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "cli/failure.h"

namespace CLI {
class App;
}

namespace report {

class Commands {
public:
    // `run` runs the subcommand `command` when the command line names it.
    void add(CLI::App* command, std::function<Result()> run);
    // How the subcommand the command line named ended; nothing when it
    // named none that runs.
    Result run_chosen() const;

private:
    std::vector<std::pair<CLI::App*, std::function<Result()>>> commands_;
};

void add_list_command(CLI::App& app, Commands& commands);
void add_show_command(CLI::App& app, Commands& commands);
void add_export_command(CLI::App& app, Commands& commands);
void add_compare_command(CLI::App& app, Commands& commands);
void add_chart_command(CLI::App& app, Commands& commands);
void add_run_command(CLI::App& app, Commands& commands);
void add_history_command(CLI::App& app, Commands& commands);
void add_store_command(CLI::App& app, Commands& commands);
void add_system_command(CLI::App& app, Commands& commands);

}  // namespace report
