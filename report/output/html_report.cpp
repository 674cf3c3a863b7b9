#include "output/html_report.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "machine/record.h"
#include "model/catalogue.h"
#include "output/compare_layout.h"
#include "output/gate_view.h"
#include "output/history_views.h"
#include "output/run_tables.h"
#include "output/scaling_view.h"
#include "analysis/scaling.h"
#include "output/text.h"
#include "page_css.h"

namespace report {

namespace {

// At fleet scale, the runs whose charts and tables the page carries.
constexpr std::size_t fleet_detail = 12;
// The repetitions of one label whose files and figures the page lists.
constexpr std::size_t shown_repetitions = 12;

std::string note(const std::string& text) {
    return "<p class=\"note\">" + xml_escape(unwrapped(text)) + "</p>\n";
}

// A table in a box of its own that scrolls sideways when it is wider than
// the page.
std::string scroll_table(const Table& t) {
    return "<div class=\"scroll\">\n" + render_html(t) + "</div>\n";
}

// The options of a page: its tables scroll in their own box, so no width
// holds a comparison to the fleet layout; more runs than colours still do.
ViewOptions on_a_page(ViewOptions options) {
    options.width = std::numeric_limits<std::size_t>::max();
    return options;
}

std::string program_id(Program p) {
    return p == Program::processors ? "processors" : "memory";
}

const char* gate_words(GateVerdict::Outcome outcome) {
    switch (outcome) {
        case GateVerdict::Outcome::pass: return "pass";
        case GateVerdict::Outcome::fail: return "fail";
        case GateVerdict::Outcome::no_verdict: break;
    }
    return "no verdict";
}

// The runs whose charts and tables a fleet's page carries: the baselines,
// the outliers furthest first, then partial runs.
std::vector<const Run*> detailed_runs(const std::vector<const Run*>& runs,
                                      const std::vector<ProgramComparison>& comparisons) {
    std::vector<const Run*> chosen;
    auto add = [&](const Run* r) {
        if (chosen.size() < fleet_detail &&
            std::find(chosen.begin(), chosen.end(), r) == chosen.end())
            chosen.push_back(r);
    };
    for (const ProgramComparison& c : comparisons)
        if (c.baseline)
            add(c.runs[*c.baseline]);
    for (std::size_t k = 0; chosen.size() < fleet_detail; ++k) {
        bool any = false;
        for (const ProgramComparison& c : comparisons)
            if (k < c.outliers.size()) {
                any = true;
                add(c.runs[c.outliers[k].run]);
            }
        if (!any)
            break;
    }
    for (const Run* r : runs)
        if (r->partial)
            add(r);
    // In the order given.
    std::vector<const Run*> ordered;
    for (const Run* r : runs)
        if (std::find(chosen.begin(), chosen.end(), r) != chosen.end())
            ordered.push_back(r);
    return ordered;
}

// What a run is, on one line above its charts.
std::string run_meta(const Run& run) {
    std::string meta = fmt::format(
        "{} {}", run.source == Source::transcript ? "Console transcript" : "Results file",
        escape_path(run.path));
    if (run.threads)
        meta += fmt::format("; {} thread(s)", *run.threads);
    if (!run.local_time.empty())
        meta += fmt::format("; started {} {}", run.local_time, run.zone);
    if (run.machine)
        if (std::string machine = machine_summary(*run.machine, true); !machine.empty())
            meta += "; machine " + machine;
    if (run.partial)
        meta += "; partial: the file ends before the end of the run";
    if (!run.findings.empty())
        meta +=
            fmt::format("; {} consistency finding(s), listed under its table", run.findings.size());
    return meta;
}

std::string run_detail(const Run& run, std::size_t index, bool open) {
    std::string out =
        fmt::format("<details id=\"run-{}\"{}>\n<summary>{}: {}</summary>\n", index,
                    open ? " open" : "", xml_escape(run_name(run)), program_name(run.program));
    out += "<p class=\"meta\">" + xml_escape(run_meta(run)) + "</p>\n<div class=\"charts\">\n";
    std::string without;
    for (const Test& test : run.tests) {
        Chart chart = scaling_chart(run, test);
        if (chart.empty())
            without += (without.empty() ? "" : ", ") + std::string(display_name(test.key));
        else
            out += "<figure>\n" + chart.element() + "</figure>\n";
    }
    out += "</div>\n";
    if (!without.empty())
        out += "<p class=\"note\">No per-thread rates to chart for " + xml_escape(without) +
               " (see the table).</p>\n";
    for (Table& t : show_tables(run)) {
        // The machine, named in the line above, once.
        t.title = t.title.substr(0, t.title.find('\n'));
        out += scroll_table(t);
    }
    return out + "</details>\n";
}

// A label's repetitions: what each is, one chart per test with a dot per
// repetition, and the table that sums them up; with `each`, each
// repetition's own figures, folded. At most `shown_repetitions` are listed.
std::string repetitions_detail(const std::vector<const Run*>& reps, std::size_t index, bool open,
                               bool each) {
    const Run& first = *reps.front();
    std::string out = fmt::format(
        "<details id=\"run-{}\"{}>\n<summary>{}: {}, {} repetitions</summary>\n", index,
        open ? " open" : "", xml_escape(run_name(first)), program_name(first.program), reps.size());
    std::vector<const Run*> listed(reps.begin(),
                                   reps.begin() + std::min(reps.size(), shown_repetitions));
    for (const Run* r : listed)
        out += "<p class=\"meta\">" + xml_escape(run_meta(*r)) + "</p>\n";
    if (listed.size() < reps.size())
        out += note(fmt::format("And {} more repetitions; `bench_report show` prints each.",
                                reps.size() - listed.size()));
    out += "<div class=\"charts\">\n";
    for (const RepeatedScaling& s : repeated_scaling(reps))
        out += "<figure>\n" + repetitions_chart(run_name(first), reps.size(), s).element() +
               "</figure>\n";
    out += "</div>\n";
    std::vector<Run> copies;
    for (const Run* r : reps)
        copies.push_back(*r);
    for (const Table& t : repetition_tables(copies))
        out += scroll_table(t);
    if (each) {
        out += "<details>\n<summary>The figures of each repetition</summary>\n";
        for (const Run* r : listed)
            for (Table& t : show_tables(*r)) {
                t.title = t.title.substr(0, t.title.find('\n'));
                out += scroll_table(t);
            }
        out += "</details>\n";
    }
    return out + "</details>\n";
}

// The gate's verdict at the top of the page, in the sentences compare says:
// the verdict first, then what led to it.
std::string gate_section(const GateVerdict& v, const std::vector<ProgramComparison>& cs) {
    std::vector<std::string> lines = gate_lines(v, cs);
    std::string out = fmt::format(
        "<section id=\"gate\" class=\"gate {}\">\n<h2>Gate: {}</h2>\n<p><strong>{}</strong></p>\n",
        outcome_name(v.outcome), gate_words(v.outcome), xml_escape(lines.back()));
    for (std::size_t k = 0; k + 1 < lines.size(); ++k)
        out += note(lines[k]);
    return out + "</section>\n";
}

// The answer compare opens with, at the top of the page: a line per program
// and label, the furthest moved first.
std::string answer_section(const std::vector<ProgramComparison>& cs, const GateVerdict* gate) {
    std::vector<std::string> lines = headline_lines(cs, gate);
    if (lines.empty())
        return "";
    std::string out = "<section id=\"answer\">\n<h2>Answer</h2>\n<ul>\n";
    for (const std::string& line : lines)
        out += "<li>" + xml_escape(line) + "</li>\n";
    return out + "</ul>\n</section>\n";
}

// The page's parts, each written from what it is handed.
struct Page {
    const std::vector<const Run*>& runs;
    const std::vector<ProgramComparison>& comparisons;
    const ViewOptions& options;
    const HistoryPage& history;
    std::vector<const Run*> detailed;  // the runs whose charts and tables it carries
    bool fleet = false;

