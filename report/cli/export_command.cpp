#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/export.h"

namespace report {

namespace {

// JSON or CSV run by run, so a fleet's export never sits whole in memory.
void write_run_by_run(const std::vector<Run>& runs, bool json, Output& out) {
    std::string text;
    if (json)
        export_json_begin(text);
    else
        text = csv_header();
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (json)
            export_json_run(runs[i], i == 0, text);
        else
            export_csv_rows(runs[i], text);
        out.write(text);
        text.clear();
    }
    if (json) {
        export_json_end(true, text);
        out.write(text);
    }
}

}  // namespace

void add_export_command(CLI::App& app, Commands& commands) {
    auto* cmd = app.add_subcommand(
        "export", "Every figure of every run as JSON or CSV, or each label's latest run for Prometheus "
        "(openmetrics), Bencher (bmf) or a benchmark action, on standard output or into a "
        "file.");
    struct Options {
        Inputs inputs;
        std::string format = "json";
        std::string output;
    };
    auto o = std::make_shared<Options>();
    add_inputs(cmd, o->inputs, true);
    add_format(cmd, o->format, {"json", "csv", "openmetrics", "bmf", "benchmark-action"});
    add_output(cmd, o->output);
    commands.add(cmd, [o]() -> Result {
        Expected<Read> read = load_inputs(o->inputs);
        if (!read)
            return read.failure();
        const Loaded& loaded = read->loaded;
        // The services' formats are a document of each label's latest run;
        // -o writes a temporary file and renames it, so a scrape never reads half.
        using Whole = std::string (*)(const std::vector<Run>&);
        Whole whole = o->format == "openmetrics" ? export_openmetrics
                      : o->format == "bmf"       ? export_bmf
                      : o->format == "benchmark-action" ? export_benchmark_action
                                                        : nullptr;
        Result written = whole ? write_output(o->output, loaded, o->inputs,
                                              [&](Output& out) { out.write(whole(loaded.runs)); })
                               : write_output(o->output, loaded, o->inputs, [&](Output& out) {
                                     write_run_by_run(loaded.runs, o->format == "json", out);
                                 });
        return written ? written : read->unread;
    });
}

}  // namespace report
