// `compare --format json`: the comparison and the gate's verdict as one
// versioned document.
#include "output/compare_formats.h"
#include "output/scaling_json.h"
#include "output/text.h"
#include "output/gate_view.h"
#include "output/json_layout.h"
#include "machine/record.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "analysis/verdict_status.h"
#include "model/catalogue.h"
#include "input/load.h"

namespace report {

namespace {

using json = nlohmann::ordered_json;

constexpr int schema_version = 1;

json optional_number(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? json(*v) : json(nullptr);
}

// Writes the document as json::dump(2) would, byte for byte, but member by
// member into the output: a fleet's runs and cells (20,000 files: over a
// million cells) are never built as one document, which took ten times the
// memory of the text and most of the time. Every value, and the small
// sections built as documents, is dumped by nlohmann-json, so numbers and
// escapes are its own; a string with nothing to escape is copied.
class Writer : public JsonLayout {
public:
    // Hands the text to `sink` a piece at a time, at least `piece` bytes but
    // the last.
    Writer(const CompareSink& sink, std::size_t piece)
        : JsonLayout(text_, 0), sink_(sink), piece_(piece) {}

    // Between two values: passes on what is written once it is a piece.
    void flush(bool last = false) {
        if (text_.size() >= piece_ || (last && !text_.empty())) {
            sink_(text_);
            text_.clear();
        }
    }
    // A string: most labels and paths need no escape and are copied as they are.
    void value(std::string_view s) {
        item();
        bool plain = std::all_of(s.begin(), s.end(), [](char c) {
            auto u = static_cast<unsigned char>(c);
            return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
        });
        if (plain) {
            text_ += '"';
            text_ += s;
            text_ += '"';
        } else {
            text_ += json(s).dump(-1, ' ', false, json::error_handler_t::replace);
        }
    }
    void value(const std::string& s) { value(std::string_view(s)); }
    void value(const char* s) { value(std::string_view(s)); }
    // A number, a boolean, null, or a document, indented where it stands:
    // dump(2) lays a document out from column 0, and every line break in it
    // is structure (a string's own line breaks are escaped), so each is
    // followed by the indentation of the place it is written at.
    void value(const json& v) {
        item();
        std::string dumped = v.dump(2, ' ', false, json::error_handler_t::replace);
        if (!v.is_structured() || depth() == 0) {
            text_ += dumped;
            return;
        }
        std::string indent(static_cast<std::size_t>(depth()) * 2, ' ');
        for (char c : dumped) {
            text_ += c;
            if (c == '\n')
                text_ += indent;
        }
    }
    void newline_at_end() { text_ += '\n'; }
    template <typename T>
    void member(std::string_view name, const T& v) {
        key(name);
        value(v);
    }

private:
    std::string text_;  // written, not yet handed on (the layout writes into it too)
    const CompareSink& sink_;
    std::size_t piece_;
};

const char* missing_name(Missing m) {
    return m == Missing::none         ? "none"
           : m == Missing::absent     ? "absent"
           : m == Missing::incomplete ? "incomplete"
                                      : "not_finite";
}

void write_cell(Writer& w, const Cell& cell) {
    w.begin_object();
    w.member("value", optional_number(cell.value));
    if (cell.printed.empty())
        w.member("printed", json(nullptr));
    else
        w.member("printed", cell.printed);
    w.member("missing", missing_name(cell.missing));
    w.member("ratio", optional_number(cell.ratio));
    w.member("mark", mark_name(cell.mark));
    w.member("n", json(cell.samples.size()));
    w.member("cv", optional_number(cell.cv));
    w.member("test", cell.test == SignificanceTest::mann_whitney ? json("mann_whitney")
                     : cell.test == SignificanceTest::welch      ? json("welch")
                     : cell.test == SignificanceTest::signed_rank ? json("signed_rank")
                                                                 : json(nullptr));
    w.member("p", optional_number(cell.p));
    w.key("interval");
    if (cell.interval) {
        w.begin_object();
        w.member("low", json(cell.interval->low));
        w.member("high", json(cell.interval->high));
        w.member("confidence", json(cell.interval->confidence));
        w.end_object();
    } else {
        w.value(json(nullptr));
    }
    w.member("pairs", cell.pairs ? json(*cell.pairs) : json(nullptr));
    w.end_object();
}

void write_geo(Writer& w, const GeoMean& g) {
    w.begin_object();
    w.member("ratio", optional_number(g.ratio));
    w.member("used", json(g.used));
    w.member("total", json(g.total));
    w.member("mark", mark_name(g.mark));
    w.end_object();
}

// A path in the comparison's JSON, in the form the export writes it.
std::string path_in_json(const std::string& path) {
    bool escaped = false;
    return json_path(path, escaped);
}

// The repetitions far from their label's median, the machines that differ
// from the baseline's, the disturbed labels.
json far_json(const ProgramComparison& c) {
    json far = json::array();
    for (const FarRepetition& f : c.far)
        far.push_back({{"label", c.runs[f.column]->label},
                       {"path", path_in_json(f.run->path)},
                       {"ratio", f.ratio},
                       {"score", optional_number(f.score)}});
    return far;
}

json machines_json(const ProgramComparison& c) {
    json machines = json::array();
    for (const ContextMismatch& m : c.mismatches)
        for (const ContextDifference& d : m.differences)
            machines.push_back({{"run", m.run->label},
                                {"path", path_in_json(m.run->path)},
                                {"field", d.field},
                                {"value", d.first},
                                {"baseline_value", d.second}});
    return machines;
}

json disturbed_json(const ProgramComparison& c) {
    json disturbed = json::array();
    for (const DisturbedLabel& d : disturbances(c))
        disturbed.push_back({{"label", c.runs[d.run]->label},
                             {"message", d.message},
                             {"repetitions", d.repetitions},
                             {"of", c.samples[d.run].size()}});
    return disturbed;
}

json outliers_json(const ProgramComparison& c) {
    json outliers = json::array();
    for (const Outlier& o : c.outliers) {
        json figures = json::array();
        for (std::size_t k : o.rows)
            figures.push_back({{"test", c.rows[k].test},
                               {"figure", c.rows[k].figure},
                               {"ratio", optional_number(c.rows[k].cells[o.run].ratio)}});
        outliers.push_back({{"run", c.runs[o.run]->label},
                            {"distance", o.distance},
                            {"score", optional_number(o.score)},
                            {"figures", figures}});
    }
    return outliers;
}

// Each column: its label, repetitions and geometric means.
void write_runs(Writer& w, const ProgramComparison& c) {
    w.begin_array();
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        const Run& r = *c.runs[i];
        w.begin_object();
        w.member("label", r.label);
        w.member("path", path_in_json(r.path));
        w.key("repetitions");
        w.begin_array();
        for (const Run* rep : c.samples[i])
            w.value(path_in_json(rep->path));
        w.end_array();
        w.member("baseline", json(c.baseline == i));
        w.member("threads", r.threads ? json(*r.threads) : json(nullptr));
        w.member("partial", json(r.partial));
        w.member("findings", json(r.findings.size()));
        w.key("geomean_single_rate");
        write_geo(w, c.geo_single[i]);
        w.key("geomean_overall_rate");
        write_geo(w, c.geo_overall[i]);
        w.key("scaling");
        w.value(compare_scaling_json(c, i));
        w.end_object();
        w.flush();
    }
    w.end_array();
}

// Each figure's row: the baseline's cell and every column's.
void write_figures(Writer& w, const ProgramComparison& c) {
    w.begin_array();
    for (const FigureRow& row : c.rows) {
        w.begin_object();
        w.member("test", row.test);
        w.member("test_name", row.test_title);
        w.member("figure", row.figure);
        w.member("unit", row.unit);
        w.member("better", row.better == Better::higher ? "higher" : "lower");
        w.key("baseline");
        write_cell(w, row.baseline);
        w.key("cells");
        w.begin_array();
        for (const Cell& cell : row.cells) {
            write_cell(w, cell);
            w.flush();
        }
        w.end_array();
        w.end_object();
    }
    w.end_array();
}

json baseline_reason_json(const ProgramComparison& c) {
    if (!c.baseline)
        return nullptr;
    switch (c.baseline_reason) {
        case BaselineReason::named: return "named";
        case BaselineReason::first_input: return "first_input";
        case BaselineReason::ran_first: return "ran_first";
        case BaselineReason::first_in_order: break;
    }
    return "first_label";
}

const char* rule_name(RunsRule rule) {
    switch (rule) {
        case RunsRule::last_run: return "last_run";
        case RunsRule::since_change: return "since_change";
        case RunsRule::drift_end: return "drift_end";
        case RunsRule::one_level: return "one_level";
        case RunsRule::since_date: return "since";
        case RunsRule::all: break;
    }
    return "all";
}

// The labels whose runs are a history, and which of them were compared.
json taken_json(const ProgramComparison& c) {
    json list = json::array();
    for (const LabelRuns& l : c.taken)
        list.push_back({{"label", l.label},
                        {"rule", rule_name(l.rule)},
                        {"taken", l.taken},
                        {"total", l.total},
                        {"first", l.first.empty() ? json(nullptr) : json(l.first)},
                        {"last", l.last.empty() ? json(nullptr) : json(l.last)},
                        {"from", l.from},
                        {"to", l.to},
                        {"change", l.change.empty() ? json(nullptr) : json(l.change)}});
    return list;
}

void write_program(Writer& w, const ProgramComparison& c) {
    w.begin_object();
    w.member("program", program_name(c.program));
    w.member("far_repetitions", far_json(c));
    w.member("disturbances", disturbed_json(c));
    w.member("machine_differences", machines_json(c));
    w.member("baseline", c.baseline ? json(c.runs[*c.baseline]->label) : json("median"));
    w.member("baseline_reason", baseline_reason_json(c));
    w.member("baseline_started", c.baseline_started ? json(*c.baseline_started) : json(nullptr));
    w.member("runs_taken", taken_json(c));
    w.key("runs");
    write_runs(w, c);
    w.key("figures");
    write_figures(w, c);
    w.member("outliers", outliers_json(c));
    w.end_object();
}

// The gate: the figures that trip it, each label's test, the untested labels
// and what keeps it from a verdict.
json regressions_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json list = json::array();
    for (const Regression& r : v.regressions) {
        const ProgramComparison& c = comparisons[r.comparison];
        const FigureRow& row = c.rows[r.row];
        list.push_back({{"program", program_name(c.program)},
                        {"run", c.runs[r.run]->label},
                        {"test", row.test},
                        {"figure", row.figure},
                        {"printed", cell_text(row.cells[r.run])},
                        {"ratio", optional_number(row.cells[r.run].ratio)},
                        {"time_factor", r.factor}});
    }
    return list;
}

