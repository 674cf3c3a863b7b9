// How often the regression gate of `bench_report compare --fail-if-worse P`
// trips, measured over generated repetitions: both programs, two labels of n
// repetitions each, every timed pass of every repetition rescaled by the
// label's speed and a log-normal noise factor per pass (tests/report's
// generator). Rows with no change or a change below P give the false-trip
// rate, which must stay at or below 5%; rows with a change beyond P give the
// power.
//
//   gate_error_rates [--pairs N] [--table gate|outcomes|trend|drift|precision]
//
// N comparisons per row (default 100, about 20 seconds on a shared 2-core
// machine; 1000 for the table in the README). A trip is the verdict "fail" of
// decide_gate, the decision the exit status of compare reads.
//
// --table outcomes: the three verdicts, fail, pass (shown within P%) and no
// verdict (the repetitions cannot tell), for changes of 0, P/2, 1.5P and 2P,
// unpaired and paired by interleaved rounds without drift: a pass at 1.5P
// is a false pass, held at or below 5%.
//
// --table trend: how often a label's repetitions are said to trend with
// their start: with no drift (the false alarms, at most 5%) and under a
// linear drift of the machine over the two labels run one after the other.
//
// --table drift: two builds run interleaved in 10 rounds (old first in odd
// rounds, new first in even ones) under a drift of the machine that both
// share, by the time slot each repetition ran in: a linear one of 8% over the
// run, or a step of 8% in the middle. Each comparison is gated twice, on the
// pairs of rounds and with the pairing removed, and each rate's interval is
// read both ways: how often the gate trips and an interval excludes 1, with
// no change and with a slowdown of 2P.
//
// --table precision: `run --precision PCT` on one build against itself,
// interleaved: rounds are added from the 3rd on until the paired interval of
// the time factor (analysis/precision, the function run uses) is within
// +/-PCT, or at the cap of 20 rounds; how often the interval it stopped on
// holds the true factor (1), its stated level, and the rounds it took.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "analysis/precision.h"
#include "execution/schedule.h"
#include "fleet.h"
#include "input/parse.h"
#include "machine/record.h"

using namespace report;