    std::string contents() const;
    std::string comparison(const ProgramComparison& c) const;
    std::string fleet_events() const;
    std::string label_history(const LabelHistory& label, std::size_t index) const;
    std::string each_run() const;
};

// "bench_memory: 2 labels, 10 runs compared", "25 labels, 975 of the 1000
// runs compared": the runs counted as the page's title counts them, each
// repetition one, out of the program's runs on the page.
std::string compared_words(const ProgramComparison& c, const std::vector<const Run*>& all) {
    std::size_t runs = 0;
    for (const std::vector<const Run*>& reps : c.samples)
        runs += reps.size();
    auto of = static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](const Run* r) { return r->program == c.program; }));
    std::string name = program_name(c.program);
    if (runs <= c.runs.size() && of <= runs)
        return fmt::format("{}: {} runs compared", name, c.runs.size());
    if (of <= runs)
        return fmt::format("{}: {} labels, {} runs compared", name, c.runs.size(), runs);
    return fmt::format("{}: {} labels, {} of the {} runs compared", name, c.runs.size(), runs, of);
}

// The entry of a comparison in the contents, with a fleet's tests.
std::string comparison_entry(const ProgramComparison& c, const std::vector<const Run*>& all,
                             bool fleet) {
    std::string id = program_id(c.program);
    std::string entry =
        fmt::format("<li><a href=\"#compare-{}\">{}</a>", id, xml_escape(compared_words(c, all)));
    if (fleet) {
        entry += "<ul>";
        for (const TestInfo& info : catalogue(c.program))
            if (std::any_of(c.rows.begin(), c.rows.end(),
                            [&](const FigureRow& r) { return r.test == info.key; }))
                entry += fmt::format("<li><a href=\"#fleet-{}\">{}</a></li>", info.key,
                                     xml_escape(info.name));
        entry += fmt::format("<li><a href=\"#table-{}\">Table of the runs</a></li></ul>", id);
    }
    return entry + "</li>\n";
}

