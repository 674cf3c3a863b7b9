#include "model/catalogue.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace report {

namespace {

constexpr std::string_view executions = "Millions Executions/sec.";

constexpr TestInfo tests[] = {
    {.key = "effective_frequency",
     .program = Program::processors,
     .heading = "Effective Frequency.",
     .file_heading = "Effective Frequency.",
     .name = "Effective frequency",
     .unit = "Giga Executions/sec.",
     .scale = 1e9,
     .bytes_per_iteration = 0,
     .base_unit = "executions/s",
     .layout = Layout::one_line,
     .figure_prefix = "Effective Frequency was: ",
     .empty_lines_after = 2},
    // The results file's float heading lacks the full stop the console prints.
    {.key = "float",
     .program = Program::processors,
     .heading = "Float Streaming. Float is at: 128bits.",
     .file_heading = "Float Streaming. Float is at: 128bits",
     .name = "Float streaming",
     .unit = executions,
     .scale = 1e6,
     .bytes_per_iteration = 0,
     .base_unit = "executions/s",
     .layout = Layout::heading_then_passes,
     .empty_lines_after = 2},
    {.key = "integer",
     .program = Program::processors,
     .heading = "Integer Streaming. Integer is at: 128bits.",
     .file_heading = "Integer Streaming. Integer is at: 128bits.",
     .name = "Integer streaming",
     .unit = executions,
     .scale = 1e6,
     .bytes_per_iteration = 0,
     .base_unit = "executions/s",
     .layout = Layout::heading_then_passes,
     .empty_lines_after = 2},
    {.key = "logic",
     .program = Program::processors,
     .heading = "Logic Streaming. Logic is at: 8bits.",
     .file_heading = "Logic Streaming. Logic is at: 8bits.",
     .name = "Logic streaming",
     .unit = executions,
     .scale = 1e6,
     .bytes_per_iteration = 0,
     .base_unit = "executions/s",
     .layout = Layout::heading_then_passes,
     .empty_lines_after = 2},
    {.key = "allocation",
     .program = Program::memory,
     .heading = "Power of Memory Allocation.",
     .file_heading = "Power of Memory Allocation.",
     .name = "Allocation",
     .unit = "Millions Allocations/sec.",
     .scale = 1e6,
     .bytes_per_iteration = 0,
     .base_unit = "allocations/s",
     .layout = Layout::singles_then_regions,
     .overall_prefix = "Overall, it was: "},
    {.key = "low_speeds",
     .program = Program::memory,
     .heading = "Low speeds:",
     .file_heading = "Low speeds:",
     .name = "Low speeds",
     .unit = executions,
     .scale = 1e6,
     .bytes_per_iteration = 32,
     .base_unit = "executions/s",
     .layout = Layout::singles_then_regions,
     .file_thread_spent = "The spent: ",
     .empty_lines_after = 2},
    {.key = "high_speeds",
     .program = Program::memory,
     .heading = "High speeds:",
     .file_heading = "High speeds:",
     .name = "High speeds",
     .unit = executions,
     .scale = 1e6,
     .bytes_per_iteration = 16,
     .base_unit = "executions/s",
     .layout = Layout::singles_then_regions},
};

// catalogue(program) hands out one span a program: its tests must stand together.
constexpr bool programs_contiguous() {
    for (std::size_t i = 1; i < std::size(tests); ++i)
        if (tests[i].program != tests[i - 1].program)
            for (std::size_t j = 0; j < i; ++j)
                if (tests[j].program == tests[i].program)
                    return false;
    return true;
}
static_assert(programs_contiguous(), "the tests of one program stand together in the catalogue");

}  // namespace

std::span<const TestInfo> catalogue() {
    return tests;
}

std::span<const TestInfo> catalogue(Program program) {
    auto of = [program](const TestInfo& t) { return t.program == program; };
    const TestInfo* first = std::find_if(std::begin(tests), std::end(tests), of);
    const TestInfo* last = std::find_if_not(first, std::end(tests), of);
    return {first, last};
}

const TestInfo* find_test_info(std::string_view key) {
    for (const TestInfo& t : tests)
        if (t.key == key)
            return &t;
    return nullptr;
}

std::optional<std::size_t> catalogue_place(Program program, std::string_view key) {
    std::span<const TestInfo> of = catalogue(program);
    for (std::size_t i = 0; i < of.size(); ++i)
        if (of[i].key == key)
            return i;
    return std::nullopt;
}

std::vector<TestRates> test_rates(const Run& run) {
    if (run.tests.empty())
        return run.rates;
    std::vector<TestRates> out;
    out.reserve(run.tests.size());
    for (const Test& t : run.tests)
        if (std::optional<std::size_t> place = catalogue_place(run.program, t.key)) {
            TestRates r;
            r.test = *place;
            if (t.single_rate)
                r.single = t.single_rate->value;
            if (t.overall_rate)
                r.overall = t.overall_rate->value;
            r.incomplete_threads = t.incomplete_threads;
            out.push_back(r);
        }
    return out;
}

bool has_single(const Test& test) {
    const TestInfo* info = find_test_info(test.key);
    return !info || info->has_single();
}

bool is_heading(const TestInfo& info, std::string_view line) {
    return line == info.heading || line == info.file_heading;
}

std::string_view display_name(std::string_view key) {
    const TestInfo* t = find_test_info(key);
    return t ? t->name : key;
}

}  // namespace report
