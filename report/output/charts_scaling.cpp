// The scaling of one test: from one run, and over a label's repetitions.
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

// The scaling charts.

namespace {

std::vector<const ThreadResult*> threads_in_order(const Test& test) {
    std::vector<const ThreadResult*> out;
    for (const ThreadResult& t : test.threads)
        out.push_back(&t);
    std::stable_sort(out.begin(), out.end(), [](const ThreadResult* a, const ThreadResult* b) {
        return a->thread < b->thread;
    });
    return out;
}

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

}  // namespace report
