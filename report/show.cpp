// `show`: a summary table per file.
#include <iostream>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "load.h"
#include "summary.h"

namespace report {

void add_show_command(CLI::App& app, int& status) {
    auto* cmd = app.add_subcommand(
        "show", "A summary table per file: single-thread and overall rates, improvement, parallel "
                "efficiency, per-thread minimum, median and maximum, spread, MB/s, and the "
                "consistency findings.");
    auto paths = std::make_shared<std::vector<std::string>>();
    auto labels = std::make_shared<std::vector<std::string>>();
    cmd->add_option("paths", *paths, "Results files, transcripts or directories")->required();
    cmd->add_option("--label", *labels, "Label of a run, repeatable, in the order of the files")
        ->allow_extra_args(false);
    cmd->callback([paths, labels, &status] {
        Loaded loaded = load_runs(*paths, *labels, std::cerr);
        bool first = true;
        for (const Run& run : loaded.runs)
            for (const Table& t : show_tables(run)) {
                if (!first)
                    std::cout << '\n';
                first = false;
                std::cout << render_text(t);
            }
        std::cout << std::flush;
        if (loaded.runs.empty() && !loaded.failed)
            std::cerr << "bench_report: no results files found\n";
        status = loaded.failed || loaded.runs.empty() ? 2 : 0;
    });
}

}  // namespace report