std::string Page::contents() const {
    std::string contents;
    if (options.gate)
        contents += fmt::format("<li><a href=\"#gate\">Gate: {}</a></li>\n",
                                gate_words(options.gate->outcome));
    for (const ProgramComparison& c : comparisons)
        if (c.runs.size() >= 2)
            contents += comparison_entry(c, runs, fleet_layout(c, options));
    for (std::size_t k = 0; k < history.labels.size(); ++k)
        contents += fmt::format("<li><a href=\"#history-{}\">History of {}: {} days</a></li>\n",
                                k + 1, xml_escape(escape_path(history.labels[k].label)),
                                history.labels[k].days);
    if (history.analysis && !history.analysis->fleet_events.empty())
        contents += fmt::format("<li><a href=\"#fleet-events\">Fleet events ({})</a></li>\n",
                                history.analysis->fleet_events.size());
    contents += fmt::format(
        "<li><a href=\"#runs\">{}</a></li>\n",
        detailed.size() == runs.size()
            ? fmt::format("Each run: charts and tables ({})", runs.size())
            : fmt::format("Charts and tables of {} of the {} runs", detailed.size(), runs.size()));
    return "<nav>\n<h2>Contents</h2>\n<ul>\n" + contents + "</ul>\n</nav>\n";
}

// A fleet's comparison: what a dot is, then a chart per test.
std::string fleet_charts(const ProgramComparison& c) {
    std::string out = note(
        fmt::format("Each dot is a run, its rate divided by {}; the runs are sorted, so the "
                    "flat middle is the bulk of the fleet. Runs far from the median (outside "
                    "+/-{:g}% and {:g} robust units of the fleet's spread) are in colour and "
                    "named{}; hover a dot for its run.",
                    c.baseline ? "the baseline's (" + run_name(*c.runs[*c.baseline]) + ", in black)"
                               : std::string("the median of the runs"),
                    c.noise, outlier_score, c.baseline ? "; the dotted line is the baseline" : ""));
    out += "<div class=\"charts fleet\">\n";
    for (const TestInfo& info : catalogue(c.program)) {
        std::string notes;
        Chart chart = fleet_chart(c, std::string(info.key), &notes);
        if (chart.empty())
            continue;
        out += fmt::format(
            "<section>\n<h3 id=\"fleet-{}\">{}</h3>\n<figure>\n{}</figure>\n{}</section>\n",
            info.key, xml_escape(info.name), chart.element(), notes);
    }
    return out + "</div>\n";
}

