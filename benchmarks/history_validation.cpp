// How well `bench_report history` finds change points and drifts, on
// generated nightly histories with known changes: recall, precision and
// dating of planted steps, false findings on pure noise per host-year, and
// the findings a drifting host gets, each with its 95% interval. Each table
// gives the step search alone (the method before drifts were told apart) and
// the step search with the drift fit (what `history` reports now). Prints the
// tables of docs/history.md as Markdown.
//
//   history_validation          a short run: 20 host-years a row
//   history_validation N        N host-years a row (docs/history.md: 200)
//
// Each host-year is 365 nightly values of each of 17 figures with normal
// noise of the row's size per run. A planted history changes level 3 times a
// year, at days drawn at random with at least 5 days between changes and
// from either end, each time up or down by the row's size. A change found
// within 2 days of a planted one is a hit (each planted change hit once). A
// drifting host slows linearly over the whole year in all its figures. The
// fleet rows plant one change on a share of the hosts of a fleet on one day
// (or a drift over all its nights) and check that `analyse_history` groups
// it as one fleet event with the machine change they share.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "analysis/change_points.h"
#include "analysis/drift.h"
#include "machine/record.h"
#include "model/calendar.h"

using namespace report;

namespace {

constexpr int days = 365;
constexpr std::size_t figures_per_host = 17;  // the series `history` searches per host

struct Row {
    double noise = 0, change = 0;
    bool disturbed = false;  // one run in 50 at -30%
};

struct Tally {
    std::size_t planted = 0, found = 0, hits = 0, exact = 0, false_on_noise = 0;
    std::size_t isolated = 0, isolated_hits = 0;  // changes 30 days or more from any other
    double date_error = 0;
};

std::vector<double> series(std::mt19937& rng, const Row& row, std::vector<std::size_t>& planted) {
    std::normal_distribution<double> noise(0, row.noise);
    std::uniform_int_distribution<int> day(5, days - 5);
    std::bernoulli_distribution sign(0.5), disturb(1.0 / 50);
    planted.clear();
    if (row.change > 0)
        while (planted.size() < 3) {
            std::size_t d = static_cast<std::size_t>(day(rng));
            if (std::all_of(planted.begin(), planted.end(), [&](std::size_t p) {
                    return (d > p ? d - p : p - d) >= 5;
                }))
                planted.push_back(d);
        }
    std::sort(planted.begin(), planted.end());
    std::vector<double> v;
    double level = 1;
    std::size_t next = 0;
    for (int d = 0; d < days; ++d) {
        if (next < planted.size() && planted[next] == static_cast<std::size_t>(d)) {
            level *= sign(rng) ? 1 + row.change : 1 / (1 + row.change);
            ++next;
        }
        double x = level * (1 + noise(rng));
        if (row.disturbed && disturb(rng))
            x *= 0.7;
        v.push_back(std::log(x));
    }
    return v;
}

Tally measure(const Row& row, int host_years, unsigned seed) {
    Tally t;
    std::mt19937 rng(seed);
    std::vector<std::size_t> planted;
    for (int h = 0; h < host_years; ++h) {
        std::vector<double> v = series(rng, row, planted);
        std::vector<SeriesChange> found = series_findings(v).steps;
        t.planted += planted.size();
        t.found += found.size();
        if (planted.empty()) {
            t.false_on_noise += found.size();
            continue;
        }
        std::vector<bool> used(planted.size(), false);
        auto alone = [&](std::size_t k) {
            for (std::size_t j = 0; j < planted.size(); ++j)
                if (j != k && (planted[j] > planted[k] ? planted[j] - planted[k]
                                                       : planted[k] - planted[j]) < 30)
                    return false;
            return true;
        };
        for (std::size_t k = 0; k < planted.size(); ++k)
            t.isolated += alone(k);
        for (const SeriesChange& f : found) {
            std::size_t best = planted.size();
            std::size_t best_error = 3;
            for (std::size_t k = 0; k < planted.size(); ++k) {
                std::size_t e = f.index > planted[k] ? f.index - planted[k] : planted[k] - f.index;
                if (!used[k] && e < best_error) {
                    best = k;
                    best_error = e;
                }
            }
            if (best < planted.size()) {
                used[best] = true;
                ++t.hits;
                t.isolated_hits += alone(best);
                t.exact += best_error == 0;
                t.date_error += static_cast<double>(best_error);
            }
        }
    }
    return t;
}

std::shared_ptr<const MachineRecord> machine(const std::string& date, const std::string& kernel) {
    auto c =
        parse_record(R"({"repetition": {"started": ")" + date +
                     R"(T05:00:00Z"}, "machine": {"kernel": {"release": ")" + kernel + R"("}}})");
    return std::make_shared<const MachineRecord>(*c);
}

