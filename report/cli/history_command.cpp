// `history`: the change points of each label's history, what changed on the
// machine with them, the events a fleet shares; with --fail-on-change-since,
// a nightly job's gate.
#include <memory>
#include <optional>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "analysis/change_findings.h"
#include "analysis/change_points.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "output/history_views.h"
#include "output/text.h"

namespace report {

namespace {

struct HistoryOptions {
    Inputs inputs;
    std::string since, fail_since, format = "text", colour = "auto", output;
    bool rows = false;
};

// Each change point for the worse that the gate found, on standard error,
// and the gate's failure.
Result finish_history_gate(const HistoryAnalysis& analysis, const HistoryGate& g,
                           const std::string& since, const std::optional<std::string>& decidable) {
    for (std::size_t i : g.worse) {
        const ChangePoint& cp = analysis.change_points[i];
        error(fmt::format("{}: {}: {}: {:+.1f}% from {} ({})", escape_path(cp.label),
                          program_name(cp.program), series_name(cp.test, cp.overall),
                          cp.change_percent, cp.date, local_p_text(cp)));
    }
    for (std::size_t i : g.worse_drifts) {
        const Drift& d = analysis.drifts[i];
        error(fmt::format("{}: {}: {} ({} of {} figures), going on at or after {}",
                          escape_path(d.label), program_name(d.program), drift_text(d),
                          d.figures, d.figures_total, since));
    }
    if (g.verdict == HistoryGate::fail)
        return Failed(Exit::gate);
    if (g.verdict == HistoryGate::too_little) {
        for (const std::string& name : g.unjudged)
            error(fmt::format("{}: fewer than {} days of history on either side of {}",
                              escape_path(name), ChangePointSettings{}.min_segment, since));
        return Failed(Exit::no_verdict,
                      fmt::format("--fail-on-change-since: no verdict, too little history to "
                                  "say{}",
                                  decidable ? "; cannot decide before " + *decidable : ""));
    }
    return std::nullopt;
}

Result history(const HistoryOptions& o) {
    // A store gives the figures it keeps parsed: no text is parsed again.
    Expected<Read> read = load_inputs(o.inputs, StoreReading::figures);
    if (!read)
        return read.failure();
    Loaded& loaded = keep_until_exit(std::move(read->loaded));
    std::vector<const Run*> runs;
    for (const Run& r : loaded.runs)
        runs.push_back(&r);
    HistoryAnalysis& analysis = keep_until_exit(analyse_history(runs));
    HistoryViewOptions view;
    std::optional<long> since;
    if (!o.since.empty()) {
        view.since = o.since;
        since = calendar_days(o.since);
    }
    if (!o.fail_since.empty()) {
        view.gate_since = o.fail_since;
        view.gate = history_gate(analysis, *calendar_days(o.fail_since));
        if (view.gate->verdict == HistoryGate::too_little)
            view.decidable_from = gate_decidable_from(analysis, *calendar_days(o.fail_since));
    }
    view.rows = o.rows;
    view.width = output_width();
    HistorySelection selection = select_since(analysis, since);
    Result written = write_output(o.output, loaded, o.inputs, [&](Output& out) {
        view.colour = colour_wanted(o.colour, out.terminal());
        if (o.format == "json")
            out.write(history_json(analysis, selection, view));
        else if (o.format == "junit")
            out.write(history_junit(analysis, view));
        else if (o.format == "markdown")
            out.write(history_markdown(analysis, selection, view));
        else
            out.write(history_text(analysis, selection, view));
    });
    if (written)
        return written;
    Result gate = view.gate
                      ? finish_history_gate(analysis, *view.gate, o.fail_since, view.decidable_from)
                      : Result();
    return first_of(read->unread, gate);
}

}  // namespace

void add_history_command(CLI::App& app, Commands& commands) {
    auto o = std::make_shared<HistoryOptions>();
    CLI::App* cmd = app.add_subcommand(
        "history",
        "Find the days on which a label's figures moved to a new level (change points), what "
        "changed on its machine then, and the changes many labels share.");
    add_inputs(cmd, o->inputs, true);
    cmd->add_option("--since", o->since,
                    "Show only what happened on or after this day (YYYY-MM-DD); the whole "
                    "history is still searched")
        ->check(calendar_date());
    cmd->add_option("--fail-on-change-since", o->fail_since,
                    "Exit 3 when a change point for the worse lies on or after this day "
                    "(YYYY-MM-DD), or a drift for the worse goes on then; exit 4 (no verdict) "
                    "when a label's history has too few days either side of it to say")
        ->check(calendar_date());
    cmd->add_flag("--rows", o->rows,
                  "In the text, every change point as a row of its own, not only one line per "
                  "label, day and machine change");
    add_format(cmd, o->format, {"text", "json", "markdown", "junit"});
    add_colour(cmd, o->colour);
    add_output(cmd, o->output);
    commands.add(cmd, [o] { return history(*o); });
}

}  // namespace report
