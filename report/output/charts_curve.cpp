// A sweep's curve for one test: the overall rate against the threads.
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

namespace report {

namespace {

// The plot of a sweep's curve: threads across, the overall rate up.
struct CurvePlot {
    double left = 76, right = chart_width - 14, top_y = 0, bottom_y = 0;
    int most = 1;     // threads at the right end
    double top = 1;   // the rate at the top of the axis
    // Clear of the axis by a label's half width.
    double x_of(int threads) const {
        double l = left + 28, r = right - 28;
        return l + (r - l) * (most > 1 ? (threads - 1.0) / (most - 1.0) : 0.5);
    }
    double y_of(double rate) const { return bottom_y - (bottom_y - top_y) * (rate / top); }
};

// The ideal line, dashed, then each point with the range of its repetitions
// as a whisker, hollow where its threads share cores (SMT).
void curve_points(Svg& svg, const CurveTest& t, const CurvePlot& p) {
    const CurvePoint& last = t.points.back();
    svg.line(p.x_of(1), p.y_of(t.points.front().rate), p.x_of(last.threads), p.y_of(last.ideal),
             reference_colour, 2, "6 4");
    std::string d;
    for (const CurvePoint& c : t.points)
        d += fmt::format("{}{:.2f} {:.2f} ", d.empty() ? "M" : "L", p.x_of(c.threads),
                         p.y_of(c.rate));
    svg.path(d, bar_colour, 1.5);
    for (const CurvePoint& c : t.points) {
        double x = p.x_of(c.threads);
        if (c.high > c.low)
            svg.line(x, p.y_of(c.low), x, p.y_of(c.high), ink, 1.2);
        std::string tip = fmt::format("{} threads on CPUs {}: {} ({:.0f}% of ideal {}), {} "
                                      "repetition(s)",
                                      c.threads, cpu_list_text(c.cpus), short_number(c.rate),
                                      c.efficiency * 100, short_number(c.ideal), c.repetitions);
        svg.circle(x, p.y_of(c.rate), 4, c.smt ? "#ffffff" : bar_colour,
                   fmt::format("stroke=\"{}\" stroke-width=\"1.5\"", bar_colour), tip);
    }
}

// Under the axis, each point's threads and its efficiency (with "SMT" on a
// line of its own where its threads share cores), as many as have room.
double curve_threads(Svg& svg, const CurveTest& t, const CurvePlot& p) {
    double last_x = -1e9;
    bool smt = false;
    for (const CurvePoint& c : t.points) {
        double x = p.x_of(c.threads);
        std::string efficiency = fmt::format("{:.0f}%", c.efficiency * 100);
        if (x - last_x < text_width(efficiency, small) + 6)
            continue;
        svg.line(x, p.bottom_y, x, p.bottom_y + 4, ink);
        svg.text(x, p.bottom_y + 16, std::to_string(c.threads), "middle", small);
        svg.text(x, p.bottom_y + 30, efficiency, "middle", small);
        if (c.smt)
            svg.text(x, p.bottom_y + 44, "SMT", "middle", small);
        smt = smt || c.smt;
        last_x = x;
    }
    double y = p.bottom_y + (smt ? 60 : 46);
    svg.text((p.left + p.right) / 2, y,
             "threads, one per CPU; under each, its efficiency", "middle", small);
    return y;
}

}  // namespace

Chart curve_chart(const SweepCurve& sweep, const CurveTest& t) {
    if (t.points.empty())
        return {};
    Chart chart;
    std::string name(display_name(t.key));
    chart.title = fmt::format("{}: overall rate against threads, sweep {}", name, sweep.sweep);
    Svg& svg = chart.drawing;
    svg.width = chart_width;
    svg.text(8, 20, fit_text(fmt::format("{} ({})", name, sweep.label), svg.width - 16,
                             chart_title * bold),
             "start", chart_title, "font-weight=\"bold\"");
    CurvePlot p;
    p.top_y = text_lines(svg, 8, 38,
                         fmt::format("Overall rate of each point of the sweep against the "
                                     "ideal; {} physical core(s); efficiency: rate / ideal",
                                     sweep.cores),
                         svg.width - 16, small, 14) +
              16;
    p.bottom_y = p.top_y + 200;
    double max = 0;
    for (const CurvePoint& c : t.points) {
        p.most = std::max(p.most, c.threads);
        max = std::max({max, c.high, c.rate, c.ideal});
    }
    double step = 1;
    p.top = axis_top(max > 0 ? max * 1.1 : 1, step);
    y_axis(svg, p.left, p.right, p.top_y, p.bottom_y, p.top, step,
           fmt::format("overall rate ({})", t.unit), false);
    double ly = curve_threads(svg, t, p) + 24;
    curve_points(svg, t, p);
    svg.circle(p.left + 7, ly - 4, 4, bar_colour);
    double y = text_lines(svg, p.left + 20, ly,
                          "filled dot: one thread per physical core; hollow: threads share "
                          "cores (SMT); whisker: the lowest to the highest repetition",
                          p.right - p.left - 20, small, 14);
    svg.line(p.left, y + 2, p.left + 14, y + 2, reference_colour, 2, "5 3");
    svg.height = text_lines(svg, p.left + 20, y + 6,
                            "dashed line: ideal, the one-thread rate times the threads",
                            p.right - p.left - 20, small, 14) +
                 4;
    return chart;
}

}  // namespace report