std::string date_of(long day) {
    return calendar_date(day);
}

// A fleet of `hosts` bench_memory histories of 120 nights; on night 60 a
// kernel reaches `rolled` of them and costs them `change`. Whether one fleet
// event holds them, with the kernel on all of them, and how many events the
// noise alone made.
struct FleetTally {
    std::size_t fleets = 0, found = 0, hosts_in_event = 0, with_cause = 0, other_events = 0;
    std::size_t drifts = 0;  // drift findings
};
void measure_fleet(FleetTally& t, int hosts, int rolled, double noise_size, double change,
                   unsigned seed, bool drifting = false) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, noise_size);
    long first = 20600;  // 2026-05-27
    std::vector<Run> runs;
    runs.reserve(static_cast<std::size_t>(hosts) * 120);
    for (int h = 0; h < hosts; ++h)
        for (int d = 0; d < 120; ++d) {
            bool after = !drifting && h < rolled && d >= 60;
            double slope = drifting && h < rolled ? 1 - change * d / 119.0 : 1.0;
            Run r;
            r.label = fmt::format("host-{:03}", h);
            r.program = Program::memory;
            r.machine = machine(date_of(first + d), after ? "6.1.0-28" : "6.1.0-27");
            double base = 10;
            for (const char* key : {"allocation", "low_speeds", "high_speeds"}) {
                // Each test its own noise; the change moves them all.
                double f = (after ? 1 - change : 1) * slope * base;
                Test test;
                test.key = key;
                test.single_rate = Figure{"", f * (1 + noise(rng))};
                test.overall_rate = Figure{"", 4 * f * (1 + noise(rng))};
                r.tests.push_back(test);
                base *= 1.7;
            }
            runs.push_back(std::move(r));
        }
    std::vector<const Run*> given;
    for (const Run& r : runs)
        given.push_back(&r);
    HistoryAnalysis a = analyse_history(given);
    ++t.fleets;
    t.drifts += a.drifts.size();
    std::string rollout = date_of(first + 60);
    bool found = false;
    for (const FleetEvent& e : a.fleet_events) {
        if (!found && e.date <= rollout && rollout <= e.last_date && e.worse) {
            found = true;
            ++t.found;
            t.hosts_in_event += e.labels.size();
            t.with_cause += !e.causes.empty() && e.causes[0].difference.field == "kernel" &&
                            e.causes[0].labels == e.labels.size();
        } else {
            ++t.other_events;
        }
    }
}

