#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/export.h"

namespace report {

void add_export_command(CLI::App& app, int& status) {
    auto* cmd = app.add_subcommand(
        "export", "Every figure of every run as JSON or CSV, on standard output or into a file.");
    struct Options {
        Inputs inputs;
        std::string format = "json";
        std::string output;
    };
    auto o = std::make_shared<Options>();
    add_inputs(cmd, o->inputs, true);
    add_format(cmd, o->format, {"json", "csv"});
    add_output(cmd, o->output);
    cmd->callback([o, &status] {
        Loaded loaded = load_inputs(o->inputs, status);
        if (loaded.runs.empty())
            return;
        write_output(o->output, loaded, o->inputs, status, [&](Output& out) {
            // Run by run, so a fleet's export never sits whole in memory.
            std::string text;
            if (o->format == "json")
                export_json_begin(text);
            else
                text = csv_header();
            for (std::size_t i = 0; i < loaded.runs.size(); ++i) {
                if (o->format == "json")
                    export_json_run(loaded.runs[i], i == 0, text);
                else
                    export_csv_rows(loaded.runs[i], text);
                out.write(text);
                text.clear();
            }
            if (o->format == "json") {
                export_json_end(true, text);
                out.write(text);
            }
        });
    });
}

}  // namespace report
