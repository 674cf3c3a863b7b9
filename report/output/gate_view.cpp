#include "output/gate_view.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "output/compare_views.h"
#include "output/outcome.h"
#include "output/text.h"
#include "machine/record.h"

namespace report {

namespace {

std::string label_of(const ProgramComparison& c, std::size_t run) {
    return fmt::format("{}: {}", program_name(c.program), run_name(*c.runs[run]));
}

std::string problem_line(const GateProblem& p, const std::vector<ProgramComparison>& cs) {
    if (p.kind == GateProblem::program_missing)
        return fmt::format("{}: no run of {}, which the baseline has", escape_path(p.detail),
                           program_name(p.program));
    const ProgramComparison& c = cs[p.comparison];
    std::string run = label_of(c, p.run);
    switch (p.kind) {
        case GateProblem::partial:
            return fmt::format("{}: partial, the file ends before the end of the run ({})", run,
                               escape_path(p.detail));
        case GateProblem::inconsistent: return fmt::format("{}: inconsistent: {}", run, p.detail);
        case GateProblem::nothing_comparable:
            return c.runs.size() < 2
                       ? fmt::format("{}: the only label: nothing to compare it with", run)
                       : fmt::format("{}: no figure comparable with the baseline", run);
        case GateProblem::failed:
            return fmt::format("{}: a repetition did not complete ({}, {}): it counts for its label",
                               run, outcome_words(p.outcome), escape_path(p.detail));
        case GateProblem::disturbed:
            return fmt::format("{}: --strict: a repetition was disturbed: {}", run, p.detail);
        case GateProblem::drifting:
            return fmt::format(
                "{}: did not run interleaved with the baseline, and {} repetitions trend with the "
                "order they ran in: a drift of the machine moves the comparison, so it decides "
                "nothing; run --bin-dir OLD --bin-dir NEW to interleave the builds",
                run,
                p.detail.empty()                   ? std::string("its and the baseline's")
                : p.detail == c.runs[p.run]->label ? std::string("its")
                                                   : fmt::format("the baseline's ({})", escape_path(p.detail)));
        case GateProblem::program_missing: break;
    }
    return run;
}

std::string listed(const std::vector<std::string>& names);

std::string factor_text(double factor) {
    return fmt::format("x{:.3f}", factor);
}

}  // namespace

std::string interval_text(const ProgramSlowdown& s) {
    double upper = s.upper();
    double lower = s.test ? s.test->bound : 0;
    return fmt::format("between {} and {}", lower > 0 ? factor_text(lower) : "x0",
                       std::isfinite(upper) ? factor_text(upper) : "no upper bound");
}

std::string inconclusive_words(const ProgramSlowdown& s, double percent) {
    if (s.rerun)
        return fmt::format(
            "cannot tell a {:g}% slowdown from noise here: {}; the repetition {} alone keeps it "
            "from deciding (far from its label's median): move it aside and run one more "
            "(bench_report run --label {} --runs 1)",
            percent, interval_text(s), escape_path(s.rerun->path), escape_path(s.rerun->label));
    std::string more = s.decide_at ? fmt::format("about {}", *s.decide_at)
                                   : fmt::format("more than {}", decide_cap);
    return fmt::format(
        "cannot tell a {:g}% slowdown from noise here: {}; {} {} would give an {:g}% chance to "
        "decide",
        percent, interval_text(s), more, s.paired ? "pairs of rounds" : "repetitions a side",
        decide_power * 100);
}

const char* method_words(stats::SlowdownMethod method) {
    switch (method) {
        case stats::SlowdownMethod::rank_sum: return "rank-sum test";
        case stats::SlowdownMethod::welch: return "Welch's t-test";
        case stats::SlowdownMethod::signed_rank: return "signed-rank test";
        case stats::SlowdownMethod::paired_t: return "t-test";
        case stats::SlowdownMethod::constant: break;
    }
    return "no spread";
}

std::string bounds_method_words(stats::SlowdownMethod upper, stats::SlowdownMethod lower) {
    if (upper == lower)
        return method_words(lower);
    return fmt::format("{} for the upper bound, {} for the lower", method_words(upper),
                       method_words(lower));
}

namespace {

// How the tests were made: the method (each side's where they differ, the
// pass test having the whole level and the trip's a share) and how many
// repetitions or pairs.
std::string method_text(const ProgramSlowdown& s, const ProgramComparison& c) {
    std::string method =
        bounds_method_words(s.within ? s.within->method : s.test->method, s.test->method);
    std::string how =
        s.paired ? fmt::format("paired {}, {} pairs", method, s.pairing->pairs.size())
                 : fmt::format("{}, {} against {}", method, c.samples[s.run].size(),
                               c.samples[*c.baseline].size());
    if (s.pairing && !s.paired)
        how += fmt::format("; {} pairs of rounds, too few to pair", s.pairing->pairs.size());
    if (s.pairing && !s.pairing->unpaired.empty()) {
        std::vector<std::string> names;
        for (const UnpairedRepetition& u : s.pairing->unpaired) {
            const RepetitionRecord* r = u.repetition->machine ? &u.repetition->machine->repetition : nullptr;
            std::string only = run_name(*c.runs[u.baseline ? *c.baseline : s.run]);
            names.push_back(r && r->round && r->interleaved
                                ? fmt::format("round {} of {} ({} only)", *r->round,
                                              escape_path(*r->interleaved), only)
                                : escape_path(u.repetition->path));
        }
        how += "; unpaired: " + listed(names);
    }
    return how;
}

// What the label's tests show against the percentage.
std::string shown_text(const ProgramSlowdown& s, double percent) {
    switch (s.outcome) {
        case LabelOutcome::fail: return fmt::format("shown more than {:g}% slower", percent);
        case LabelOutcome::pass: return fmt::format("shown within {:g}% slower", percent);
        case LabelOutcome::accepted:
            return fmt::format("accepted: could not show within {:g}%", percent);
        case LabelOutcome::inconclusive: break;
    }
    return inconclusive_words(s, percent);
}

std::string slowdown_line(const ProgramSlowdown& s, const std::vector<ProgramComparison>& cs,
                          double percent) {
    const ProgramComparison& c = cs[s.comparison];
    const stats::SlowdownTest& t = *s.test;
    // Each bound at its real level: the pass test's has the whole level, the
    // trip's a share of it, and a rank test's steps put either above its own.
    std::string lower = fmt::format("{:.1f}%", t.confidence * 100);
    std::string upper = s.within ? fmt::format("{:.1f}%", s.within->confidence * 100) : lower;
    std::string level = lower == upper ? lower + " confidence a side"
                                       : fmt::format("{} confidence (lower bound), {} (upper)",
                                                     lower, upper);
    // An inconclusive label's words carry the interval themselves.
    std::string interval =
        s.outcome == LabelOutcome::inconclusive ? std::string() : interval_text(s) + " ";
    return fmt::format("{}: time x{:.3f} the baseline's over {} pass(es), {}at {} ({}): {}",
                       label_of(c, s.run), t.estimate, s.rows.size(), interval, level,
                       method_text(s, c), shown_text(s, percent));
}

std::string regression_line(const Regression& r, const std::vector<ProgramComparison>& cs,
                            double percent) {
    const ProgramComparison& c = cs[r.comparison];
    const FigureRow& row = c.rows[r.row];
    const char* pass = row.pass == Pass::single  ? "single-thread pass"
                       : row.pass == Pass::multi ? "multi-thread pass"
                                                 : "improvement";
    return fmt::format(
        "{}: {}, {}: {} is {} ({}), {:.3g} times the baseline's time, more than {:g}% slower",
        label_of(c, r.run), row.test_title, pass, row.figure, cell_text(row.cells[r.run]),
        format_ratio(*row.cells[r.run].ratio), r.factor, percent);
}

// Names, the first few of many and how many in all.
std::string listed(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t k = 0; k < names.size() && (names.size() <= 5 || k < 3); ++k)
        out += (out.empty() ? "" : ", ") + names[k];
    if (names.size() > 5)
        out += fmt::format(", ... ({} in all)", names.size());
    return out;
}

}  // namespace

