// `export --format benchmark-action`: the JSON array a CI benchmark action
// reads as `customBiggerIsBetter`, one entry per rate and MB/s figure of each
// label's latest run: its median, the range of its repetitions and where it
// ran, as text.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "output/export.h"
#include "output/latest_figures.h"

namespace report {

std::string export_benchmark_action(const std::vector<Run>& runs) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::array();
    for (const LatestLabel& l : latest_figures(runs))
        for (const LatestFigure& f : l.figures) {
            if (!is_throughput(f))
                continue;
            std::string extra = fmt::format("{} repetition(s)", f.repetitions);
            if (!l.host.empty())
                extra += "; host " + l.host;
            if (!l.build.empty())
                extra += "; build " + l.build;
            doc.push_back({{"name", benchmark_name(l, f)},
                           {"unit", f.unit},
                           {"value", f.median},
                           {"range", fmt::format("{:.6g} to {:.6g}", f.low, f.high)},
                           {"extra", extra}});
        }
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace report
