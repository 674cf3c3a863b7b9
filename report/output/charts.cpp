#include "output/charts.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "analysis/stats.h"
#include "analysis/summary.h"
#include "model/catalogue.h"
#include "output/compare_views.h"
#include "output/gate_view.h"
#include "output/history_views.h"

namespace report {

namespace {

const char* const ink = "#222222";
const char* const grid_colour = "#dddddd";
const char* const bar_colour = palette[0];        // blue
const char* const reference_colour = palette[3];  // vermillion
const char* const outlier_colour = palette[3];
const char* const change_colour = palette[1];  // orange
const char* const key_grey = "#777777";
const std::string grid_class = "class=\"grid\"";

// Runs told apart by colour: as many as the palette has.
constexpr std::size_t colours = std::size(palette);

// Every chart is drawn this many units wide, about as many CSS pixels as a
// phone gives it (348 of a 390-pixel window), so that no text drawn at
// `small` or larger shows below 9 pixels there; a wider window shows it
// larger.
constexpr double chart_width = 400;
// Sizes of text: the least any chart uses, what a sentence is written in,
// a panel's title and a chart's.
constexpr double small = 11, body_size = 12, panel_title = 13, chart_title = 14;
// Bold text is this much wider than the widths text_width estimates.
constexpr double bold = 1.1;
// Outliers named on each side of a fleet panel; the table lists them all.
constexpr std::size_t fleet_labels = 6;

std::string label_of_run(const Run& run) {
    return run_name(run);
}

std::string short_number(double v) {
    return fmt::format("{:.4g}", v);
}

// "transform" turning text at (x, y) to read upwards.
std::string upwards_at(double x, double y) {
    return fmt::format("transform=\"rotate(-90 {:.2f} {:.2f})\"", x, y);
}

// The box a browser gives a line of text: the font's ascent above the
// baseline and its descent below, a little generously.
struct Box {
    double left = 0, top = 0, right = 0, bottom = 0;
    bool meets(const Box& o) const {
        return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
    }
};

// The words of `text` in lines of at most `width` pixels.
std::vector<std::string> wrap_text(std::string_view text, double width, double size) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t space = text.find(' ', start);
        std::string_view word =
            text.substr(start, space == std::string_view::npos ? space : space - start);
        std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
        if (!line.empty() && text_width(candidate, size) > width) {
            lines.push_back(line);
            line = std::string(word);
        } else {
            line = candidate;
        }
        if (space == std::string_view::npos)
            break;
        start = space + 1;
    }
    if (!line.empty())
        lines.push_back(fit_text(line, width, size));
    for (std::string& l : lines)
        l = fit_text(l, width, size);
    return lines;
}

// Writes wrapped text from `y` down, a line every `leading` pixels; returns the
// baseline below the last line.
double text_lines(Svg& svg, double x, double y, std::string_view text, double width, double size,
                  double leading, const std::string& extra = "") {
    for (const std::string& line : wrap_text(text, width, size)) {
        svg.text(x, y, line, "start", size, extra);
        y += leading;
    }
    return y;
}

// A vertical axis from 0 to `top` with grid lines, tick labels and a title.
void y_axis(Svg& svg, double left, double right, double top_y, double bottom_y, double top,
            double step, const std::string& title, bool ratio) {
    double widest = 0;
    for (double v : ticks_between(0, top, step)) {
        double y = bottom_y - (bottom_y - top_y) * (v / top);
        if (v > 0)
            svg.line(left, y, right, y, grid_colour, 1, "", grid_class);
        std::string text = ratio ? fmt::format("{:g}", v) : short_number(v);
        widest = std::max(widest, text_width(text, small));
        svg.text(left - 6, y + 4, text, "end", small);
    }
    svg.line(left, top_y, left, bottom_y, ink);
    svg.line(left, bottom_y, right, bottom_y, ink);
    double mid = (top_y + bottom_y) / 2;
    // Clear of the widest tick label; the title may reach past the plot's
    // ends: nothing else is drawn beside them.
    double x = std::max(10.0, left - 6 - widest - 9);
    svg.text(x, mid, fit_text(title, bottom_y - top_y + 60, small), "middle", small,
             upwards_at(x, mid));
}

// Rounds the top of an axis up to a whole number of ticks.
double axis_top(double max, double& step) {
    // Figures near the largest double: the axis ends at the largest one.
    max = std::min(max, std::numeric_limits<double>::max());
    step = tick_step(max);
    double top = std::ceil(max / step - 1e-9) * step;
    return std::isfinite(top) ? top : max;
}

std::vector<const ThreadResult*> threads_in_order(const Test& test) {
    std::vector<const ThreadResult*> out;
    for (const ThreadResult& t : test.threads)
        out.push_back(&t);
    std::stable_sort(out.begin(), out.end(), [](const ThreadResult* a, const ThreadResult* b) {
        return a->thread < b->thread;
    });
    return out;
}

