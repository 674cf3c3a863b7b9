// `history --format junit`: the nightly gate (--fail-on-change-since) as a
// CI server's test report, a suite per program and a test case per label's
// history: a failure for a change point or drift for the worse on or after
// the day, a skip where its history is too short either side to say, a pass
// otherwise. The gate decides (analysis/change_points.h); this only says it.
#include <algorithm>

#include <fmt/format.h>

#include "output/history_views.h"
#include "output/junit.h"
#include "output/text.h"

namespace report {

namespace {

using State = JunitCase::State;

std::string change_line(const ChangePoint& cp) {
    return fmt::format("{}: {}: {:+.1f}% from {} (p {:.2g})", escape_path(cp.label),
                       series_name(cp.test, cp.overall), cp.change_percent, cp.date, cp.p);
}

// The gate's findings of one history, failures first.
void judge(JunitCase& t, const HistoryAnalysis& a, const History& h, const HistoryGate& g,
           const std::string& since) {
    for (std::size_t i : g.worse) {
        const ChangePoint& cp = a.change_points[i];
        if (cp.label == h.label && cp.program == h.program)
            t.text += change_line(cp) + "\n";
    }
    for (std::size_t i : g.worse_drifts) {
        const Drift& d = a.drifts[i];
        if (d.label == h.label && d.program == h.program)
            t.text += fmt::format("{}: {} ({} of {} figures), going on at or after {}\n",
                                  escape_path(d.label), drift_text(d), d.figures,
                                  d.figures_total, since);
    }
    if (!t.text.empty()) {
        t.state = State::failed;
        t.message = t.text.substr(0, t.text.find('\n'));
        return;
    }
    std::string name = h.label + " (" + program_name(h.program) + ")";
    for (const std::string& unjudged : g.unjudged)
        if (unjudged == name) {
            t.state = State::skipped;
            t.message = fmt::format("no verdict: fewer than {} days of history on either side of {}",
                                    ChangePointSettings{}.min_segment, since);
            return;
        }
    t.text = fmt::format("no change for the worse on or after {}\n", since);
}

}  // namespace

std::string history_junit(const HistoryAnalysis& a, const HistoryViewOptions& options) {
    std::vector<JunitSuite> suites;
    for (const History& h : a.histories) {
        std::string program = program_name(h.program);
        auto suite = std::find_if(suites.begin(), suites.end(),
                                  [&](const JunitSuite& s) { return s.name == program; });
        if (suite == suites.end())
            suite = suites.insert(suites.end(), JunitSuite{program, {}});
        JunitCase t;
        t.classname = program;
        t.name = escape_path(h.label);
        if (options.gate)
            judge(t, a, h, *options.gate, options.gate_since.value_or(""));
        else {
            t.state = State::skipped;
            t.message = "no gate: --fail-on-change-since DATE gives a verdict";
        }
        suite->cases.push_back(std::move(t));
    }
    return junit_document("bench_report history", suites);
}

}  // namespace report
