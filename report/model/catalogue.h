// The tests of both programs, in the order they print them: what each is
// called, how it is headed, in which unit it reports, how many bytes one
// iteration moves and how its lines run. The parser, the checks, the
// summaries, the export, compare, chart and run's progress all read this one
// list; adding a test to a program is adding its entry here.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "model/run.h"

namespace report {

// How a test's lines run in its program's output.
enum class Layout {
    // The heading, then one line: the figure prefix, the rate and the unit.
    // No single-thread pass and no per-thread lines (effective frequency).
    one_line,
    // The heading, "Force to be single thread.", the single-thread pass, then
    // the multi-thread region: each test whole before the next (streaming).
    heading_then_passes,
    // Consecutive tests of this layout share one "Force to be single
    // thread.": every test's heading and single-thread pass in turn, then
    // every test's multi-thread region in the same order, each region
    // repeating the test's heading (memory).
    singles_then_regions,
};

struct TestInfo {
    std::string_view key;  // stable identifier, used in JSON, CSV and --test
    Program program;
    std::string_view heading;       // the heading as the console prints it
    std::string_view file_heading;  // the heading as the results file writes it
    std::string_view name;          // the one short name shown everywhere
    std::string_view unit;          // the printed unit, e.g. "Millions Executions/sec."
    double scale;                   // printed rate x scale = per second
    double bytes_per_iteration;     // MB/s = rate x bytes / 2^20; 0 when the test moves none
    std::string_view base_unit;     // the unit of rate x scale, e.g. "executions/s"
    Layout layout;
    // one_line: what precedes the rate on its line.
    std::string_view figure_prefix = {};
    // The overall line's start: the allocation test writes a small "it".
    std::string_view overall_prefix = "Overall, It was: ";
    // The results file's per-thread spent line after "Thread:N " (the
    // console always writes "The system spent: ").
    std::string_view file_thread_spent = "The system spent: ";
    // Empty lines after the test's last line (its improvement line, or its
    // one line); the parser skips them, a faithful copy writes them.
    int empty_lines_after = 1;

    // It has a single-thread pass and per-thread lines.
    constexpr bool has_single() const { return layout != Layout::one_line; }
};

// Every test of both programs, processors first.
std::span<const TestInfo> catalogue();

// The tests of one program, in printed order.
std::span<const TestInfo> catalogue(Program program);

// The entry of a key, or null.
const TestInfo* find_test_info(std::string_view key);

// Whether a test has a single-thread pass; a key outside the catalogue is
// taken to have one, as every test but effective frequency does.
bool has_single(const Test& test);

// The rates of a run's tests that the catalogue knows, in the order printed:
// `run.rates` when it was read for its figures alone, else taken from its
// tests.
std::vector<TestRates> test_rates(const Run& run);
// The place in catalogue(program) of a key; absent when the program has no
// such test.
std::optional<std::size_t> catalogue_place(Program program, std::string_view key);

// The line heads this test, as the console or the results file writes it.
bool is_heading(const TestInfo& info, std::string_view line);

// The short display name of a test key ("Float streaming"); the key itself
// when it is not in the catalogue.
std::string_view display_name(std::string_view key);

}  // namespace report