// A value label above a bar: moved up clear of the reference line when it
// would sit on it. `rotated` labels read upwards, for narrow bars.
void bar_label(Svg& svg, double cx, double bar_top, const std::string& text, double size,
               bool rotated, std::optional<double> line_y) {
    double w = text_width(text, size);
    double bottom = bar_top - 4;
    auto box = [&] {
        return rotated ? Box{cx - 0.7 * size, bottom - w, cx + 0.4 * size, bottom}
                       : Box{cx - w / 2, bottom - 0.95 * size, cx + w / 2, bottom + 0.27 * size};
    };
    if (line_y && box().meets(Box{cx - w, *line_y - 2, cx + w, *line_y + 2}))
        bottom = *line_y - 3 - (rotated ? 0 : 0.27 * size);
    if (rotated)
        svg.text(cx + 0.35 * size, bottom, text, "start", size,
                 upwards_at(cx + 0.35 * size, bottom));
    else
        svg.text(cx, bottom, text, "middle", size);
}

std::string bar_outline() {
    return fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink);
}

}  // namespace

bool drawn_as_fleet(const ProgramComparison& c) {
    return c.runs.size() > colours;
}

// The scaling charts.

namespace {

// A thread's bar: its rate (the median of the repetitions), the text above
// it, and each repetition's rate when there are several.
struct ThreadBar {
    int thread = 0;
    std::optional<double> value;
    std::string text;
    std::vector<double> dots;
    bool out_of_memory = false;
};

// What a scaling chart draws, from one run or from a label's repetitions.
struct Scaling {
    std::string heading, subtitle, unit, title;
    std::vector<ThreadBar> bars;      // by thread number
    std::optional<double> single;     // the single-thread rate's line
    std::string bar_text, line_text;  // the legend's
};

// The plot of a scaling chart: its frame and where its bars go.
struct ScalingPlot {
    double left = 76, right = chart_width - 10, top_y = 0, bottom_y = 0;
    double slot = 0, width = 0;    // of a thread, and of its bar
    double top = 1;                // the rate at the top of the axis
    bool labelled = true;          // each bar's value written above it
    std::optional<double> line_y;  // the single-thread rate's line

    double y_of(double rate) const { return bottom_y - (bottom_y - top_y) * (rate / top); }
};

// The axis of a scaling chart: up to the highest rate, with room above the
// tallest bar for its label, and for a label moved over the line.
void scaling_axis(Svg& svg, const Scaling& s, ScalingPlot& p) {
    double max = s.single.value_or(0);
    for (const ThreadBar& b : s.bars) {
        if (b.value)
            max = std::max(max, *b.value);
        for (double d : b.dots)
            max = std::max(max, d);
    }
    p.slot = (p.right - p.left) / static_cast<double>(s.bars.size());
    p.width = std::max(p.slot * 0.7, 0.5);
    // Value labels where each fits its own slot.
    for (const ThreadBar& b : s.bars)
        if (b.value && text_width(b.text, small) > p.slot - 3)
            p.labelled = false;
    double room = p.labelled ? 2 * 0.95 * small + 14 : 6;
    double step = 1;
    double span = p.bottom_y - p.top_y;
    p.top = axis_top(max > 0 ? max * span / (span - room) : 1, step);
    y_axis(svg, p.left, p.right, p.top_y, p.bottom_y, p.top, step,
           fmt::format("rate per thread ({})", s.unit), false);
    if (s.single)
        p.line_y = p.y_of(*s.single);
}

// Thread numbers under the bars, as many as have room.
void thread_numbers(Svg& svg, const Scaling& s, const ScalingPlot& p) {
    std::size_t every = 1;
    std::string last = std::to_string(s.bars.back().thread);
    while (p.slot * static_cast<double>(every) < text_width(last, small) + 4)
        ++every;
    for (std::size_t i = 0; i < s.bars.size(); i += every)
        svg.text(p.left + p.slot * (static_cast<double>(i) + 0.5), p.bottom_y + 15,
                 std::to_string(s.bars[i].thread), "middle", small);
    svg.text((p.left + p.right) / 2, p.bottom_y + 32, "thread number (multi-thread pass)", "middle",
             small);
}

// A bar per thread with a dot per repetition; the line of the single-thread
// rate over them, and the bars' values over the line.
void scaling_bars(Svg& svg, const Scaling& s, const ScalingPlot& p) {
    Svg labels;
    for (std::size_t i = 0; i < s.bars.size(); ++i) {
        const ThreadBar& b = s.bars[i];
        double x = p.left + p.slot * static_cast<double>(i) + (p.slot - p.width) / 2;
        double cx = x + p.width / 2;
        if (!b.value) {
            std::string why = b.out_of_memory ? "out of memory" : "n/a";
            if (text_width(why, small) <= p.slot - 2)
                svg.text(cx, p.bottom_y - 6, why, "middle", small);
            continue;
        }
        double top = p.y_of(*b.value);
        svg.rect(x, top, p.width, p.bottom_y - top, bar_colour, bar_outline());
        double radius = std::clamp(p.width * 0.2, 1.5, 3.0);
        for (double d : b.dots) {
            svg.circle(cx, p.y_of(d), radius, ink, "stroke=\"#ffffff\" stroke-width=\"0.6\"",
                       short_number(d));
            top = std::min(top, p.y_of(d) - radius);
        }
        if (p.labelled)
            bar_label(labels, cx, top, b.text, small, false, p.line_y);
    }
    if (p.line_y)
        svg.line(p.left, *p.line_y, p.right, *p.line_y, reference_colour, 2.5, "8 5");
    svg.body += labels.body;
}

// Legend: a filled bar and a dashed line, so it reads without colour.
// Returns where the chart ends.
double scaling_legend(Svg& svg, const Scaling& s, const ScalingPlot& p) {
    double ly = p.bottom_y + 56;
    svg.rect(p.left, ly - 10, 14, 12, bar_colour, bar_outline());
    double y = text_lines(svg, p.left + 20, ly, s.bar_text, p.right - p.left - 20, small, 14);
    svg.line(p.left, y + 2, p.left + 14, y + 2, reference_colour, 2.5, "5 3");
    return text_lines(svg, p.left + 20, y + 6, s.line_text, p.right - p.left - 20, small, 14);
}

Chart scaling_drawing(const Scaling& s) {
    Chart chart;
    chart.title = s.title;
    Svg& svg = chart.drawing;
    svg.width = chart_width;
    ScalingPlot plot;
    svg.text(8, 20, fit_text(s.heading, svg.width - 16, chart_title * bold), "start", chart_title,
             "font-weight=\"bold\"");
    plot.top_y = text_lines(svg, 8, 38, s.subtitle, svg.width - 16, small, 14) + 10;
    plot.bottom_y = plot.top_y + 200;
    scaling_axis(svg, s, plot);
    thread_numbers(svg, s, plot);
    scaling_bars(svg, s, plot);
    svg.height = scaling_legend(svg, s, plot) + 4;
    return chart;
}

// What the line of a scaling chart stands for, or why there is none.
std::string no_line(bool out_of_memory, const char* of_what) {
    return out_of_memory
               ? "the single-thread pass ran out of memory: no reference or ideal-scaling line"
               : fmt::format("no single-thread rate in {}: no reference or ideal-scaling line",
                             of_what);
}

}  // namespace

