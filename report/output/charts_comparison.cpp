// The comparison of a few runs: a bar per run, relative to the baseline.
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

// The layout of a comparison chart's panels.
struct ComparisonLayout {
    double left = 56, right = chart_width - 8, panel_height = 232, plot_top = 26, plot_height = 150;
};

// One group of points: a test's figure of each run, or their geometric means.
using BarGroup = std::pair<std::string, std::vector<Cell>>;

// A group per test that has the rate of `pass`, then the geometric mean.
std::vector<BarGroup> bar_groups(const ProgramComparison& c, Pass pass) {
    std::vector<BarGroup> groups;
    for (const FigureRow& row : c.rows)
        if (charted_rate(row) && row.pass == pass)
            groups.emplace_back(row.test_title, row.cells);
    std::vector<Cell> geo;
    for (const GeoMean& g : pass == Pass::single ? c.geo_single : c.geo_overall) {
        Cell cell;
        cell.value = g.ratio;
        cell.ratio = g.ratio;
        cell.mark = g.mark;
        cell.missing = g.ratio ? Missing::none : Missing::absent;
        geo.push_back(cell);
    }
    groups.emplace_back("Geomean", std::move(geo));
    return groups;
}

// How a panel of points is laid out: the width of a run's slot and how its
// value is written above it (across where it fits, else reading upwards,
// else not).
struct BarLayout {
    double slot = 0, bar = 0;
    bool across = false, upwards = false;
};

BarLayout bar_layout(const ComparisonLayout& l, std::size_t groups, std::size_t runs) {
    BarLayout b;
    b.slot = (l.right - l.left) / static_cast<double>(groups);
    b.bar = b.slot * 0.8 / static_cast<double>(runs);
    b.across = text_width("0.000", small) + 2 <= b.bar;
    b.upwards = !b.across && b.bar >= 1.2 * small + 2;
    return b;
}

// The ratio axis of a panel: logarithmic, so that a run twice as fast and
// one half as fast stand as far from the baseline's 1, and wide enough that
// a few percent apart is seen apart.
struct RatioPlot {
    double top_y = 0, bottom_y = 0, low = 1, high = 1;
    double y_of(double ratio) const {
        // Past either end (or no number): at that end.
        double r = ratio >= low ? std::min(ratio, high) : low;
        return bottom_y - (bottom_y - top_y) * std::log(r / low) / std::log(high / low);
    }
    double one() const { return y_of(1); }
};

// The radius of a ratio's point.
constexpr double point_radius = 4;
// The least span of the axis on each side of 1: a 6% gap is then a fifth
// of the panel's height.
constexpr double least_span = 1.1;
// How far an interval's ends widen the axis at most, either side of 1: an
// end past it is drawn open at the axis's end. Estimates reach further, as
// far as keeps the axis's numbers finite; one past that (a rate of 0, say)
// sits at the axis's end, its value written over it.
constexpr double widest_span = 1e6, estimate_span = 1e30;

// A ratio's value as written over its point: three decimals, or four
// significant digits where those would be many figures or none.
std::string ratio_text(double r) {
    return r >= 1000 || r < 0.001 ? fmt::format("{:.4g}", r) : fmt::format("{:.3f}", r);
}

// The room above the highest mark for the longest value written over it.
double label_room(const std::vector<BarGroup>& groups, const BarLayout& b) {
    if (!b.across && !b.upwards)
        return 4;
    double widest = text_width("0.000", small);
    for (const auto& g : groups)
        for (const Cell& cell : g.second)
            if (cell.ratio && std::isfinite(*cell.ratio))
                widest = std::max(widest, text_width(ratio_text(*cell.ratio), small));
    return b.across ? 2 * 0.95 * small + 14 : widest + 16;
}

