#include "output/run_tables.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <fmt/format.h>

#include "model/catalogue.h"
#include "analysis/stats.h"
#include "analysis/summary.h"
#include "analysis/recorded.h"
#include "machine/record.h"
#include "output/outcome.h"
#include "output/scaling_view.h"
#include "analysis/scaling.h"

namespace report {

namespace {

const Test* find_test(const Run& run, std::string_view key) {
    for (const Test& t : run.tests)
        if (t.key == key)
            return &t;
    return nullptr;
}

TableCell cell(const std::optional<Figure>& f) {
    return number_cell(f ? f->text : "-");
}

TableCell cell(const std::optional<double>& v) {
    return number_cell(v ? fmt::format("{:.6g}", *v) : "-");
}

// The CPUs of a sweep's point, "" for a run that is none.
std::string point_of(const Run& r) {
    return r.machine && r.machine->scaling ? cpu_list_text(r.machine->scaling->cpus) : "";
}

// Runs grouped by program and label (and a sweep's point: each set of CPUs
// is a measurement of its own), in order of first appearance; each run's
// group looked up, so that a folder of many labels is not searched once per run.
std::vector<std::vector<const Run*>> label_groups(const std::vector<Run>& runs) {
    std::vector<std::vector<const Run*>> groups;
    std::map<std::tuple<Program, std::string_view, std::string>, std::size_t> group_of;
    for (const Run& r : runs) {
        auto [at, fresh] = group_of.try_emplace({r.program, r.label, point_of(r)}, groups.size());
        if (fresh)
            groups.push_back({&r});
        else
            groups[at->second].push_back(&r);
    }
    return groups;
}

// The figures of a repetition table, as `show` names them.
struct RepeatedFigure {
    const char* name;
    std::optional<Figure> Test::*member;
};
constexpr RepeatedFigure repeated_figures[] = {{"single rate", &Test::single_rate},
                                               {"overall rate", &Test::overall_rate},
                                               {"improvement", &Test::improvement}};

// One figure of one test over a label's repetitions, absent when none has
// it; `title` names the test on its first row.
std::optional<std::vector<TableCell>> repeated_row(const std::vector<const Run*>& group,
                                                   const TestInfo& info, const RepeatedFigure& f,
                                                   std::string title) {
    std::vector<double> values;
    for (const Run* r : group)
        if (const Test* test = find_test(*r, info.key))
            if (const auto& figure = test->*f.member;
                figure && std::isfinite(figure->value) && !test->incomplete_threads)
                values.push_back(figure->value);
    if (values.empty())
        return std::nullopt;
    std::optional<stats::Range> range = stats::range(values);
    std::optional<double> cv = stats::coefficient_of_variation(values);
    return std::vector<TableCell>{std::move(title), f.name,
                                  number_cell(fmt::format("{:.6g}", *stats::median(values))),
                                  number_cell(fmt::format("{:.6g}", range->min)),
                                  number_cell(fmt::format("{:.6g}", range->max)),
                                  number_cell(cv ? fmt::format("{:.2f}%", *cv * 100) : "-"),
                                  number_cell(std::to_string(values.size()))};
}

// "Not completed: 2 of 5 repetitions (timed out, interrupted)." when any did not.
std::optional<std::string> unfinished_note(const std::vector<const Run*>& group) {
    std::vector<std::string> how;  // the distinct outcomes of those that did not complete
    std::size_t unfinished = 0;
    for (const Run* r : group)
        if (std::optional<std::string> outcome = unfinished_outcome(*r)) {
            ++unfinished;
            std::string words = outcome_words(*outcome);
            if (std::find(how.begin(), how.end(), words) == how.end())
                how.push_back(words);
        }
    if (!unfinished)
        return std::nullopt;
    return fmt::format("Not completed: {} of {} repetitions ({}).", unfinished, group.size(),
                       fmt::join(how, ", "));
}

Table repetition_table(const std::vector<const Run*>& group) {
    Table t;
    std::string point = point_of(*group.front());
    t.title = fmt::format("{}: {}, {} repetitions{}", escape_path(group.front()->label),
                          program_name(group.front()->program), group.size(),
                          point.empty() ? "" : ", on CPUs " + point);
    t.header = {"Test", "Figure", "Median", "Min", "Max", "CV", "n"};
    for (const TestInfo& info : catalogue(group.front()->program)) {
        bool first = true;
        for (const RepeatedFigure& f : repeated_figures)
            if (auto row = repeated_row(group, info, f, first ? std::string(info.name) : "")) {
                t.rows.push_back(std::move(*row));
                first = false;
            }
    }
    t.notes.push_back(
        "Runs that share a label are repetitions of one measurement; CV: the "
        "coefficient of variation (standard deviation over mean). A figure "
        "missing from a repetition, or summed over threads that ran out of "
        "memory, is left out, so n can be smaller than the repetitions.");
    if (std::optional<std::string> note = unfinished_note(group))
        t.notes.push_back(std::move(*note));
    return t;
}

// "path: processors, 2 thread(s), label, partial, ..., 1 finding(s)", and the machine.
std::string show_title(const Run& run, const std::optional<std::string>& how) {
    std::string threads = run.threads ? std::to_string(*run.threads) : "?";
    std::string title = fmt::format(
        "{}: {}, {} thread(s), {}{}{}{}", escape_path(run.path), program_name(run.program), threads,
        escape_path(run.label), run.partial ? ", partial" : "",
        how ? ", " + outcome_words(*how) : "",
        run.findings.empty() ? "" : fmt::format(", {} finding(s)", run.findings.size()));
    if (run.machine)
        if (std::string machine = machine_summary(*run.machine, true); !machine.empty())
            title += "\nMachine: " + escape_path(machine);
    return title;
}

// A test's row: its name (marked when a finding names it or it was cut
// short), its figures and the summary of its threads.
std::vector<TableCell> show_row(const Run& run, const Test& test) {
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
    return {name,          single,           overall,
            improvement,   cell(s.efficiency), cell(s.thread_min),
            cell(s.thread_median), cell(s.thread_max), cell(s.spread),
            cell(test.single_megabytes), cell(test.overall_megabytes)};
}

// The units, whether the run completed, and its findings.
std::vector<std::string> show_notes(const Run& run, const std::optional<std::string>& how) {
    std::vector<std::string> notes;
    if (!run.tests.empty())
        notes.push_back(
            run.program == Program::processors
                ? "Rates in millions of executions per second; effective frequency in "
                  "giga executions per second, an execution being one iteration of its loop "
                  "(four numbers formatted as text, a 16-byte block allocated, zeroed and "
                  "released), summed over the threads: a count of iterations, not a clock."
                : "Rates in millions of allocations (allocation) or executions per second; "
                  "MB/s = rate x bytes / 1048576.");
    if (run.tests.empty())
        notes.push_back("No test was read.");
    if (how)
        notes.push_back("Not completed: " + unfinished_text(run) + ".");
    for (const Finding& f : run.findings)
        notes.push_back(fmt::format("(!) {}{}{}: {}", f.line ? fmt::format("line {}: ", f.line) : "",
                                    f.test, f.test.empty() ? "file" : "", f.message));
    return notes;
}

}  // namespace

std::vector<Table> repetition_tables(const std::vector<Run>& runs) {
    std::vector<Table> tables;
    for (const auto& group : label_groups(runs))
        if (group.size() >= 2)
            tables.push_back(repetition_table(group));
    return tables;
}

std::vector<Table> show_tables(const Run& run) {
    Table t;
    std::optional<std::string> how = unfinished_outcome(run);
    t.title = show_title(run, how);
    t.header = {"Test",   "Single",     "Overall", "Improvement", "Efficiency",  "Min/thread",
                "Median", "Max/thread", "Spread",  "MB/s single", "MB/s overall"};
    for (const Test& test : run.tests)
        t.rows.push_back(show_row(run, test));
    t.notes = show_notes(run, how);
    std::vector<Table> tables;
    tables.push_back(std::move(t));
    if (std::optional<Table> scaling = scaling_table(run, explain_scaling(run)))
        tables.push_back(std::move(*scaling));
    return tables;
}

}  // namespace report