Chart scaling_chart(const Run& run, const Test& test) {
    std::vector<const ThreadResult*> threads = threads_in_order(test);
    if (threads.empty())
        return {};
    Scaling s;
    std::string name(display_name(test.key));
    s.heading = fmt::format("{} ({})", name, label_of_run(run));
    s.title = fmt::format("{}: rate per thread, {}", name, label_of_run(run));
    s.unit = test.unit;
    TestSummary sum = summarize(run, test);
    if (sum.overall_rate && sum.improvement && sum.threads > 0)
        s.subtitle = fmt::format(
            "{} thread(s); overall {} = {} x the single-thread rate (ideal x{}, "
            "efficiency {:.0f}%)",
            sum.threads, short_number(*sum.overall_rate), short_number(*sum.improvement),
            sum.threads, *sum.improvement / sum.threads * 100);
    else if (sum.threads > 0)
        s.subtitle = fmt::format(
            "{} thread(s); no overall comparison (a pass ran out of memory or the "
            "run was cut short)",
            sum.threads);
    for (const ThreadResult* t : threads) {
        ThreadBar b{t->thread, std::nullopt, "", {}, t->out_of_memory};
        if (t->rate && std::isfinite(t->rate->value)) {
            b.value = t->rate->value;
            b.text = t->rate->text;
        }
        s.bars.push_back(std::move(b));
    }
    if (test.single_rate && std::isfinite(test.single_rate->value))
        s.single = test.single_rate->value;
    s.bar_text = "bar: rate of each thread in the multi-thread pass";
    s.line_text = s.single ? fmt::format(
                                 "dashed line: the single-thread rate, {}; a thread that "
                                 "scales perfectly reaches it",
                                 test.single_rate->text)
                           : no_line(test.single_out_of_memory, "this run");
    return scaling_drawing(s);
}

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

Chart repetitions_chart(const std::string& label, std::size_t repetitions,
                        const RepeatedScaling& r) {
    if (r.threads.empty())
        return {};
    Scaling s;
    std::string name(display_name(r.key));
    s.heading = fmt::format("{} ({})", name, label);
    s.title = fmt::format("{}: rate per thread, {} repetitions of {}", name, repetitions, label);
    s.unit = r.unit;
    s.subtitle = fmt::format("{} repetitions, {} thread(s){}", repetitions, r.threads.size(),
                             r.overall.median && r.single.median && *r.single.median > 0
                                 ? fmt::format("; median overall {} = {} x the median "
                                               "single-thread rate",
                                               short_number(*r.overall.median),
                                               short_number(*r.overall.median / *r.single.median))
                                 : "");
    for (const RepeatedThread& t : r.threads)
        s.bars.push_back({t.thread, t.rate.median,
                          t.rate.median ? short_number(*t.rate.median) : "", t.rate.values,
                          t.out_of_memory});
    s.single = r.single.median;
    s.bar_text =
        "bar: the median rate of each thread in the multi-thread pass; a dot: each "
        "repetition's";
    std::optional<stats::Range> range = stats::range(r.single.values);
    s.line_text = s.single ? fmt::format(
                                 "dashed line: the median single-thread rate, {} ({} "
                                 "to {} in {} repetitions); a thread that scales "
                                 "perfectly reaches it",
                                 short_number(*s.single), short_number(range->min),
                                 short_number(range->max), r.single.values.size())
                           : no_line(r.single_out_of_memory, "these repetitions");
    return scaling_drawing(s);
}