const char* method_name(stats::SlowdownMethod method) {
    switch (method) {
        case stats::SlowdownMethod::rank_sum: return "rank_sum";
        case stats::SlowdownMethod::welch: return "welch";
        case stats::SlowdownMethod::signed_rank: return "signed_rank";
        case stats::SlowdownMethod::paired_t: return "paired_t";
        case stats::SlowdownMethod::constant: break;
    }
    return "constant";
}

std::string disturbance_line(const DisturbedLabel& d, const ProgramComparison& c) {
    return fmt::format("{}: disturbed in {} of {} repetition(s): {}", label_of(c, d.run),
                       d.repetitions, c.samples[d.run].size(), d.message);
}

namespace {

std::string names_of(const std::vector<const ProgramSlowdown*>& labels,
                     const std::vector<ProgramComparison>& cs) {
    std::vector<std::string> names;
    for (const ProgramSlowdown* s : labels)
        names.push_back(label_of(cs[s->comparison], s->run));
    return listed(names);
}

// A pass says what it rests on: the tested labels shown within the
// percentage, those accepted without it, or the band alone.
std::string pass_line(const GateVerdict& v, const std::vector<ProgramComparison>& cs) {
    std::vector<const ProgramSlowdown*> accepted = labels_with(v, LabelOutcome::accepted);
    const char* rests = !labels_with(v, LabelOutcome::pass).empty() ? "shown within"
                        : accepted.empty()                          ? "nothing more than"
                                                                    : "nothing shown more than";
    std::string out = fmt::format("gate: pass, {} {:g}% slower", rests, v.percent);
    if (!accepted.empty())
        out += fmt::format("; accepted: could not show within {:g}%: {}", v.percent,
                           names_of(accepted, cs));
    return out;
}

}  // namespace