// Recall, precision and dating of planted changes, at each noise and size.
void recall_table(int host_years, unsigned& seed) {
    std::printf("| noise | change | recall | recall, 30 days from any other change | precision | "
                "dates exact | mean date error (days) |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    for (double noise : {0.01, 0.02, 0.03})
        for (double change : {0.02, 0.05, 0.10})
            for (bool disturbed : {false, true}) {
                if (disturbed && noise != 0.02)
                    continue;
                Tally t = measure({noise, change, disturbed}, host_years, seed++);
                std::printf("| %g%%%s | %g%% | %.1f%% | %.1f%% | %.1f%% | %.1f%% | %.2f |\n",
                            noise * 100, disturbed ? " + 1 run in 50 at -30%" : "", change * 100,
                            100.0 * static_cast<double>(t.hits) / static_cast<double>(t.planted),
                            100.0 * static_cast<double>(t.isolated_hits) /
                                static_cast<double>(std::max<std::size_t>(t.isolated, 1)),
                            t.found ? 100.0 * static_cast<double>(t.hits) /
                                          static_cast<double>(t.found)
                                    : 100.0,
                            t.hits ? 100.0 * static_cast<double>(t.exact) /
                                         static_cast<double>(t.hits)
                                   : 0.0,
                            t.hits ? t.date_error / static_cast<double>(t.hits) : 0.0);
            }
}

// The mean of `per_host` and its 95% interval, a percentile bootstrap over
// hosts: findings come in excursion pairs and from one machine at a time, so
// a count's Poisson interval would be too narrow.
struct Estimate {
    double mean = 0, low = 0, high = 0;
};
Estimate bootstrap(const std::vector<double>& per_host, unsigned seed) {
    Estimate e;
    auto n = per_host.size();
    for (double x : per_host)
        e.mean += x / static_cast<double>(n);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    std::vector<double> means;
    for (int b = 0; b < 2000; ++b) {
        double m = 0;
        for (std::size_t i = 0; i < n; ++i)
            m += per_host[pick(rng)];
        means.push_back(m / static_cast<double>(n));
    }
    std::sort(means.begin(), means.end());
    e.low = means[50];
    e.high = means[1949];
    return e;
}

// A share of `k` in `n` with its 95% Wilson interval, in percent.
Estimate share(std::size_t k, std::size_t n) {
    double z = 1.959964, p = static_cast<double>(k) / static_cast<double>(n);
    auto m = static_cast<double>(n);
    double centre = (p + z * z / (2 * m)) / (1 + z * z / m);
    double half = z / (1 + z * z / m) * std::sqrt(p * (1 - p) / m + z * z / (4 * m * m));
    return {100 * p, 100 * std::max(0.0, centre - half), 100 * std::min(1.0, centre + half)};
}

std::string interval(const Estimate& e, const char* format) {
    return fmt::format(fmt::runtime(format), e.mean) + " [" +
           fmt::format(fmt::runtime(format), e.low) + "-" +
           fmt::format(fmt::runtime(format), e.high) + "]";
}

// One host-year: each of its figures at `noise`, all slowing linearly by
// `drift` over the year, all slow by 30% on night `slow_night` when given,
// and all `step` slower from a day drawn at random when given.
struct HostYear {
    double noise = 0.02, drift = 0;
    int slow_night = -1;
    double step = 0;
};
struct HostFindings {
    double before = 0, now = 0;  // the step search's findings; steps and drift findings
    bool drift = false, covered = false;  // a drift found; its interval holds the drift planted
    std::size_t figures_drifting = 0, figures_covered = 0;
    // Days on which some figure has a change point, more than 2 days from the
    // planted step; whether some figure's change point is within 2 days of it.
    double other_dates = 0;
    bool step_found = false;
};

// The days of `figures`' change points: those within 2 days of `step_day`
// (none: -1) say the step was found, the others are counted.
void count_dates(const std::vector<SeriesFindings>& figures, int step_day, HostFindings& h) {
    std::vector<std::size_t> dates;
    for (const SeriesFindings& found : figures)
        for (const SeriesChange& c : found.steps) {
            if (step_day >= 0 && std::abs(static_cast<int>(c.index) - step_day) <= 2)
                h.step_found = true;
            else
                dates.push_back(c.index);
        }
    std::sort(dates.begin(), dates.end());
    h.other_dates = static_cast<double>(std::unique(dates.begin(), dates.end()) - dates.begin());
}

HostFindings host_year(std::mt19937& rng, const HostYear& y) {
    std::normal_distribution<double> noise(0, y.noise);
    std::uniform_int_distribution<int> day(60, days - 60);
    const int step_day = y.step > 0 ? day(rng) : -1;
    HostFindings h;
    double planted = std::log(1 - y.drift);
    std::vector<SeriesFindings> figures;
    std::vector<std::vector<double>> values;
    for (std::size_t f = 0; f < figures_per_host; ++f) {
        std::vector<double> v;
        for (int d = 0; d < days; ++d)
            v.push_back(planted * d / (days - 1) + std::log(1 + noise(rng)) +
                        (d == y.slow_night ? std::log(0.7) : 0.0) +
                        (step_day >= 0 && d >= step_day ? std::log(1 - y.step) : 0.0));
        figures.push_back(series_findings(v));
        values.push_back(std::move(v));
        h.before += static_cast<double>(figures.back().staircase);
    }
    // As `history` does: a figure drifts with its siblings.
    adopt_sibling_drifts(figures, values);
    count_dates(figures, step_day, h);
    bool slower = false, faster = false;
    for (const SeriesFindings& found : figures) {
        h.now += static_cast<double>(found.steps.size());
        if (!found.drift)
            continue;
        // The drift planted between the days the finding names.
        double between = planted * static_cast<double>(found.drift->end - found.drift->start) /
                         (days - 1);
        if (step_day > static_cast<int>(found.drift->start) &&
            step_day <= static_cast<int>(found.drift->end) &&
            !std::any_of(found.steps.begin(), found.steps.end(), [&](const SeriesChange& c) {
                return std::abs(static_cast<int>(c.index) - step_day) <= 2;
            }))
            between += std::log(1 - y.step);  // a step the ramp took in
        bool holds = found.drift->log_low <= between && between <= found.drift->log_high;
        ++h.figures_drifting;
        h.figures_covered += holds;
        if (!h.drift)  // the host's finding states its first drifting figure's size
            h.covered = holds;
        h.drift = true;
        (found.drift->log_change < 0 ? slower : faster) = true;
    }
    h.now += slower + faster;  // one finding a direction, however many figures drift
    return h;
}

// Findings per host-year on pure noise and on drifting hosts, before and now.
void host_table(int host_years, unsigned& seed) {
    std::printf("\n| host-year (%zu figures, 2%% noise unless said) | findings per host, step "
                "search alone | findings per host, now | hosts with a drift found | drift's "
                "size within its interval (hosts) | (figures) | change-point dates per host "
                "beyond the planted step | planted step found (hosts) |\n",
                figures_per_host);
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    struct Case {
        const char* name;
        HostYear year;
    };
    const Case cases[] = {
        {"pure noise", {0.02, 0, -1}},
        {"pure noise, 3%", {0.03, 0, -1}},
        {"one night 30% slow", {0.02, 0, 180}},
        {"drifting 5% slower a year", {0.02, 0.05, -1}},
        {"drifting 10% slower a year", {0.02, 0.10, -1}},
        {"drifting 20% slower a year", {0.02, 0.20, -1}},
        {"drifting 5% slower a year, one 5% step", {0.02, 0.05, -1, 0.05}},
        {"drifting 10% slower a year, one 5% step", {0.02, 0.10, -1, 0.05}},
        {"pure noise, one 5% step", {0.02, 0, -1, 0.05}},
    };
    for (const Case& c : cases) {
        std::mt19937 rng(seed++);
        std::vector<double> before, now, dates;
        std::size_t drifts = 0, covered = 0, figures = 0, figures_covered = 0, steps = 0;
        for (int h = 0; h < host_years; ++h) {
            HostFindings f = host_year(rng, c.year);
            before.push_back(f.before);
            now.push_back(f.now);
            dates.push_back(f.other_dates);
            steps += f.step_found;
            drifts += f.drift;
            covered += f.covered;
            figures += f.figures_drifting;
            figures_covered += f.figures_covered;
        }
        auto n = static_cast<std::size_t>(host_years);
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", c.name,
                    interval(bootstrap(before, seed), "{:.2f}").c_str(),
                    interval(bootstrap(now, seed), "{:.2f}").c_str(),
                    interval(share(drifts, n), "{:.1f}%").c_str(),
                    drifts ? interval(share(covered, drifts), "{:.1f}%").c_str() : "-",
                    figures ? interval(share(figures_covered, figures), "{:.1f}%").c_str() : "-",
                    interval(bootstrap(dates, seed), "{:.2f}").c_str(),
                    c.year.step > 0 ? interval(share(steps, n), "{:.1f}%").c_str() : "-");
    }
}

