// `compare`: the figures of several runs side by side, each as a ratio to a
// baseline, in the layout and format asked for; with --fail-if-worse, a
// regression gate that never passes on nothing.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "model/catalogue.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "output/compare_views.h"
#include "analysis/comparison.h"

namespace report {

namespace {

namespace fs = std::filesystem;

struct Options {
    Inputs inputs;
    std::string baseline;
    double noise = 2;
    std::optional<double> fail_if_worse;
    std::string format = "text";
    std::string view = "auto";
    std::vector<std::string> tests;
    std::vector<std::string> figures;
    std::string colour = "auto";
    std::string output;
};

// The runs compared and each program's baseline, as --baseline names them:
// nothing (each program's first run), "median", a label, or a path (of an
// input, of one of the files read, or of another file, which is then read).
struct Choice {
    std::vector<const Run*> runs;
    std::vector<const Run*> baselines;
    bool median = false;
    bool failed = false;
};

Choice choose_baseline(const Loaded& loaded, const Options& o, Loaded& extra) {
    Choice choice;
    for (const Run& r : loaded.runs)
        choice.runs.push_back(&r);
    if (o.baseline == "median") {
        choice.median = true;
        return choice;
    }
    if (o.baseline.empty())
        return choice;

    std::vector<const Run*> named;
    for (const Run& r : loaded.runs)
        if (r.label == o.baseline)
            named.push_back(&r);
    std::error_code ec;
    if (named.empty() && fs::exists(o.baseline, ec)) {
        auto same = [&](const std::string& p) {
            std::error_code e;
            return fs::equivalent(o.baseline, p, e);
        };
        for (std::size_t k = 0; k < o.inputs.paths.size(); ++k)
            if (same(o.inputs.paths[k]))
                for (const Run& r : loaded.runs)
                    if (r.input == k)
                        named.push_back(&r);
        if (named.empty())
            for (const Run& r : loaded.runs)
                if (same(r.path))
                    named.push_back(&r);
        if (named.empty()) {
            extra = load_runs({o.baseline}, {});
            say_notes(extra);
            if (extra.failed) {
                choice.failed = true;
                return choice;
            }
            for (Run& r : extra.runs) {
                r.input = static_cast<std::size_t>(-1);
                named.push_back(&r);
            }
            choice.runs.insert(choice.runs.begin(), named.begin(), named.end());
        }
    }
    if (named.empty()) {
        error(fmt::format("--baseline {}: no run has this label, and no results file is there",
                          escape_path(o.baseline)));
        choice.failed = true;
        return choice;
    }
    std::vector<Program> programs;
    for (const Run* r : choice.runs)
        if (std::find(programs.begin(), programs.end(), r->program) == programs.end())
            programs.push_back(r->program);
    for (Program p : programs) {
        std::vector<const Run*> of;
        for (const Run* r : named)
            if (r->program == p)
                of.push_back(r);
        // Several repetitions of one label are one baseline.
        bool one_label = !of.empty() && std::all_of(of.begin(), of.end(), [&](const Run* r) {
            return r->label == of.front()->label;
        });
        if (!one_label) {
            error(of.empty() ? fmt::format("--baseline {}: names no run of {}, which is compared",
                                           escape_path(o.baseline), program_name(p))
                             : fmt::format("--baseline {}: names {} runs of {} under different "
                                           "labels; name one",
                                           escape_path(o.baseline), of.size(), program_name(p)));
            choice.failed = true;
            continue;
        }
        choice.baselines.push_back(of.front());
    }
    return choice;
}

// Every program a baseline has must be in every input; says each one missing.
bool programs_missing(const Loaded& loaded, const Choice& choice, const Options& o) {
    std::set<Program> wanted;
    if (choice.median || choice.baselines.empty()) {
        for (const Run* r : choice.runs)
            wanted.insert(r->program);
    } else {
        for (const Run* r : choice.baselines)
            wanted.insert(r->program);
    }
    bool missing = false;
    for (std::size_t k = 0; k < o.inputs.paths.size(); ++k) {
        std::set<Program> has;
        for (const Run& r : loaded.runs)
            if (r.input == k)
                has.insert(r.program);
        // Nothing at all: said already (no results file, or only files read
        // under another path).
        if (has.empty())
            continue;
        for (Program p : wanted)
            if (!has.count(p)) {
                error(fmt::format("{}: no run of {}, which the baseline has",
                                  escape_path(o.inputs.paths[k]), program_name(p)));
                missing = true;
            }
    }
    return missing;
}

// Each label whose repetitions ran on a machine that differs from the
// baseline's first repetition (with the median as baseline, from the first
// label's) in what changes the figures: one line per label, field and pair of
// values, said on standard error; returned for under the table.
bool valid_key(const std::string& key) {
    return find_test_info(key) != nullptr;
}

void run_compare(const Options& o, int& status) {
    Loaded loaded = load_inputs(o.inputs, status);
    if (loaded.runs.empty())
        return;
    Loaded extra;
    Choice choice = choose_baseline(loaded, o, extra);
    if (choice.failed) {
        status = static_cast<int>(Exit::bad_input);
        return;
    }
    if (choice.runs.size() < 2) {
        error(fmt::format("compare needs at least two runs, found {}", choice.runs.size()));
        status = static_cast<int>(Exit::bad_input);
        return;
    }
    for (const std::string& key : o.tests)
        if (!valid_key(key)) {
            std::string keys;
            for (const TestInfo& t : catalogue())
                keys += (keys.empty() ? "" : ", ") + std::string(t.key);
            error(fmt::format("--test {}: no such test; the tests are {}", key, keys));
            status = static_cast<int>(Exit::bad_input);
            return;
        }

    CompareSettings settings;
    settings.noise = o.noise;
    settings.median = choice.median;
    settings.baselines = choice.baselines;
    settings.tests = o.tests;
    settings.figures = o.figures;
    std::vector<ProgramComparison> comparisons = compare_runs(choice.runs, settings);
    // Where the machines differ goes to standard error too, not only under the table.
    for (const ProgramComparison& c : comparisons)
        for (const std::string& note : machine_notes(c))
            error(note);

    int written = 0;
    write_output(o.output, loaded, o.inputs, written, [&](Output& out) {
        ViewOptions view;
        view.noise = o.noise;
        view.gate = o.fail_if_worse;
        view.layout = o.view == "wide"    ? CompareLayout::wide
                      : o.view == "fleet" ? CompareLayout::fleet
                                          : CompareLayout::automatic;
        view.width =
            out.terminal() || o.output.empty() || o.output == "-" ? output_width() : 100000;
        view.colour = colour_wanted(o.colour, out.terminal());
        if (o.format == "json")
            out.write(compare_json(comparisons, view));
        else if (o.format == "csv")
            out.write(compare_csv(comparisons, view));
        else if (o.format == "markdown")
            out.write(compare_markdown(comparisons, view));
        else
            out.write(compare_text(comparisons, view));
    });
    if (written != 0) {
        status = written;
        return;
    }

    if (!o.fail_if_worse) {
        programs_missing(loaded, choice, o);
        return;
    }
    // The gate: no verdict (2) when anything it needs is missing; else 3 when
    // a pass is slower than allowed.
    bool blocked = programs_missing(loaded, choice, o);
    for (const GateProblem& p : gate_problems(comparisons)) {
        const ProgramComparison& c = comparisons[p.comparison];
        std::string run = fmt::format("{}: {}", program_name(c.program), run_name(*c.runs[p.run]));
        switch (p.kind) {
            case GateProblem::partial:
                error(fmt::format("{}: partial, the file ends before the end of the run ({})", run,
                                  escape_path(p.detail)));
                break;
            case GateProblem::inconsistent:
                error(fmt::format("{}: inconsistent: {}", run, p.detail));
                break;
            case GateProblem::nothing_comparable:
                error(c.runs.size() < 2
                          ? fmt::format("{}: the only label: nothing to compare it with", run)
                          : fmt::format("{}: no figure comparable with the baseline", run));
                break;
        }
        blocked = true;
    }
    if (blocked) {
        error("--fail-if-worse: no verdict, the comparison is missing what a gate needs");
        status = static_cast<int>(Exit::bad_input);
        return;
    }
    std::vector<Regression> worse = regressions(comparisons, *o.fail_if_worse);
    for (const Regression& r : worse) {
        const ProgramComparison& c = comparisons[r.comparison];
        const FigureRow& row = c.rows[r.row];
        const char* pass = row.pass == Pass::single  ? "single-thread pass"
                           : row.pass == Pass::multi ? "multi-thread pass"
                                                     : "improvement";
        error(
            fmt::format("{}: {}: {}, {}: {} is {} ({}), {:.3g} times the baseline's time, "
                        "more than {:g}% slower",
                        program_name(c.program), run_name(*c.runs[r.run]), row.test_title, pass,
                        row.figure, cell_text(row.cells[r.run]),
                        format_ratio(*row.cells[r.run].ratio), r.factor, *o.fail_if_worse));
    }
    if (!worse.empty() && status == 0)
        status = static_cast<int>(Exit::gate);
}

}  // namespace

void add_compare_command(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "compare",
        "Compare runs figure by figure, each as a ratio to a baseline run or to the "
        "median of the runs; one table per program.");
    add_inputs(cmd, o->inputs, true);
    cmd->add_option("--baseline", o->baseline,
                    "The run each program's figures are compared with: a label, a path (one of "
                    "the inputs or another file), or \"median\" for the median of the runs "
                    "(default: each program's first run)");
    cmd->add_option("--noise", o->noise,
                    "Noise band in percent: a figure within it of the baseline's time is \"=\"")
        ->check(percentage())
        ->capture_default_str();
    cmd->add_option("--fail-if-worse", o->fail_if_worse,
                    "Exit 3 when a run needs more than (1 + PERCENT/100) times the baseline's time "
                    "for any figure; exit 2 when the comparison lacks what a verdict needs")
        ->check(percentage());
    cmd->add_option("--format", o->format, "text, json, csv or markdown")
        ->check(CLI::IsMember({"text", "json", "csv", "markdown"}))
        ->capture_default_str();
    cmd->add_option("--view", o->view,
                    "auto (wide when the runs fit the width as columns, else fleet), wide or "
                    "fleet (a row per run)")
        ->check(CLI::IsMember({"auto", "wide", "fleet"}))
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
        ->check(CLI::IsMember(figure_names));
    cmd->add_option("--color", o->colour, "auto, always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}))
        ->capture_default_str();
    cmd->add_option("-o,--output", o->output, "Write into this file (- for standard output)");
    cmd->callback([o, &status] { run_compare(*o, status); });
}

}  // namespace report