// The comparison of a few runs.

namespace {

// The figures a comparison's charts draw: each test's single-thread and
// overall rate, told apart by their pass.
bool charted_rate(const FigureRow& row) {
    return row.figure == "single rate" || row.figure == "overall rate";
}

const char* rate_title(Pass pass) {
    return pass == Pass::single ? "Single-thread rate" : "Overall rate (all threads)";
}

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
        bool same = cell.mark == Mark::same;
        svg.circle(cx, y, point_radius, same ? "#ffffff" : colour,
                   fmt::format("stroke=\"{}\" stroke-width=\"{}\" data-mark=\"{}\" "
                               "data-ratio=\"{:.6g}\"",
                               same ? colour : ink, same ? 2 : 0.75, mark_name(cell.mark), *r));
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
                          "shown (+ or -)",
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

// The fleet's dots.

namespace {

// One panel of a fleet chart: the runs' ratios for one figure.
struct FleetPanel {
    const FigureRow* row;
    std::string title;
};

constexpr double fleet_width = chart_width, fleet_left = 62, fleet_right = 304, fleet_plot = 210,
                 fleet_panel_height = 272;
// A name's line on a fleet panel.
constexpr double name_height = 14;
// Outliers named under a panel, at most, when there is no room beside their dots.
constexpr std::size_t listed_outliers = 24;

// The runs of a panel that have no figure, for a note under the chart.
struct PanelNotes {
    std::vector<std::string> missing;
};

// A reference line of a fleet panel, named in the right margin.
struct Reference {
    double y;
    std::string name;
};

// Draws one fleet panel: the runs' ratios for one figure, sorted, a dot per
// run on a logarithmic axis, the median as a dashed line, the outliers in
// colour and named beside their dots where they do not cover anything.
class FleetPanelDrawing {
public:
    FleetPanelDrawing(Svg& svg, const ProgramComparison& c, const FleetPanel& panel, double y0,
                      PanelNotes& notes)
        : svg_(svg),
          c_(c),
          panel_(panel),
          y0_(y0),
          notes_(notes),
          plot_top_(y0 + 30),
          bottom_(plot_top_ + fleet_plot) {}

    // Draws the panel; returns where it ends.
    double draw() {
        collect();
        frame();
        if (dots_.empty()) {
            axis_title(0);
            svg_.text((fleet_left + fleet_right) / 2, mid(), "no run has this figure", "middle",
                      body_size);
            return y0_ + fleet_panel_height;
        }
        scale();
        axis_title(ticks());
        references();
        dots();
        names();
        return listed();
    }

private:
    struct Dot {
        double ratio;
        std::size_t run;
    };

    double mid() const { return (plot_top_ + bottom_) / 2; }
    std::string run_label(std::size_t k) const { return label_of_run(*c_.runs[dots_[k].run]); }
    double y_of(double log_ratio) const {
        return plot_top_ + reserve_top_ +
               (hi_ - log_ratio) / (hi_ - lo_) * (fleet_plot - reserve_top_ - reserve_bottom_);
    }

    // The runs with the figure, slowest first; those without it noted.
    void collect() {
        const FigureRow& row = *panel_.row;
        for (std::size_t i = 0; i < row.cells.size(); ++i) {
            const std::optional<double>& r = row.cells[i].ratio;
            if (r && std::isfinite(*r) && *r > 0)
                dots_.push_back({*r, i});
            else
                notes_.missing.push_back(label_of_run(*c_.runs[i]));
        }
        std::stable_sort(dots_.begin(), dots_.end(),
                         [](const Dot& a, const Dot& b) { return a.ratio < b.ratio; });
    }

    void frame() {
        svg_.text(8, y0_ + 18, fit_text(panel_.title, fleet_width - 16, panel_title * bold),
                  "start", panel_title, "font-weight=\"bold\"");
        svg_.line(fleet_left, plot_top_, fleet_left, bottom_, ink);
        svg_.line(fleet_left, bottom_, fleet_right, bottom_, ink);
        svg_.text((fleet_left + fleet_right) / 2, bottom_ + 18,
                  fmt::format("{} run(s), slowest to fastest", dots_.size()), "middle", small);
    }

    // The axis title, clear of the widest tick label (drawn with the ticks).
    void axis_title(double widest) {
        double x = std::max(10.0, fleet_left - 6 - widest - 9);
        svg_.text(x, mid(),
                  c_.baseline ? "ratio to the baseline (log)" : "ratio to the median (log)",
                  "middle", small, upwards_at(x, mid()));
    }