// The repetitions of a paired test without a partner.
json unpaired_json(const ProgramSlowdown& t, const ProgramComparison& c) {
    json unpaired = json::array();
    if (!t.pairing)
        return unpaired;
    for (const UnpairedRepetition& u : t.pairing->unpaired) {
        const RepetitionRecord* r =
            u.repetition->machine ? &u.repetition->machine->repetition : nullptr;
        bool escaped = false;
        unpaired.push_back(
            {{"run", c.runs[u.baseline ? *c.baseline : t.run]->label},
             {"path", json_path(u.repetition->path, escaped)},
             {"interleaved", r && r->interleaved ? json(*r->interleaved) : json(nullptr)},
             {"round", r && r->round ? json(*r->round) : json(nullptr)}});
    }
    return unpaired;
}

json tested_json(const ProgramSlowdown& t, const ProgramComparison& c) {
    json one = {{"program", program_name(c.program)},
                {"run", c.runs[t.run]->label},
                {"repetitions", c.samples[t.run].size()},
                {"baseline_repetitions", c.samples[*c.baseline].size()},
                {"passes", t.rows.size()},
                {"alpha", t.alpha},
                {"within_alpha", t.within_alpha},
                {"method", nullptr},
                {"within_method", t.within ? json(method_name(t.within->method)) : json(nullptr)},
                {"time_factor", nullptr},
                {"lower_bound", nullptr},
                {"upper_bound", nullptr},
                {"outcome", label_outcome_name(t.outcome)},
                {"repetitions_to_decide", t.decide_at ? json(*t.decide_at) : json(nullptr)},
                {"confidence", nullptr},
                {"upper_confidence", t.within ? json(t.within->confidence) : json(nullptr)},
                {"p", nullptr},
                {"tripped", tripped(t)}};
    if (t.test) {
        one["method"] = method_name(t.test->method);
        one["time_factor"] = t.test->estimate;
        one["lower_bound"] = t.test->bound > 0 ? json(t.test->bound) : json(nullptr);
        one["upper_bound"] = std::isfinite(t.upper()) ? json(t.upper()) : json(nullptr);
        one["confidence"] = t.test->confidence;
        one["p"] = t.test->p;
    }
    // Paired by rounds of an interleaved run: how many pairs, and the
    // repetitions without a partner.
    one["paired"] = t.paired;
    one["pairs"] = t.pairing ? json(t.pairing->pairs.size()) : json(nullptr);
    one["unpaired"] = unpaired_json(t, c);
    return one;
}

