#include "output/scaling_view.h"
#include "output/scaling_json.h"

#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "model/catalogue.h"
#include "output/compare_views.h"
#include "output/text.h"

namespace report {

namespace {

// Notes are broken into lines this wide, so that the text fits 80 columns
// wherever it is shown (show wraps them again to a narrower terminal).
constexpr std::size_t note_width = 79;

std::string cpus_text(const CpuSet& cpus) {
    return fmt::format("{} CPU{} ({})", cpus.size(), cpus.size() == 1 ? "" : "s",
                       cpu_list_text(cpus));
}

// Where the threads ran, and whether some shared a physical core: measured
// for a sweep's bound threads, inferred from the count for unbound ones.
std::string placing_note(const RunScaling& s, int threads) {
    if (s.placing == Placing::not_known)
        return s.recorded ? "Where the threads ran is not known: machine.json records no CPUs "
                            "allowed."
                          : "Where the threads ran is not known: no machine.json beside the "
                            "results file.";
    std::string cores = s.cores ? fmt::format(", {} physical core(s)", *s.cores)
                                : ", their cores not recorded";
    std::string smt;
    if (s.cores && s.sharing > 0)
        smt = fmt::format(" {}{} thread(s) shared a core with another (SMT), each with half "
                          "of its units.",
                          s.placing == Placing::bound
                              ? ""
                              : fmt::format("Inferred from {} threads on {} cores: ", threads,
                                            *s.cores),
                          s.sharing);
    else if (s.cores)
        smt = s.placing == Placing::bound ? " No two threads shared a physical core."
                                          : " There were enough cores for one thread each.";
    if (s.placing == Placing::bound)
        return fmt::format("Measured: run --scaling bound thread t to the t-th CPU of {}{}.{}",
                           cpus_text(s.cpus), cores, smt);
    return fmt::format("The threads were not bound: the scheduler placed them among {}{}.{}",
                       cpus_text(s.cpus), cores, smt);
}

const char* source_words(const std::string& source) {
    return source == "aperf_mperf" ? "APERF/MPERF of the msr PMU" : "sampled scaling_cur_freq";
}

// How often the clock was sampled, when machine.json records it.
std::string every(const ClockNote& clock, const char* lead = ", one ") {
    return clock.interval_ms > 0 ? fmt::format("{}every {} ms", lead, clock.interval_ms) : "";
}

}  // namespace

std::string clock_phrase(const TestScaling& t, const ClockNote& clock) {
    if (!clock.measured)
        return "clock not measurable here: " + clock.reason;
    if (t.clock_ratio)
        return fmt::format("all-core clock x{:.2f} of the one-core clock ({}, {} and {} samples)",
                           *t.clock_ratio, source_words(clock.source), t.clock_single_samples,
                           t.clock_multi_samples);
    if (t.clock_single_samples > 0 && t.clock_multi_samples > 0)
        return "clock not compared: the passes' means do not divide";
    const char* which = t.clock_single_samples == 0 && t.clock_multi_samples == 0
                            ? "either pass"
                        : t.clock_single_samples == 0 ? "its single-thread pass"
                                                      : "its multi-thread pass";
    return fmt::format("clock not compared: no sample of {} ({}{})", which,
                       source_words(clock.source), every(clock));
}

namespace {

// Beside an efficiency above 100% of float or integer streaming, why it is
// the workload's own and no fault: said where the figure is read.
std::optional<std::string> streaming_note(const std::vector<TestScaling>& tests) {
    std::vector<std::string> names;
    for (const TestScaling& t : tests)
        if (above_ideal_by_design(t))
            names.emplace_back(display_name(t.key));
    if (names.empty())
        return std::nullopt;
    return fmt::format("{}: above 100% because the single-thread pass asks the OpenMP runtime "
                       "for the processor count twice an iteration, a system call each time, "
                       "which the threads' pass does not: the workload measures that.",
                       fmt::join(names, " and "));
}

std::vector<std::string> scaling_notes(const RunScaling& s, int threads) {
    std::vector<std::string> notes;
    notes.push_back("Ideal: as many times as threads, each thread as fast as the "
                    "single-thread pass; efficiency: improvement / ideal; slowest: the slowest "
                    "thread's rate over the threads' mean.");
    if (std::optional<std::string> n = streaming_note(s.tests))
        notes.push_back(*n);
    notes.push_back(placing_note(s, threads));
    if (s.nodes.size() > 1)
        notes.push_back(fmt::format("The CPUs span NUMA nodes {}: threads on one node reach "
                                    "memory placed on another more slowly.",
                                    cpu_list_text(s.nodes)));
    else if (s.nodes.size() == 1)
        notes.push_back("One NUMA node: no node was crossed.");
    if (s.cpu_quota)
        notes.push_back(fmt::format("The cgroup allowed {:g} processors' worth of time for {} "
                                    "threads: they took turns, so the improvement measures the "
                                    "quota, not the CPUs.",
                                    *s.cpu_quota, threads));
    if (!s.clock.measured)
        notes.push_back("Clock not measurable here: " + s.clock.reason + ".");
    else
        for (const TestScaling& t : s.tests)
            notes.push_back(fmt::format("{}: {}.", display_name(t.key), clock_phrase(t, s.clock)));
    if (s.hypervisor)
        notes.push_back("Under a hypervisor (machine.json says so): the guest's topology may "
                        "hide that two virtual CPUs share a physical core, and the host may run "
                        "other work on them; where it does, the all-thread rates vary between "
                        "repetitions far more than the single-thread ones (their CVs in the "
                        "table of repetitions).");
    for (std::string& n : notes)
        n = wrap_words(n, note_width, 0);
    return notes;
}

}  // namespace

std::optional<Table> scaling_table(const Run& run, const RunScaling& s) {
    if (s.tests.empty())
        return std::nullopt;
    Table t;
    t.title = "Scaling of " + escape_path(run.path);
    t.header = {"Test", "Ideal", "Improvement", "Efficiency", "Slowest", "Slowest thread"};
    int threads = 0;
    for (const TestScaling& ts : s.tests) {
        threads = std::max(threads, ts.threads);
        std::string which = !ts.slowest_share ? "-"
                            : ts.slowest_cpu
                                ? fmt::format("{} (CPU {})", ts.slowest_thread, *ts.slowest_cpu)
                                : std::to_string(ts.slowest_thread);
        t.rows.push_back({std::string(display_name(ts.key)), number_cell(std::to_string(ts.threads)),
                          number_cell(fmt::format("{:.3f}", ts.improvement)),
                          number_cell(fmt::format("{:.0f}%", ts.efficiency * 100)),
                          number_cell(ts.slowest_share
                                          ? fmt::format("{:.0f}%", *ts.slowest_share * 100)
                                          : "-"),
                          number_cell(which)});
    }
    t.notes = scaling_notes(s, threads);
    return t;
}

namespace {

using json = nlohmann::ordered_json;

template <typename T>
json or_null(const std::optional<T>& v) {
    return v ? json(*v) : json(nullptr);
}

const char* placing_name(Placing p) {
    switch (p) {
        case Placing::bound: return "bound";
        case Placing::unbound: return "unbound";
        case Placing::not_known: break;
    }
    return "not_known";
}

json tests_json(const std::vector<TestScaling>& tests, const ClockNote& clock, bool per_run) {
    json out = json::array();
    for (const TestScaling& t : tests) {
        json test = {{"test", t.key},
                     {"ideal", t.threads},
                     {"improvement", t.improvement},
                     {"efficiency", t.efficiency},
                     {"slowest_share", or_null(t.slowest_share)}};
        if (per_run) {
            test["slowest_thread"] = t.slowest_share ? json(t.slowest_thread) : json();
            test["slowest_cpu"] = or_null(t.slowest_cpu);
        }
        test["all_core_clock"] = or_null(t.clock_ratio);
        test["clock_samples"] = clock.measured ? json{{"single", t.clock_single_samples},
                                                      {"multi", t.clock_multi_samples}}
                                               : json();
        out.push_back(std::move(test));
    }
    return out;
}

// Where the threads ran, the nodes, the clock and the hypervisor.
void placing_json(const RunScaling& s, json& out) {
    out["placing"] = placing_name(s.placing);
    out["cpus"] = s.cpus.empty() ? json() : json(cpu_list_text(s.cpus));
    out["cores"] = or_null(s.cores);
    out["threads_sharing_a_core"] = s.cores ? json(s.sharing) : json();
    out["numa_nodes"] = s.nodes.empty() ? json() : json(cpu_list_text(s.nodes));
    out["clock"] = {{"measured", s.clock.measured},
                    {"source", s.clock.measured ? json(s.clock.source) : json()},
                    {"reason", s.clock.measured ? json() : json(s.clock.reason)}};
    out["hypervisor"] = s.hypervisor;
}

json run_json(const Run& run) {
    RunScaling s = explain_scaling(run);
    json out = {{"path", run.path}, {"program", program_name(run.program)}, {"label", run.label}};
    placing_json(s, out);
    out["tests"] = tests_json(s.tests, s.clock, true);
    return out;
}

json curve_json(const SweepCurve& c) {
    json tests = json::array();
    for (const CurveTest& t : c.tests) {
        json points = json::array();
        for (const CurvePoint& p : t.points)
            points.push_back({{"threads", p.threads},
                              {"cpus", cpu_list_text(p.cpus)},
                              {"smt", p.smt},
                              {"rate", p.rate},
                              {"lowest", p.low},
                              {"highest", p.high},
                              {"ideal", p.ideal},
                              {"efficiency", p.efficiency},
                              {"repetitions", p.repetitions}});
        tests.push_back({{"test", t.key}, {"unit", t.unit}, {"points", points}});
    }
    return {{"sweep", c.sweep},
            {"label", c.label},
            {"program", program_name(c.program)},
            {"cores", c.cores},
            {"tests", tests}};
}

}  // namespace

std::string scaling_json(const std::vector<const Run*>& runs,
                         const std::vector<SweepCurve>& curves) {
    json doc = {{"runs", json::array()}, {"sweeps", json::array()}};
    for (const Run* r : runs)
        doc["runs"].push_back(run_json(*r));
    for (const SweepCurve& c : curves)
        doc["sweeps"].push_back(curve_json(c));
    // Paths are bytes; a byte that is not UTF-8 is written as U+FFFD.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::vector<Table> curve_tables(const std::vector<SweepCurve>& curves) {
    std::vector<Table> tables;
    for (const SweepCurve& c : curves) {
        if (c.tests.empty())
            continue;
        Table t;
        t.title = fmt::format("Scaling sweep {} of {}: {}{}", c.sweep, escape_path(c.label),
                              program_name(c.program),
                              c.cores > 0 ? fmt::format(", {} physical core(s)", c.cores) : "");
        t.header = {"Test", "Threads", "CPUs", "Rate", "Ideal", "Efficiency", "n"};
        for (const CurveTest& test : c.tests)
            for (std::size_t i = 0; i < test.points.size(); ++i) {
                const CurvePoint& p = test.points[i];
                t.rows.push_back(
                    {i == 0 ? std::string(display_name(test.key)) : "",
                     number_cell(std::to_string(p.threads) + (p.smt ? " SMT" : "")),
                     cpu_list_text(p.cpus), number_cell(fmt::format("{:.6g}", p.rate)),
                     number_cell(fmt::format("{:.6g}", p.ideal)),
                     number_cell(fmt::format("{:.0f}%", p.efficiency * 100)),
                     number_cell(std::to_string(p.repetitions))});
            }
        t.notes.push_back(wrap_words(
            "Rate: the median overall rate of the point's repetitions; ideal: the one-thread "
            "point's rate times the threads; efficiency: rate / ideal. SMT: the point's threads "
            "share physical cores.",
            note_width, 0));
        if (c.cpu_quota)
            t.notes.push_back(wrap_words(
                fmt::format("The cgroup allowed {:g} processors' worth of time: the threads of "
                            "the points past it took turns, so their efficiency measures the "
                            "quota, not the CPUs.",
                            *c.cpu_quota),
                note_width, 0));
        tables.push_back(std::move(t));
    }
    return tables;
}

namespace {

// Where a label's threads ran, its NUMA nodes and a hypervisor, in a sentence.
std::string compact_placing(const RunScaling& s, int threads) {
    std::string text;
    std::string cores = s.cores ? fmt::format(", {} physical core(s)", *s.cores) : "";
    if (s.placing == Placing::bound)
        text = fmt::format("Bound: thread t on the t-th CPU of {}{}", cpus_text(s.cpus), cores);
    else if (s.placing == Placing::unbound)
        text = fmt::format("Not bound: {} thread(s) among {}{}", threads, cpus_text(s.cpus), cores);
    else
        text = "Where the threads ran is not known";
    if (s.cores && s.sharing > 0)
        text += fmt::format(", {} thread(s) sharing a core (SMT{})", s.sharing,
                            s.placing == Placing::bound ? "" : ", inferred");
    if (s.nodes.size() > 1)
        text += fmt::format("; NUMA nodes {} crossed", cpu_list_text(s.nodes));
    else if (s.nodes.size() == 1)
        text += "; one NUMA node";
    if (s.cpu_quota)
        text += fmt::format("; a cgroup quota of {:g} processors' worth for {} threads, which "
                            "took turns",
                            *s.cpu_quota, threads);
    if (s.hypervisor)
        text += "; under a hypervisor, which may hide that virtual CPUs share a core";
    return text + ".";
}

Table label_table(const ProgramComparison& c, std::size_t label) {
    LabelScaling ls = explain_label(c.samples[label]);
    Table t;
    t.title = fmt::format("Scaling of {} in {}{}", program_name(c.program), run_name(*c.runs[label]),
                          ls.repetitions > 1 ? fmt::format(" (n={})", ls.repetitions) : "");
    t.header = {"Test", "Ideal", "Improvement", "Efficiency", "Slowest", "Clock"};
    int threads = 0;
    for (const TestScaling& ts : ls.tests) {
        threads = std::max(threads, ts.threads);
        t.rows.push_back(
            {std::string(display_name(ts.key)), number_cell(std::to_string(ts.threads)),
             number_cell(fmt::format("{:.3f}", ts.improvement)),
             number_cell(fmt::format("{:.0f}%", ts.efficiency * 100)),
             number_cell(ts.slowest_share ? fmt::format("{:.0f}%", *ts.slowest_share * 100) : "-"),
             number_cell(ts.clock_ratio ? fmt::format("x{:.2f}", *ts.clock_ratio) : "-")});
    }
    t.notes.push_back(compact_placing(ls.first, threads));
    const ClockNote& clock = ls.first.clock;
    t.notes.push_back(clock.measured
                          ? fmt::format("Clock: the all-core over the one-core clock, {}{}; "
                                        "\"-\": a pass without a sample.",
                                        source_words(clock.source), every(clock, " "))
                          : "Clock not measurable here: " + clock.reason + ".");
    if (std::optional<std::string> n = streaming_note(ls.tests))
        t.notes.push_back(*n);
    return t;
}

}  // namespace

std::vector<Table> compare_scaling_tables(const std::vector<ProgramComparison>& comparisons) {
    std::vector<Table> tables;
    for (const ProgramComparison& c : comparisons) {
        std::size_t first = tables.size();
        std::size_t shown = std::min(c.runs.size(), most_compared_labels);
        for (std::size_t i = 0; i < shown; ++i)
            if (Table t = label_table(c, i); !t.rows.empty())
                tables.push_back(std::move(t));
        if (tables.size() == first)
            continue;
        std::vector<std::string>& notes = tables.back().notes;
        notes.push_back(
            "Ideal: as many times as threads; efficiency: improvement / ideal; slowest: the "
            "slowest thread's rate over the threads' mean; with repetitions, medians.");
        if (c.runs.size() > shown)
            notes.push_back(fmt::format("{} more label(s) of {}: bench_report show explains each "
                                        "run.",
                                        c.runs.size() - shown, program_name(c.program)));
    }
    for (Table& t : tables)
        for (std::string& n : t.notes)
            n = wrap_words(n, note_width, 0);
    return tables;
}

nlohmann::ordered_json compare_scaling_json(const ProgramComparison& c, std::size_t label) {
    LabelScaling ls = explain_label(c.samples[label]);
    json out = {{"repetitions", ls.repetitions}};
    placing_json(ls.first, out);
    out["tests"] = tests_json(ls.tests, ls.first.clock, false);
    return out;
}

}  // namespace report
