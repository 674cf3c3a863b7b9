#include "analysis/gate.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "analysis/common_slope.h"
#include "analysis/distributions.h"
#include "analysis/history.h"
#include "analysis/recorded.h"
#include "analysis/trend.h"
#include "machine/context.h"
#include "model/calendar.h"

namespace report {

namespace {

// Ratios printed to 6 digits: a ratio this close to the threshold is on it.
constexpr double gate_edge = 1e-9;

}  // namespace

bool worse_beyond(double ratio, Better better, double percent) {
    return std::log(time_factor(ratio, better)) > std::log1p(percent / 100) + gate_edge;
}

std::vector<DisturbedLabel> disturbances(const ProgramComparison& c, std::size_t comparison) {
    std::vector<DisturbedLabel> out;
    for (std::size_t i = 0; i < c.samples.size(); ++i) {
        std::size_t first = out.size();
        for (const Run* rep : c.samples[i])
            for (const std::string& w : recorded_warnings(*rep)) {
                auto same = std::find_if(out.begin() + static_cast<long>(first), out.end(),
                                         [&](const DisturbedLabel& d) { return d.message == w; });
                if (same == out.end())
                    out.push_back({comparison, i, w, 1});
                else
                    ++same->repetitions;
            }
    }
    return out;
}

std::vector<DisturbedLabel> disturbances(const std::vector<ProgramComparison>& comparisons) {
    std::vector<DisturbedLabel> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci)
        for (DisturbedLabel& d : disturbances(comparisons[ci], ci))
            out.push_back(std::move(d));
    return out;
}

std::vector<Regression> regressions(const std::vector<ProgramComparison>& comparisons,
                                    double percent) {
    std::vector<Regression> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            if (c.baseline && i == *c.baseline)
                continue;
            // The worst figure of each pass of each test.
            std::vector<Regression> found;
            for (std::size_t k = 0; k < c.rows.size(); ++k) {
                const FigureRow& row = c.rows[k];
                const Cell& cell = row.cells[i];
                if (!cell.ratio || !worse_beyond(*cell.ratio, row.better, percent))
                    continue;
                double factor = time_factor(*cell.ratio, row.better);
                auto same_pass = std::find_if(found.begin(), found.end(), [&](const Regression& r) {
                    const FigureRow& other = c.rows[r.row];
                    return other.test == row.test && other.pass == row.pass &&
                           row.pass != Pass::derived;
                });
                if (same_pass == found.end())
                    found.push_back({ci, i, k, factor});
                else if (factor > same_pass->factor)
                    *same_pass = {ci, i, k, factor};
            }
            out.insert(out.end(), found.begin(), found.end());
        }
    }
    return out;
}