    // The fleet's median of this figure, on the logarithm; the outliers to
    // name, the comparison's (the same runs its table names): slow ones
    // (below the median of this figure) slowest first, fast ones from the
    // fastest; the axis, spanning the runs, the median and the baseline's
    // 1.0, with room above and below for their names.
    void scale() {
        for (const Dot& d : dots_)
            logs_.push_back(std::log(d.ratio));
        median_ = *stats::median(logs_);
        auto is_outlier = [&](std::size_t run) {
            return std::any_of(c_.outliers.begin(), c_.outliers.end(),
                               [&](const Outlier& o) { return o.run == run; });
        };
        for (std::size_t k = 0; k < dots_.size(); ++k)
            if (is_outlier(dots_[k].run) && c_.baseline != dots_[k].run)
                (logs_[k] < median_ ? slow_ : fast_).push_back(k);
        std::reverse(fast_.begin(), fast_.end());
        lo_ = std::min({logs_.front(), median_, 0.0});
        hi_ = std::max({logs_.back(), median_, 0.0});
        double pad = std::max(0.01, 0.04 * (hi_ - lo_));
        lo_ -= pad;
        hi_ += pad;
        // A name starts a dot's radius and a gap away from it, and each one
        // after the first sits below (above) the one before.
        auto reserve = [&](std::size_t names) {
            return names ? 12 + name_height * static_cast<double>(std::min(names, fleet_labels))
                         : 6;
        };
        reserve_top_ = reserve(fast_.size());
        reserve_bottom_ = reserve(slow_.size());
    }

    // Round ratios: linear steps over a narrow range, 1-2-5 over a wide one,
    // within what a double holds however far apart the runs are; x1 first
    // when it is in range.
    std::vector<double> tick_values() const {
        std::vector<double> ticks;
        double a = std::max(std::exp(lo_), std::numeric_limits<double>::min()),
               b = std::min(std::exp(hi_), std::numeric_limits<double>::max());
        if (b / a < 4) {
            ticks = ticks_between(a, b, tick_step(b - a, 4));
        } else {
            for (int k = static_cast<int>(std::floor(std::log10(a))); k <= std::ceil(std::log10(b));
                 ++k)
                for (double m : {1.0, 2.0, 5.0}) {
                    double t = m * std::pow(10.0, k);
                    if (t >= a && t <= b)
                        ticks.push_back(t);
                }
        }
        std::stable_partition(ticks.begin(), ticks.end(),
                              [](double t) { return std::fabs(t - 1) < 1e-9; });
        return ticks;
    }

    // Every tick that keeps its label clear of those already drawn; returns
    // the widest label.
    double ticks() {
        std::vector<double> drawn;
        double widest = 0;
        for (double t : tick_values()) {
            double y = y_of(std::log(t));
            if (std::any_of(drawn.begin(), drawn.end(),
                            [&](double d) { return std::fabs(d - y) < 16; }))
                continue;
            drawn.push_back(y);
            svg_.line(fleet_left, y, fleet_right, y, grid_colour, 1, "", grid_class);
            std::string text = fmt::format("x{:.4g}", t);
            widest = std::max(widest, text_width(text, small));
            svg_.text(fleet_left - 6, y + 4, text, "end", small);
        }
        return widest;
    }

    // The median and the baseline as lines, named in the right margin, the
    // names moved apart where the lines are close.
    void references() {
        double median_y = y_of(median_);
        svg_.line(fleet_left, median_y, fleet_right, median_y, ink, 1.5, "6 4");
        refs_.push_back({median_y, fmt::format("median {}", format_ratio(std::exp(median_)))});
        if (c_.baseline) {
            double one = y_of(0);
            svg_.line(fleet_left, one, fleet_right, one, reference_colour, 1.5, "2 3");
            refs_.push_back({one, "baseline"});
        }
        if (refs_.size() == 2 && std::fabs(refs_[0].y - refs_[1].y) < name_height) {
            bool first_above = refs_[0].y <= refs_[1].y;
            double centre = (refs_[0].y + refs_[1].y) / 2;
            refs_[first_above ? 0 : 1].y = centre - name_height / 2;
            refs_[first_above ? 1 : 0].y = centre + name_height / 2;
        }
        for (const Reference& r : refs_)
            svg_.text(fleet_right + 6, r.y + 4,
                      fit_text(r.name, fleet_width - fleet_right - 8, small), "start", small);
    }

    // The dots, the baseline's in black, the outliers in colour; what they,
    // the lines and the axes cover is kept clear of the names.
    void dots() {
        const double step = (fleet_right - fleet_left - 16) / static_cast<double>(dots_.size());
        radius_ = std::clamp(step * 0.45, 2.2, 4.0);
        xs_.resize(dots_.size());
        ys_.resize(dots_.size());
        for (std::size_t k = 0; k < dots_.size(); ++k) {
            xs_[k] = fleet_left + 8 + step * (static_cast<double>(k) + 0.5);
            ys_[k] = y_of(logs_[k]);
            bool far = std::find(slow_.begin(), slow_.end(), k) != slow_.end() ||
                       std::find(fast_.begin(), fast_.end(), k) != fast_.end();
            bool base = c_.baseline == dots_[k].run;
            svg_.circle(xs_[k], ys_[k], base ? radius_ + 1 : radius_,
                        base  ? ink
                        : far ? outlier_colour
                              : bar_colour,
                        "", fmt::format("{}: {}", run_label(k), format_ratio(dots_[k].ratio)));
            taken_.push_back({xs_[k] - radius_ - 1, ys_[k] - radius_ - 1, xs_[k] + radius_ + 1,
                              ys_[k] + radius_ + 1});
        }
        for (const Reference& r : refs_)
            taken_.push_back({fleet_left, r.y - 2, fleet_right, r.y + 2});
        taken_.push_back({fleet_left - 2, plot_top_, fleet_left + 1, bottom_});
        taken_.push_back({fleet_left, bottom_ - 1, fleet_right, bottom_ + 2});
    }

