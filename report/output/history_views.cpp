#include "output/history_views.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/change_findings.h"
#include "analysis/verdict_status.h"
#include "model/catalogue.h"
#include "output/text.h"

namespace report {

namespace {

using json = nlohmann::ordered_json;

std::string percent_text(double change) {
    return fmt::format("{:+.1f}%", change);
}

std::string p_text(double p) {
    return p < 1e-4 ? fmt::format("{:.1e}", p) : fmt::format("{:.4f}", p);
}

json causes_json(const std::vector<ContextDifference>& causes) {
    json out = json::array();
    for (const ContextDifference& d : causes)
        out.push_back({{"field", d.field}, {"before", d.first}, {"after", d.second}});
    return out;
}

// The line that says what the gate decided, or nothing without a gate.
std::string gate_line(const HistoryAnalysis& a, const HistoryViewOptions& o) {
    if (!o.gate || !o.gate_since)
        return "";
    const HistoryGate& g = *o.gate;
    switch (g.verdict) {
        case HistoryGate::fail:
            if (!g.worse_drifts.empty())
                return fmt::format(
                    "Gate: fail: {} change point(s) for the worse on or after {}, {} drift(s) "
                    "for the worse going on then.",
                    g.worse.size(), *o.gate_since, g.worse_drifts.size());
            return fmt::format("Gate: fail: {} change point(s) for the worse on or after {}.",
                               g.worse.size(), *o.gate_since);
        case HistoryGate::too_little:
            if (o.decidable_from)
                return fmt::format(
                    "Gate: no verdict: cannot decide before {}: {} of the labels' histories "
                    "have fewer than {} days on or after {} (a change is seen {} days after "
                    "it, with a run a night).",
                    *o.decidable_from, g.unjudged.size(), ChangePointSettings{}.min_segment,
                    *o.gate_since, ChangePointSettings{}.min_segment);
            return fmt::format(
                "Gate: no verdict: {} of the labels' histories have fewer than {} days on "
                "either side of {}.",
                g.unjudged.size(), ChangePointSettings{}.min_segment, *o.gate_since);
        case HistoryGate::pass:
            break;
    }
    return fmt::format("Gate: pass: no change point for the worse on or after {} in {} label(s).",
                       *o.gate_since, a.labels);
}

}  // namespace

std::string series_name(const std::string& test, bool overall) {
    return fmt::format("{}, {}", test == "geomean" ? "Geometric mean" : display_name(test),
                       figure_name(overall));
}

std::string cause_text(const ContextDifference& d) {
    // The values come from machine.json as it was found: escaped like every
    // other text from a file before a terminal or a page shows it.
    return fmt::format("{} {} -> {}", d.field, escape_path(d.first), escape_path(d.second));
}

std::string causes_text(const std::vector<ContextDifference>& causes) {
    std::vector<std::string> parts;
    for (const ContextDifference& d : causes)
        parts.push_back(cause_text(d));
    return parts.empty() ? "none known" : fmt::format("{}", fmt::join(parts, "; "));
}

std::string fleet_event_text(const FleetEvent& e, std::size_t labels) {
    std::vector<std::string> causes;
    for (const FleetEvent::Cause& c : e.causes)
        causes.push_back(c.labels == e.labels.size()
                             ? fmt::format("{} on all {}", cause_text(c.difference), c.labels)
                             : fmt::format("{} on {} of {}", cause_text(c.difference), c.labels,
                                           e.labels.size()));
    return fmt::format("{} of {} hosts, {}{}, {}{}", e.labels.size(), labels, e.date,
                       e.last_date == e.date ? "" : " to " + e.last_date,
                       e.worse ? "slower" : "faster",
                       causes.empty() ? ", no machine change in common"
                                      : ", " + fmt::format("{}", fmt::join(causes, ", ")));
}

std::string drift_text(const Drift& d) {
    double low = std::fabs(d.low_percent), high = std::fabs(d.high_percent);
    return fmt::format("drifting {} by {:.1f}% [{:.1f}-{:.1f}%] from {} to {}",
                       is_worse(d.change_percent) ? "slower" : "faster",
                       std::fabs(d.change_percent), std::min(low, high), std::max(low, high),
                       d.start, d.end);
}

std::string local_p_text(const ChangePoint& cp) {
    return fmt::format("p {:.2g} local to its {}-day {}", cp.p, cp.p_days,
                       cp.p_window ? "window" : "stretch");
}

std::string drift_owner_text(const Drift& d) {
    return fmt::format("{}: {}: {} of {} figures{}", escape_path(d.label), program_name(d.program),
                       d.figures, d.figures_total, d.ongoing ? ", still going on" : "");
}

namespace {

// Each drift of the selection as two lines: whose it is, then what it is.
std::string drift_lines(const HistoryAnalysis& a, const HistorySelection& s,
                        const std::string& indent, std::size_t width) {
    std::string out;
    if (s.drifts.empty())
        return out;
    out += fmt::format("Drifts ({})\n", s.drifts.size());
    for (std::size_t i : s.drifts)
        out += indent + wrap_words(drift_owner_text(a.drifts[i]), width, 2) + "\n  " + indent +
               wrap_words(drift_text(a.drifts[i]), width - 2, 4) + "\n";
    return out + "\n";
}

Table change_point_table(const HistoryAnalysis& a, const HistorySelection& s) {
    Table t;
    t.title = fmt::format("Change points ({})", s.change_points.size());
    t.header = {"Label",  "Program", "Figure", "From",  "Last before",
                "Before", "After",   "Change", "Local p", "Machine changes"};
    for (std::size_t i : s.change_points) {
        const ChangePoint& cp = a.change_points[i];
        t.rows.push_back({escape_path(cp.label), program_name(cp.program),
                          series_name(cp.test, cp.overall), cp.date, cp.last_before,
                          number_cell(fmt::format("{:.6g}", cp.before)),
                          number_cell(fmt::format("{:.6g}", cp.after)),
                          number_cell(percent_text(cp.change_percent),
                                      is_worse(cp.change_percent) ? Mark::worse : Mark::better),
                          number_cell(p_text(cp.p)), causes_text(cp.causes)});
    }
    t.notes.push_back(fmt::format(
        "A change point is the first day of a new level of a figure (E-Divisive means, "
        "permutation p at most {:g}, at least {} days a side, then windows of {} days at p "
        "at most {:g}; a change of {:g}% or more); Before and After are the medians of the "
        "days of the levels either side. Local p is the test's within the stretch or window "
        "that found the change: it allows for the split picked there, not for the many "
        "searched.",
        ChangePointSettings{}.significance, ChangePointSettings{}.min_segment,
        fmt::join(ChangePointSettings{}.windows, ", "),
        ChangePointSettings{}.window_significance, 100 * ChangePointSettings{}.minimum_effect));
    return t;
}

Table fleet_event_table(const HistoryAnalysis& a, const HistorySelection& s) {
    Table t;
    t.title = fmt::format("Fleet events ({})", s.fleet_events.size());
    t.header = {"From", "To", "Hosts", "Direction", "Machine changes shared", "Labels"};
    for (std::size_t i : s.fleet_events) {
        const FleetEvent& e = a.fleet_events[i];
        std::vector<std::string> causes, labels;
        for (const FleetEvent::Cause& c : e.causes)
            causes.push_back(fmt::format("{} ({} of {})", cause_text(c.difference), c.labels,
                                         e.labels.size()));
        for (const std::string& l : e.labels)
            labels.push_back(escape_path(l));
        t.rows.push_back({e.date, e.last_date,
                          number_cell(fmt::format("{} of {}", e.labels.size(), a.labels)),
                          TableCell(e.worse ? "slower" : "faster", false,
                                    e.worse ? Mark::worse : Mark::better),
                          causes.empty() ? "none" : fmt::format("{}", fmt::join(causes, "; ")),
                          fmt::format("{}", fmt::join(labels, ", "))});
    }
    return t;
}

Table quiet_change_table(const HistoryAnalysis& a, const HistorySelection& s) {
    Table t;
    t.title =
        fmt::format("Machine changes that moved no figure ({})", s.quiet_machine_changes.size());
    t.header = {"Label", "Program", "Last before", "From", "Changed"};
    for (std::size_t i : s.quiet_machine_changes) {
        const QuietMachineChange& q = a.quiet_machine_changes[i];
        t.rows.push_back({escape_path(q.label), program_name(q.program), q.last_before, q.date,
                          causes_text(q.differences)});
    }
    return t;
}

}  // namespace

std::vector<Table> history_tables(const HistoryAnalysis& a, const HistorySelection& s) {
    std::vector<Table> out;
    if (!s.change_points.empty())
        out.push_back(change_point_table(a, s));
    if (!s.fleet_events.empty())
        out.push_back(fleet_event_table(a, s));
    if (!s.quiet_machine_changes.empty())
        out.push_back(quiet_change_table(a, s));
    return out;
}

namespace {

// "7.6-8.2% slower", "3.0% faster", "from 2.0% slower to 1.0% faster".
std::string moved_text(double low, double high) {
    if (low < 0 && high > 0)
        return fmt::format("from {:.1f}% slower to {:.1f}% faster", -low, high);
    double a = std::min(std::fabs(low), std::fabs(high));
    double b = std::max(std::fabs(low), std::fabs(high));
    std::string size = fmt::format("{:.1f}", a) == fmt::format("{:.1f}", b)
                           ? fmt::format("{:.1f}%", a)
                           : fmt::format("{:.1f}-{:.1f}%", a, b);
    return size + (high <= 0 ? " slower" : " faster");
}

// "host-002: both programs 7.6-8.2% slower from 2024-10-29 (kernel 6.1.0-27
// -> 6.1.0-28), 17 figures"
std::string finding_text(const ChangeFinding& f) {
    std::string who = f.programs.size() > 1 ? "both programs" : program_name(*f.programs.begin());
    std::size_t n = f.change_points.size();
    return fmt::format("{}: {} {} from {} ({}), {} figure{}", escape_path(f.label), who,
                       moved_text(f.low_percent, f.high_percent), f.date,
                       f.causes.empty() ? "no machine change known" : causes_text(f.causes), n,
                       n == 1 ? "" : "s");
}

// The change points as findings, the largest move first, and the labels
// that have none as a count.
std::string findings_lines(const HistoryAnalysis& a, const HistorySelection& s,
                           const HistoryViewOptions& o) {
    ChangeFindings found = change_findings(a, s);
    std::string out = fmt::format("Changes ({}, over {} change point{}; the largest first)\n",
                                  found.findings.size(), s.change_points.size(),
                                  s.change_points.size() == 1 ? "" : "s");
    for (const ChangeFinding& f : found.findings)
        out += "  " + wrap_words(finding_text(f), o.width - 2, 4) + "\n";
    if (found.labels_without > 0)
        out += fmt::format("{} of {} label(s): no change point{}.\n", found.labels_without,
                           a.labels, o.since ? " on or after " + *o.since : "");
    if (!o.rows)
        out += "--rows lists each figure's change point.\n";
    return out + "\n";
}

// A table within the width: its title and notes wrapped, its rows laid out
// by render_text.
std::string table_text(Table t, const HistoryViewOptions& o) {
    std::string out = wrap_words(t.title, o.width) + "\n";
    std::vector<std::string> notes = std::move(t.notes);
    t.title.clear();
    t.notes.clear();
    out += render_text(t, o.width, o.colour);
    for (const std::string& n : notes)
        out += wrap_words(n, o.width) + "\n";
    return out + "\n";
}

}  // namespace

std::string history_text(const HistoryAnalysis& a, const HistorySelection& s,
                         const HistoryViewOptions& o) {
    std::string out;
    if (s.change_points.empty())
        out += fmt::format("No change point{} in the history of {} label(s).\n\n",
                           o.since ? " on or after " + *o.since : "", a.labels);
    else
        out += findings_lines(a, s, o);
    out += drift_lines(a, s, "", o.width);
    if (o.rows && !s.change_points.empty())
        out += table_text(change_point_table(a, s), o);
    if (!s.fleet_events.empty())
        out += table_text(fleet_event_table(a, s), o);
    if (!s.quiet_machine_changes.empty())
        out += table_text(quiet_change_table(a, s), o);
    for (std::size_t i : s.fleet_events)
        out += wrap_words("Fleet event: " + fleet_event_text(a.fleet_events[i], a.labels), o.width) +
               "\n";
    if (std::string g = gate_line(a, o); !g.empty())
        out += (s.fleet_events.empty() ? "" : "\n") + wrap_words(g, o.width) + "\n";
    return out;
}

std::string history_markdown(const HistoryAnalysis& a, const HistorySelection& s,
                             const HistoryViewOptions& o) {
    std::string out;
    if (s.change_points.empty())
        out += markdown_escape(fmt::format("No change point{} in the history of {} label(s).",
                                           o.since ? " on or after " + *o.since : "", a.labels)) +
               "\n\n";
    if (!s.drifts.empty()) {
        out += fmt::format("### Drifts ({})\n\n", s.drifts.size());
        for (std::size_t i : s.drifts)
            out += "- " + markdown_escape(drift_owner_text(a.drifts[i]) + ": " +
                                          drift_text(a.drifts[i])) + "\n";
        out += "\n";
    }
    for (const Table& t : history_tables(a, s))
        out += render_markdown(t);
    if (std::string g = gate_line(a, o); !g.empty())
        out += markdown_escape(g) + "\n";
    return out;
}

namespace {

json change_points_json(const HistoryAnalysis& a, const HistorySelection& s) {
    json points = json::array();
    for (std::size_t i : s.change_points) {
        const ChangePoint& cp = a.change_points[i];
        points.push_back({{"label", cp.label},
                          {"program", program_name(cp.program)},
                          {"test", cp.test},
                          {"figure", figure_name(cp.overall)},
                          {"date", cp.date},
                          {"last_before", cp.last_before},
                          {"before", cp.before},
                          {"after", cp.after},
                          {"change_percent", cp.change_percent},
                          {"p", cp.p},
                          {"p_scope", cp.p_window ? "window" : "stretch"},
                          {"p_days", cp.p_days},
                          {"causes", causes_json(cp.causes)}});
    }
    return points;
}

json drifts_json(const HistoryAnalysis& a, const HistorySelection& s) {
    json drifts = json::array();
    for (std::size_t i : s.drifts) {
        const Drift& d = a.drifts[i];
        drifts.push_back({{"label", d.label},
                          {"program", program_name(d.program)},
                          {"test", d.test},
                          {"figure", figure_name(d.overall)},
                          {"start", d.start},
                          {"end", d.end},
                          {"ongoing", d.ongoing},
                          {"direction", is_worse(d.change_percent) ? "slower" : "faster"},
                          {"change_percent", d.change_percent},
                          {"low_percent", std::min(d.low_percent, d.high_percent)},
                          {"high_percent", std::max(d.low_percent, d.high_percent)},
                          {"figures", d.figures},
                          {"figures_total", d.figures_total}});
    }
    return drifts;
}

json fleet_events_json(const HistoryAnalysis& a, const HistorySelection& s) {
    json events = json::array();
    for (std::size_t i : s.fleet_events) {
        const FleetEvent& e = a.fleet_events[i];
        json causes = json::array();
        for (const FleetEvent::Cause& c : e.causes)
            causes.push_back({{"field", c.difference.field},
                              {"before", c.difference.first},
                              {"after", c.difference.second},
                              {"labels", c.labels}});
        events.push_back({{"date", e.date},
                          {"last_date", e.last_date},
                          {"direction", e.worse ? "slower" : "faster"},
                          {"labels", e.labels},
                          {"change_points", e.change_points.size()},
                          {"causes", causes}});
    }
    return events;
}

json quiet_changes_json(const HistoryAnalysis& a, const HistorySelection& s) {
    json quiet = json::array();
    for (std::size_t i : s.quiet_machine_changes) {
        const QuietMachineChange& q = a.quiet_machine_changes[i];
        quiet.push_back({{"label", q.label},
                         {"program", program_name(q.program)},
                         {"date", q.date},
                         {"last_before", q.last_before},
                         {"changes", causes_json(q.differences)}});
    }
    return quiet;
}

json history_gate_json(const HistoryViewOptions& o) {
    if (!o.gate || !o.gate_since)
        return nullptr;
    return {{"since", *o.gate_since},
            {"verdict", o.gate->verdict == HistoryGate::fail         ? "fail"
                        : o.gate->verdict == HistoryGate::too_little ? "no_verdict"
                                                                     : "pass"},
            {"exit_status", o.gate->verdict == HistoryGate::fail         ? verdict_fail_status
                            : o.gate->verdict == HistoryGate::too_little ? no_verdict_status
                                                                         : verdict_pass_status},
            {"worse", o.gate->worse.size()},
            {"worse_drifts", o.gate->worse_drifts.size()},
            {"unjudged", o.gate->unjudged}};
}

}  // namespace

std::string history_json(const HistoryAnalysis& a, const HistorySelection& s,
                         const HistoryViewOptions& o) {
    ChangePointSettings settings;
    json doc{{"schema_version", history_schema_version},
             {"tool", "bench_report"},
             {"tool_version", BENCH_REPORT_VERSION},
             {"method", {{"name", "e_divisive_means"},
                         {"significance_test", "rank_permutation"},
                         {"significance", settings.significance},
                         {"min_segment_days", settings.min_segment},
                         {"window_days", settings.windows},
                         {"window_significance", settings.window_significance},
                         {"minimum_effect", settings.minimum_effect},
                         {"drift", {{"name", "ramp_against_steps_bic"},
                                    {"shortest_days", settings.shortest_drift},
                                    {"interval", "block_bootstrap_95"}}}}},
             {"since", o.since ? json(*o.since) : json(nullptr)},
             {"labels", a.labels},
             {"change_points", change_points_json(a, s)},
             {"drifts", drifts_json(a, s)},
             {"fleet_events", fleet_events_json(a, s)},
             {"quiet_machine_changes", quiet_changes_json(a, s)},
             {"gate", history_gate_json(o)}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace report
