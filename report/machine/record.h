// machine.json: the record `bench_report run` keeps beside each repetition's
// results file (what ran, how it ended, the program file, the machine and its
// state before and after). This module is the one description of that file:
// `run` writes it through record_text and every reader reads it through
// parse_record, so a field is named in one table, not once per reader. The
// parts as JSON documents are in machine/record_json.h, kept apart so that
// the many sources that read a record do not compile a JSON library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "machine/context.h"
#include "model/failure.h"

namespace report {

// The version of machine.json's layout. Version 1 files (no round, position
// or reason) and version 2 files (no topology, no cgroup cpuset) read as
// version 3 files with those fields absent. The clock of the passes
// (`clock`) is a key that version 3 files written before it lack.
constexpr int machine_schema_version = 3;

// One repetition as `run` recorded it.
struct RepetitionRecord {
    std::string program;  // "bench_memory"
    std::optional<int> number;
    std::optional<std::string> label;
    std::optional<std::string> started, finished;  // UTC, ISO 8601
    std::optional<double> seconds;
    // "running" while it runs, then "completed", "failed", "killed",
    // "interrupted", "timed_out" or "invalid" (exited 0, results file unusable).
    std::optional<std::string> outcome;
    std::optional<int> exit_status;
    std::optional<std::string> signal;        // "SIGTERM", when a signal ended it
    std::optional<std::string> results_file;  // its name, in the same directory
    std::optional<std::string> reason;        // why it is not completed, in words
    // In an interleaved run of several builds: the run's name, shared by
    // every repetition of that `run` call (its start, "20261208T231500Z-4711"),
    // the round (from 1) and the place of this build in the round's order
    // (from 1). Repetitions of two labels pair when they share the name and
    // the round.
    std::optional<std::string> interleaved;
    std::optional<int> round, position;
};

struct MachineRecord {
    int schema_version = machine_schema_version;
    std::optional<std::string> bench_report_version;
    RepetitionRecord repetition;
    // A point of `run --scaling`: the CPUs it ran on and the threads'
    // places; absent in other repetitions (no key in the file).
    std::optional<ScalingSet> scaling;
    ProgramFile program;
    Machine machine;  // its `state` is not part of the record: see before and after
    std::optional<MachineState> before, after;
    // The clock during the passes, as `run` sampled it; absent in files
    // written before it did (no key in the file).
    std::optional<ClockRecord> clock;
    std::vector<Disturbance> warnings;
    // The file as read, compact JSON (exports carry it whole); empty when written.
    std::string document;
};

// The text of machine.json, indented, ending in a newline.
std::string record_text(const MachineRecord& record);

// The record read from the text of a machine.json: a field that is absent,
// null or of another type than expected stays absent, and so does a count
// below its least (a negative count of cores or samples, an interval of 0).
// A bad_input failure when the text is not a JSON object, saying so (where
// the text stops reading as JSON, by line and column).
Expected<MachineRecord> parse_record(const std::string& text);

// machine.json in the directory of `results_file`: absent when there is none;
// a bad_input failure saying why when one is there and cannot be read.
Expected<std::optional<MachineRecord>> read_record(const std::string& results_file);

// Every policy's governor, the distinct ones joined by commas in policy
// order; absent when no policy names one.
std::optional<std::string> governors(const Machine& machine);
// The boost switch as "on" or "off".
std::optional<std::string> boost_text(const Machine& machine);
// The OMP_* and GOMP_* variables, "NAME=value ...", "" when none is set.
std::string openmp_text(const Machine& machine);

// The machine in a few words, "host-a, Intel(R) Xeon(R) Processor" (empty
// when machine.json names neither); with `details`, also its logical CPUs,
// kernel, governor and boost where known.
std::string machine_summary(const MachineRecord& record, bool details = false);

// How the repetition ended when it did not complete: its recorded outcome
// ("failed", "killed", "interrupted", "timed_out", "running", or whatever
// else a file says), absent when it says "completed" or nothing. The one rule
// of what counts as unfinished, for the loader, the views and the gate.
std::optional<std::string> unfinished_outcome(const RepetitionRecord& repetition);

}  // namespace report