    std::string named(std::size_t k) const {
        return fmt::format("{} {}", run_label(k), format_ratio(dots_[k].ratio));
    }

    // The name of outlier `k`: a slow one below and to the right of its dot,
    // a fast one above and to the left, where the sorted dots leave room;
    // moved further out until it covers nothing, else listed under the panel.
    void name(std::size_t k, bool slow) {
        std::string text = fit_text(named(k), 160, small);
        double w = text_width(text, small);
        double x = slow ? xs_[k] + radius_ + 4 : xs_[k] - radius_ - 4 - w;
        x = std::clamp(x, fleet_left + 3, fleet_right - w - 2);
        Box box{x, 0, x + w, 0};
        double y = slow ? ys_[k] + radius_ + 2 : ys_[k] - radius_ - 2 - name_height;
        for (; y >= plot_top_ && y + name_height <= bottom_; y += slow ? 2 : -2) {
            box.top = y;
            box.bottom = y + name_height;
            if (std::none_of(taken_.begin(), taken_.end(),
                             [&](const Box& t) { return t.meets(box); })) {
                taken_.push_back(box);
                svg_.text(x, y + 0.95 * small + 0.5, text, "start", small);
                return;
            }
        }
        unnamed_.push_back(k);
    }

    // The first few outliers of each side named beside their dots, the rest
    // listed under the panel.
    void names() {
        for (auto [side, slow] : {std::pair{&slow_, true}, std::pair{&fast_, false}})
            for (std::size_t k = 0; k < side->size(); ++k) {
                if (k < fleet_labels)
                    name((*side)[k], slow);
                else
                    unnamed_.push_back((*side)[k]);
            }
    }

    // The outliers not named beside their dots, slowest first, under the
    // panel; returns where the panel ends.
    double listed() {
        double end = y0_ + fleet_panel_height;
        if (unnamed_.empty())
            return end;
        std::sort(unnamed_.begin(), unnamed_.end());
        std::vector<std::string> names;
        for (std::size_t i = 0; i < unnamed_.size() && i < listed_outliers; ++i)
            names.push_back(named(unnamed_[i]));
        std::string more =
            unnamed_.size() > listed_outliers
                ? fmt::format(" and {} more (see the table)", unnamed_.size() - listed_outliers)
                : "";
        return text_lines(
                   svg_, 8, end + 10,
                   fmt::format("Also far from the median: {}{}.", fmt::join(names, ", "), more),
                   fleet_width - 16, small, 14) +
               4;
    }

    Svg& svg_;
    const ProgramComparison& c_;
    const FleetPanel& panel_;
    const double y0_;
    PanelNotes& notes_;
    const double plot_top_, bottom_;
    std::vector<Dot> dots_;
    std::vector<double> logs_;
    double median_ = 0, lo_ = 0, hi_ = 0, reserve_top_ = 0, reserve_bottom_ = 0;
    std::vector<std::size_t> slow_, fast_;  // indexes into dots_
    std::vector<Reference> refs_;
    double radius_ = 0;
    std::vector<double> xs_, ys_;
    std::vector<Box> taken_;
    std::vector<std::size_t> unnamed_;  // outliers (indexes into dots_) not named beside their dots
};

// "a, b, c and 4 more"
std::string some_names(const std::vector<std::string>& names, std::size_t shown = 8) {
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i)
        out += (i ? ", " : "") + names[i];
    if (names.size() > shown)
        out += fmt::format(" and {} more", names.size() - shown);
    return out;
}

// The panels of one test (single-thread and overall rates), or of every test.
std::vector<FleetPanel> fleet_panels(const ProgramComparison& c, const std::string& test,
                                     bool name_tests) {
    std::vector<FleetPanel> panels;
    for (const FigureRow& row : c.rows) {
        if ((!test.empty() && row.test != test) || !charted_rate(row))
            continue;
        panels.push_back(
            {&row, name_tests ? row.test_title + ": " + row.figure : rate_title(row.pass)});
    }
    return panels;
}

// The names in `v` once each, in the order first given.
void unique(std::vector<std::string>& v) {
    std::vector<std::string> out;
    for (std::string& s : v)
        if (std::find(out.begin(), out.end(), s) == out.end())
            out.push_back(std::move(s));
    v = std::move(out);
}

// The runs not drawn, as an HTML paragraph.
std::string panel_notes(PanelNotes& notes) {
    unique(notes.missing);
    if (notes.missing.empty())
        return "";
    return "<p class=\"note\">" +
           xml_escape(
               fmt::format("Not drawn, no figure to compare: {}.", some_names(notes.missing))) +
           "</p>\n";
}

}  // namespace

