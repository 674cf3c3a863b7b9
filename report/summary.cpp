#include "summary.h"

#include <algorithm>

#include <fmt/format.h>

#include "load.h"

namespace report {

namespace {

std::optional<double> value(const std::optional<Figure>& f) {
    if (!f)
        return std::nullopt;
    return f->value;
}

std::string cell(const std::optional<Figure>& f) {
    return f ? f->text : "-";
}

std::string cell(const std::optional<double>& v) {
    return v ? fmt::format("{:.6g}", *v) : "-";
}

std::string short_name(const std::string& key) {
    if (key == "effective_frequency") return "Effective frequency";
    if (key == "float") return "Float streaming";
    if (key == "integer") return "Integer streaming";
    if (key == "logic") return "Logic streaming";
    if (key == "allocation") return "Allocation";
    if (key == "low_speeds") return "Low speeds";
    if (key == "high_speeds") return "High speeds";
    return key;
}

}  // namespace

TestSummary summarize(const Run& run, const Test& test) {
    TestSummary s;
    s.threads = run.threads && *run.threads > 0 && *run.threads <= 1 << 30
                    ? static_cast<int>(*run.threads)
                    : static_cast<int>(test.threads.size());
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
    if (!rates.empty()) {
        std::sort(rates.begin(), rates.end());
        std::size_t n = rates.size();
        s.thread_min = rates.front();
        s.thread_max = rates.back();
        s.thread_median = n % 2 ? rates[n / 2] : (rates[n / 2 - 1] + rates[n / 2]) / 2;
        if (rates.front() > 0)
            s.spread = rates.back() / rates.front();
    }
    return s;
}

std::vector<Table> show_tables(const Run& run) {
    Table t;
    std::string threads = run.threads ? std::to_string(*run.threads) : "?";
    t.title = fmt::format("{}: {}, {} thread(s), {}{}{}", escape_path(run.path),
                          program_name(run.program), threads, run.label,
                          run.partial ? ", partial" : "",
                          run.findings.empty() ? "" : fmt::format(", {} finding(s)", run.findings.size()));
    t.header = {"Test", "Single", "Overall", "Improvement", "Efficiency", "Min/thread",
                "Median", "Max/thread", "Spread", "MB/s single", "MB/s overall"};
    for (const Test& test : run.tests) {
        TestSummary s = summarize(run, test);
        std::string name = short_name(test.key);
        bool flagged = std::any_of(run.findings.begin(), run.findings.end(),
                                   [&](const Finding& f) { return f.test == test.key; });
        if (flagged)
            name += " (!)";
        if (!test.complete)
            name += " (cut short)";
        std::string improvement = test.improvement ? test.improvement->text
                                  : test.improvement_unavailable ? "n/a"
                                                                 : cell(s.improvement);
        std::string single = test.single_out_of_memory ? "out of memory" : cell(test.single_rate);
        std::string overall = cell(test.overall_rate);
        if (test.incomplete_threads)
            overall += fmt::format(" ({} out of memory)", test.incomplete_threads);
        t.rows.push_back({name, single, overall, improvement, cell(s.efficiency),
                          cell(s.thread_min), cell(s.thread_median), cell(s.thread_max),
                          cell(s.spread), cell(test.single_megabytes), cell(test.overall_megabytes)});
    }
    if (!run.tests.empty())
        t.notes.push_back(run.program == Program::processors
                              ? "Rates in millions of executions per second; effective frequency in "
                                "giga executions per second."
                              : "Rates in millions of allocations (allocation) or executions per second; "
                                "MB/s = rate x bytes / 1048576.");
    if (run.tests.empty())
        t.notes.push_back("No test was read.");
    for (const Finding& f : run.findings)
        t.notes.push_back(fmt::format("(!) {}{}{}: {}", f.line ? fmt::format("line {}: ", f.line) : "",
                                      f.test, f.test.empty() ? "file" : "", f.message));
    return {t};
}

}  // namespace report
