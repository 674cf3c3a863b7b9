// `export --format bmf`: Bencher's metric format, a JSON object of benchmark
// names ("label/program/test/pass figure"), each with a `throughput` measure:
// the median of the label's latest run and the range of its repetitions.
#include <nlohmann/json.hpp>

#include "output/export.h"
#include "output/latest_figures.h"

namespace report {

std::string export_bmf(const std::vector<Run>& runs) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    for (const LatestLabel& l : latest_figures(runs))
        for (const LatestFigure& f : l.figures) {
            if (!is_throughput(f))
                continue;
            doc[benchmark_name(l, f)]["throughput"] = {
                {"value", f.median}, {"lower_value", f.low}, {"upper_value", f.high}};
        }
    // Bytes that are not UTF-8 (a label is a directory's name) become U+FFFD.
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace report
