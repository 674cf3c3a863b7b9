// `compare --format junit`: the gate's verdict as a CI server's test report,
// a suite per program and a test case per label against its baseline: a
// failure where the gate shows it slower than allowed, a skip where it gives
// no verdict, a pass otherwise; the answer line and the gate's lines of the
// label in its text. The gate decides (analysis/gate.h); this only says it.
#include <algorithm>

#include "analysis/answer.h"
#include "output/compare_formats.h"
#include "output/gate_view.h"
#include "output/junit.h"
#include "machine/record.h"

namespace report {

namespace {

using State = JunitCase::State;

// The seconds the label's repetitions ran, as `run` recorded them.
double label_seconds(const ProgramComparison& c, std::size_t run) {
    double seconds = 0;
    for (const Run* r : c.samples[run])
        if (r->machine && r->machine->repetition.seconds)
            seconds += *r->machine->repetition.seconds;
    return seconds;
}

// The state and message the gate gives one label.
void judge(JunitCase& t, const GateVerdict* v, const std::vector<ProgramComparison>& cs,
           std::size_t ci, std::size_t run, const std::vector<std::string>& lines) {
    if (!v) {
        t.state = State::skipped;
        t.message = "no gate: --fail-if-worse PERCENT gives a verdict";
        return;
    }
    if (!v->problems.empty()) {
        t.state = State::skipped;
        t.message = lines.empty() ? verdict_line(*v, cs) : lines.front();
        return;
    }
    for (const ProgramSlowdown& s : v->tested) {
        if (s.comparison != ci || s.run != run)
            continue;
        if (tripped(s)) {
            t.state = State::failed;
            t.message = lines.empty() ? verdict_line(*v, cs) : lines.front();
        } else if (s.outcome == LabelOutcome::inconclusive) {
            t.state = State::skipped;
            t.message = inconclusive_words(s, v->percent);
        }
        return;
    }
    bool untested = std::find(v->untested.begin(), v->untested.end(), std::pair{ci, run}) !=
                    v->untested.end();
    if (!untested) {
        t.state = State::skipped;
        t.message = lines.empty() ? verdict_line(*v, cs) : lines.front();
        return;
    }
    for (const Regression& r : v->regressions)
        if (r.comparison == ci && r.run == run) {
            t.state = State::failed;
            t.message = lines.front();
            return;
        }
}

JunitCase label_case(const ViewOptions& options, const std::vector<ProgramComparison>& cs,
                     std::size_t ci, std::size_t run, const std::vector<Headline>& answers) {
    const ProgramComparison& c = cs[ci];
    JunitCase t;
    t.classname = program_name(c.program);
    t.name = run_name(*c.runs[run]);
    t.seconds = label_seconds(c, run);
    std::vector<std::string> lines;
    if (options.gate)
        lines = label_gate_lines(*options.gate, cs, ci, run);
    judge(t, options.gate, cs, ci, run, lines);
    for (const Headline& h : answers)
        if (h.comparison == ci && h.run == run)
            t.text += answer_line(h, c) + "\n";
    for (const std::string& line : lines)
        t.text += line + "\n";
    if (options.gate)
        t.text += verdict_line(*options.gate, cs) + "\n";
    return t;
}

}  // namespace

std::string compare_junit(const std::vector<ProgramComparison>& comparisons,
                          const ViewOptions& options) {
    std::vector<Headline> answered = answers(comparisons, options.gate);
    std::vector<JunitSuite> suites;
    for (std::size_t ci = 0; ci < comparisons.size(); ++ci) {
        const ProgramComparison& c = comparisons[ci];
        JunitSuite suite{program_name(c.program), {}};
        for (std::size_t run = 0; run < c.runs.size(); ++run)
            if (!c.baseline || run != *c.baseline)
                suite.cases.push_back(label_case(options, comparisons, ci, run, answered));
        suites.push_back(std::move(suite));
    }
    return junit_document("bench_report compare", suites);
}

}  // namespace report