// The labels whose repetitions cannot tell a slowdown beyond the percentage
// from noise, each with its interval (null: no bound at this level).
json inconclusive_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json list = json::array();
    for (const ProgramSlowdown* t : labels_with(v, LabelOutcome::inconclusive)) {
        const ProgramComparison& c = comparisons[t->comparison];
        list.push_back(
            {{"program", program_name(c.program)},
             {"run", c.runs[t->run]->label},
             {"time_factor", t->test->estimate},
             {"lower_bound", t->test->bound > 0 ? json(t->test->bound) : json(nullptr)},
             {"upper_bound", std::isfinite(t->upper()) ? json(t->upper()) : json(nullptr)},
             {"repetitions_to_decide", t->decide_at ? json(*t->decide_at) : json(nullptr)},
             {"paired", t->paired},
             {"summary", inconclusive_words(*t, v.percent)}});
    }
    return list;
}

// The labels a drift of the machine between them and their baseline would
// count against.
json not_interleaved_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json list = json::array();
    for (const auto& [ci, run] : v.not_interleaved)
        list.push_back({{"program", program_name(comparisons[ci].program)},
                        {"run", comparisons[ci].runs[run]->label}});
    return list;
}

json trends_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json list = json::array();
    for (const RepetitionTrend& t : v.trends)
        list.push_back({{"program", program_name(comparisons[t.comparison].program)},
                        {"run", comparisons[t.comparison].runs[t.run]->label},
                        {"repetitions", t.repetitions},
                        {"tau", t.tau},
                        {"p", t.p}});
    return list;
}

