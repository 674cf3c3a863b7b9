// Any bytes as a results file or transcript: the parser, then everything that
// reads a run, must neither crash, hang nor read outside its buffers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>


#include "checks.h"
#include "export.h"
#include "parse.h"
#include "summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes, so a read past the end is caught.
    std::string text(reinterpret_cast<const char*>(data), size);
    auto parsed = report::parse_run(text, "results_memory_Linux_x86 @ UTC time Tue Dec  8 05:18:54 2026\n.txt");
    if (auto* run = std::get_if<report::Run>(&parsed)) {
        report::check_run(*run);
        for (const report::Test& t : run->tests)
            report::summarize(*run, t);
        for (const report::Table& t : report::show_tables(*run))
            report::render_text(t);
        std::string csv;
        report::export_csv({*run}, csv);
        report::export_json({*run});
    }
    return 0;
}
