// `list`: one line per results file found.
#include <iostream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "load.h"
#include "table.h"

namespace report {

void add_list_command(CLI::App& app, int& status) {
    auto* cmd = app.add_subcommand(
        "list", "One line per results file: path (newline shown as \\n), program, local time and "
                "zone, thread count, complete or partial.");
    auto paths = std::make_shared<std::vector<std::string>>();
    cmd->add_option("paths", *paths, "Results files, transcripts or directories (default: .)");
    cmd->callback([paths, &status] {
        if (paths->empty())
            paths->push_back(".");
        Loaded loaded = load_runs(*paths, {}, std::cerr);
        Table table;
        for (const Run& run : loaded.runs) {
            std::string when = run.local_time.empty() ? "-" : run.local_time;
            if (!run.zone.empty())
                when += " " + run.zone;
            std::string state = run.partial ? "partial" : "complete";
            if (!run.findings.empty())
                state += fmt::format(", {} finding(s)", run.findings.size());
            table.rows.push_back({escape_path(run.path), program_name(run.program), when,
                                  run.threads ? fmt::format("{} thread(s)", *run.threads)
                                              : "? thread(s)",
                                  state});
        }
        std::cout << render_text(table) << std::flush;
        status = loaded.failed ? 2 : 0;
    });
}

}  // namespace report