namespace {

// Short-pass runs are comparable with each other: the file-wide note on
// their iteration count matters only when the counts differ.
bool one_iteration_count(const ProgramComparison& c) {
    for (const auto& reps : c.samples)
        for (const Run* r : reps)
            if (r->iterations != c.runs.front()->iterations)
                return false;
    return true;
}

// A repetition that did not complete, or whose file is cut short, or that
// fails a check. It counts for its label even when it left no results file
// to compare: one partial run spoils its median.
void repetition_problems(const ProgramComparison& c, std::size_t ci, std::size_t column,
                         const Run& rep, bool one_count, std::vector<GateProblem>& out) {
    if (std::optional<std::string> how = unfinished_outcome(rep))
        out.push_back({GateProblem::failed, ci, column, rep.path, c.program, *how});
    else if (rep.partial)
        out.push_back({GateProblem::partial, ci, column, rep.path});
    for (const Finding& f : rep.findings) {
        bool short_pass_note = f.check == "iterations" && f.line == 0 && f.test.empty();
        if (!short_pass_note || !one_count)
            out.push_back({GateProblem::inconsistent, ci, column, f.message});
    }
}

bool comparable(const ProgramComparison& c, std::size_t column) {
    return std::any_of(c.rows.begin(), c.rows.end(),
                       [&](const FigureRow& row) { return row.cells[column].ratio.has_value(); });
}

// Whether a label's recorded warning is one that can be removed
// (machine/context.h): --strict gives no verdict on those only, so that a
// virtual machine, which nothing makes bare metal, can still be gated.
bool removable_warning(const ProgramComparison& c, std::size_t column, const std::string& message) {
    for (const Run* rep : c.samples[column])
        if (rep->machine)
            for (const Disturbance& d : rep->machine->warnings)
                if (d.message == message)
                    return removal(d).has_value();
    return true;
}

void comparison_problems(const ProgramComparison& c, std::size_t ci, bool strict,
                         std::vector<GateProblem>& out) {
    // A comparison with a single label has nothing to judge.
    if (c.runs.size() < 2)
        out.push_back({GateProblem::nothing_comparable, ci, 0, {}});
    bool one_count = one_iteration_count(c);
    // The warnings come label by label, in the order of the columns.
    std::vector<DisturbedLabel> disturbed = strict ? disturbances(c, ci) : std::vector<DisturbedLabel>{};
    std::size_t next_disturbed = 0;
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        for (const Run* rep : c.samples[i])
            repetition_problems(c, ci, i, *rep, one_count, out);
        for (; next_disturbed < disturbed.size() && disturbed[next_disturbed].run == i;
             ++next_disturbed)
            if (removable_warning(c, i, disturbed[next_disturbed].message))
                out.push_back({GateProblem::disturbed, ci, i, disturbed[next_disturbed].message});
        bool is_baseline = c.baseline && i == *c.baseline;
        if (!is_baseline && !comparable(c, i))
            out.push_back({GateProblem::nothing_comparable, ci, i, {}});
    }
}

}  // namespace

std::vector<GateProblem> gate_problems(const std::vector<ProgramComparison>& comparisons,
                                       bool strict) {
    std::vector<GateProblem> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci)
        comparison_problems(comparisons[ci], ci, strict, out);
    return out;
}

std::vector<MissingProgram> programs_missing(const std::vector<Run>& runs, std::size_t inputs,
                                             const std::vector<const Run*>& baselines,
                                             bool median) {
    std::set<Program> wanted;
    if (median || baselines.empty()) {
        for (const Run& r : runs)
            wanted.insert(r.program);
    } else {
        for (const Run* r : baselines)
            wanted.insert(r->program);
    }
    std::vector<MissingProgram> out;
    for (std::size_t k = 0; k < inputs; ++k) {
        std::set<Program> has;
        for (const Run& r : runs)
            if (r.input == k)
                has.insert(r.program);
        // Nothing at all is said by the loading (no results file there).
        if (has.empty())
            continue;
        for (Program p : wanted)
            if (!has.count(p))
                out.push_back({k, p});
    }
    return out;
}

bool tripped(const ProgramSlowdown& s) {
    return s.outcome == LabelOutcome::fail;
}

std::vector<const ProgramSlowdown*> labels_with(const GateVerdict& v, LabelOutcome outcome) {
    std::vector<const ProgramSlowdown*> out;
    for (const ProgramSlowdown& s : v.tested)
        if (s.test && s.outcome == outcome)
            out.push_back(&s);
    return out;
}

const char* label_outcome_name(LabelOutcome outcome) {
    switch (outcome) {
        case LabelOutcome::fail: return "fail";
        case LabelOutcome::pass: return "pass";
        case LabelOutcome::accepted: return "accepted";
        case LabelOutcome::inconclusive: break;
    }
    return "inconclusive";
}