Chart fleet_chart(const ProgramComparison& c, const std::string& test, std::string* notes) {
    std::vector<FleetPanel> panels = fleet_panels(c, test, test.empty());
    if (panels.empty())
        return {};
    Chart chart;
    chart.title =
        test.empty() ? fmt::format("{}: every run's rates divided by the {}",
                                   program_name(c.program), c.baseline ? "baseline's" : "median's")
                     : fmt::format("{}: {} runs, a dot per run", display_name(test), c.runs.size());
    Svg& svg = chart.drawing;
    svg.width = fleet_width;
    // A chart of every test stands alone, without the page's headings: its
    // title is written above the panels.
    double y = 0;
    if (test.empty())
        y = text_lines(svg, 8, 20, chart.title, (fleet_width - 16) / bold, chart_title, 18,
                       "font-weight=\"bold\"");
    PanelNotes panel_notes_of;
    for (const FleetPanel& panel : panels)
        y = FleetPanelDrawing(svg, c, panel, y, panel_notes_of).draw();
    svg.height = y + 6;
    std::string html = panel_notes(panel_notes_of);
    if (notes)
        *notes += html;
    return chart;
}

// A label's history.

namespace {

// Tick labels of an axis stepping by `step`: as many decimals as the step has.
std::string tick_text(double v, double step) {
    int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    if (std::fabs(mantissa - 2.5) < 1e-6 && step < 1)
        ++decimals;
    return fmt::format("{:.{}f}", std::fabs(v) < step * 1e-9 ? 0.0 : v, decimals);
}

// Draws one panel of a history chart: a rate by day.
class HistoryPanelDrawing {
public:
    static constexpr double left = 70, right = chart_width - 10, plot_height = 150,
                            label_size = small, row = 13;
    static constexpr double inner_left = left + 16, inner_right = right - 16;

    HistoryPanelDrawing(Svg& svg, const History& h, const HistoryRate& rate)
        : svg_(svg),
          h_(h),
          rate_(rate),
          rows_(h.changes.empty() ? 0 : 2),
          first_(static_cast<double>(h.days.front().days)),
          last_(static_cast<double>(h.days.back().days)) {}

    // Draws the panel under `title` from `y0` down; returns where it ends.
    double draw(const std::string& title, double y0) {
        svg_.text(8, y0 + 16, fit_text(title, svg_.width - 16, panel_title * bold), "start",
                  panel_title, "font-weight=\"bold\"");
        top_y_ = y0 + 24 + row * static_cast<double>(rows_) + 4;
        bottom_y_ = top_y_ + plot_height;
        axis();
        days();
        machine_changes();
        change_points();
        points();
        drift();
        return bottom_y_ + 24;
    }

private:
    double x_of(std::size_t day) const {
        return inner_left + (static_cast<double>(h_.days[day].days) - first_) / (last_ - first_) *
                                (inner_right - inner_left);
    }
    double y_of(double v) const {
        return bottom_y_ - (v - bottom_value_) / (top_value_ - bottom_value_) * plot_height;
    }

    // The rate axis spans the days' lowest to highest, with a little room.
    void axis() {
        const std::vector<HistoryPoint>& points = rate_.points;
        double lo = points.front().min, hi = points.front().max;
        for (const HistoryPoint& p : points) {
            lo = std::min(lo, p.min);
            hi = std::max(hi, p.max);
        }
        double span =
            hi - lo > std::fabs(hi) * 1e-9 ? hi - lo : std::max(std::fabs(hi) * 0.02, 1e-9);
        bottom_value_ = lo - 0.1 * span;
        top_value_ = std::min(hi + 0.1 * span, std::numeric_limits<double>::max());
        if (lo >= 0)
            bottom_value_ = std::max(bottom_value_, 0.0);
        double step = tick_step(top_value_ - bottom_value_, 4);
        for (double t : ticks_between(bottom_value_, top_value_, step)) {
            double y = y_of(t);
            svg_.line(left, y, right, y, grid_colour, 1, "", grid_class);
            svg_.text(left - 6, y + 4, tick_text(t, step), "end", small);
        }
        svg_.line(left, top_y_, left, bottom_y_, ink);
        svg_.line(left, bottom_y_, right, bottom_y_, ink);
    }

    // The days under the axis, each clear of the one before.
    void days() {
        double drawn_right = -1e9;
        for (std::size_t i = 0; i < h_.days.size(); ++i) {
            double w = text_width(h_.days[i].date, label_size);
            double x = std::clamp(x_of(i) - w / 2, left + 2, svg_.width - w - 2);
            if (x < drawn_right + 8)
                continue;
            svg_.text(x, bottom_y_ + 15, h_.days[i].date, "start", label_size);
            drawn_right = x + w;
        }
    }

    // Changes of the machine: a dashed rule between the two days, its fields
    // named above the plot in the first of the rows where they fit.
    void machine_changes() {
        std::vector<std::vector<std::pair<double, double>>> taken(rows_);
        for (const History::Change& change : h_.changes) {
            double x = (x_of(change.index - 1) + x_of(change.index)) / 2;
            svg_.line(x, top_y_, x, bottom_y_, reference_colour, 1.5, "3 3");
            std::vector<std::string> fields;
            for (const ContextDifference& d : change.differences)
                fields.push_back(d.field);
            std::string text =
                fit_text(fmt::format("{}", fmt::join(fields, ", ")), 200, label_size);
            double w = text_width(text, label_size);
            double start = std::clamp(x - w / 2, left + 2, right - w);
            for (std::size_t r = 0; r < rows_; ++r) {
                auto& used = taken[r];
                if (std::any_of(used.begin(), used.end(), [&](const auto& u) {
                        return start < u.second + 8 && u.first < start + w + 8;
                    }))
                    continue;
                used.emplace_back(start, start + w);
                svg_.text(start, top_y_ - 5 - row * static_cast<double>(r), text, "start",
                          label_size);
                break;
            }
        }
    }

