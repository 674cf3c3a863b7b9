#include "model/catalogue.h"

namespace report {

namespace {

constexpr std::string_view executions = "Millions Executions/sec.";

constexpr TestInfo tests[] = {
    {"effective_frequency", Program::processors, "Effective Frequency.", "Effective frequency",
     "Giga Executions/sec.", 1e9, 0, false, "executions/s"},
    {"float", Program::processors, "Float Streaming. Float is at: 128bits", "Float streaming",
     executions, 1e6, 0, true, "executions/s"},
    {"integer", Program::processors, "Integer Streaming. Integer is at: 128bits",
     "Integer streaming", executions, 1e6, 0, true, "executions/s"},
    {"logic", Program::processors, "Logic Streaming. Logic is at: 8bits", "Logic streaming",
     executions, 1e6, 0, true, "executions/s"},
    {"allocation", Program::memory, "Power of Memory Allocation.", "Allocation",
     "Millions Allocations/sec.", 1e6, 0, true, "allocations/s"},
    {"low_speeds", Program::memory, "Low speeds:", "Low speeds", executions, 1e6, 32, true,
     "executions/s"},
    {"high_speeds", Program::memory, "High speeds:", "High speeds", executions, 1e6, 16, true,
     "executions/s"},
};

}  // namespace

std::span<const TestInfo> catalogue() {
    return tests;
}

std::span<const TestInfo> catalogue(Program program) {
    return program == Program::processors ? std::span<const TestInfo>(tests, 4)
                                          : std::span<const TestInfo>(tests + 4, 3);
}

const TestInfo* find_test_info(std::string_view key) {
    for (const TestInfo& t : tests)
        if (t.key == key)
            return &t;
    return nullptr;
}

std::string_view display_name(std::string_view key) {
    const TestInfo* t = find_test_info(key);
    return t ? t->name : key;
}

}  // namespace report
