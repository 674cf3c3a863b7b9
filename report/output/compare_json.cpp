// `compare --format json`: the comparison and the gate's verdict as one
// versioned document.
#include "output/compare_formats.h"
#include "output/text.h"
#include "output/gate_view.h"
#include "machine/record.h"

#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "model/catalogue.h"
#include "input/load.h"

namespace report {

namespace {

using json = nlohmann::ordered_json;

constexpr int schema_version = 1;

json optional_number(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? json(*v) : json(nullptr);
}

}  // namespace

// A path in the comparison's JSON, in the form the export writes it.
static std::string path_in_json(const std::string& path) {
    bool escaped = false;
    return json_path(path, escaped);
}

std::string compare_json(const std::vector<ProgramComparison>& comparisons,
                         const ViewOptions& options) {
    json programs = json::array();
    for (const ProgramComparison& c : comparisons) {
        json runs = json::array();
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            const Run& r = *c.runs[i];
            auto geo = [](const GeoMean& g) {
                return json{{"ratio", optional_number(g.ratio)},
                            {"used", g.used},
                            {"total", g.total},
                            {"mark", mark_name(g.mark)}};
            };
            json repetitions = json::array();
            for (const Run* rep : c.samples[i])
                repetitions.push_back(path_in_json(rep->path));
            runs.push_back({{"label", r.label},
                            {"path", path_in_json(r.path)},
                            {"repetitions", repetitions},
                            {"baseline", c.baseline == i},
                            {"threads", r.threads ? json(*r.threads) : json(nullptr)},
                            {"partial", r.partial},
                            {"findings", r.findings.size()},
                            {"geomean_single_rate", geo(c.geo_single[i])},
                            {"geomean_overall_rate", geo(c.geo_overall[i])}});
        }
        json rows = json::array();
        for (const FigureRow& row : c.rows) {
            auto cell_json = [](const Cell& cell) {
                return json{
                    {"value", optional_number(cell.value)},
                    {"printed", cell.printed.empty() ? json(nullptr) : json(cell.printed)},
                    {"missing", cell.missing == Missing::none         ? "none"
                                : cell.missing == Missing::absent     ? "absent"
                                : cell.missing == Missing::incomplete ? "incomplete"
                                                                      : "not_finite"},
                    {"ratio", optional_number(cell.ratio)},
                    {"mark", mark_name(cell.mark)},
                    {"n", cell.samples.size()},
                    {"cv", optional_number(cell.cv)},
                    {"test", cell.test == SignificanceTest::mann_whitney ? json("mann_whitney")
                             : cell.test == SignificanceTest::welch      ? json("welch")
                                                                         : json(nullptr)},
                    {"p", optional_number(cell.p)},
                    {"interval", cell.interval ? json{{"low", cell.interval->low},
                                                      {"high", cell.interval->high},
                                                      {"confidence", cell.interval->confidence}}
                                               : json(nullptr)}};
            };
            json cells = json::array();
            for (const Cell& cell : row.cells)
                cells.push_back(cell_json(cell));
            rows.push_back({{"test", row.test},
                            {"test_name", row.test_title},
                            {"figure", row.figure},
                            {"unit", row.unit},
                            {"better", row.better == Better::higher ? "higher" : "lower"},
                            {"baseline", cell_json(row.baseline)},
                            {"cells", cells}});
        }
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
        json far = json::array();
        for (const FarRepetition& f : c.far)
            far.push_back({{"label", c.runs[f.column]->label},
                           {"path", path_in_json(f.run->path)},
                           {"ratio", f.ratio},
                           {"score", optional_number(f.score)}});
        json machines = json::array();
        for (const ContextMismatch& m : c.mismatches)
            for (const ContextDifference& d : m.differences)
                machines.push_back({{"run", m.run->label},
                                    {"path", path_in_json(m.run->path)},
                                    {"field", d.field},
                                    {"value", d.first},
                                    {"baseline_value", d.second}});
        json disturbed = json::array();
        for (const DisturbedLabel& d : disturbances(c))
            disturbed.push_back({{"label", c.runs[d.run]->label},
                                 {"message", d.message},
                                 {"repetitions", d.repetitions},
                                 {"of", c.samples[d.run].size()}});
        programs.push_back(
            {{"program", program_name(c.program)},
             {"far_repetitions", far},
             {"disturbances", disturbed},
             {"machine_differences", machines},
             {"baseline", c.baseline ? json(c.runs[*c.baseline]->label) : json("median")},
             {"baseline_reason", !c.baseline ? json(nullptr)
                                 : c.baseline_reason == BaselineReason::named    ? json("named")
                                 : c.baseline_reason == BaselineReason::ran_first ? json("ran_first")
                                                                                  : json("first_label")},
             {"baseline_started", c.baseline_started ? json(*c.baseline_started) : json(nullptr)},
             {"runs", runs},
             {"figures", rows},
             {"outliers", outliers}});
    }
    json gate = nullptr;
    if (options.gate) {
        const GateVerdict& v = *options.gate;
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
        json tests = json::array();
        for (const ProgramSlowdown& t : v.tested) {
            const ProgramComparison& c = comparisons[t.comparison];
            json one = {{"program", program_name(c.program)},
                        {"run", c.runs[t.run]->label},
                        {"repetitions", c.samples[t.run].size()},
                        {"baseline_repetitions", c.samples[*c.baseline].size()},
                        {"passes", t.rows.size()},
                        {"alpha", t.alpha},
                        {"method", nullptr},
                        {"time_factor", nullptr},
                        {"lower_bound", nullptr},
                        {"confidence", nullptr},
                        {"p", nullptr},
                        {"tripped", tripped(t)}};
            if (t.test) {
                one["method"] = method_name(t.test->method);
                one["time_factor"] = t.test->estimate;
                one["lower_bound"] = t.test->bound > 0 ? json(t.test->bound) : json(nullptr);
                one["confidence"] = t.test->confidence;
                one["p"] = t.test->p;
            }
            // Paired by rounds of an interleaved run: how many pairs, and the
            // repetitions without a partner.
            one["paired"] = t.paired;
            one["pairs"] = t.pairing ? json(t.pairing->pairs.size()) : json(nullptr);
            json unpaired = json::array();
            if (t.pairing)
                for (const Unpaired& u : t.pairing->unpaired) {
                    const RepetitionRecord* r =
                        u.repetition->machine ? &u.repetition->machine->repetition : nullptr;
                    bool escaped = false;
                    unpaired.push_back(
                        {{"run", c.runs[u.baseline ? *c.baseline : t.run]->label},
                         {"path", json_path(u.repetition->path, escaped)},
                         {"interleaved", r && r->interleaved ? json(*r->interleaved) : json(nullptr)},
                         {"round", r && r->round ? json(*r->round) : json(nullptr)}});
                }
            one["unpaired"] = std::move(unpaired);
            tests.push_back(std::move(one));
        }
        json untested = json::array();
        for (const auto& [ci, run] : v.untested) {
            const ProgramComparison& c = comparisons[ci];
            untested.push_back({{"program", program_name(c.program)},
                                {"run", c.runs[run]->label},
                                {"repetitions", c.samples[run].size()},
                                {"baseline_repetitions",
                                 c.baseline ? json(c.samples[*c.baseline].size()) : json(nullptr)}});
        }
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
        gate = {{"percent", v.percent},
                {"verdict", outcome_name(v.outcome)},
                {"alpha", gate_alpha},
                {"tests", tests},
                {"untested", untested},
                {"regressions", list},
                {"problems", blocked},
                {"summary", verdict_line(v, comparisons)}};
    }
    json doc{{"schema_version", schema_version},
             {"tool", "bench_report"},
             {"tool_version", BENCH_REPORT_VERSION},
             {"noise_percent", comparisons.empty() ? default_noise_percent : comparisons.front().noise},
             {"programs", programs},
             {"gate", gate}};
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace report
