// The regression gate of `compare --fail-if-worse P` on repetitions whose
// noise is shared by all their passes, as a machine's is: a repetition runs
// slower or faster as a whole (a log-normal factor per repetition, the same
// for both programs of it), plus 0.5% a pass. Every row is a generated
// comparison decided by decide_gate, the decision compare's exit status
// reads, after take_runs, the choice compare makes of a history's runs.
//
//   gate_goals [--pairs N] [--table verdicts|drift|paired|nightly|far|decide]
//              [--change K] [--why]
//
// N comparisons a row (default 100); --change K keeps the verdicts table's
// rows whose change is K times P (0, 0.5, 1 or 1.5), for a long run of the
// rows near the limit. The tables:
//   verdicts  identical builds and slowdowns of P/2, P and 1.5P, 3v3, 5v5 and
//             10v10 at 1, 2 and 5% a repetition, gates 2 and 5, the labels
//             run one after the other (their starts recorded);
//   drift     the same, the machine speeding up linearly over the 2n
//             repetitions by 4 or 8%, with no change and with a 1.5P slowdown;
//   paired    n interleaved rounds (5, 8, 12) under the same drifts;
//   nightly   a baseline of 60 nights drifting 10% slower, against the same
//             build run today (5 repetitions at the machine's level now);
//   far       how many identical-build comparisons carry a far-repetition mark;
//   decide    "about N repetitions a side would decide", redrawn at N: how
//             often the gate then decides; --why adds, for the redraws
//             that did not decide, what kept them from it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "analysis/runs_taken.h"
#include "fleet.h"
#include "input/parse.h"
#include "machine/record.h"

using namespace report;