namespace {

struct Row {
    int n;           // repetitions a side
    double noise;    // per pass, percent
    double percent;  // --fail-if-worse
    double change;   // the run's time over the baseline's, percent
};

std::vector<Run> label(int n, double speed, double sigma, const char* name, unsigned& seed) {
    std::vector<Run> out;
    for (int r = 0; r < n; ++r)
        for (Program p : {Program::processors, Program::memory}) {
            std::string text = noisy_results_file(p, speed, sigma, 2, seed++);
            auto parsed = parse_run(text, std::string(name) + "/" + std::to_string(r));
            Run run = std::get<Run>(std::move(parsed));
            run.label = name;
            out.push_back(std::move(run));
        }
    return out;
}

int measure(const Row& row, int pairs) {
    int trips = 0;
    unsigned seed = 1000003u * static_cast<unsigned>(row.n) +
                    static_cast<unsigned>(row.noise * 1000 + row.percent * 10 + row.change * 100);
    for (int k = 0; k < pairs; ++k) {
        std::vector<Run> base = label(row.n, 1, row.noise / 100, "base", seed);
        std::vector<Run> run = label(row.n, 1 / (1 + row.change / 100), row.noise / 100, "run", seed);
        std::vector<const Run*> all;
        for (const Run& r : base)
            all.push_back(&r);
        for (const Run& r : run)
            all.push_back(&r);
        std::vector<ProgramComparison> c = compare_runs(all, CompareSettings{});
        GateVerdict v = decide_gate(c, {}, {}, row.percent);
        trips += v.outcome == GateVerdict::Outcome::fail;
    }
    return trips;
}

// The drift of the machine at a time slot of a run of `slots`: linear (8%
// slower by the end) or a step of 8% at the middle.
double drift_level(bool step, int slot, int slots, double amount = 0.08) {
    double t = static_cast<double>(slot) / (slots - 1);
    return step ? (2 * slot < slots ? 1.0 : 1 - amount) : 1 - amount * t;
}

// One interleaved run of two builds, `rounds` rounds: its repetitions
// recorded with their round, so that compare pairs them.
std::vector<Run> interleaved_run(int rounds, double slowdown, double sigma, bool step,
                                 unsigned& seed, double drift = 0.08) {
    std::vector<Run> out;
    for (int r = 1; r <= rounds; ++r)
        for (int position = 0; position < 2; ++position) {
            bool old_build = (r % 2 == 1) == (position == 0);
            const char* name = old_build ? "base" : "run";
            double speed = drift_level(step, 2 * (r - 1) + position, 2 * rounds, drift) *
                           (old_build ? 1 : 1 / slowdown);
            for (Program p : {Program::processors, Program::memory}) {
                std::string text = noisy_results_file(p, speed, sigma, 2, seed++);
                Run run = std::get<Run>(parse_run(text, std::string(name) + "/" + std::to_string(r)));
                run.label = name;
                auto record = std::make_shared<MachineRecord>();
                record->repetition.interleaved = "20261209T030000Z-1";
                record->repetition.round = r;
                record->repetition.position = position + 1;
                run.machine = record;
                out.push_back(std::move(run));
            }
        }
    return out;
}

struct DriftCounts {
    int trips = 0;
    long cells = 0, excluded = 0, covered = 0;
};

// Gates one comparison and reads its rates' intervals, paired or not.
void drift_comparison(std::vector<Run> runs, bool paired, double percent, double slowdown,
                      DriftCounts& n) {
    if (!paired)
        for (Run& r : runs)
            r.machine = nullptr;
    std::vector<const Run*> all;
    for (const Run& r : runs)
        all.push_back(&r);
    CompareSettings settings;
    for (const Run* r : all)
        if (r->label == "base" &&
            (settings.baselines.empty() || settings.baselines.back()->program != r->program))
            settings.baselines.push_back(r);
    std::vector<ProgramComparison> cs = compare_runs(all, settings);
    n.trips += decide_gate(cs, {}, {}, percent).outcome == GateVerdict::Outcome::fail;
    for (const ProgramComparison& c : cs) {
        std::size_t col = 1 - *c.baseline;
        for (const FigureRow& row : c.rows) {
            if (!pass_rate(row.id))
                continue;
            const Cell& cell = row.cells[col];
            if (!cell.interval)
                continue;
            ++n.cells;
            n.excluded += cell.interval->low > 1 || cell.interval->high < 1;
            n.covered += cell.interval->low <= 1 / slowdown && 1 / slowdown <= cell.interval->high;
        }
    }
}

void drift_table(int comparisons) {
    std::printf("%d comparisons a row, 10 interleaved rounds; in percent: gate trips, rates whose "
                "95%% interval excludes 1, rates whose interval holds the true ratio\n",
                comparisons);
    std::printf("| drift | noise a pass | P | change | gate trips, paired | unpaired | "
                "intervals excluding 1, paired | unpaired | holding the truth, paired | unpaired |\n");
    std::printf("|---|---|---|---|---:|---:|---:|---:|---:|---:|\n");
    for (bool step : {false, true})
        for (double noise : {2.0, 5.0})
            for (double percent : {2.0, 5.0})
                for (double change : {0.0, 2 * percent}) {
                    DriftCounts paired, unpaired;
                    unsigned seed = 7919u * static_cast<unsigned>(noise * 10 + percent * 100 +
                                                                  change * 1000 + step);
                    for (int k = 0; k < comparisons; ++k) {
                        std::vector<Run> runs =
                            interleaved_run(10, 1 + change / 100, noise / 100, step, seed);
                        drift_comparison(runs, true, percent, 1 + change / 100, paired);
                        drift_comparison(std::move(runs), false, percent, 1 + change / 100,
                                         unpaired);
                    }
                    auto pct = [](long a, long b) { return b ? 100.0 * a / b : 0.0; };
                    std::printf("| %s 8%% | %g%% | %g | %+g%% | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n",
                                step ? "step" : "linear", noise, percent, change,
                                pct(paired.trips, comparisons), pct(unpaired.trips, comparisons),
                                pct(paired.excluded, paired.cells),
                                pct(unpaired.excluded, unpaired.cells),
                                pct(paired.covered, paired.cells),
                                pct(unpaired.covered, unpaired.cells));
                    std::fflush(stdout);
                }
}

// The three outcomes of the gate, per comparison, on one build against one
// `change` percent slower: two labels of n repetitions, unpaired, or n
// interleaved rounds without drift, paired.
struct Outcomes {
    int fail = 0, pass = 0, no_verdict = 0;
};

Outcomes outcomes(const Row& row, bool paired, int comparisons) {
    Outcomes out;
    unsigned seed = 15485863u * static_cast<unsigned>(row.n) + paired +
                    static_cast<unsigned>(row.noise * 1000 + row.percent * 10 + row.change * 100);
    for (int k = 0; k < comparisons; ++k) {
        std::vector<Run> runs;
        if (paired) {
            runs = interleaved_run(row.n, 1 + row.change / 100, row.noise / 100, false, seed, 0);
        } else {
            runs = label(row.n, 1, row.noise / 100, "base", seed);
            for (Run& r : label(row.n, 1 / (1 + row.change / 100), row.noise / 100, "run", seed))
                runs.push_back(std::move(r));
        }
        std::vector<const Run*> all;
        CompareSettings settings;
        for (const Run& r : runs) {
            all.push_back(&r);
            if (r.label == "base" &&
                (settings.baselines.empty() || settings.baselines.back()->program != r.program))
                settings.baselines.push_back(&r);
        }
        GateVerdict v = decide_gate(compare_runs(all, settings), {}, {}, row.percent);
        out.fail += v.outcome == GateVerdict::Outcome::fail;
        out.pass += v.outcome == GateVerdict::Outcome::pass;
        out.no_verdict += v.outcome == GateVerdict::Outcome::no_verdict;
    }
    return out;
}

void outcomes_table(int comparisons) {
    std::printf("%d comparisons a row; verdicts in percent of comparisons (both programs, one "
                "label against a baseline)\n", comparisons);
    std::printf("| n a side | pairing | noise a pass | P | change | fail | pass | no verdict |\n");
    std::printf("|---|---|---|---|---|---:|---:|---:|\n");
    for (double percent : {2.0, 5.0})
        for (int n : {3, 5, 10})
            for (bool paired : {false, true})
                for (double noise : {0.5, 2.0, 5.0})
                    for (double change : {0.0, percent / 2, 1.5 * percent, 2 * percent}) {
                        Row row{n, noise, percent, change};
                        Outcomes o = outcomes(row, paired, comparisons);
                        auto pct = [&](int k) { return 100.0 * k / comparisons; };
                        std::printf("| %dv%d | %s | %g%% | %g | %+g%% | %.1f | %.1f | %.1f |\n", n,
                                    n, paired ? "paired" : "unpaired", noise, percent, change,
                                    pct(o.fail), pct(o.pass), pct(o.no_verdict));
                        std::fflush(stdout);
                    }
}

// Two labels of n repetitions each, one after the other, their starts
// recorded; the machine drifts linearly by `drift` over the 2n repetitions.
// How often the gate names a trend of a label's repetitions.
double trend_rate(int n, double noise, double drift, int comparisons) {
    unsigned seed = 19937u * static_cast<unsigned>(n) +
                    static_cast<unsigned>(noise * 100 + drift * 10000);
    int named = 0;
    for (int k = 0; k < comparisons; ++k) {
        std::vector<Run> runs;
        CompareSettings settings;
        for (int slot = 0; slot < 2 * n; ++slot) {
            const char* name = slot < n ? "base" : "run";
            for (Program p : {Program::processors, Program::memory}) {
                double speed = 1 - drift * slot / (2 * n - 1);
                Run run = std::get<Run>(parse_run(
                    noisy_results_file(p, speed, noise / 100, 2, seed++), name));
                run.label = name;
                auto record = std::make_shared<MachineRecord>();
                record->repetition.started = fmt::format("2026-12-09T03:{:02}:00Z", slot);
                run.machine = record;
                runs.push_back(std::move(run));
            }
        }
        std::vector<const Run*> all;
        for (const Run& r : runs) {
            all.push_back(&r);
            if (r.label == "base" &&
                (settings.baselines.empty() || settings.baselines.back()->program != r.program))
                settings.baselines.push_back(&r);
        }
        named += !decide_gate(compare_runs(all, settings), {}, {}, 5).trends.empty();
    }
    return 100.0 * named / comparisons;
}

void trend_table(int comparisons) {
    std::printf("%d comparisons a row; in percent of comparisons, how often a label's "
                "repetitions are said to trend with their start\n", comparisons);
    std::printf("| n a side | noise a pass | drift over the 2n repetitions | trend named |\n");
    std::printf("|---|---|---|---:|\n");
    for (int n : {5, 10})
        for (double noise : {2.0, 5.0})
            for (double drift : {0.0, 0.04, 0.08}) {
                std::printf("| %dv%d | %g%% | %g%% | %.1f |\n", n, n, noise, drift * 100,
                            trend_rate(n, noise, drift, comparisons));
                std::fflush(stdout);
            }
}

// `run --precision PCT` simulated on one build against itself, interleaved
// without drift: the schedule's rule on the function it reads.
void precision_table(int trials) {
    std::printf("%d runs a row, bench_memory against itself interleaved; the interval is the "
                "paired one run --precision reads\n", trials);
    std::printf("| noise a pass | PCT | holding the true factor | stated level (mean) | "
                "rounds to stop (mean) | stopped at the cap |\n");
    std::printf("|---|---|---:|---:|---:|---:|\n");
    for (double noise : {2.0, 5.0})
        for (double pct : {1.0, 2.0, 5.0}) {
            unsigned seed = 104729u * static_cast<unsigned>(noise * 10 + pct);
            int covered = 0, capped = 0;
            double level = 0, rounds = 0;
            for (int k = 0; k < trials; ++k) {
                std::vector<double> factors;
                std::optional<PrecisionInterval> last;
                int r = 1;
                for (;; ++r) {
                    PassRates rates[2];
                    for (int b = 0; b < 2; ++b) {
                        std::string text =
                            noisy_results_file(Program::memory, 1, noise / 100, 2, seed++);
                        rates[b] = pass_rates(std::get<Run>(parse_run(text, "rep")));
                    }
                    factors.push_back(*log_time_factor(rates[0], rates[1]));
                    if (r < stopping_minimum)
                        continue;
                    last = precision_interval(factors);
                    std::optional<double> h = last ? last->half_width() : std::nullopt;
                    if (h && *h * 100 <= pct)
                        break;
                    if (r >= stopping_maximum) {
                        ++capped;
                        break;
                    }
                }
                rounds += r;
                if (last && last->low && last->high) {
                    covered += *last->low <= 1 && 1 <= *last->high;
                    level += last->confidence;
                }
            }
            std::printf("| %g%% | %g | %.1f%% | %.1f%% | %.1f | %.1f%% |\n", noise, pct,
                        100.0 * covered / trials, 100.0 * level / trials, rounds / trials,
                        100.0 * capped / trials);
            std::fflush(stdout);
        }
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 100;
    std::string table = "gate";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pairs") && i + 1 < argc)
            pairs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--table") && i + 1 < argc)
            table = argv[++i];
        else
            table = "";
        if (table != "gate" && table != "drift" && table != "precision" && table != "outcomes" &&
            table != "trend") {
            std::fprintf(stderr, "usage: gate_error_rates [--pairs N] [--table "
                                 "gate|outcomes|trend|drift|precision]\n");
            return 2;
        }
    }
    if (pairs < 1) {
        std::fprintf(stderr, "gate_error_rates: --pairs must be a positive count\n");
        return 2;
    }
    if (table == "drift") {
        drift_table(pairs);
        return 0;
    }
    if (table == "trend") {
        trend_table(pairs);
        return 0;
    }
    if (table == "outcomes") {
        outcomes_table(pairs);
        return 0;
    }
    if (table == "precision") {
        precision_table(pairs);
        return 0;
    }
    std::vector<Row> rows;
    for (double percent : {2.0, 5.0})
        for (int n : {3, 5, 10})
            for (double noise : {0.5, 2.0, 5.0})
                for (double change : {0.0, percent / 2, 2 * percent})
                    rows.push_back({n, noise, percent, change});
    // The detection target: twice P at a quarter of P's noise.
    // (2% at 0.5% is in the grid already.)
    for (int n : {3, 5, 10})
        rows.push_back({n, 1.25, 5, 10});
    std::printf("%d comparisons a row; trips in percent of comparisons\n", pairs);
    std::printf("| n a side | noise a pass | P | change | gate trips |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        std::printf("| %dv%d | %g%% | %g | %+g%% | %.1f%% |\n", row.n, row.n, row.noise,
                    row.percent, row.change, 100.0 * measure(row, pairs) / pairs);
        std::fflush(stdout);
    }
}