json untested_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json untested = json::array();
    for (const auto& [ci, run] : v.untested) {
        const ProgramComparison& c = comparisons[ci];
        untested.push_back({{"program", program_name(c.program)},
                            {"run", c.runs[run]->label},
                            {"repetitions", c.samples[run].size()},
                            {"baseline_repetitions",
                             c.baseline ? json(c.samples[*c.baseline].size()) : json(nullptr)}});
    }
    return untested;
}

json problems_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json blocked = json::array();
    for (const GateProblem& p : v.problems) {
        if (p.kind == GateProblem::program_missing) {
            blocked.push_back({{"program", program_name(p.program)},
                               {"input", p.detail},
                               {"problem", problem_name(p.kind)},
                               {"detail", p.detail}});
            continue;
        }
        const ProgramComparison& c = comparisons[p.comparison];
        blocked.push_back(
            {{"program", program_name(c.program)},
             {"run", c.runs[p.run]->label},
             {"problem", problem_name(p.kind)},
             {"outcome", p.kind == GateProblem::failed ? json(p.outcome) : json(nullptr)},
             {"detail", p.kind == GateProblem::partial || p.kind == GateProblem::failed
                            ? escape_path(p.detail)
                            : p.detail}});
    }
    return blocked;
}

json gate_json(const GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    json tests = json::array();
    for (const ProgramSlowdown& t : v.tested)
        tests.push_back(tested_json(t, comparisons[t.comparison]));
    return {{"percent", v.percent},
            {"verdict", outcome_name(v.outcome)},
            {"exit_status", v.outcome == GateVerdict::Outcome::pass   ? verdict_pass_status
                            : v.outcome == GateVerdict::Outcome::fail ? verdict_fail_status
                                                                      : no_verdict_status},
            {"alpha", gate_alpha},
            {"tests", tests},
            {"untested", untested_json(v, comparisons)},
            {"inconclusive", inconclusive_json(v, comparisons)},
            {"not_interleaved", not_interleaved_json(v, comparisons)},
            {"trends", trends_json(v, comparisons)},
            {"regressions", regressions_json(v, comparisons)},
            {"problems", problems_json(v, comparisons)},
            {"summary", verdict_line(v, comparisons)}};
}

}  // namespace

void stream_compare_json(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options, const CompareSink& sink) {
    json gate = options.gate ? gate_json(*options.gate, comparisons) : json(nullptr);
    Writer w(sink, 1 << 20);
    w.begin_object();
    w.member("schema_version", json(schema_version));
    w.member("tool", "bench_report");
    w.member("tool_version", BENCH_REPORT_VERSION);
    w.member("noise_percent",
             json(comparisons.empty() ? default_noise_percent : comparisons.front().noise));
    w.key("programs");
    w.begin_array();
    for (const ProgramComparison& c : comparisons)
        write_program(w, c);
    w.end_array();
    w.member("gate", gate);
    w.end_object();
    w.newline_at_end();
    w.flush(true);
}

std::string compare_json(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options) {
    std::string text;
    stream_compare_json(comparisons, options, [&](std::string_view piece) { text += piece; });
    return text;
}

}  // namespace report
