// `chart`: writes the HTML report, or one SVG chart, of the runs given.
#include <algorithm>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "analysis/change_points.h"
#include "analysis/page.h"
#include "analysis/recorded.h"
#include "analysis/worst_first.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/baseline.h"
#include "cli/gate_options.h"
#include "output/html_report.h"

namespace report {

namespace {

bool svg_output(const std::string& output) {
    std::string ext = output.size() >= 4 ? output.substr(output.size() - 4) : "";
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return ext == ".svg";
}

// The page, with the histories of its labels analysed for it; or, for an
// .svg output, its one chart.
std::string chart_text(const std::string& output, const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons,
                       const GateVerdict* gate) {
    if (svg_output(output))
        return svg_report(runs, comparisons, gate);
    HistoryAnalysis analysis = analyse_history(runs);
    ViewOptions view;
    view.gate = gate;
    return html_report(runs, comparisons, view,
                       history_page(analysis, page_histories, baseline_moves(comparisons)));
}

struct ChartOptions {
    Inputs inputs;
    std::string output;
    std::string baseline;
    double noise = default_noise_percent;
    GateOptions gate;
    RunsChoice runs;
};

Result chart(const ChartOptions& o) {
    Expected<std::unique_ptr<Compared>> read = load_compared(o.inputs, o.baseline, o.runs);
    if (!read)
        return read.failure();
    Compared& compared = **read;
    Loaded& loaded = compared.loaded;
    const BaselineChoice& choice = compared.choice;
    const std::vector<const Run*>& runs = choice.runs;
    CompareSettings settings;
    settings.noise = o.noise;
    settings.median = choice.median;
    settings.baselines = choice.baselines;
    settings.taken = compared.taken;
    std::vector<ProgramComparison> comparisons = compare_runs(compared.compared, settings);
    std::vector<MissingProgram> missing =
        programs_missing(loaded.runs, o.inputs.paths.size(), choice.baselines, choice.median);
    std::optional<GateVerdict> verdict = gate_verdict(o.gate, comparisons, missing, o.inputs.paths);
    const GateVerdict* gate = verdict ? &*verdict : nullptr;

    std::string text = chart_text(o.output, runs, comparisons, gate);
    if (text.empty())
        return Failed(Exit::bad_input, "nothing to chart: no test has per-thread rates");
    consider_also(loaded, compared.extra);
    if (Result refused =
            write_output(o.output, loaded, o.inputs, [&](Output& out) { out.write(text); }))
        return refused;
    Result judged = verdict ? finish_gate(verdict, comparisons, missing, o.inputs.paths) : Result();
    return first_of(compared.unread, judged);
}

}  // namespace

void add_chart_command(CLI::App& app, Commands& commands) {
    auto o = std::make_shared<ChartOptions>();
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
    cmd->add_option("--baseline", o->baseline, baseline_help);
    add_runs_choice(cmd, o->runs);
    cmd->add_option("--noise", o->noise, "Noise band of the comparison, in percent")
        ->check(percentage())
        ->capture_default_str();
    // The same gate as compare's, its verdict drawn and its exit status the same.
    add_gate_options(cmd, o->gate);
    commands.add(cmd, [o] { return chart(*o); });
}

}  // namespace report
