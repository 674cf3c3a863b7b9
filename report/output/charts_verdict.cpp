// A chart under the banner of the gate's verdict.
#include "output/charts.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "analysis/stats.h"
#include "analysis/summary.h"
#include "model/catalogue.h"
#include "output/chart_parts.h"
#include "output/compare_views.h"
#include "output/gate_view.h"

namespace report {

Chart with_verdict(const Chart& chart, const GateVerdict& v,
                   const std::vector<ProgramComparison>& cs) {
    std::vector<std::string> lines = gate_lines(v, cs);
    double width = chart.drawing.width;
    Chart banner;
    banner.title = lines.back();
    Svg& svg = banner.drawing;
    svg.width = width;
    const char* colour = v.outcome == GateVerdict::Outcome::pass   ? "#009E73"
                         : v.outcome == GateVerdict::Outcome::fail ? "#D55E00"
                                                                   : "#555555";
    double y = text_lines(svg, 12, 22, lines.back(), width - 24, 14, 18,
                          fmt::format("font-weight=\"bold\" fill=\"{}\"", colour));
    for (std::size_t k = 0; k + 1 < lines.size(); ++k)
        y = text_lines(svg, 12, y, lines[k], width - 24, 11, 14);
    svg.rect(0, 0, 6, y - 8, colour);
    svg.height = y + chart.drawing.height;
    // The chart keeps its own coordinates in a viewport below the banner.
    svg.body += chart.drawing.nested(chart.title, y);
    return banner;
}

}  // namespace report