namespace {

// Everything that keeps the gate from a verdict: a program missing from an
// input, a problem of a label, a tested label without a test.
void gather_problems(GateVerdict& v, const std::vector<ProgramComparison>& comparisons,
                     const std::vector<MissingProgram>& missing,
                     const std::vector<std::string>& input_paths, bool strict) {
    for (const MissingProgram& m : missing)
        v.problems.push_back({GateProblem::program_missing, 0, 0,
                              m.input < input_paths.size() ? input_paths[m.input] : std::string(),
                              m.program});
    for (GateProblem& p : gate_problems(comparisons, strict))
        v.problems.push_back(std::move(p));
    std::set<std::pair<std::size_t, std::size_t>> said;
    for (const GateProblem& p : v.problems)
        if (p.kind != GateProblem::program_missing)
            said.insert({p.comparison, p.run});
    for (const ProgramSlowdown& s : v.tested)
        if (!s.test && !said.count({s.comparison, s.run}))
            v.problems.push_back({GateProblem::nothing_comparable, s.comparison, s.run, {}});
}

// The labels without a round shared with their baseline.
std::vector<std::pair<std::size_t, std::size_t>> not_interleaved(
    const std::vector<ProgramComparison>& comparisons) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        for (std::size_t i = 0; c.baseline && i < c.runs.size(); ++i)
            if (i != *c.baseline && (i >= c.pairings.size() || !c.pairings[i]))
                out.emplace_back(ci, i);
    }
    return out;
}

