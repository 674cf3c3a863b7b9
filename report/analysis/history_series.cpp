// The series of a history: each day's median of its runs' rates, a series a figure.
#include "analysis/history_series.h"

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "analysis/stats.h"
#include "model/catalogue.h"

namespace report {

namespace {

// The figures of a history's series, in the order they are listed: the
// geometric means of the single and overall rates, then each test's single
// rate (when it has one) and overall rate, in catalogue order.
struct FigureOf {
    std::string key;  // a test key, or "geomean"
    bool overall = false;
    std::size_t test = 0;  // index into the catalogue of the program, for a test
};
std::vector<FigureOf> figures_of(Program program) {
    std::vector<FigureOf> figures{{"geomean", false, 0}, {"geomean", true, 0}};
    std::span<const TestInfo> tests = catalogue(program);
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (tests[i].has_single())
            figures.push_back({std::string(tests[i].key), false, i});
        figures.push_back({std::string(tests[i].key), true, i});
    }
    return figures;
}

// The buffers run_figures reuses from run to run: a fleet-year is read a
// run at a time, and none of them allocates once they have grown.
struct RunFigures {
    std::vector<double> single, overall, all, out;
    std::vector<TestRates> rates;
    std::vector<bool> seen;
};

// A run's figures into `f.out`, in the order of figures_of: each test's is
// its first test of that key's; a geometric mean is over every test of the
// program that has the figure, only when the run has them all. Absent
// figures are NaN.
void run_figures(const Run& run, std::span<const TestInfo> tests, RunFigures& f) {
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    f.single.assign(tests.size(), none);
    f.overall.assign(tests.size(), none);
    f.seen.assign(tests.size(), false);
    // A run read for its figures has its rates; one parsed, its tests.
    if (!run.tests.empty())
        f.rates = test_rates(run);
    for (const TestRates& t : run.tests.empty() ? run.rates : f.rates) {
        if (t.test >= tests.size() || f.seen[t.test])
            continue;
        f.seen[t.test] = true;
        auto value = [&](const std::optional<double>& v, bool whole) {
            // An overall rate summed over fewer threads than ran is no rate of the machine.
            return !v || !std::isfinite(*v) || *v <= 0 || (whole && t.incomplete_threads) ? none
                                                                                          : *v;
        };
        f.single[t.test] = value(t.single, false);
        f.overall[t.test] = value(t.overall, true);
    }
    auto geomean = [&](const std::vector<double>& rates, bool whole) {
        f.all.clear();
        for (std::size_t i = 0; i < tests.size(); ++i) {
            if (!whole && !tests[i].has_single())
                continue;
            if (std::isnan(rates[i]))
                return none;
            f.all.push_back(rates[i]);
        }
        std::optional<double> g = stats::geometric_mean(f.all);
        return g ? *g : none;
    };
    f.out.clear();
    f.out.push_back(geomean(f.single, false));
    f.out.push_back(geomean(f.overall, true));
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (tests[i].has_single())
            f.out.push_back(f.single[i]);
        f.out.push_back(f.overall[i]);
    }
}

}  // namespace

// Every series of a history, each day's median of its runs' figure, on the
// days that have it.
std::vector<HistorySeries> day_series(const History& h, std::size_t hi) {
    std::span<const TestInfo> tests = catalogue(h.program);
    const std::vector<FigureOf> figures = figures_of(h.program);
    std::vector<HistorySeries> all(figures.size());
    for (std::size_t f = 0; f < figures.size(); ++f) {
        all[f].history = hi;
        all[f].test = figures[f].key;
        all[f].overall = figures[f].overall;
        all[f].days.reserve(h.days.size());
        all[f].values.reserve(h.days.size());
    }
    // Each day's figures of its runs, then their medians.
    std::vector<std::vector<double>> day(figures.size());
    RunFigures of_run;
    for (std::size_t d = 0; d < h.days.size(); ++d) {
        for (std::vector<double>& v : day)
            v.clear();
        for (const Run* r : h.days[d].runs) {
            run_figures(*r, tests, of_run);
            for (std::size_t f = 0; f < figures.size(); ++f)
                if (!std::isnan(of_run.out[f]))
                    day[f].push_back(of_run.out[f]);
        }
        for (std::size_t f = 0; f < figures.size(); ++f) {
            if (day[f].empty())
                continue;
            all[f].days.push_back(d);
            all[f].values.push_back(day[f].size() == 1 ? day[f][0] : *stats::median(day[f]));
        }
    }
    return all;
}

}  // namespace report
