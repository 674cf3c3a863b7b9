// `list`: one line per results file found.
#include <memory>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "analysis/recorded.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "machine/record.h"
#include "output/outcome.h"
#include "output/table.h"

namespace report {

void add_list_command(CLI::App& app, Commands& commands) {
    struct Options {
        Inputs inputs;
        std::string output;
    };
    auto o = std::make_shared<Options>();
    auto* cmd = app.add_subcommand(
        "list",
        "One line per results file: path (newline shown as \\n), program, local time and "
        "zone, thread count, complete or partial (and how a repetition that did not complete "
        "ended: failed, killed, interrupted, timed out, still running), and the machine (host and CPU model) where "
        "machine.json says.");
    add_inputs(cmd, o->inputs, false, false);
    add_output(cmd, o->output);
    commands.add(cmd, [o]() -> Result {
        Expected<Read> read = load_inputs(o->inputs);
        if (!read)
            return read.failure();
        const Loaded& loaded = read->loaded;
        Table table;
        for (const Run& run : loaded.runs) {
            std::string when = run.local_time.empty() ? "-" : run.local_time;
            if (!run.zone.empty())
                when += " " + run.zone;
            std::string state = run.partial ? "partial" : "complete";
            if (std::optional<std::string> how = unfinished_outcome(run))
                state += ", " + outcome_words(*how);
            if (!run.findings.empty())
                state += fmt::format(", {} finding(s)", run.findings.size());
            table.rows.push_back(
                {escape_path(run.path), program_name(run.program), when,
                 run.threads ? fmt::format("{} thread(s)", *run.threads) : "? thread(s)", state,
                 run.machine ? escape_path(machine_summary(*run.machine)) : ""});
        }
        Result written = write_output(o->output, loaded, o->inputs, [&](Output& out) {
            out.write(render_text(table, out.text_width(), false));
        });
        return written ? written : read->unread;
    });
}

}  // namespace report
