#include "summary.h"

#include <algorithm>

#include <fmt/format.h>

#include "catalogue.h"
#include "load.h"
#include "stats.h"

namespace report {

namespace {

std::optional<double> value(const std::optional<Figure>& f) {
    if (!f)
        return std::nullopt;
    return f->value;
}

TableCell cell(const std::optional<Figure>& f) {
    return number_cell(f ? f->text : "-");
}

TableCell cell(const std::optional<double>& v) {
    return number_cell(v ? fmt::format("{:.6g}", *v) : "-");
}

}  // namespace

TestSummary summarize(const Run& run, const Test& test) {
    TestSummary s;
    s.threads = stats::thread_count(run, &test).value_or(0);
    s.single_rate = value(test.single_rate);
    s.overall_rate = value(test.overall_rate);
    s.single_megabytes = value(test.single_megabytes);
    s.overall_megabytes = value(test.overall_megabytes);
    if (test.improvement)
        s.improvement = test.improvement->value;
    else if (!test.improvement_unavailable && test.complete && s.single_rate && s.overall_rate &&
             *s.single_rate != 0)
        s.improvement = *s.overall_rate / *s.single_rate;
    if (s.threads > 0) {
        if (s.improvement)
            s.efficiency = *s.improvement / s.threads;
        if (s.overall_rate)
            s.per_thread_overall = *s.overall_rate / s.threads;
    }
    std::vector<double> rates;
    for (const ThreadResult& r : test.threads)
        if (r.rate)
            rates.push_back(r.rate->value);
    if (std::optional<stats::Range> r = stats::range(rates)) {
        s.thread_min = r->min;
        s.thread_max = r->max;
        s.spread = r->spread;
        s.thread_median = stats::median(rates);
    }
    return s;
}

std::vector<Table> show_tables(const Run& run) {
    Table t;
    std::string threads = run.threads ? std::to_string(*run.threads) : "?";
    t.title = fmt::format(
        "{}: {}, {} thread(s), {}{}{}", escape_path(run.path), program_name(run.program), threads,
        escape_path(run.label), run.partial ? ", partial" : "",
        run.findings.empty() ? "" : fmt::format(", {} finding(s)", run.findings.size()));
    if (run.machine)
        if (std::string machine = machine_summary(*run.machine, true); !machine.empty())
            t.title += "\nMachine: " + escape_path(machine);
    t.header = {"Test",   "Single",     "Overall", "Improvement", "Efficiency",  "Min/thread",
                "Median", "Max/thread", "Spread",  "MB/s single", "MB/s overall"};
    for (const Test& test : run.tests) {
        TestSummary s = summarize(run, test);
        std::string name(display_name(test.key));
        bool flagged = std::any_of(run.findings.begin(), run.findings.end(),
                                   [&](const Finding& f) { return f.test == test.key; });
        if (flagged)
            name += " (!)";
        if (!test.complete)
            name += " (cut short)";
        TableCell improvement = test.improvement               ? cell(test.improvement)
                                : test.improvement_unavailable ? number_cell("n/a")
                                                               : cell(s.improvement);
        TableCell single =
            test.single_out_of_memory ? number_cell("out of memory") : cell(test.single_rate);
        TableCell overall = cell(test.overall_rate);
        if (test.incomplete_threads)
            overall.text += fmt::format(" ({} out of memory)", test.incomplete_threads);
        t.rows.push_back({name, single, overall, improvement, cell(s.efficiency),
                          cell(s.thread_min), cell(s.thread_median), cell(s.thread_max),
                          cell(s.spread), cell(test.single_megabytes),
                          cell(test.overall_megabytes)});
    }
    if (!run.tests.empty())
        t.notes.push_back(
            run.program == Program::processors
                ? "Rates in millions of executions per second; effective frequency in "
                  "giga executions per second."
                : "Rates in millions of allocations (allocation) or executions per second; "
                  "MB/s = rate x bytes / 1048576.");
    if (run.tests.empty())
        t.notes.push_back("No test was read.");
    for (const Finding& f : run.findings)
        t.notes.push_back(fmt::format("(!) {}{}{}: {}",
                                      f.line ? fmt::format("line {}: ", f.line) : "", f.test,
                                      f.test.empty() ? "file" : "", f.message));
    return {t};
}

}  // namespace report