// One 5% step at 2% noise a series, on a day drawn at random: how often it
// is found, how often on its very day, and how far from it.
void step_table(int host_years, unsigned& seed) {
    std::mt19937 rng(seed++);
    std::normal_distribution<double> noise(0, 0.02);
    std::uniform_int_distribution<int> day(5, days - 5);
    std::bernoulli_distribution sign(0.5);
    std::size_t series = static_cast<std::size_t>(host_years) * 4, found[2] = {0, 0},
                exact[2] = {0, 0};
    double error[2] = {0, 0};
    for (std::size_t k = 0; k < series; ++k) {
        int at = day(rng);
        double step = sign(rng) ? std::log(1.05) : -std::log(1.05);
        std::vector<double> v;
        for (int d = 0; d < days; ++d)
            v.push_back((d >= at ? step : 0.0) + std::log(1 + noise(rng)));
        std::vector<SeriesChange> alone = series_change_points(v);
        const std::vector<SeriesChange> both[2] = {alone, series_findings(v).steps};
        for (int m = 0; m < 2; ++m) {
            int best = 3;
            for (const SeriesChange& c : both[m])
                best = std::min(best, std::abs(static_cast<int>(c.index) - at));
            if (best > 2)
                continue;
            ++found[m];
            exact[m] += best == 0;
            error[m] += best;
        }
    }
    std::printf("\n| 5%% step, 2%% noise, %zu series | found within 2 days | on its day | mean "
                "date error (days) |\n|---|---:|---:|---:|\n",
                series);
    const char* names[2] = {"step search alone", "now"};
    for (int m = 0; m < 2; ++m)
        std::printf("| %s | %s | %s | %.2f |\n", names[m],
                    interval(share(found[m], series), "{:.1f}%").c_str(),
                    interval(share(exact[m], std::max<std::size_t>(found[m], 1)), "{:.1f}%").c_str(),
                    found[m] ? error[m] / static_cast<double>(found[m]) : 0.0);
}

