// The tests of both programs, in the order they print them: what each is
// called, how it is headed, in which unit it reports and how many bytes one
// iteration moves. The parser, the checks, the summaries, the export, compare
// and chart all read this one list.
#pragma once

#include <span>
#include <string_view>

#include "model/run.h"

namespace report {

struct TestInfo {
    std::string_view key;  // stable identifier, used in JSON, CSV and --test
    Program program;
    std::string_view heading;    // the heading as printed (streaming tests add a full stop in
                                 // the console)
    std::string_view name;       // the one short name shown everywhere
    std::string_view unit;       // the printed unit, e.g. "Millions Executions/sec."
    double scale;                // printed rate x scale = per second
    double bytes_per_iteration;  // MB/s = rate x bytes / 2^20; 0 when the test moves none
    bool has_single;             // it has a single-thread pass
    std::string_view base_unit;  // the unit of rate x scale, e.g. "executions/s"
};

// Every test of both programs, processors first.
std::span<const TestInfo> catalogue();

// The tests of one program, in printed order.
std::span<const TestInfo> catalogue(Program program);

// The entry of a key, or null.
const TestInfo* find_test_info(std::string_view key);

// The short display name of a test key ("Float streaming"); the key itself
// when it is not in the catalogue.
std::string_view display_name(std::string_view key);

}  // namespace report