// The axis that holds every estimate and interval of the panel with room
// above the highest for its value (and above the baseline's line, where a
// value under it is moved to), and 1 well inside it.
RatioPlot ratio_plot(const std::vector<BarGroup>& groups, const BarLayout& b, double top_y,
                     double bottom_y) {
    double low = 1 / least_span, high = least_span;
    auto take = [&](double v, double span) {
        if (v > 0 && std::isfinite(v)) {
            low = std::min(low, std::max(v, 1 / span));
            high = std::max(high, std::min(v, span));
        }
    };
    for (const auto& g : groups)
        for (const Cell& cell : g.second) {
            if (cell.ratio)
                take(*cell.ratio, estimate_span);
            if (cell.interval) {
                take(cell.interval->low, widest_span);
                take(cell.interval->high, widest_span);
            }
        }
    // The marks fill the plot between a margin at its foot, clear of the
    // numbers under it, and the room for their values at its top.
    double height = bottom_y - top_y, foot = point_radius + 4;
    double room = std::min(label_room(groups, b), height * 0.7 - foot);
    double per_pixel = std::log(high / low) / (height - foot - room);
    return {top_y, bottom_y, low * std::exp(-per_pixel * foot), high * std::exp(per_pixel * room)};
}

// The ticks of a ratio axis: 1, then the roundest ratios that stand clear
// of those already taken (powers of ten first, a few percent last).
std::vector<double> ratio_ticks(const RatioPlot& p) {
    std::vector<double> candidates{1};
    int from = static_cast<int>(std::floor(std::log10(p.low)));
    int to = static_cast<int>(std::ceil(std::log10(p.high)));
    for (double m : {1.0, 2.0, 5.0})
        for (int k = from; k <= to; ++k)
            candidates.push_back(m * std::pow(10.0, k));
    for (double near_one : {1.5, 1.25, 0.8, 1.1, 0.9, 1.05, 0.95, 1.02, 0.98})
        candidates.push_back(near_one);
    std::vector<double> ticks;
    for (double t : candidates) {
        bool clear = t >= p.low && t <= p.high && std::none_of(ticks.begin(), ticks.end(), [&](double u) {
            return std::abs(p.y_of(t) - p.y_of(u)) < 18;
        });
        if (clear)
            ticks.push_back(t);
    }
    return ticks;
}

// A tick's ratio, short: "0.95", "20", "1e-6", "5e9".
std::string tick_label(double t) {
    if (t >= 0.01 && t < 1e4)
        return fmt::format("{:g}", t);
    int k = static_cast<int>(std::floor(std::log10(t) + 1e-9));
    return fmt::format("{:g}e{}", std::round(t / std::pow(10.0, k)), k);
}

void ratio_axis(Svg& svg, const RatioPlot& p, double left, double right) {
    double widest = 0;
    for (double t : ratio_ticks(p)) {
        double y = p.y_of(t);
        if (t != 1)
            svg.line(left, y, right, y, grid_colour, 1, "", grid_class);
        std::string text = tick_label(t);
        widest = std::max(widest, text_width(text, small));
        svg.text(left - 6, y + 4, text, "end", small);
    }
    svg.line(left, p.top_y, left, p.bottom_y, ink);
    svg.line(left, p.bottom_y, right, p.bottom_y, ink);
    double mid = (p.top_y + p.bottom_y) / 2, x = std::max(10.0, left - 6 - widest - 9);
    svg.text(x, mid, fit_text("ratio to baseline (log scale)", p.bottom_y - p.top_y + 60, small),
             "middle", small, upwards_at(x, mid));
}

// The interval of a ratio as a whisker through its point, capped at both
// ends; an end past the axis is drawn to the axis without a cap. Returns
// the whisker's top.
double whisker(Svg& svg, double cx, double half, const stats::RatioInterval& i,
               const RatioPlot& p) {
    bool open_low = !(i.low >= p.low), open_high = !(i.high <= p.high);
    double low = p.y_of(i.low), high = p.y_of(i.high);
    std::string d = fmt::format("M{:.2f} {:.2f}V{:.2f}", cx, low, high);
    if (!open_low)
        d += fmt::format("M{:.2f} {:.2f}H{:.2f}", cx - half, low, cx + half);
    if (!open_high)
        d += fmt::format("M{:.2f} {:.2f}H{:.2f}", cx - half, high, cx + half);
    svg.path(d, ink, 1.5, "class=\"whisker\"");
    return high;
}