std::string Page::comparison(const ProgramComparison& c) const {
    std::string id = program_id(c.program);
    std::string out = fmt::format("<h2 id=\"compare-{}\">{}</h2>\n", id,
                                  xml_escape(compared_words(c, runs)));
    for (const std::string& line : taken_lines(c))
        out += note(line);
    if (std::optional<std::string> hint = taken_hint(c))
        out += note(*hint);
    if (fleet_layout(c, options))
        out += fleet_charts(c);
    else
        out += "<figure>\n" + comparison_chart(c).element() + "</figure>\n";
    out += fmt::format("<h3 id=\"table-{}\">Table of the runs</h3>\n", id);
    for (const Table& t : compare_tables({c}, options))
        out += scroll_table(t);
    return out;
}

std::string Page::fleet_events() const {
    if (!history.analysis || history.analysis->fleet_events.empty())
        return "";
    const HistoryAnalysis& a = *history.analysis;
    std::string out = "<h2 id=\"fleet-events\">Fleet events</h2>\n" +
                      note(
                          "Change points of several hosts in one direction on one day or the "
                          "next, or sharing a change of the machine within a week.") +
                      "<ul>\n";
    for (const FleetEvent& e : a.fleet_events) {
        std::vector<std::string> names;
        for (const std::string& l : e.labels)
            names.push_back(escape_path(l));
        out += "<li>" + xml_escape(fleet_event_text(e, a.labels)) + ": " +
               xml_escape(fmt::format("{}", fmt::join(names, ", "))) + "</li>\n";
    }
    return out + "</ul>\n";
}

// One program of a label's history: its machine changes and change points in
// words, then a chart per test.
std::string program_history(const ProgramHistory& p) {
    const History& h = *p.history;
    std::string out =
        fmt::format("<h3>{}: {} runs on {} days, {} to {}</h3>\n", program_name(h.program), p.runs,
                    h.days.size(), h.days.front().date, h.days.back().date);
    for (const History::Change& change : h.changes) {
        std::vector<std::string> what;
        for (const ContextDifference& d : change.differences)
            what.push_back(fmt::format("{} from {} to {}", d.field, d.first, d.second));
        out += note(fmt::format("Between {} and {} the machine changed: {}.",
                                h.days[change.index - 1].date, h.days[change.index].date,
                                fmt::join(what, "; ")));
    }
    for (const ChangePoint* cp : p.change_points)
        out += note(
            fmt::format("Change point: {} {:+.1f}% from {} (the last day before: {}), {}; "
                        "machine changes: {}.",
                        series_name(cp->test, cp->overall), cp->change_percent, cp->date,
                        cp->last_before, local_p_text(*cp), causes_text(cp->causes)));
    for (const Drift* d : p.drifts)
        out += note(fmt::format("Drift: {}: {}.", drift_owner_text(*d), drift_text(*d)));
    out += "<div class=\"charts\">\n";
    for (const HistoryTest& test : p.tests)
        out += "<figure>\n" + history_chart(p, test).element() + "</figure>\n";
    return out + "</div>\n";
}

std::string Page::label_history(const LabelHistory& label, std::size_t index) const {
    std::string out =
        fmt::format("<h2 id=\"history-{}\">History of {}</h2>\n", index,
                    xml_escape(escape_path(label.label)));
    for (const ProgramHistory& p : label.programs)
        out += program_history(p);
    return out;
}

// The repetitions of each run's label, from the comparisons' columns: a run
// alone in its column has none.
std::unordered_map<const Run*, const std::vector<const Run*>*> repetitions_of(
    const std::vector<ProgramComparison>& comparisons) {
    std::unordered_map<const Run*, const std::vector<const Run*>*> of;
    for (const ProgramComparison& c : comparisons)
        for (const std::vector<const Run*>& reps : c.samples)
            if (reps.size() > 1)
                for (const Run* r : reps)
                    of.emplace(r, &reps);
    return of;
}

