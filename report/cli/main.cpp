// bench_report: reads the results files and console transcripts of
// bench_processors and bench_memory, checks them, and lists, shows, exports,
// compares and charts them.
#include <string>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"

int main(int argc, char** argv) {
    CLI::App app{
        "Reads, checks, exports, compares and charts the results of bench_processors "
        "and bench_memory.",
        "bench_report"};
    app.footer(report::exit_status_help);
    app.set_version_flag("--version", std::string("bench_report ") + BENCH_REPORT_VERSION);
    app.require_subcommand(1);
    report::Commands commands;
    report::add_list_command(app, commands);
    report::add_show_command(app, commands);
    report::add_export_command(app, commands);
    report::add_compare_command(app, commands);
    report::add_chart_command(app, commands);
    report::add_run_command(app, commands);
    report::add_history_command(app, commands);
    report::add_store_command(app, commands);
    report::add_system_command(app, commands);
    return report::run_application(app, argc, argv, commands);
}