// A rollout over part of a fleet, found as one event with its cause.
void fleet_table(int host_years, unsigned& seed) {
    std::printf("\n| fleet | noise | change | events found | hosts in the event | kernel named "
                "on all | other events |\n|---|---:|---:|---:|---:|---:|---:|\n");
    int fleets = std::max(1, host_years / 10);
    for (double change : {0.05, 0.10}) {
        FleetTally t;
        for (int f = 0; f < fleets; ++f)
            measure_fleet(t, 50, 17, 0.02, change, seed++);
        std::printf("| 17 of 50 hosts, 120 nights, x%zu | 2%% | %g%% | %zu of %zu | %.1f of 17 | "
                    "%zu of %zu | %zu |\n",
                    t.fleets, change * 100, t.found, t.fleets,
                    t.found ? static_cast<double>(t.hosts_in_event) / static_cast<double>(t.found)
                            : 0.0,
                    t.with_cause, t.found, t.other_events);
    }
    // Ten hosts slowing steadily: one drift each, and no fleet event made of
    // the staircase their drifts would otherwise be cut into.
    FleetTally t;
    for (int f = 0; f < fleets; ++f)
        measure_fleet(t, 50, 10, 0.02, 0.10, seed++, true);
    std::printf("\n| fleet | noise | drift | fleet events | drift findings per drifting host |\n"
                "|---|---:|---:|---:|---:|\n| 10 of 50 hosts drifting, 120 nights, x%zu | 2%% | "
                "10%% | %.1f a fleet | %.2f |\n",
                t.fleets, static_cast<double>(t.other_events + t.found) / static_cast<double>(t.fleets),
                static_cast<double>(t.drifts) / static_cast<double>(10 * t.fleets));
}

}  // namespace

int main(int argc, char** argv) {
    int host_years = argc > 1 ? std::atoi(argv[1]) : 20;
    std::string only = argc > 2 ? argv[2] : "";
    if (host_years < 1 || argc > 3 ||
        (!only.empty() && only != "recall" && only != "step" && only != "hosts" &&
         only != "fleet")) {
        std::fprintf(stderr, "usage: history_validation [HOST_YEARS [recall|step|hosts|fleet]]\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    std::printf("%d host-years a row; a host-year is %d nights of each of %zu figures.\n\n",
                host_years, days, figures_per_host);
    // Each table's seeds are its own whichever tables run.
    unsigned seed = 1;
    if (only.empty() || only == "recall")
        recall_table(host_years, seed);
    seed = 12;
    if (only.empty() || only == "step")
        step_table(host_years, seed);
    seed = 13;
    if (only.empty() || only == "hosts")
        host_table(host_years, seed);
    seed = 19;  // as before the host table grew its last rows
    if (only.empty() || only == "fleet")
        fleet_table(host_years, seed);
    std::printf("\n%.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                             start)
                                  .count());
    return 0;
}