namespace {

constexpr double pass_noise = 0.005;

// What makes a comparison: n repetitions a side of a label, the noise a
// repetition, the run's time over the baseline's, the machine's drift over
// the 2n repetitions (its speed rising by `drift`), interleaved or not.
struct Scenario {
    int n = 5;
    double noise = 0.02;   // a repetition, as a fraction
    double percent = 5;    // the gate
    double change = 0;     // percent slower
    double drift = 0;      // fraction faster by the last repetition
    bool interleaved = false;
};

struct Draw {
    std::mt19937 rng;
    unsigned seed;
    explicit Draw(unsigned s) : rng(s), seed(s * 7919u + 1) {}
    double factor(double sigma) {
        return std::exp(sigma * std::normal_distribution<double>(0, 1)(rng));
    }
};

// One repetition of both programs at `speed`, its start at minute `slot`.
void repetition(std::vector<Run>& out, const char* name, double speed, int slot, Draw& d,
                const std::function<void(RepetitionRecord&)>& record) {
    for (Program p : {Program::processors, Program::memory}) {
        std::string text = noisy_results_file(p, speed, pass_noise, 2, d.seed++);
        Run run = std::get<Run>(parse_run(text, fmt::format("{}/{}", name, slot)));
        run.label = name;
        auto machine = std::make_shared<MachineRecord>();
        machine->repetition.started =
            fmt::format("2026-12-09T{:02}:{:02}:00Z", 3 + slot / 60, slot % 60);
        record(machine->repetition);
        run.machine = machine;
        out.push_back(std::move(run));
    }
}

std::vector<Run> draw(const Scenario& s, Draw& d) {
    std::vector<Run> runs;
    double slow = 1 + s.change / 100;
    int slots = 2 * s.n;
    auto machine = [&](int slot) { return 1 + s.drift * slot / (slots - 1); };
    for (int slot = 0; slot < slots; ++slot) {
        bool base = s.interleaved ? (slot / 2 % 2 == 0) == (slot % 2 == 0) : slot < s.n;
        const char* name = base ? "base" : "run";
        double speed = machine(slot) * d.factor(s.noise) / (base ? 1 : slow);
        int round = slot / 2 + 1, position = slot % 2 + 1;
        repetition(runs, name, speed, slot, d, [&](RepetitionRecord& r) {
            if (s.interleaved) {
                r.interleaved = "20261209T030000Z-1";
                r.round = round;
                r.position = position;
            } else {
                r.number = (base ? slot : slot - s.n) + 1;
            }
        });
    }
    return runs;
}

// The gate on the runs as compare takes them, the label "base" the baseline.
struct Gated {
    GateVerdict verdict;
    std::vector<ProgramComparison> comparisons;
};

Gated gate(const std::vector<Run>& runs, double percent) {
    std::vector<const Run*> all;
    for (const Run& r : runs)
        all.push_back(&r);
    RunsTaken taken = take_runs(all, RunsChoice{});
    CompareSettings settings;
    settings.taken = taken.labels;
    for (const Run* r : taken.runs)
        if (r->label == "base" &&
            (settings.baselines.empty() || settings.baselines.back()->program != r->program))
            settings.baselines.push_back(r);
    Gated g;
    g.comparisons = compare_runs(taken.runs, settings);
    g.verdict = decide_gate(g.comparisons, {}, {}, percent);
    return g;
}

struct Counts {
    int fail = 0, pass = 0, none = 0, total = 0;
    void add(GateVerdict::Outcome o) {
        ++total;
        fail += o == GateVerdict::Outcome::fail;
        pass += o == GateVerdict::Outcome::pass;
        none += o == GateVerdict::Outcome::no_verdict;
    }
    std::string row() const {
        auto pct = [&](int k) { return total ? 100.0 * k / total : 0.0; };
        return fmt::format("{:.1f} | {:.1f} | {:.1f}", pct(fail), pct(pass), pct(none));
    }
};

unsigned seed_of(const Scenario& s, unsigned salt) {
    return salt * 2654435761u + static_cast<unsigned>(s.n * 1000003 + s.noise * 1e5 +
                                                      s.percent * 1e3 + s.change * 1e2 +
                                                      s.drift * 1e4 + s.interleaved);
}

Counts verdicts(const Scenario& s, int comparisons) {
    Draw d(seed_of(s, 1));
    Counts c;
    for (int k = 0; k < comparisons; ++k)
        c.add(gate(draw(s, d), s.percent).verdict.outcome);
    return c;
}

void header(const char* columns, const char* align) {
    std::printf("| %s | fail | pass | no verdict |\n|%s---:|---:|---:|\n", columns, align);
}

void verdicts_table(int comparisons, double only) {
    header("n a side | noise a repetition | P | change", "---|---|---|---|");
    for (double percent : {2.0, 5.0})
        for (int n : {3, 5, 10})
            for (double noise : {1.0, 2.0, 5.0})
                for (double times : {0.0, 0.5, 1.0, 1.5}) {
                    if (only >= 0 && times != only)
                        continue;
                    double change = times * percent;
                    Scenario s{n, noise / 100, percent, change};
                    std::printf("| %dv%d | %g%% | %g | %+g%% | %s |\n", n, n, noise, percent,
                                change, verdicts(s, comparisons).row().c_str());
                    std::fflush(stdout);
                }
}

void drift_table(int comparisons, bool interleaved) {
    header(interleaved ? "rounds | noise a repetition | P | drift | change"
                       : "n a side | noise a repetition | P | drift | change",
           "---|---|---|---|---|");
    std::vector<int> sizes = interleaved ? std::vector<int>{5, 8, 12} : std::vector<int>{5, 10};
    for (int n : sizes)
        for (double drift : {0.04, 0.08})
            for (double change : {0.0, 7.5}) {
                Scenario s{n, 0.02, 5, change, drift, interleaved};
                std::printf("| %d%s | 2%% | 5 | %g%% faster | %+g%% | %s |\n", n,
                            interleaved ? "" : fmt::format("v{}", n).c_str(), drift * 100, change,
                            verdicts(s, comparisons).row().c_str());
                std::fflush(stdout);
            }
}

// 60 nights of "base", one a day, drifting `drift` slower over them at 2% a
// night; then "run", the same build today: 5 repetitions of one `run` at the
// level the machine has reached.
std::vector<Run> nightly(double drift, Draw& d) {
    std::vector<Run> runs;
    const int nights = 60;
    for (int night = 0; night < nights; ++night) {
        double speed = (1 - drift * night / (nights - 1)) * d.factor(0.02);
        std::string day = fmt::format("2026-{:02}-{:02}", 10 + night / 30, 1 + night % 30);
        for (Program p : {Program::processors, Program::memory}) {
            std::string text = noisy_results_file(p, speed, pass_noise, 2, d.seed++);
            Run run = std::get<Run>(parse_run(text, "base/" + day));
            run.label = "base";
            auto machine = std::make_shared<MachineRecord>();
            machine->repetition.started = day + "T03:00:00Z";
            run.machine = machine;
            runs.push_back(std::move(run));
        }
    }
    for (int r = 0; r < 5; ++r)
        repetition(runs, "run", (1 - drift) * d.factor(0.02), r, d,
                   [&](RepetitionRecord& rec) {
                       rec.number = r + 1;
                       rec.started = fmt::format("2026-12-10T03:{:02}:00Z", r);
                   });
    return runs;
}

void nightly_table(int comparisons) {
    header("baseline | P", "---|---|");
    for (double drift : {0.0, 0.10})
        for (double percent : {2.0, 5.0}) {
            Draw d(static_cast<unsigned>(drift * 1000 + percent * 10 + 7));
            Counts c;
            for (int k = 0; k < comparisons; ++k)
                c.add(gate(nightly(drift, d), percent).verdict.outcome);
            std::printf("| 60 nights, %g%% slower over them | %g | %s |\n", drift * 100, percent,
                        c.row().c_str());
            std::fflush(stdout);
        }
}

void far_table(int comparisons) {
    std::printf("| n a side | noise a repetition | comparisons with a far mark |\n"
                "|---|---|---:|\n");
    for (int n : {5, 10})
        for (double noise : {1.0, 2.0, 5.0}) {
            Scenario s{n, noise / 100, 5};
            Draw d(seed_of(s, 3));
            int marked = 0;
            for (int k = 0; k < comparisons; ++k) {
                Gated g = gate(draw(s, d), 5);
                bool any = false;
                for (const ProgramComparison& c : g.comparisons)
                    any = any || !c.far.empty();
                marked += any;
            }
            std::printf("| %dv%d | %g%% | %.1f |\n", n, n, noise, 100.0 * marked / comparisons);
            std::fflush(stdout);
        }
}

// The count the gate said would decide, the largest over the labels it
// could not decide; 0 when it decided, -1 when one of them said no count
// (past the cap: nothing to redraw at).
int said_to_decide(const GateVerdict& v) {
    int most = 0;
    for (const ProgramSlowdown& s : v.tested)
        if (s.outcome == LabelOutcome::inconclusive) {
            if (!s.decide_at)
                return -1;
            most = std::max(most, static_cast<int>(*s.decide_at));
        }
    return most;
}

// Why a redraw gave no verdict: a drift problem (a trend named in a label,
// or the joint trend or the drift-adjusted effect), another problem, or the
// labels left inconclusive: how many, and whether the pass test was shown
// but its interval did not resolve the limit.
struct Why {
    int named = 0, joint = 0, other = 0, one_label = 0, both_labels = 0, unresolved = 0;
    void add(const GateVerdict& v, double percent) {
        if (!v.problems.empty()) {
            auto drift = std::find_if(v.problems.begin(), v.problems.end(), [](const GateProblem& p) {
                return p.kind == GateProblem::drifting;
            });
            if (drift == v.problems.end())
                ++other;
            else if (drift->detail.empty())
                ++joint;
            else
                ++named;
            return;
        }
        int undecided = 0;
        bool held = false;
        for (const ProgramSlowdown& s : v.tested) {
            if (s.outcome != LabelOutcome::inconclusive || !s.test || !s.within)
                continue;
            ++undecided;
            held = held || (s.within->significant &&
                            std::log(s.upper()) - std::log(s.test->estimate) >
                                std::log1p(percent / 100) + 1e-9);
        }
        (undecided > 1 ? both_labels : one_label) += undecided > 0;
        unresolved += held;
    }
    std::string row() const {
        return fmt::format(" {} | {} | {} | {} | {} | {} |", named, joint, other, one_label,
                           both_labels, unresolved);
    }
};

void decide_table(int comparisons, bool why) {
    std::printf("| n a side | noise a repetition | P | change | said a count | decided at it | "
                "decided where N <= 9 |%s\n|---|---|---|---|---:|---:|---:|%s\n",
                why ? " trend named | joint trend or adjusted | other problem | one label "
                      "inconclusive | both | pass shown, unresolved |"
                    : "",
                why ? "---:|---:|---:|---:|---:|---:|" : "");
    for (double percent : {2.0, 5.0})
        for (double noise : {1.0, 2.0, 5.0})
            for (double change : {0.0, percent / 2}) {
                Scenario s{5, noise / 100, percent, change};
                Draw d(seed_of(s, 5));
                int said = 0, decided = 0, small = 0, small_decided = 0;
                Why reasons;
                for (int k = 0; k < comparisons; ++k) {
                    int n = said_to_decide(gate(draw(s, d), percent).verdict);
                    if (n <= 0)
                        continue;
                    Scenario again = s;
                    again.n = n;
                    GateVerdict v = gate(draw(again, d), percent).verdict;
                    bool ok = v.outcome != GateVerdict::Outcome::no_verdict;
                    if (!ok)
                        reasons.add(v, percent);
                    ++said;
                    decided += ok;
                    if (n <= 9) {
                        ++small;
                        small_decided += ok;
                    }
                }
                auto pct = [](int a, int b) { return b ? fmt::format("{:.1f}", 100.0 * a / b) : std::string("-"); };
                std::printf("| 5v5 | %g%% | %g | %+g%% | %d | %s | %s (%d) |%s\n", noise, percent,
                            change, said, pct(decided, said).c_str(),
                            pct(small_decided, small).c_str(), small,
                            why ? reasons.row().c_str() : "");
                std::fflush(stdout);
            }
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 100;
    double only = -1;
    bool why = false;
    std::string table = "verdicts";
    const std::vector<std::string> tables = {"verdicts", "drift", "paired", "nightly", "far",
                                             "decide"};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pairs") && i + 1 < argc)
            pairs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--table") && i + 1 < argc)
            table = argv[++i];
        else if (!std::strcmp(argv[i], "--why"))
            why = true;
        else if (!std::strcmp(argv[i], "--change") && i + 1 < argc)
            only = std::atof(argv[++i]);
        else
            table = "";
    }
    if (std::find(tables.begin(), tables.end(), table) == tables.end() || pairs < 1) {
        std::fprintf(stderr, "usage: gate_goals [--pairs N] "
                             "[--table verdicts|drift|paired|nightly|far|decide] [--change K] [--why]\n");
        return 2;
    }
    std::printf("%d comparisons a row, in percent; noise shared by a repetition's passes, "
                "0.5%% a pass\n", pairs);
    if (table == "verdicts")
        verdicts_table(pairs, only);
    else if (table == "drift")
        drift_table(pairs, false);
    else if (table == "paired")
        drift_table(pairs, true);
    else if (table == "nightly")
        nightly_table(pairs);
    else if (table == "far")
        far_table(pairs);
    else
        decide_table(pairs, why);
}
