#include "analysis/answer.h"

#include <cmath>

namespace report {

namespace {

// The gate's test of one label as an answer: its estimate, the trip test's
// lower bound and the pass test's upper bound. A difference is shown when
// that interval leaves out no change.
void read_gate(Headline& h, const ProgramSlowdown& s) {
    stats::ChangeTest t;
    t.method = s.test->method;
    t.estimate = s.test->estimate;
    t.low = s.test->bound;
    t.high = s.upper();
    t.confidence = std::max(0.0, s.test->confidence + s.within->confidence - 1);
    t.significant = t.low > 1 || t.high < 1;
    h.test = t;
    h.estimate = t.estimate;
    h.paired = s.paired;
    h.pairs = s.paired ? s.pairing->pairs.size() : 0;
    h.gate = Headline::GateSides{s.test->confidence, s.within->confidence, s.test->method,
                                 s.within->method};
}

}  // namespace

std::vector<Headline> answers(const std::vector<ProgramComparison>& comparisons,
                              const GateVerdict* gate) {
    std::vector<Headline> out = headlines(comparisons);
    if (!gate)
        return out;
    for (Headline& h : out)
        for (const ProgramSlowdown& s : gate->tested)
            if (s.comparison == h.comparison && s.run == h.run && s.test && s.within &&
                s.test->method != stats::SlowdownMethod::constant && h.passes > 0)
                read_gate(h, s);
    return out;
}

}  // namespace report
