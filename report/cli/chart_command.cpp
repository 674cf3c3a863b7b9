// `chart`: writes the HTML report, or one SVG chart, of the runs given.
#include <algorithm>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/commands.h"
#include "output/html_report.h"

namespace report {

void add_chart_command(CLI::App& app, int& status) {
    struct Options {
        Inputs inputs;
        std::string output;
        std::string baseline;
        double noise = 2;
    };
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "chart",
        "Write a self-contained HTML report with charts and tables (or, with an .svg "
        "output, a single chart).");
    add_inputs(cmd, o->inputs, true);
    cmd->add_option("-o,--output", o->output,
                    "The HTML file to write (- for standard output); a name ending in .svg "
                    "writes one SVG chart: the comparison of several runs, else the first test's "
                    "scaling")
        ->required();
    cmd->add_option("--baseline", o->baseline,
                    "Baseline of the comparison: a label, one of the files, or \"median\" "
                    "(default: each program's first run)");
    cmd->add_option("--noise", o->noise, "Noise band of the comparison, in percent")
        ->check(percentage())
        ->capture_default_str();

    cmd->callback([o, &status] {
        Loaded loaded = load_inputs(o->inputs, status);
        if (loaded.runs.empty())
            return;
        std::vector<const Run*> runs;
        for (const Run& r : loaded.runs)
            runs.push_back(&r);
        CompareSettings settings;
        settings.noise = o->noise;
        settings.median = o->baseline == "median";
        if (!settings.median && !o->baseline.empty()) {
            for (const Run& r : loaded.runs)
                if (r.label == o->baseline || r.path == o->baseline)
                    settings.baselines.push_back(&r);
            if (settings.baselines.empty()) {
                error("--baseline " + escape_path(o->baseline) + ": no run has this label or path");
                status = static_cast<int>(Exit::bad_input);
                return;
            }
        }
        std::vector<ProgramComparison> comparisons = compare_runs(runs, settings);

        std::string ext = o->output.size() >= 4 ? o->output.substr(o->output.size() - 4) : "";
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        ViewOptions view;
        view.noise = o->noise;
        std::string text = ext == ".svg" ? svg_report(runs, comparisons, view.noise)
                                         : html_report(runs, comparisons, view);
        if (text.empty()) {
            error("nothing to chart: no test has per-thread rates");
            status = static_cast<int>(Exit::bad_input);
            return;
        }
        write_output(o->output, loaded, o->inputs, status, [&](Output& out) { out.write(text); });
    });
}

}  // namespace report