// One run's ratio in a group: its point on its whisker, or why it has none,
// and the run's number below it. Filled: a change shown; hollow: no
// difference shown.
void ratio_point(Svg& svg, Svg& labels, const Cell& cell, std::size_t run, double x,
                 const BarLayout& b, const RatioPlot& p) {
    const std::optional<double>& r = cell.ratio;
    double cx = x + b.bar / 2;
    if (r && std::isfinite(*r)) {
        double y = p.y_of(*r), top = y - point_radius;
        const char* colour = palette[run % colours];
        if (cell.interval)
            top = std::min(top, whisker(svg, cx, std::min(b.bar * 0.3, 5.0), *cell.interval, p));
        std::string data = fmt::format("data-mark=\"{}\" data-ratio=\"{:.6g}\"",
                                       mark_name(cell.mark), *r);
        if (cell.mark == Mark::none) {
            // The baseline's own figure, or one not tested against it: a
            // hollow square, neither "no difference" nor "a change".
            double side = 2 * point_radius * 0.9;
            svg.rect(cx - side / 2, y - side / 2, side, side, "#ffffff",
                     fmt::format("stroke=\"{}\" stroke-width=\"2\" {}", colour, data));
        } else {
            bool same = cell.mark == Mark::same;
            svg.circle(cx, y, point_radius, same ? "#ffffff" : colour,
                       fmt::format("stroke=\"{}\" stroke-width=\"{}\" {}", same ? colour : ink,
                                   same ? 2 : 0.75, data));
        }
        if (b.across || b.upwards)
            bar_label(labels, cx, top, ratio_text(*r), small, b.upwards, p.one());
    } else {
        // "incomplete" where it fits, else "n/a" as for any figure not compared.
        std::string why =
            cell.missing == Missing::incomplete && text_width("incomplete", small) + 2 <= b.bar
                ? "incomplete"
                : "n/a";
        if (text_width(why, small) + 2 <= b.bar)
            svg.text(cx, p.bottom_y - 5, why, "middle", small);
    }
    if (text_width(std::to_string(run + 1), small) + 2 <= b.bar)
        svg.text(cx, p.bottom_y + 14, std::to_string(run + 1), "middle", small);
}

// The test's name under its group, on two lines where one is too narrow.
void group_name(Svg& svg, const std::string& name, double gx, const BarLayout& b, double bottom_y) {
    std::vector<std::string> lines = wrap_text(name, b.slot - 4, small);
    for (std::size_t k = 0; k < lines.size() && k < 2; ++k)
        svg.text(gx + b.slot * 0.4, bottom_y + 29 + 13 * static_cast<double>(k),
                 k == 1 && lines.size() > 2 ? fit_text(lines[1] + " " + lines[2], b.slot - 4, small)
                                            : lines[k],
                 "middle", small);
}

// The panel of one rate from `py` down: a group of points per test, the
// baseline's line at 1 across it.
void comparison_panel(Svg& svg, const ProgramComparison& c, Pass pass, double py,
                      const ComparisonLayout& l) {
    std::vector<BarGroup> groups = bar_groups(c, pass);
    std::size_t n = c.runs.size();
    BarLayout b = bar_layout(l, groups.size(), n);
    RatioPlot p = ratio_plot(groups, b, py + l.plot_top, py + l.plot_top + l.plot_height);
    svg.text(l.left, py + 16, rate_title(pass), "start", panel_title, "font-weight=\"bold\"");
    ratio_axis(svg, p, l.left, l.right);
    svg.line(l.left, p.one(), l.right, p.one(), ink, 1.5, "6 4", "class=\"baseline\"");

    Svg labels;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        double gx = l.left + b.slot * static_cast<double>(g) + b.slot * 0.1;
        for (std::size_t i = 0; i < n; ++i)
            ratio_point(svg, labels, groups[g].second[i], i, gx + b.bar * static_cast<double>(i), b,
                        p);
        group_name(svg, groups[g].first, gx, b, p.bottom_y);
    }
    svg.body += labels.body;
}

// The legend, in two columns: each run's colour, number and name. Returns
// where it ends.
double run_legend(Svg& svg, const ProgramComparison& c, double ly, const ComparisonLayout& l) {
    std::size_t n = c.runs.size();
    double column = (l.right - l.left) / 2;
    for (std::size_t i = 0; i < n; ++i) {
        double x = l.left + column * static_cast<double>(i % 2);
        double y = ly + 20 * static_cast<double>(i / 2);
        svg.rect(x, y - 11, 14, 14, palette[i % colours], bar_outline());
        std::string entry = fmt::format("{}  {}{}", i + 1, label_of_run(*c.runs[i]),
                                        c.baseline == i ? " (baseline)" : "");
        svg.text(x + 20, y, fit_text(entry, column - 28, small), "start", small);
    }
    return ly + 20 * static_cast<double>((n + 1) / 2);
}