    // Change points: a solid rule on the first day of the new level, its
    // figures on hover.
    void change_points() {
        for (const ChangePoint* cp : rate_.change_points) {
            std::size_t day = 0;
            while (day < h_.days.size() && h_.days[day].date != cp->date)
                ++day;
            if (day == h_.days.size())
                continue;
            double x = x_of(day);
            svg_.line(x, top_y_, x, bottom_y_, change_colour, 2);
            svg_.circle(
                x, top_y_ + 5, 4, change_colour, "",
                fmt::format("Change point: {:+.1f}% from {} (median {} before, {} after, {})",
                            cp->change_percent, cp->date, short_number(cp->before),
                            short_number(cp->after), local_p_text(*cp)));
        }
    }

    // A drift: the fitted ramp, a sloped line from its first day to its
    // last, and dashed to either end of its size's interval on the last.
    void drift() {
        const HistorySeries::Ramp* r = rate_.ramp;
        if (!r)
            return;
        double x0 = x_of(r->start), x1 = x_of(r->end), y0 = y_of(r->from);
        for (double end : {r->to_low, r->to_high})
            svg_.line(x0, y0, x1, y_of(end), change_colour, 1.5, "4 3");
        svg_.line(x0, y0, x1, y_of(r->to), change_colour, 3);
        svg_.circle(x1, y_of(r->to), 4, change_colour, "",
                    fmt::format("Drift: {:+.1f}% [{:+.1f}% to {:+.1f}%] from {} to {}",
                                (r->to / r->from - 1) * 100, (r->to_low / r->from - 1) * 100,
                                (r->to_high / r->from - 1) * 100, h_.days[r->start].date,
                                h_.days[r->end].date));
    }

    // The medians joined, then each day's spread and median.
    void points() {
        const std::vector<HistoryPoint>& points = rate_.points;
        for (std::size_t k = 1; k < points.size(); ++k)
            svg_.line(x_of(points[k - 1].day), y_of(points[k - 1].median), x_of(points[k].day),
                      y_of(points[k].median), "#888888", 1);
        for (const HistoryPoint& p : points) {
            double x = x_of(p.day);
            if (p.max > p.min)
                svg_.line(x, y_of(p.max), x, y_of(p.min), bar_colour, 2.5);
            svg_.circle(x, y_of(p.median), 4, ink, "",
                        fmt::format("{}: median {} of {} run(s), lowest {}, highest {}",
                                    h_.days[p.day].date, short_number(p.median), p.runs,
                                    short_number(p.min), short_number(p.max)));
        }
    }

    Svg& svg_;
    const History& h_;
    const HistoryRate& rate_;
    const std::size_t rows_;  // of machine changes' names above the plot
    const double first_, last_;
    double top_y_ = 0, bottom_y_ = 0, bottom_value_ = 0, top_value_ = 0;
};

// What a history chart's marks mean, under its title.
std::string history_subtitle(const History& h, const HistoryTest& test) {
    bool change_points = std::any_of(test.rates.begin(), test.rates.end(),
                                     [](const HistoryRate& r) { return !r.change_points.empty(); });
    bool drift = std::any_of(test.rates.begin(), test.rates.end(),
                             [](const HistoryRate& r) { return r.ramp != nullptr; });
    return fmt::format(
        "{}. A dot is the median of a day's runs, its bar their lowest to highest{}{}{}.",
        program_name(h.program),
        h.changes.empty() ? ""
                          : "; a dashed line marks a change of the machine between two days, "
                            "named above",
        change_points ? "; a solid orange line marks a change point, the first day of a new level"
                      : "",
        drift ? "; a sloped orange line is a drift, the dashed lines about its end its interval"
              : "");
}

}  // namespace

Chart history_chart(const ProgramHistory& history, const HistoryTest& test) {
    if (test.rates.empty())
        return {};
    const History& h = *history.history;
    const TestInfo* info = find_test_info(test.key);
    std::string name = info ? std::string(info->name) : test.key;
    Chart chart;
    Svg& svg = chart.drawing;
    svg.width = chart_width;
    svg.text(
        8, 20,
        fit_text(fmt::format("{}: {} by day", name, escape_path(h.label)), svg.width - 16,
                 chart_title * bold),
        "start", chart_title, "font-weight=\"bold\"");
    double y = text_lines(svg, 8, 38, history_subtitle(h, test), svg.width - 16, small, 14);
    for (const HistoryRate& rate : test.rates) {
        std::string title =
            fmt::format("{}{}", rate.overall ? "Overall rate (all threads)" : "Single-thread rate",
                        test.unit.empty() ? "" : " (" + test.unit + ")");
        y = HistoryPanelDrawing(svg, h, rate).draw(title, y);
    }
    svg.height = y;
    chart.title =
        fmt::format("{}: {} by day ({})", name, escape_path(h.label), program_name(h.program));
    return chart;
}

// The chart under the gate's banner.

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
