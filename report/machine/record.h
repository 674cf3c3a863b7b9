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

// The machine in a few words, "host-a, Intel(R) Xeon(R) Processor" (empty
// when machine.json names neither); with `details`, also its logical CPUs,
// kernel, governor and boost where known.
std::string machine_summary(const MachineContext& m, bool details = false);

}  // namespace report
