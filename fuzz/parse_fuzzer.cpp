// Any bytes as a results file or transcript: the parser, then everything that
// reads a run (checks, summaries, tables, exports, the charts, and a
// comparison of the run with itself in every view, HTML and SVG included),
// must neither crash, hang, grow without bound nor read outside its buffers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "input/checks.h"
#include "output/compare_formats.h"
#include "analysis/comparison.h"
#include "analysis/gate.h"
#include "output/export.h"
#include "output/html_report.h"
#include "input/parse.h"
#include "analysis/summary.h"
#include "output/run_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes, so a read past the end is caught.
    std::string text(reinterpret_cast<const char*>(data), size);
    auto parsed = report::parse_runs(
        text, "results_memory_Linux_x86 @ UTC time Tue Dec  8 05:18:54 2026\n.txt");
    std::vector<report::Run> runs;
    for (auto& p : parsed)
        if (auto* run = std::get_if<report::Run>(&p)) {
            report::check_run(*run);
            runs.push_back(std::move(*run));
        }
    for (const report::Run& run : runs) {
        for (const report::Test& t : run.tests)
            report::summarize(run, t);
        for (const report::Table& t : report::show_tables(run))
            report::render_text(t);
        std::string csv;
        report::export_csv({run}, csv);
        report::export_json({run});
    }
    if (!runs.empty()) {
        report::Run twin = runs.front();
        twin.label = "twin";
        std::vector<const report::Run*> pair = {&runs.front(), &twin};
        for (bool median : {false, true}) {
            report::CompareSettings settings;
            settings.median = median;
            auto comparisons = report::compare_runs(pair, settings);
            report::GateVerdict verdict = report::decide_gate(comparisons, {}, {}, 5);
            report::ViewOptions view;
            view.gate = &verdict;
            view.width = 40;
            report::compare_text(comparisons, view);
            report::compare_json(comparisons, view);
            report::compare_markdown(comparisons, view);
            report::compare_csv(comparisons, view);
            report::html_report(pair, comparisons, view);
            report::svg_report(pair, comparisons);
        }
        // One run alone: its scaling charts.
        std::vector<const report::Run*> one = {&runs.front()};
        auto alone = report::compare_runs(one, {});
        report::html_report(one, alone, {});
        report::svg_report(one, alone);
    }
    return 0;
}