std::string verdict_line(const GateVerdict& v, const std::vector<ProgramComparison>& cs) {
    std::string untested;
    if (!v.untested.empty()) {
        std::vector<std::string> names;
        for (const auto& [ci, run] : v.untested)
            names.push_back(label_of(cs[ci], run));
        untested = fmt::format("; untested, gated on the {:g}% band alone: {}", v.percent,
                               listed(names));
    }
    switch (v.outcome) {
        case GateVerdict::Outcome::no_verdict:
            if (v.problems.empty())
                return fmt::format("gate: no verdict, cannot tell a {:g}% slowdown from noise: "
                                   "{}{}",
                                   v.percent, names_of(labels_with(v, LabelOutcome::inconclusive), cs),
                                   untested);
            return fmt::format("gate: no verdict, {} problem(s): the comparison lacks what a "
                               "verdict needs",
                               v.problems.size());
        case GateVerdict::Outcome::pass: return pass_line(v, cs) + untested;
        case GateVerdict::Outcome::fail: break;
    }
    std::vector<std::string> slower;
    auto add = [&](std::size_t ci, std::size_t run) {
        std::string name = label_of(cs[ci], run);
        if (std::find(slower.begin(), slower.end(), name) == slower.end())
            slower.push_back(name);
    };
    for (const ProgramSlowdown& s : v.tested)
        if (tripped(s))
            add(s.comparison, s.run);
    for (const Regression& r : v.regressions)
        add(r.comparison, r.run);
    return fmt::format("gate: fail, more than {:g}% slower: {}{}", v.percent, listed(slower),
                       untested);
}

std::vector<std::string> gate_lines(const GateVerdict& v, const std::vector<ProgramComparison>& cs) {
    std::vector<std::string> out;
    for (const GateProblem& p : v.problems)
        out.push_back(problem_line(p, cs));
    if (v.problems.empty()) {
        for (const ProgramSlowdown& s : v.tested)
            if (s.test)
                out.push_back(slowdown_line(s, cs, v.percent));
        for (const Regression& r : v.regressions)
            out.push_back(regression_line(r, cs, v.percent));
        // The untested labels, one line per program.
        for (std::size_t ci = 0; ci < cs.size(); ++ci) {
            std::vector<std::string> labels;
            for (const auto& [c, run] : v.untested)
                if (c == ci)
                    labels.push_back(run_name(*cs[ci].runs[run]));
            if (labels.empty())
                continue;
            std::string names = listed(labels);
            out.push_back(fmt::format(
                "{}: untested ({}): {}; gated on the {:g}% band alone", program_name(cs[ci].program),
                cs[ci].baseline ? "fewer than 3 repetitions a side" : "compared with the median",
                names, v.percent));
        }
    }
    if (!v.not_interleaved.empty()) {
        std::vector<std::string> names;
        for (const auto& [ci, run] : v.not_interleaved)
            names.push_back(label_of(cs[ci], run));
        out.push_back(fmt::format(
            "drift: {} did not run interleaved with the baseline: a drift of the machine between "
            "them counts as a change; run --bin-dir OLD --bin-dir NEW alternates the builds and "
            "cancels it",
            listed(names)));
    }
    for (const RepetitionTrend& t : v.trends)
        out.push_back(fmt::format(
            "drift: {}: its {} repetitions {} with the order they ran in (Kendall's tau {:.2f}, "
            "p {:.3f}): the machine drifted while they ran",
            label_of(cs[t.comparison], t.run), t.repetitions, t.tau > 0 ? "slow down" : "speed up",
            t.tau, t.p));
    out.push_back(verdict_line(v, cs));
    return out;
}

}  // namespace report

namespace report {

std::vector<std::string> label_gate_lines(const GateVerdict& v,
                                          const std::vector<ProgramComparison>& cs,
                                          std::size_t comparison, std::size_t run) {
    std::vector<std::string> out;
    for (const GateProblem& p : v.problems)
        if (p.kind != GateProblem::program_missing && p.comparison == comparison && p.run == run)
            out.push_back(problem_line(p, cs));
    if (!v.problems.empty())
        return out;
    for (const ProgramSlowdown& s : v.tested)
        if (s.test && s.comparison == comparison && s.run == run)
            out.push_back(slowdown_line(s, cs, v.percent));
    for (const Regression& r : v.regressions)
        if (r.comparison == comparison && r.run == run)
            out.push_back(regression_line(r, cs, v.percent));
    return out;
}

}  // namespace report
