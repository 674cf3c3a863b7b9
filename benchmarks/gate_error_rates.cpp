// How often the regression gate of `bench_report compare --fail-if-worse P`
// trips, measured over generated repetitions: both programs, two labels of n
// repetitions each, every timed pass of every repetition rescaled by the
// label's speed and a log-normal noise factor per pass (tests/report's
// generator). Rows with no change or a change below P give the false-trip
// rate, which must stay at or below 5%; rows with a change beyond P give the
// power.
//
//   gate_error_rates [--pairs N] [--per-figure]
//
// N comparisons per row (default 100, a minute or two on a shared 2-core
// machine; 1000 for the table in the README). --per-figure adds the column
// of the earlier per-figure gate (every figure beyond P and, with 3 or more
// repetitions, significant at 5% against no change) for comparison.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "analysis/slowdown.h"
#include "fleet.h"
#include "input/parse.h"

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

struct Trips {
    int per_figure = 0, gate = 0;
};

Trips measure(const Row& row, int pairs, bool per_figure) {
    Trips t;
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
        if (per_figure && !regressions(c, row.percent).empty())
            ++t.per_figure;
        SlowdownFamily family = slowdown_family(c, row.percent);
        for (const ProgramSlowdown& s : family.tested)
            if (s.test && s.test->significant) {
                ++t.gate;
                break;
            }
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 100;
    bool per_figure = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pairs") && i + 1 < argc)
            pairs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--per-figure"))
            per_figure = true;
        else {
            std::fprintf(stderr, "usage: gate_error_rates [--pairs N] [--per-figure]\n");
            return 2;
        }
    }
    if (pairs < 1) {
        std::fprintf(stderr, "gate_error_rates: --pairs must be a positive count\n");
        return 2;
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
    std::printf("| n a side | noise a pass | P | change | %sgate trips |\n",
                per_figure ? "per-figure gate trips | " : "");
    std::printf("|---|---|---|---|%s---|\n", per_figure ? "---|" : "");
    for (const Row& row : rows) {
        Trips t = measure(row, pairs, per_figure);
        std::string old;
        if (per_figure) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.1f%% | ", 100.0 * t.per_figure / pairs);
            old = buf;
        }
        std::printf("| %dv%d | %g%% | %g | %+g%% | %s%.1f%% |\n", row.n, row.n, row.noise,
                    row.percent, row.change, old.c_str(), 100.0 * t.gate / pairs);
        std::fflush(stdout);
    }
}