// A column's time factors in the order its repetitions started; absent
// when a start is unknown.
std::optional<std::vector<double>> in_start_order(const ProgramComparison& c, std::size_t column,
                                                  const std::vector<std::size_t>& rows) {
    std::optional<std::vector<double>> logs = repetition_log_times(c, column, rows);
    if (!logs)
        return std::nullopt;
    std::vector<std::pair<std::string, double>> started;
    for (std::size_t r = 0; r < logs->size(); ++r) {
        std::optional<std::string> start = run_start(*c.samples[column][r]);
        if (!start)
            return std::nullopt;
        started.emplace_back(*start, (*logs)[r]);
    }
    std::stable_sort(started.begin(), started.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<double> out;
    for (const auto& [start, x] : started)
        out.push_back(x);
    return out;
}

// The tested labels and their baselines whose repetitions trend with their
// start, each looked at once, the level shared among them.
std::vector<RepetitionTrend> repetition_trends(const std::vector<ProgramComparison>& comparisons,
                                               const std::vector<ProgramSlowdown>& tested) {
    std::vector<RepetitionTrend> found;
    std::set<std::pair<std::size_t, std::size_t>> seen;
    for (const ProgramSlowdown& s : tested) {
        const ProgramComparison& c = comparisons[s.comparison];
        for (std::size_t column : {*c.baseline, s.run}) {
            if (c.samples[column].size() < trend_min_repetitions ||
                !seen.insert({s.comparison, column}).second)
                continue;
            std::optional<std::vector<double>> x = in_start_order(c, column, s.rows);
            std::optional<stats::KendallTest> t = x ? stats::kendall_trend(*x) : std::nullopt;
            if (t)
                found.push_back({s.comparison, column, t->tau, t->p, x->size()});
        }
    }
    std::vector<RepetitionTrend> out;
    for (const RepetitionTrend& t : found)
        if (t.p <= gate_alpha / static_cast<double>(found.size()))
            out.push_back(t);
    return out;
}

// Kendall's S of `x` (concordant less discordant pairs) and its variance
// without ties.
std::pair<double, double> kendall_s(const std::vector<double>& x) {
    double s = 0, n = static_cast<double>(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t j = i + 1; j < x.size(); ++j)
            s += (x[j] > x[i]) - (x[j] < x[i]);
    return {s, n * (n - 1) * (2 * n + 5) / 18};
}

// Whether a label and its baseline, run one after the other, drift together:
// Kendall's test stratified by label, each label's S against the order its
// repetitions started in, summed (a drift runs the same way through both),
// two-sided at `alpha` on the normal approximation of the sum. The labels'
// difference does not enter it, only the drift within each.
bool drift_across(const ProgramComparison& c, const ProgramSlowdown& s, double alpha) {
    double sum = 0, variance = 0;
    for (std::size_t column : {*c.baseline, s.run}) {
        std::optional<std::vector<double>> x = in_start_order(c, column, s.rows);
        if (!x || x->size() < gate_min_repetitions)
            return false;
        auto [k, v] = kendall_s(*x);
        sum += k;
        variance += v;
    }
    if (!(variance > 0))
        return false;
    double z = (std::fabs(sum) - 1) / std::sqrt(variance);
    return 2 * stats::normal_upper_tail(z) <= alpha;
}

// Seconds since 1970 of a run's start ("2026-12-08T10:39:33", a "Z" after
// it or not); absent when it is unknown or not a time of the calendar.
std::optional<double> start_seconds(const Run& run) {
    std::optional<std::string> start = run_start(run);
    if (!start || start->size() < 19 || (*start)[10] != 'T')
        return std::nullopt;
    std::optional<long> days = calendar_days(start->substr(0, 10));
    std::optional<int> clock = day_seconds(start->substr(11, 8));
    if (!days || !clock)
        return std::nullopt;
    return static_cast<double>(*days) * 86400 + *clock;
}

// A column's repetitions' starts, in the order of its samples; absent when
// one is unknown.
std::optional<std::vector<double>> start_times(const ProgramComparison& c, std::size_t column) {
    std::vector<double> out;
    for (const Run* rep : c.samples[column]) {
        std::optional<double> t = start_seconds(*rep);
        if (!t)
            return std::nullopt;
        out.push_back(*t);
    }
    return out;
}

bool history_label(const ProgramComparison& c, std::size_t column) {
    const std::string& label = c.runs[column]->label;
    return std::any_of(c.taken.begin(), c.taken.end(),
                       [&](const LabelRuns& l) { return l.label == label; });
}

// Whether the label's effect net of one slope in start time through both
// labels contradicts the verdict the plain comparison reached: a pass whose
// adjusted effect's drift_check_level upper bound lies beyond the limit, or
// a fail whose lower bound lies within it. The labels ran one after the
// other, so a drift of the machine in between moves the plain comparison by
// all it drifted; the adjusted effect is free of a steady drift but far
// wider, so it checks the verdict rather than deciding it. A history's runs
// are left to its own drift finding (compared at the drift's end).
bool slope_contradicts(const ProgramComparison& c, const ProgramSlowdown& s, double percent) {
    if (s.outcome != LabelOutcome::pass && s.outcome != LabelOutcome::fail)
        return false;
    std::size_t b = *c.baseline;
    if (history_label(c, b) || history_label(c, s.run))
        return false;
    std::optional<std::vector<double>> tb = start_times(c, b), tr = start_times(c, s.run);
    std::optional<std::vector<double>> yb = repetition_log_times(c, b, s.rows);
    std::optional<std::vector<double>> yr = repetition_log_times(c, s.run, s.rows);
    if (!tb || !tr || !yb || !yr)
        return false;
    std::optional<stats::SlopeAdjusted> a = stats::slope_adjusted(*tb, *yb, *tr, *yr);
    if (!a || a->dof == 0)
        return false;
    double reach =
        stats::student_quantile(1 - drift_check_level, static_cast<double>(a->dof)) * a->error;
    double limit = std::log1p(percent / 100);
    if (s.outcome == LabelOutcome::pass)
        return a->effect + reach > limit + gate_edge;
    return a->effect - reach <= limit + gate_edge;
}

// A label run one after the other with its baseline, where either shows a
// trend, or the two together do: the drift that moved their repetitions also
// moved one label against the other, so neither a pass nor a fail on it can
// be trusted. The joint test shares the level among the labels run so.
void drifting_problems(GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    std::set<std::pair<std::size_t, std::size_t>> apart(v.not_interleaved.begin(),
                                                        v.not_interleaved.end());
    double alpha = gate_alpha / static_cast<double>(std::max<std::size_t>(1, apart.size()));
    for (const ProgramSlowdown& s : v.tested) {
        if (!apart.count({s.comparison, s.run}))
            continue;
        const ProgramComparison& c = comparisons[s.comparison];
        auto named = std::find_if(v.trends.begin(), v.trends.end(), [&](const RepetitionTrend& t) {
            return t.comparison == s.comparison && (t.run == s.run || t.run == *c.baseline);
        });
        if (named != v.trends.end())
            v.problems.push_back({GateProblem::drifting, s.comparison, s.run,
                                  c.runs[named->run]->label});
        else if (drift_across(c, s, alpha) || slope_contradicts(c, s, v.percent))
            v.problems.push_back({GateProblem::drifting, s.comparison, s.run, {}});
    }
}

// Figures beyond the band: the gate itself for untested labels, the
// explanation for tested ones that tripped; a tested label that did not
// trip has no regression, whatever its single figures. Whether any fails.
bool gather_regressions(GateVerdict& v, const std::vector<ProgramComparison>& comparisons) {
    std::map<std::pair<std::size_t, std::size_t>, const ProgramSlowdown*> tested;
    for (const ProgramSlowdown& s : v.tested)
        tested.try_emplace({s.comparison, s.run}, &s);
    bool fail = std::any_of(v.tested.begin(), v.tested.end(), tripped);
    for (const Regression& r : regressions(comparisons, v.percent)) {
        auto t = tested.find({r.comparison, r.run});
        if (t != tested.end() && !tripped(*t->second))
            continue;
        fail = fail || t == tested.end();
        v.regressions.push_back(r);
    }
    return fail;
}

}  // namespace

