// `compare`: the figures of several runs side by side, each as a ratio to a
// baseline, in the layout and format asked for; with --fail-if-worse, a
// regression gate that never passes on nothing.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "model/catalogue.h"
#include "analysis/recorded.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/usage.h"
#include "output/compare_formats.h"
#include "output/compare_views.h"
#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "output/gate_view.h"
#include "cli/baseline.h"
#include "cli/gate_options.h"
#include "output/text.h"

namespace report {

namespace {

namespace fs = std::filesystem;

struct Options {
    Inputs inputs;
    std::string baseline;
    RunsChoice runs;
    double noise = default_noise_percent;
    GateOptions gate;
    std::string format = "text";
    std::string view = "auto";
    std::vector<std::string> tests;
    std::vector<std::string> figures;
    std::string colour = "auto";
    std::string output;
};

// Every --test names a test of the catalogue; else a failure naming the
// first that does not, with the list.
Result tests_known(const std::vector<std::string>& tests) {
    for (const std::string& key : tests)
        if (find_test_info(key) == nullptr) {
            std::string keys;
            for (const TestInfo& t : catalogue())
                keys += (keys.empty() ? "" : ", ") + std::string(t.key);
            return Failed(Exit::bad_input,
                          fmt::format("--test {}: no such test; the tests are {}", key, keys));
        }
    return std::nullopt;
}

// Whether standard output and standard error reach the same file: one
// terminal, or `2>&1`.
bool one_destination() {
    struct stat out {}, err {};
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

// Where the machines differ goes to standard error too, not only under the
// table; so do the warnings the machine drew while the repetitions ran;
// said once when the table that carries them reaches the same file.
void say_machine_notes(const Options& o, const std::vector<ProgramComparison>& comparisons) {
    bool tables_carry_them = (o.format == "text" || o.format == "markdown") &&
                             (o.output.empty() || o.output == "-");
    if (tables_carry_them && one_destination())
        return;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        for (const std::string& note : machine_notes(comparisons[ci]))
            error(note);
        for (const DisturbedLabel& d : disturbances(comparisons[ci], ci))
            error(disturbance_line(d, comparisons[ci]));
    }
}

// The comparison in the format and layout asked, into -o or standard output.
Result write_comparison(const Options& o, const Loaded& loaded,
                        const std::vector<ProgramComparison>& comparisons,
                        const std::optional<GateVerdict>& verdict) {
    return write_output(o.output, loaded, o.inputs, [&](Output& out) {
        ViewOptions view;
        view.gate = verdict ? &*verdict : nullptr;
        view.layout = o.view == "wide"     ? CompareLayout::wide
                      : o.view == "narrow" ? CompareLayout::narrow
                      : o.view == "fleet"  ? CompareLayout::fleet
                                           : CompareLayout::automatic;
        view.width =
            out.terminal() || o.output.empty() || o.output == "-" ? output_width() : 100000;
        view.colour = colour_wanted(o.colour, out.terminal());
        const CompareFormat* format = find_compare_format(o.format);
        if (format->stream)
            format->stream(comparisons, view, [&](std::string_view text) { out.write(text); });
        else
            out.write(format->write(comparisons, view));
    });
}

Result run_compare(const Options& o) {
    Expected<std::unique_ptr<Compared>> read = load_compared(o.inputs, o.baseline, o.runs);
    if (!read)
        return read.failure();
    Compared& compared = **read;
    Loaded& loaded = compared.loaded;
    const BaselineChoice& choice = compared.choice;
    if (compared.compared.size() < 2)
        return Failed(Exit::bad_input, fmt::format("compare needs at least two runs, found {}",
                                                   compared.compared.size()));
    if (Result unknown = tests_known(o.tests))
        return unknown;
    CompareSettings settings{o.noise,     choice.median, choice.baselines,
                             o.tests,     o.figures,     compared.taken};
    std::vector<ProgramComparison> comparisons = compare_runs(compared.compared, settings);
    say_machine_notes(o, comparisons);
    std::vector<MissingProgram> missing =
        programs_missing(loaded.runs, o.inputs.paths.size(), choice.baselines, choice.median);
    std::optional<GateVerdict> verdict = gate_verdict(o.gate, comparisons, missing, o.inputs.paths);
    // A baseline read from outside the inputs is never overwritten either.
    consider_also(loaded, compared.extra);
    if (Result refused = write_comparison(o, loaded, comparisons, verdict))
        return refused;
    // The gate: no verdict (4) when anything it needs is missing; else 3 when
    // a label is shown slower than allowed. An input that could not be read
    // keeps its 2.
    return first_of(compared.unread, finish_gate(verdict, comparisons, missing, o.inputs.paths));
}

}  // namespace

void add_compare_command(CLI::App& app, Commands& commands) {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "compare",
        "Compare runs figure by figure, each as a ratio to a baseline run or to the "
        "median of the runs; one table per program.");
    add_inputs(cmd, o->inputs, true);
    cmd->add_option("--baseline", o->baseline, baseline_help);
    add_runs_choice(cmd, o->runs);
    cmd->add_option("--noise", o->noise,
                    "Noise band in percent: a figure within it of the baseline's time is \"=\"")
        ->check(percentage())
        ->capture_default_str();
    add_gate_options(cmd, o->gate);
    std::vector<std::string> format_names;
    for (const CompareFormat& f : compare_formats())
        format_names.emplace_back(f.name);
    add_format(cmd, o->format, format_names);
    cmd->add_option("--view", o->view,
                    "auto (fleet for more than 8 runs of a program; else wide when the runs "
                    "fit the width as columns; a few that do not, narrow; else fleet), wide, "
                    "narrow (a table per label against the baseline) or fleet (a row per run)")
        ->check(one_of({"auto", "wide", "narrow", "fleet"}))
        ->capture_default_str();
    cmd->add_option("--test", o->tests,
                    "Only this test (a key such as float or low_speeds), repeatable")
        ->allow_extra_args(false);
    std::vector<std::string> figure_names;
    for (const FigureKind& k : figure_kinds())
        figure_names.push_back(k.name);
    cmd->add_option("--figure", o->figures,
                    "Only this figure (such as \"single rate\"), repeatable")
        ->allow_extra_args(false)
        ->check(one_of(figure_names));
    add_colour(cmd, o->colour);
    add_output(cmd, o->output);
    commands.add(cmd, [o] { return run_compare(*o); });
}

}  // namespace report
