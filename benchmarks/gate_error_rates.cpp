// How often the regression gate of `bench_report compare --fail-if-worse P`
// trips, measured over generated repetitions: both programs, two labels of n
// repetitions each, every timed pass of every repetition rescaled by the
// label's speed and a log-normal noise factor per pass (tests/report's
// generator). Rows with no change or a change below P give the false-trip
// rate, which must stay at or below 5%; rows with a change beyond P give the
// power.
//
//   gate_error_rates [--pairs N]
//
// N comparisons per row (default 100, about 20 seconds on a shared 2-core
// machine; 1000 for the table in the README). A trip is the verdict "fail" of
// decide_gate, the decision the exit status of compare reads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "analysis/comparison.h"
#include "analysis/gate.h"
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

}  // namespace

int main(int argc, char** argv) {
    int pairs = 100;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pairs") && i + 1 < argc)
            pairs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: gate_error_rates [--pairs N]\n");
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
    std::printf("| n a side | noise a pass | P | change | gate trips |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        std::printf("| %dv%d | %g%% | %g | %+g%% | %.1f%% |\n", row.n, row.n, row.noise,
                    row.percent, row.change, 100.0 * measure(row, pairs) / pairs);
        std::fflush(stdout);
    }
}