GateVerdict decide_gate(const std::vector<ProgramComparison>& comparisons,
                        const std::vector<MissingProgram>& missing,
                        const std::vector<std::string>& input_paths, double percent,
                        bool strict, bool accept_inconclusive) {
    GateVerdict v;
    v.percent = percent;
    v.disturbances = disturbances(comparisons);
    SlowdownFamily family = slowdown_family(comparisons, percent);
    v.tested = std::move(family.tested);
    v.untested = std::move(family.untested);
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci)
        if (!comparisons[ci].baseline)
            for (std::size_t i = 0; i < comparisons[ci].runs.size(); ++i)
                v.untested.emplace_back(ci, i);
    v.not_interleaved = not_interleaved(comparisons);
    v.trends = repetition_trends(comparisons, v.tested);
    gather_problems(v, comparisons, missing, input_paths, strict);
    drifting_problems(v, comparisons);
    if (!v.problems.empty()) {
        v.outcome = GateVerdict::Outcome::no_verdict;
        return v;
    }
    if (gather_regressions(v, comparisons)) {
        v.outcome = GateVerdict::Outcome::fail;
        return v;
    }
    bool inconclusive = false;
    for (ProgramSlowdown& s : v.tested) {
        if (s.outcome != LabelOutcome::inconclusive)
            continue;
        if (accept_inconclusive)
            s.outcome = LabelOutcome::accepted;
        else
            inconclusive = true;
    }
    v.outcome = inconclusive ? GateVerdict::Outcome::no_verdict : GateVerdict::Outcome::pass;
    return v;
}

const char* problem_name(GateProblem::Kind kind) {
    switch (kind) {
        case GateProblem::nothing_comparable: return "nothing_comparable";
        case GateProblem::partial: return "partial";
        case GateProblem::inconsistent: return "inconsistent";
        case GateProblem::program_missing: return "program_missing";
        case GateProblem::failed: return "failed";
        case GateProblem::disturbed: return "disturbed";
        case GateProblem::drifting: break;
    }
    return "drifting";
}

const char* outcome_name(GateVerdict::Outcome outcome) {
    switch (outcome) {
        case GateVerdict::Outcome::pass: return "pass";
        case GateVerdict::Outcome::fail: return "fail";
        case GateVerdict::Outcome::no_verdict: break;
    }
    return "no_verdict";
}

}  // namespace report