// The sweeps of run --scaling among the runs: each test's curve and the table
// of its points.
std::string sweep_section(const std::vector<const Run*>& runs) {
    std::vector<SweepCurve> curves = sweep_curves(runs);
    std::string out;
    for (std::size_t i = 0; i < curves.size(); ++i) {
        if (curves[i].tests.empty())
            continue;
        out += fmt::format("<h2 id=\"sweep-{}\">Scaling sweep {} of {}: {}</h2>\n<div "
                           "class=\"charts\">\n",
                           i + 1, xml_escape(curves[i].sweep), xml_escape(curves[i].label),
                           program_name(curves[i].program));
        for (const CurveTest& t : curves[i].tests)
            out += "<figure>\n" + curve_chart(curves[i], t).element() + "</figure>\n";
        out += "</div>\n";
        for (const Table& t : curve_tables({curves[i]}))
            out += scroll_table(t);
    }
    return out;
}

std::string Page::each_run() const {
    std::string out = "<h2 id=\"runs\">Each run</h2>\n";
    if (detailed.size() < runs.size())
        out +=
            note(fmt::format("The charts and tables of {} of the {} runs: the baselines, "
                             "the runs furthest from the median and partial runs. "
                             "`bench_report show` prints any run.",
                             detailed.size(), runs.size()));
    // A label's repetitions together, where the first of them is given.
    auto repetitions = repetitions_of(comparisons);
    std::unordered_set<const std::vector<const Run*>*> shown;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (std::find(detailed.begin(), detailed.end(), runs[i]) == detailed.end())
            continue;
        auto reps = repetitions.find(runs[i]);
        if (reps == repetitions.end())
            out += run_detail(*runs[i], i + 1, !fleet);
        else if (shown.insert(reps->second).second)
            out += repetitions_detail(*reps->second, i + 1, !fleet, !fleet);
    }
    return out;
}

}  // namespace

std::string html_report(const std::vector<const Run*>& runs,
                        const std::vector<ProgramComparison>& comparisons,
                        const ViewOptions& asked, const HistoryPage& history) {
    ViewOptions options = on_a_page(asked);
    Page page{runs, comparisons, options, history, {}, false};
    page.fleet = std::any_of(comparisons.begin(), comparisons.end(),
                             [&](const ProgramComparison& c) { return fleet_layout(c, options); });
    page.detailed = page.fleet ? detailed_runs(runs, comparisons) : runs;

    std::string out = fmt::format(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>bench_report: {} run(s)</title>\n<style>\n{}</style>\n</head>\n<body>\n"
        "<h1>Benchmark report: {} run(s)</h1>\n",
        runs.size(), page_css, runs.size());
    // The verdict and the answer before any chart: what the page is read for.
    if (options.gate)
        out += gate_section(*options.gate, comparisons);
    out += answer_section(comparisons, options.gate);
    out += page.contents();
    for (const ProgramComparison& c : comparisons)
        if (c.runs.size() >= 2)
            out += page.comparison(c);
    out += page.fleet_events();
    for (std::size_t k = 0; k < history.labels.size(); ++k)
        out += page.label_history(history.labels[k], k + 1);
    if (history.labels.size() < history.labels_total)
        out += note(fmt::format(
            "The history of {} of the {} labels with runs on two days or more, those that "
            "moved furthest (in their history or from the baseline) first; `bench_report chart` of a label's runs alone "
            "charts its history.",
            history.labels.size(), history.labels_total));
    out += sweep_section(runs);
    out += page.each_run();
    return out + "</body>\n</html>\n";
}

std::string svg_report(const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons, const GateVerdict* gate) {
    auto document = [&](const Chart& chart) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" +
               (gate ? with_verdict(chart, *gate, comparisons) : chart).element();
    };
    ViewOptions options = on_a_page({});
    for (const ProgramComparison& c : comparisons)
        if (c.runs.size() > 1) {
            Chart chart =
                fleet_layout(c, options) ? fleet_chart(c, "", nullptr) : comparison_chart(c);
            if (!chart.empty())
                return document(chart);
        }
    // A sweep's curve before any one run's threads.
    for (const SweepCurve& sweep : sweep_curves(runs))
        for (const CurveTest& t : sweep.tests)
            return document(curve_chart(sweep, t));
    for (const Run* run : runs)
        for (const Test& test : run->tests) {
            Chart chart = scaling_chart(*run, test);
            if (!chart.empty())
                return document(chart);
        }
    return "";
}

}  // namespace report
