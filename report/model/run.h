// The model of one benchmark run as bench_report reads it from a results file
// or a saved console transcript. Every figure keeps the text it was printed
// with, so exports and tables can show exactly what the program wrote.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>


namespace report {

// What machine.json beside a results file records (machine/record.h).
struct MachineRecord;

enum class Program { processors, memory };

// Where the text came from: the program's results file, or its console output
// saved by the user (which adds the notice, support and end-of-run lines).
enum class Source { results_file, transcript };

// A number as printed: its text (6 significant digits), its value, and the
// 1-based line it was printed on (0 when not read from a text).
struct Figure {
    std::string text;
    double value = 0;
    int line = 0;
};

// One thread's block inside a multi-thread pass, in the order it was printed.
struct ThreadResult {
    int thread = 0;
    std::optional<Figure> seconds;
    std::optional<Figure> rate;       // millions (or giga) per second, as printed
    std::optional<Figure> megabytes;  // MB/s, memory low/high speeds only
    bool out_of_memory = false;       // the pass wrote the out-of-memory line instead
};

// One test of a run. A figure that the run did not print (cut short, or left
// out by the out-of-memory policy) is absent, never zero.
struct Test {
    // Stable identifier: "effective_frequency", "float", "integer", "logic",
    // "allocation", "low_speeds", "high_speeds".
    std::string key;
    std::string title;               // heading as printed, e.g. "Float Streaming."
    std::string unit;                // "Millions Executions/sec.", "Millions Allocations/sec.",
                                     // "Giga Executions/sec."
    double unit_scale = 1e6;         // printed rate x unit_scale = per second
    double bytes_per_iteration = 0;  // 32 low speeds, 16 high speeds, else 0

    // Single-thread pass (absent for effective frequency).
    std::optional<Figure> single_seconds;
    std::optional<Figure> single_rate;
    std::optional<Figure> single_megabytes;
    bool single_out_of_memory = false;

    std::vector<ThreadResult> threads;

    // Summary. Effective frequency has only `overall_rate`.
    std::optional<Figure> overall_rate;
    std::optional<Figure> overall_megabytes;
    int incomplete_threads = 0;  // "(incomplete: N thread(s) ran out of memory)"
    std::optional<Figure> improvement;
    bool improvement_unavailable = false;  // "not available, a pass ran out of memory."
    int improvement_line = 0;  // 1-based line of the improvements line, either form

    bool complete = false;  // every line the test prints was read
    int first_line = 0;     // 1-based line of its heading in the source
};

// Something the consistency checks found; the file is still read and shown.
struct Finding {
    int line = 0;         // 1-based line of the figure concerned, 0 for the file
    std::string test;     // Test::key, empty for the whole file
    std::string check;    // "overall_sum", "improvement_ratio", "megabytes",
                          // "iterations", "threads", ...
    std::string message;  // one sentence for people
};

// A test's rates as numbers alone, without the texts they were printed as:
// what a history reads of a run, and what a store keeps of it parsed.
struct TestRates {
    std::size_t test = 0;  // its place in its program's catalogue (model/catalogue.h)
    std::optional<double> single, overall;
    int incomplete_threads = 0;
};

struct Run {
    std::string path;       // as found (may hold the newline of the name)
    std::string label;      // --label, directory name or local time
    std::size_t input = 0;  // which path argument it was found under
    Program program = Program::processors;
    Source source = Source::results_file;
    std::string zone;                  // time-zone abbreviation from the name, if known
    std::string local_time;            // "Tue Dec  8 05:18:54 2026", if known
    std::optional<long long> threads;  // "Thread(s): N"
    std::uint64_t iterations = 0;      // per pass: 2^27 processors, 2^24 memory
    std::vector<Test> tests;           // in the order printed
    bool partial = false;              // the text ends before the run's last line
    std::vector<Finding> findings;
    // machine.json beside a results file, as `bench_report run` writes it.
    std::shared_ptr<const MachineRecord> machine;
    // The repetition's start (machine.json's `started`) when it is kept
    // apart from `machine`: a store read for its figures gives every night of
    // one machine the same record, without a start, and each run its own.
    std::optional<std::string> started;
    // A run read from a store for its figures alone has these instead of
    // `tests`: each test's rates, in the order printed (model/catalogue.h's
    // test_rates reads a run either way).
    std::vector<TestRates> rates;
};

const char* program_name(Program p);  // "bench_processors" / "bench_memory"

// A file that is neither a results file nor a transcript.
struct ParseError {
    int line = 0;          // 1-based
    std::string expected;  // what the parser looked for
    std::string found;     // the line it found (empty at end of input)
};

}  // namespace report