// Why points have no whisker: the comparison's columns that were not tested
// against the baseline, and the geometric means, which have no interval of
// their own.
std::string without_whiskers(const ProgramComparison& c) {
    bool single = std::all_of(c.samples.begin(), c.samples.end(),
                              [](const auto& reps) { return reps.size() == 1; });
    std::string untested = !c.untested ? ""
                           : single    ? "one run of each label gives no interval; "
                                         "`bench_report run --runs 3` or more gives one"
                                       : "a label with fewer than 3 runs, against the "
                                         "baseline's, has no interval";
    // The answer's interval is of the time factor over every rate together,
    // which the page states above the chart: said here so that the bare
    // geometric means are not read as having no interval at all.
    return fmt::format("No whisker: {}{}the geometric means' points have none; the answer above "
                       "gives the interval of the time factor over all the rates.",
                       untested, untested.empty() ? "" : "; ");
}

// What the marks of the points mean: hollow, whiskers, and why a point
// has none. Returns where it ends.
double marks_legend(Svg& svg, const ProgramComparison& c, double ly, const ComparisonLayout& l) {
    bool whiskers = std::any_of(c.rows.begin(), c.rows.end(), [&](const FigureRow& row) {
        return charted_rate(row) && std::any_of(row.cells.begin(), row.cells.end(),
                                                [](const Cell& cell) { return cell.interval; });
    });
    double width = l.right - l.left - 20;
    svg.circle(l.left + 4, ly - 4, point_radius, "#ffffff",
               fmt::format("stroke=\"{}\" stroke-width=\"2\"", key_grey));
    svg.circle(l.left + 13, ly - 4, point_radius, key_grey,
               fmt::format("stroke=\"{}\" stroke-width=\"0.75\"", ink));
    double y = text_lines(svg, l.left + 20, ly,
                          "hollow: no difference shown (= in the table); filled: a change "
                          "shown (+ or -); square: the baseline's own, or not tested",
                          width, small, 14);
    if (whiskers) {
        svg.path(fmt::format("M{:.2f} {:.2f}V{:.2f}M{:.2f} {:.2f}H{:.2f}M{:.2f} {:.2f}H{:.2f}",
                             l.left + 7, y - 10, y + 1, l.left + 3, y - 10, l.left + 11, l.left + 3,
                             y + 1, l.left + 11),
                 ink, 1.5);
        y = text_lines(svg, l.left + 20, y,
                       "whisker: the confidence interval of the ratio (its level in the table)",
                       width, small, 14);
    }
    return text_lines(svg, l.left, y + 2, without_whiskers(c), l.right - l.left, small, 14);
}

}  // namespace

Chart comparison_chart(const ProgramComparison& c) {
    const ComparisonLayout l;
    Chart chart;
    Svg& svg = chart.drawing;
    svg.width = chart_width;
    std::string base = c.baseline ? label_of_run(*c.runs[*c.baseline])
                                  : fmt::format("the median of the {} runs", c.runs.size());
    double y = text_lines(svg, 8, 20,
                          fmt::format("{}: each run's rates divided by the baseline's ({})",
                                      program_name(c.program), base),
                          (svg.width - 16) / bold, chart_title, 18, "font-weight=\"bold\"");
    double y0 = text_lines(svg, 8, y,
                           "1 = the baseline (the dashed line); higher is better, on a log "
                           "scale. The number under each point is the run's number in the "
                           "legend.",
                           svg.width - 16, small, 14);
    comparison_panel(svg, c, Pass::single, y0, l);
    comparison_panel(svg, c, Pass::multi, y0 + l.panel_height, l);
    double ly = run_legend(svg, c, y0 + 2 * l.panel_height + 8, l);
    svg.height = marks_legend(svg, c, ly + 6, l) + 2;
    chart.title = fmt::format("{}: rates relative to the baseline", program_name(c.program));
    return chart;
}

}  // namespace report
