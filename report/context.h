// The machine context a run was measured in, as `bench_report run` records it
// in machine.json beside the results file: the fields that change figures,
// read for comparisons and history, and the whole document for exports.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace report {

struct MachineContext {
    std::string document;  // machine.json, compact, as read
    std::optional<std::string> host;
    std::optional<std::string> cpu_model;
    std::optional<int> logical_cpus;
    std::optional<std::string> governor;  // every policy's, joined when they differ
    std::optional<std::string> boost;     // "on" or "off"
    std::optional<std::string> kernel;
    std::optional<std::string> program_sha256;
    std::optional<std::string> openmp;    // OMP_* and GOMP_* variables, "NAME=value ..."
    std::optional<double> cpu_quota;      // processors' worth of time
    std::optional<std::string> affinity;  // the processors the run could use
    std::optional<std::string> started;   // UTC start of the repetition, ISO 8601
    std::optional<std::string> outcome;   // completed, failed, killed, interrupted
};

// machine.json in the directory of `results_file`: absent when there is none;
// `error` says why one could not be read (not JSON, not an object).
std::optional<MachineContext> read_context(const std::filesystem::path& results_file,
                                           std::string& error);

// The context read from the text of a machine.json.
std::optional<MachineContext> parse_context(const std::string& text, std::string& error);

// A field that changes the figures, differing between two contexts.
struct ContextDifference {
    std::string field;          // "CPU model", "logical CPUs", "governor", ...
    std::string first, second;  // the values, "unknown" where absent
};
std::vector<ContextDifference> context_differences(const MachineContext& a,
                                                   const MachineContext& b);

// The machine in a few words, "host-a, Intel(R) Xeon(R) Processor" (empty
// when machine.json names neither); with `details`, also its logical CPUs,
// kernel, governor and boost where known.
std::string machine_summary(const MachineContext& m, bool details = false);

struct Run;
enum class Program;

// A compared run measured on a machine that differs from its baseline's in
// what changes the figures.
struct ContextMismatch {
    const Run* run = nullptr;
    const Run* baseline = nullptr;
    std::vector<ContextDifference> differences;
};
// Each of `runs` but the baseline itself, compared with `baseline`: the runs
// whose machine.json differs from the baseline's, in the order given. A run or
// a baseline without machine.json is not compared.
std::vector<ContextMismatch> context_mismatches(const std::vector<const Run*>& runs,
                                                const Run& baseline);

// When a run started: machine.json's UTC start ("2026-12-08T10:39:33Z"), else
// the local time and date of its name ("2026-12-08T10:39:33"); absent when
// neither is known.
std::optional<std::string> run_start(const Run& run);

// The runs of one label and program, by day: the history of a machine.
struct HistoryDay {
    std::string date;              // "2026-12-08"
    long days = 0;                 // days since 1970-01-01
    std::vector<const Run*> runs;  // earliest first
};
struct History {
    std::string label;
    Program program{};
    std::vector<HistoryDay> days;  // earliest first
    // The machine changed between days[index - 1] and days[index]: the last
    // run with machine.json before days[index] against that day's first.
    struct Change {
        std::size_t index = 0;
        std::vector<ContextDifference> differences;
    };
    std::vector<Change> changes;
};
// Every label and program with runs on at least two days (the runs of a
// label are its repetitions), in the order the labels first appear; runs
// whose start is unknown, or not a date of the calendar, are left out.
std::vector<History> histories(const std::vector<const Run*>& runs);

// One day's figure: the median of its runs with their lowest and highest.
struct HistoryPoint {
    std::size_t day = 0;  // index into History::days
    double min = 0, median = 0, max = 0;
    std::size_t runs = 0;
};
// The single-thread (or, with `overall`, the overall) rate of test `key` on
// each day that has it.
std::vector<HistoryPoint> history_points(const History& history, const std::string& key,
                                         bool overall);

}  // namespace report
