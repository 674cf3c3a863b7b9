#include "output/html_report.h"
#include "output/gate_view.h"
#include "output/history_views.h"
#include "output/run_tables.h"
#include "machine/record.h"

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "model/catalogue.h"
#include "input/load.h"
#include "analysis/stats.h"
#include "analysis/summary.h"

namespace report {

namespace {

const char* const ink = "#222222";
const char* const grid_colour = "#dddddd";
const char* const bar_colour = palette[0];        // blue
const char* const reference_colour = palette[3];  // vermillion
const char* const outlier_colour = palette[3];
const char* const change_colour = palette[1];  // orange
const std::string grid_class = "class=\"grid\"";

// More runs of one program than colours to tell them apart: the comparison is
// drawn as a fleet, a dot per run, instead of a bar per run.
constexpr std::size_t fleet_runs = std::size(palette);
// At fleet scale, the runs whose charts and tables the page carries.
constexpr std::size_t fleet_detail = 12;
// Outliers named on each side of a fleet panel; the table lists them all.
constexpr std::size_t fleet_labels = 6;

std::string label_of(const Run& run) {
    return run_name(run);
}

std::string short_number(double v) {
    return fmt::format("{:.4g}", v);
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
    for (double v : ticks_between(0, top, step)) {
        double y = bottom_y - (bottom_y - top_y) * (v / top);
        if (v > 0)
            svg.line(left, y, right, y, grid_colour, 1, "", grid_class);
        svg.text(left - 6, y + 4, ratio ? fmt::format("{:g}", v) : short_number(v), "end", 11);
    }
    svg.line(left, top_y, left, bottom_y, ink);
    svg.line(left, bottom_y, right, bottom_y, ink);
    double mid = (top_y + bottom_y) / 2;
    // The title may reach past the plot's ends: nothing else is drawn beside them.
    svg.text(16, mid, fit_text(title, bottom_y - top_y + 60, 11), "middle", 11,
             fmt::format("transform=\"rotate(-90 16 {:.2f})\"", mid));
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
                 fmt::format("transform=\"rotate(-90 {:.2f} {:.2f})\"", cx + 0.35 * size, bottom));
    else
        svg.text(cx, bottom, text, "middle", size);
}

const char* style =
    R"(body{font-family:sans-serif;color:#111;margin:16px auto;max-width:1400px;padding:0 16px}
h1{font-size:24px}h2{font-size:20px;margin-top:32px;border-bottom:1px solid #ccc}h3{font-size:16px;margin:20px 0 6px}
.meta{font-size:13px;color:#333;margin:4px 0;overflow-wrap:anywhere}
nav ul{margin:4px 0;padding-left:20px}nav li{margin:2px 0}
h1,h2,h3,nav li,caption,figcaption{overflow-wrap:anywhere}
.charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,480px),1fr));gap:16px}
figure{margin:0 0 8px;border:1px solid #ccc;padding:4px;max-width:820px}
.fleet figure{max-width:600px}
svg{display:block;max-width:100%}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;margin:12px 0 4px;font-size:13px}
caption{text-align:left;font-weight:bold;padding:4px 0}
th,td{border:1px solid #bbb;padding:2px 6px;white-space:nowrap;text-align:left}
th{background:#f0f0f0}
td.num{text-align:right;font-variant-numeric:tabular-nums}
td.better{background:#dcefe6}td.worse{background:#fbe0d0}
.note{font-size:12px;margin:2px 0;color:#333;overflow-wrap:anywhere}
.gate{border-left:6px solid #777;padding:2px 12px;margin:16px 0}.gate.pass{border-color:#009E73}.gate.fail{border-color:#D55E00}
.gate h2{border:none;margin-top:8px}.gate p{margin:4px 0;overflow-wrap:anywhere}
details{margin:8px 0;border-top:1px solid #ddd}summary{cursor:pointer;font-weight:bold;padding:6px 0;overflow-wrap:anywhere}
)";

// A table in a box of its own that scrolls sideways when it is wider than
// the page.
std::string scroll_table(const Table& t) {
    return "<div class=\"scroll\">\n" + render_html(t) + "</div>\n";
}

bool is_fleet(const ProgramComparison& c) {
    return c.runs.size() > fleet_runs;
}

std::string program_id(Program p) {
    return p == Program::processors ? "processors" : "memory";
}

// One panel of a fleet chart: the runs' ratios for one figure, sorted, a dot
// per run on a logarithmic axis, the median as a dashed line, the outliers in
// colour and named beside their dots where they do not cover anything.
struct FleetPanel {
    const FigureRow* row;
    std::string title;
};

// Narrow, so that a phone shows it at three quarters of its size.
constexpr double fleet_width = 480, fleet_left = 66, fleet_right = 384, fleet_plot = 210,
                 fleet_panel_height = 272;

// Names the runs of a panel that could not be labelled or have no figure.
struct PanelNotes {
    std::vector<std::string> missing;     // runs without the figure
    std::vector<std::string> unlabelled;  // outliers not named on the chart
};

void fleet_panel(Svg& svg, const ProgramComparison& c, const FleetPanel& panel, double y0,
                 PanelNotes& notes) {
    const FigureRow& row = *panel.row;
    struct Dot {
        double ratio;
        std::size_t run;
    };
    std::vector<Dot> dots;
    for (std::size_t i = 0; i < row.cells.size(); ++i) {
        const std::optional<double>& r = row.cells[i].ratio;
        if (r && std::isfinite(*r) && *r > 0)
            dots.push_back({*r, i});
        else
            notes.missing.push_back(label_of(*c.runs[i]));
    }
    std::stable_sort(dots.begin(), dots.end(),
                     [](const Dot& a, const Dot& b) { return a.ratio < b.ratio; });

    const double plot_top = y0 + 30, bottom = plot_top + fleet_plot;
    svg.text(fleet_left, y0 + 18, fit_text(panel.title, fleet_width - fleet_left - 8, 13 * 1.1),
             "start", 13, "font-weight=\"bold\"");
    svg.line(fleet_left, plot_top, fleet_left, bottom, ink);
    svg.line(fleet_left, bottom, fleet_right, bottom, ink);
    svg.text((fleet_left + fleet_right) / 2, bottom + 18,
             fmt::format("{} run(s), slowest to fastest", dots.size()), "middle", 11);
    double mid = (plot_top + bottom) / 2;
    // The axis title, clear of the widest tick label (drawn with the ticks).
    auto axis_title = [&](double widest) {
        double x = std::max(9.0, fleet_left - 6 - widest - 9);
        svg.text(x, mid, c.baseline ? "ratio to the baseline (log)" : "ratio to the median (log)",
                 "middle", 11, fmt::format("transform=\"rotate(-90 {:.2f} {:.2f})\"", x, mid));
    };
    if (dots.empty()) {
        axis_title(0);
        svg.text((fleet_left + fleet_right) / 2, mid, "no run has this figure", "middle", 12);
        return;
    }

    // The fleet's median of this figure, on the logarithm; the runs in colour
    // and named are the comparison's outliers, the same runs its table names.
    std::vector<double> logs;
    for (const Dot& d : dots)
        logs.push_back(std::log(d.ratio));
    double med = *stats::median(logs);
    auto is_outlier = [&](std::size_t run) {
        return std::any_of(c.outliers.begin(), c.outliers.end(),
                           [&](const Outlier& o) { return o.run == run; });
    };
    // Slow ones (below the median of this figure) first, slowest first; fast
    // ones from the fastest.
    std::vector<std::size_t> slow, fast;
    for (std::size_t k = 0; k < dots.size(); ++k)
        if (is_outlier(dots[k].run) && c.baseline != dots[k].run)
            (logs[k] < med ? slow : fast).push_back(k);
    std::reverse(fast.begin(), fast.end());
    std::size_t low = slow.size(), high = fast.size();

    // The axis spans the runs, the median and the baseline's 1.0, with room
    // above and below for the names of the outliers.
    double lo = std::min({logs.front(), med, 0.0}), hi = std::max({logs.back(), med, 0.0});
    double pad = std::max(0.01, 0.04 * (hi - lo));
    lo -= pad;
    hi += pad;
    const double label_height = 14;
    // A name starts a dot's radius and a gap away from it, and each one after
    // the first sits below (above) the one before.
    auto reserve = [&](std::size_t names) {
        return names ? 12 + label_height * static_cast<double>(std::min(names, fleet_labels)) : 6;
    };
    double reserve_top = reserve(high), reserve_bottom = reserve(low);
    auto y_of = [&](double log_ratio) {
        return plot_top + reserve_top +
               (hi - log_ratio) / (hi - lo) * (fleet_plot - reserve_top - reserve_bottom);
    };

    // Ticks: round ratios, linear steps over a narrow range, 1-2-5 over a wide one.
    std::vector<double> ticks;
    // Within what a double holds, however far apart the runs are.
    double a = std::max(std::exp(lo), std::numeric_limits<double>::min()),
           b = std::min(std::exp(hi), std::numeric_limits<double>::max());
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
    // x1 first when it is in range, then every tick that keeps its label
    // clear of those already drawn.
    std::stable_partition(ticks.begin(), ticks.end(),
                          [](double t) { return std::fabs(t - 1) < 1e-9; });
    std::vector<double> drawn;
    double widest = 0;
    for (double t : ticks) {
        double y = y_of(std::log(t));
        if (std::any_of(drawn.begin(), drawn.end(),
                        [&](double d) { return std::fabs(d - y) < 16; }))
            continue;
        drawn.push_back(y);
        svg.line(fleet_left, y, fleet_right, y, grid_colour, 1, "", grid_class);
        std::string text = fmt::format("x{:.4g}", t);
        widest = std::max(widest, text_width(text, 10));
        svg.text(fleet_left - 6, y + 4, text, "end", 10);
    }
    axis_title(widest);

    // Reference lines, named in the right margin.
    struct Reference {
        double y;
        std::string name;
    };
    std::vector<Reference> refs;
    double median_y = y_of(med);
    svg.line(fleet_left, median_y, fleet_right, median_y, ink, 1.5, "6 4");
    refs.push_back({median_y, fmt::format("median {}", format_ratio(std::exp(med)))});
    if (c.baseline) {
        double one = y_of(0);
        svg.line(fleet_left, one, fleet_right, one, reference_colour, 1.5, "2 3");
        refs.push_back({one, "baseline"});
    }
    if (refs.size() == 2 && std::fabs(refs[0].y - refs[1].y) < label_height) {
        bool first_above = refs[0].y <= refs[1].y;
        double centre = (refs[0].y + refs[1].y) / 2;
        refs[first_above ? 0 : 1].y = centre - label_height / 2;
        refs[first_above ? 1 : 0].y = centre + label_height / 2;
    }
    for (const Reference& r : refs)
        svg.text(fleet_right + 6, r.y + 4, fit_text(r.name, fleet_width - fleet_right - 8, 11),
                 "start", 11);

    // The dots, the baseline's in black, the outliers in colour.
    const double step = (fleet_right - fleet_left - 16) / static_cast<double>(dots.size());
    const double radius = std::clamp(step * 0.45, 2.2, 4.0);
    std::vector<Box> taken;
    std::vector<double> xs(dots.size()), ys(dots.size());
    for (std::size_t k = 0; k < dots.size(); ++k) {
        xs[k] = fleet_left + 8 + step * (static_cast<double>(k) + 0.5);
        ys[k] = y_of(logs[k]);
        bool far = std::find(slow.begin(), slow.end(), k) != slow.end() ||
                   std::find(fast.begin(), fast.end(), k) != fast.end();
        bool base = c.baseline == dots[k].run;
        svg.circle(
            xs[k], ys[k], base ? radius + 1 : radius,
            base  ? ink
            : far ? outlier_colour
                  : bar_colour,
            "", fmt::format("{}: {}", label_of(*c.runs[dots[k].run]), format_ratio(dots[k].ratio)));
        taken.push_back(
            {xs[k] - radius - 1, ys[k] - radius - 1, xs[k] + radius + 1, ys[k] + radius + 1});
    }
    for (const Reference& r : refs)
        taken.push_back({fleet_left, r.y - 2, fleet_right, r.y + 2});
    taken.push_back({fleet_left - 2, plot_top, fleet_left + 1, bottom});
    taken.push_back({fleet_left, bottom - 1, fleet_right, bottom + 2});

    // Names of the outliers: the slow ones below and to the right of their
    // dots, the fast ones above and to the left, where the sorted dots leave
    // room; each moved further out until it covers nothing.
    auto name = [&](std::size_t k, bool slow) {
        std::string text = fit_text(
            fmt::format("{} {}", label_of(*c.runs[dots[k].run]), format_ratio(dots[k].ratio)), 160,
            11);
        double w = text_width(text, 11);
        double x = slow ? xs[k] + radius + 4 : xs[k] - radius - 4 - w;
        x = std::clamp(x, fleet_left + 3, fleet_right - w - 2);
        Box box{x, 0, x + w, 0};
        double y = slow ? ys[k] + radius + 2 : ys[k] - radius - 2 - label_height;
        for (; y >= plot_top && y + label_height <= bottom; y += slow ? 2 : -2) {
            box.top = y;
            box.bottom = y + label_height;
            if (std::none_of(taken.begin(), taken.end(),
                             [&](const Box& t) { return t.meets(box); })) {
                taken.push_back(box);
                svg.text(x, y + 0.95 * 11 + 0.5, text, "start", 11);
                return;
            }
        }
        notes.unlabelled.push_back(label_of(*c.runs[dots[k].run]));
    };
    for (std::size_t k = 0; k < low; ++k) {
        if (k < fleet_labels)
            name(slow[k], true);
        else
            notes.unlabelled.push_back(label_of(*c.runs[dots[slow[k]].run]));
    }
    for (std::size_t k = 0; k < high; ++k) {
        if (k < fleet_labels)
            name(fast[k], false);
        else
            notes.unlabelled.push_back(label_of(*c.runs[dots[fast[k]].run]));
    }
}

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
        if ((!test.empty() && row.test != test) ||
            (row.figure != "single rate" && row.figure != "overall rate"))
            continue;
        std::string what =
            row.figure == "single rate" ? "Single-thread rate" : "Overall rate (all threads)";
        panels.push_back({&row, name_tests ? row.test_title + ": " + row.figure : what});
    }
    return panels;
}

// `heading`, when given, is written above the panels (a chart that stands
// alone, without the page's headings).
std::string fleet_svg(const ProgramComparison& c, const std::vector<FleetPanel>& panels,
                      const std::string& title, const std::string& heading,
                      std::string& notes_html) {
    Svg svg;
    svg.width = fleet_width;
    double top = 0;
    if (!heading.empty())
        top = text_lines(svg, 8, 20, heading, (fleet_width - 16) / 1.1, 14, 18,
                         "font-weight=\"bold\"");
    svg.height = top + fleet_panel_height * static_cast<double>(panels.size()) + 6;
    PanelNotes notes;
    for (std::size_t p = 0; p < panels.size(); ++p)
        fleet_panel(svg, c, panels[p], top + fleet_panel_height * static_cast<double>(p),
                    notes);
    auto unique = [](std::vector<std::string>& v) {
        std::vector<std::string> out;
        for (std::string& s : v)
            if (std::find(out.begin(), out.end(), s) == out.end())
                out.push_back(std::move(s));
        v = std::move(out);
    };
    unique(notes.missing);
    unique(notes.unlabelled);
    if (!notes.missing.empty())
        notes_html += "<p class=\"note\">" +
                      xml_escape(fmt::format("Not drawn, no figure to compare: {}.",
                                             some_names(notes.missing))) +
                      "</p>\n";
    if (!notes.unlabelled.empty())
        notes_html +=
            "<p class=\"note\">" +
            xml_escape(fmt::format("Outliers in colour but not named on the chart: {} (see "
                                   "the tables).",
                                   some_names(notes.unlabelled))) +
            "</p>\n";
    return svg.element(title);
}

// The runs whose charts and tables a fleet's page carries: the baselines,
// the outliers furthest first, then partial runs.
std::vector<const Run*> detailed_runs(const std::vector<const Run*>& runs,
                                      const std::vector<ProgramComparison>& comparisons) {
    std::vector<const Run*> chosen;
    auto add = [&](const Run* r) {
        if (chosen.size() < fleet_detail &&
            std::find(chosen.begin(), chosen.end(), r) == chosen.end())
            chosen.push_back(r);
    };
    for (const ProgramComparison& c : comparisons)
        if (c.baseline)
            add(c.runs[*c.baseline]);
    for (std::size_t k = 0; chosen.size() < fleet_detail; ++k) {
        bool any = false;
        for (const ProgramComparison& c : comparisons)
            if (k < c.outliers.size()) {
                any = true;
                add(c.runs[c.outliers[k].run]);
            }
        if (!any)
            break;
    }
    for (const Run* r : runs)
        if (r->partial)
            add(r);
    // In the order given.
    std::vector<const Run*> ordered;
    for (const Run* r : runs)
        if (std::find(chosen.begin(), chosen.end(), r) != chosen.end())
            ordered.push_back(r);
    return ordered;
}

std::string run_detail(const Run& run, std::size_t index, bool open) {
    std::string out =
        fmt::format("<details id=\"run-{}\"{}>\n<summary>{}: {}</summary>\n", index,
                    open ? " open" : "", xml_escape(label_of(run)), program_name(run.program));
    std::string meta = fmt::format(
        "{} {}", run.source == Source::transcript ? "Console transcript" : "Results file",
        escape_path(run.path));
    if (run.threads)
        meta += fmt::format("; {} thread(s)", *run.threads);
    if (!run.local_time.empty())
        meta += fmt::format("; started {} {}", run.local_time, run.zone);
    if (run.machine)
        if (std::string machine = machine_summary(*run.machine, true); !machine.empty())
            meta += "; machine " + machine;
    if (run.partial)
        meta += "; partial: the file ends before the end of the run";
    if (!run.findings.empty())
        meta +=
            fmt::format("; {} consistency finding(s), listed under its table", run.findings.size());
    out += "<p class=\"meta\">" + xml_escape(meta) + "</p>\n<div class=\"charts\">\n";
    std::string without;
    for (const Test& test : run.tests) {
        std::string chart = scaling_chart(run, test);
        if (chart.empty())
            without += (without.empty() ? "" : ", ") + std::string(display_name(test.key));
        else
            out += "<figure>\n" + chart + "</figure>\n";
    }
    out += "</div>\n";
    if (!without.empty())
        out += "<p class=\"note\">No per-thread rates to chart for " + xml_escape(without) +
               " (see the table).</p>\n";
    for (Table& t : show_tables(run)) {
        // The machine, named in the line above, once.
        t.title = t.title.substr(0, t.title.find('\n'));
        out += scroll_table(t);
    }
    return out + "</details>\n";
}

}  // namespace

std::string scaling_chart(const Run& run, const Test& test) {
    std::vector<const ThreadResult*> threads = threads_in_order(test);
    if (threads.empty())
        return "";
    bool has_single = test.single_rate && std::isfinite(test.single_rate->value);
    double single = has_single ? test.single_rate->value : 0;
    double max = single;
    for (const ThreadResult* t : threads)
        if (t->rate && std::isfinite(t->rate->value))
            max = std::max(max, t->rate->value);

    Svg svg;
    svg.width = 640;
    const double left = 76, right = 620;
    const std::string name(display_name(test.key));
    svg.text(left, 20,
             fit_text(fmt::format("{} ({})", name, label_of(run)), svg.width - left - 8, 15 * 1.1),
             "start", 15, "font-weight=\"bold\"");
    TestSummary s = summarize(run, test);
    std::string sub;
    if (s.overall_rate && s.improvement && s.threads > 0)
        sub = fmt::format(
            "{} thread(s); overall {} = {} x the single-thread rate (ideal x{}, "
            "efficiency {:.0f}%)",
            s.threads, short_number(*s.overall_rate), short_number(*s.improvement), s.threads,
            *s.improvement / s.threads * 100);
    else if (s.threads > 0)
        sub = fmt::format(
            "{} thread(s); no overall comparison (a pass ran out of memory or the "
            "run was cut short)",
            s.threads);
    double sub_end = text_lines(svg, left, 40, sub, svg.width - left - 8, 12, 16);
    const double top_y = sub_end + 12, bottom_y = top_y + 238;

    double slot = (right - left) / static_cast<double>(threads.size());
    double width = std::max(slot * 0.7, 0.5);
    // Value labels where each fits its own slot.
    bool labelled = true;
    for (const ThreadResult* t : threads)
        if (t->rate && text_width(t->rate->text, 10) > slot - 3)
            labelled = false;
    // Room above the tallest bar for its label, and for a label moved over the line.
    double room = labelled ? 2 * 0.95 * 10 + 14 : 4;
    double step = 1;
    double top = axis_top(max > 0 ? max * (bottom_y - top_y) / (bottom_y - top_y - room) : 1, step);
    y_axis(svg, left, right, top_y, bottom_y, top, step,
           fmt::format("rate per thread ({})", test.unit), false);

    std::optional<double> line_y;
    if (has_single)
        line_y = bottom_y - (bottom_y - top_y) * (single / top);
    std::size_t every = 1;
    std::string last = std::to_string(threads.back()->thread);
    while (slot * static_cast<double>(every) < text_width(last, 11) + 4)
        ++every;
    Svg labels;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        const ThreadResult& t = *threads[i];
        double x = left + slot * static_cast<double>(i) + (slot - width) / 2;
        double cx = x + width / 2;
        if (t.rate && std::isfinite(t.rate->value)) {
            double h = (bottom_y - top_y) * (t.rate->value / top);
            svg.rect(x, bottom_y - h, width, h, bar_colour,
                     fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
            if (labelled)
                bar_label(labels, cx, bottom_y - h, t.rate->text, 10, false, line_y);
        } else {
            std::string why = t.out_of_memory ? "out of memory" : "n/a";
            if (text_width(why, 9) <= slot - 2)
                svg.text(cx, bottom_y - 6, why, "middle", 9);
        }
        if (i % every == 0)
            svg.text(cx, bottom_y + 15, std::to_string(t.thread), "middle", 11);
    }
    svg.text((left + right) / 2, bottom_y + 34, "thread number (multi-thread pass)", "middle", 12);
    if (line_y)
        svg.line(left, *line_y, right, *line_y, reference_colour, 2.5, "8 5");
    svg.body += labels.body;

    // Legend: a filled bar and a dashed line, so it reads without colour.
    double ly = bottom_y + 62;
    svg.rect(left, ly - 10, 14, 12, bar_colour,
             fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
    svg.text(left + 20, ly, "bar: rate of each thread in the multi-thread pass", "start", 11);
    svg.line(left, ly + 16, left + 14, ly + 16, reference_colour, 2.5, "5 3");
    std::string line_text =
        has_single ? fmt::format(
                         "dashed line: the single-thread rate, {}; a thread that scales "
                         "perfectly reaches it",
                         test.single_rate->text)
        : test.single_out_of_memory
            ? "the single-thread pass ran out of memory: no reference or ideal-scaling line"
            : "no single-thread rate in this run: no reference or ideal-scaling line";
    double end = text_lines(svg, left + 20, ly + 20, line_text, right - left - 20, 11, 14);
    svg.height = end + 4;
    return svg.element(fmt::format("{}: rate per thread, {}", name, label_of(run)));
}

namespace {

// Tick labels of an axis stepping by `step`: as many decimals as the step has.
std::string tick_text(double v, double step) {
    int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    if (std::fabs(mantissa - 2.5) < 1e-6 && step < 1)
        ++decimals;
    return fmt::format("{:.{}f}", std::fabs(v) < step * 1e-9 ? 0.0 : v, decimals);
}

// One panel of a history chart: a rate by day from `y0` down; returns where
// the panel ends.
double history_panel(Svg& svg, const History& h, const std::vector<HistoryPoint>& points,
                     const std::vector<const ChangePoint*>& change_points,
                     const std::string& title, double y0) {
    const double left = 76, right = 620, plot_height = 150, label_size = 10, row = 13;
    const double inner_left = left + 24, inner_right = right - 24;
    svg.text(left, y0 + 16, fit_text(title, svg.width - left - 8, 13 * 1.1), "start", 13,
             "font-weight=\"bold\"");
    const std::size_t rows = h.changes.empty() ? 0 : 2;
    const double top_y = y0 + 24 + row * static_cast<double>(rows) + 4,
                 bottom_y = top_y + plot_height;

    double first = static_cast<double>(h.days.front().days),
           last = static_cast<double>(h.days.back().days);
    auto x_of = [&](std::size_t day) {
        return inner_left + (static_cast<double>(h.days[day].days) - first) / (last - first) *
                                (inner_right - inner_left);
    };

    // The rate axis spans the days' lowest to highest, with a little room.
    double lo = points.front().min, hi = points.front().max;
    for (const HistoryPoint& p : points) {
        lo = std::min(lo, p.min);
        hi = std::max(hi, p.max);
    }
    double span = hi - lo > std::fabs(hi) * 1e-9 ? hi - lo : std::max(std::fabs(hi) * 0.02, 1e-9);
    double bottom_value = lo - 0.1 * span,
           top_value = std::min(hi + 0.1 * span, std::numeric_limits<double>::max());
    if (lo >= 0)
        bottom_value = std::max(bottom_value, 0.0);
    double step = tick_step(top_value - bottom_value, 4);
    auto y_of = [&](double v) {
        return bottom_y - (v - bottom_value) / (top_value - bottom_value) * plot_height;
    };
    for (double t : ticks_between(bottom_value, top_value, step)) {
        double y = y_of(t);
        svg.line(left, y, right, y, grid_colour, 1, "", grid_class);
        svg.text(left - 6, y + 4, tick_text(t, step), "end", 11);
    }
    svg.line(left, top_y, left, bottom_y, ink);
    svg.line(left, bottom_y, right, bottom_y, ink);

    // The days under the axis, each clear of the one before.
    double drawn_right = -1e9;
    for (std::size_t i = 0; i < h.days.size(); ++i) {
        double w = text_width(h.days[i].date, label_size);
        double x = std::clamp(x_of(i) - w / 2, left + 2, svg.width - w - 2);
        if (x < drawn_right + 8)
            continue;
        svg.text(x, bottom_y + 15, h.days[i].date, "start", label_size);
        drawn_right = x + w;
    }

    // Changes of the machine: a dashed rule between the two days, its fields
    // named above the plot in the first of the rows where they fit.
    std::vector<std::vector<std::pair<double, double>>> taken(rows);
    for (const History::Change& change : h.changes) {
        double x = (x_of(change.index - 1) + x_of(change.index)) / 2;
        svg.line(x, top_y, x, bottom_y, reference_colour, 1.5, "3 3");
        std::vector<std::string> fields;
        for (const ContextDifference& d : change.differences)
            fields.push_back(d.field);
        std::string text = fit_text(fmt::format("{}", fmt::join(fields, ", ")), 200, label_size);
        double w = text_width(text, label_size);
        double start = std::clamp(x - w / 2, left + 2, right - w);
        for (std::size_t r = 0; r < rows; ++r) {
            auto& used = taken[r];
            if (std::any_of(used.begin(), used.end(), [&](const auto& u) {
                    return start < u.second + 8 && u.first < start + w + 8;
                }))
                continue;
            used.emplace_back(start, start + w);
            svg.text(start, top_y - 5 - row * static_cast<double>(r), text, "start", label_size);
            break;
        }
    }

    // Change points: a solid rule on the first day of the new level, its
    // figures on hover.
    for (const ChangePoint* cp : change_points) {
        std::size_t day = 0;
        while (day < h.days.size() && h.days[day].date != cp->date)
            ++day;
        if (day == h.days.size())
            continue;
        double x = x_of(day);
        svg.line(x, top_y, x, bottom_y, change_colour, 2);
        svg.circle(x, top_y + 5, 4, change_colour, "",
                   fmt::format("Change point: {:+.1f}% from {} (median {} before, {} after, p {:.2g})",
                               cp->change_percent, cp->date, short_number(cp->before),
                               short_number(cp->after), cp->p));
    }

    // The medians joined, then each day's spread and median.
    for (std::size_t k = 1; k < points.size(); ++k)
        svg.line(x_of(points[k - 1].day), y_of(points[k - 1].median), x_of(points[k].day),
                 y_of(points[k].median), "#888888", 1);
    for (const HistoryPoint& p : points) {
        double x = x_of(p.day);
        if (p.max > p.min)
            svg.line(x, y_of(p.max), x, y_of(p.min), bar_colour, 2.5);
        svg.circle(
            x, y_of(p.median), 4, ink, "",
            fmt::format("{}: median {} of {} run(s), lowest {}, highest {}", h.days[p.day].date,
                        short_number(p.median), p.runs, short_number(p.min), short_number(p.max)));
    }
    return bottom_y + 24;
}

}  // namespace

std::string history_chart(const History& h, const std::string& key,
                          const std::vector<const ChangePoint*>& change_points) {
    const TestInfo* info = find_test_info(key);
    std::string name = info ? std::string(info->name) : key;
    std::string unit;
    for (const HistoryDay& day : h.days)
        for (const Run* r : day.runs)
            for (const Test& t : r->tests)
                if (t.key == key && unit.empty())
                    unit = t.unit;
    struct Panel {
        std::vector<HistoryPoint> points;
        std::vector<const ChangePoint*> change_points;
        std::string title;
    };
    std::vector<Panel> panels;
    for (bool overall : {false, true}) {
        std::vector<HistoryPoint> points = history_points(h, key, overall);
        std::vector<const ChangePoint*> marks;
        for (const ChangePoint* cp : change_points)
            if (cp->test == key && cp->overall == overall)
                marks.push_back(cp);
        if (!points.empty())
            panels.push_back(
                {std::move(points), std::move(marks),
                 fmt::format("{}{}", overall ? "Overall rate (all threads)" : "Single-thread rate",
                             unit.empty() ? "" : " (" + unit + ")")});
    }
    if (panels.empty())
        return "";
    Svg svg;
    svg.width = 640;
    const double left = 76;
    svg.text(left, 20,
             fit_text(fmt::format("{}: {} by day", name, h.label), svg.width - left - 8, 15 * 1.1),
             "start", 15, "font-weight=\"bold\"");
    double y =
        text_lines(svg, left, 40,
                   fmt::format("{}. A dot is the median of a day's runs, its bar their lowest "
                               "to highest{}{}.",
                               program_name(h.program),
                               h.changes.empty() ? ""
                                                 : "; a dashed line marks a change of the "
                                                   "machine between two days, named above",
                               std::none_of(panels.begin(), panels.end(),
                                            [](const Panel& p) { return !p.change_points.empty(); })
                                   ? ""
                                   : "; a solid orange line marks a change point, the first day "
                                     "of a new level"),
                   svg.width - left - 8, 12, 16);
    for (const Panel& p : panels)
        y = history_panel(svg, h, p.points, p.change_points, p.title, y);
    svg.height = y;
    return svg.element(fmt::format("{}: {} by day ({})", name, h.label, program_name(h.program)));
}

std::string comparison_chart(const ProgramComparison& c) {
    const double width = 640, left = 64, right = 624, panel_height = 262, plot_top = 28,
                 plot_height = 170;
    std::size_t n = c.runs.size();
    Svg svg;
    svg.width = width;

    std::string base =
        c.baseline ? label_of(*c.runs[*c.baseline]) : fmt::format("the median of the {} runs", n);
    double y = text_lines(svg, left, 22,
                          fmt::format("{}: each run's rates divided by the baseline's ({})",
                                      program_name(c.program), base),
                          (width - left - 8) / 1.1, 15, 19, "font-weight=\"bold\"");
    double y0 = text_lines(svg, left, y + 1,
                           "1.0 = the baseline; higher is better. The number under each bar is the "
                           "run's number in the legend.",
                           width - left - 8, 12, 16);

    struct Panel {
        const char* title;
        const char* figure;
        const std::vector<GeoMean>* geo;
    };
    const Panel panels[] = {{"Single-thread rate", "single rate", &c.geo_single},
                            {"Overall rate (all threads)", "overall rate", &c.geo_overall}};
    for (int p = 0; p < 2; ++p) {
        const Panel& panel = panels[p];
        double py = y0 + panel_height * p;
        double top_y = py + plot_top, bottom_y = top_y + plot_height;
        // One group per test that has the figure, then the geometric mean.
        std::vector<std::pair<std::string, std::vector<Cell>>> groups;
        for (const FigureRow& row : c.rows)
            if (row.figure == panel.figure)
                groups.emplace_back(row.test_title, row.cells);
        std::vector<Cell> geo;
        for (const GeoMean& g : *panel.geo) {
            Cell cell;
            cell.value = g.ratio;
            cell.ratio = g.ratio;
            cell.mark = g.mark;
            cell.missing = g.ratio ? Missing::none : Missing::absent;
            geo.push_back(cell);
        }
        groups.emplace_back("Geometric mean", std::move(geo));

        double slot = (right - left) / static_cast<double>(groups.size());
        double bar = slot * 0.8 / static_cast<double>(n);
        // Value labels across the bar where they fit it, else reading upwards.
        const double label_size = 10;
        bool across = text_width("0.000", label_size) + 2 <= bar;
        bool upwards = !across && bar >= 1.2 * label_size + 2;
        double room = across    ? 2 * 0.95 * label_size + 14
                      : upwards ? 2 * text_width("00.000", label_size) + 12
                                : 4;
        double max = 1.2;
        for (const auto& g : groups)
            for (const Cell& cell : g.second)
                if (cell.ratio && std::isfinite(*cell.ratio))
                    max = std::max(max, *cell.ratio);
        double step = 1;
        double top =
            axis_top(max * plot_height / std::max(plot_height - room, plot_height * 0.3), step);
        svg.text(left, py + 18, panel.title, "start", 13, "font-weight=\"bold\"");
        y_axis(svg, left, right, top_y, bottom_y, top, step, "ratio to baseline", true);
        double one = bottom_y - plot_height / top;

        Svg labels;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            double gx = left + slot * static_cast<double>(g) + slot * 0.1;
            for (std::size_t i = 0; i < n; ++i) {
                double x = gx + bar * static_cast<double>(i);
                const Cell& cell = groups[g].second[i];
                const std::optional<double>& r = cell.ratio;
                if (r && std::isfinite(*r)) {
                    double h = plot_height * (std::min(*r, top) / top);
                    svg.rect(x + bar * 0.05, bottom_y - h, bar * 0.9, h, palette[i % fleet_runs],
                             fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
                    if (across || upwards)
                        bar_label(labels, x + bar / 2, bottom_y - h, fmt::format("{:.3f}", *r),
                                  label_size, upwards, one);
                } else {
                    // "incomplete" where it fits, else "n/a" as for any figure not compared.
                    std::string why = cell.missing == Missing::incomplete &&
                                              text_width("incomplete", 9) + 2 <= bar
                                          ? "incomplete"
                                          : "n/a";
                    if (text_width(why, 9) + 2 <= bar)
                        svg.text(x + bar / 2, bottom_y - 5, why, "middle", 9);
                }
                if (text_width(std::to_string(i + 1), 10) + 2 <= bar)
                    svg.text(x + bar / 2, bottom_y + 13, std::to_string(i + 1), "middle", 10);
            }
            // The test's name under its group, on two lines where one is too narrow.
            std::vector<std::string> lines = wrap_text(groups[g].first, slot - 6, 12);
            for (std::size_t k = 0; k < lines.size() && k < 2; ++k)
                svg.text(gx + slot * 0.4, bottom_y + 30 + 14 * static_cast<double>(k),
                         k == 1 && lines.size() > 2
                             ? fit_text(lines[1] + " " + lines[2], slot - 6, 12)
                             : lines[k],
                         "middle", 12);
        }
        svg.line(left, one, right, one, ink, 1.5, "6 4");
        svg.body += labels.body;
    }

    // The legend, in two columns.
    double ly = y0 + 2 * panel_height + 12;
    double column = (right - left) / 2;
    for (std::size_t i = 0; i < n; ++i) {
        double x = left + column * static_cast<double>(i % 2);
        double y = ly + 22 * static_cast<double>(i / 2);
        svg.rect(x, y - 11, 14, 14, palette[i % fleet_runs],
                 fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
        std::string entry = fmt::format("{}  {}{}", i + 1, label_of(*c.runs[i]),
                                        c.baseline == i ? " (baseline)" : "");
        svg.text(x + 20, y, fit_text(entry, column - 28, 12), "start", 12);
    }
    svg.height = ly + 22 * static_cast<double>((n + 1) / 2) + 4;
    return svg.element(fmt::format("{}: rates relative to the baseline", program_name(c.program)));
}

std::string fleet_chart(const ProgramComparison& c, const std::string& test,
                        std::string* notes) {
    std::vector<FleetPanel> panels = fleet_panels(c, test, test.empty());
    if (panels.empty())
        return "";
    std::string ignored;
    std::string title =
        test.empty() ? fmt::format("{}: every run's rates divided by the {}",
                                   program_name(c.program), c.baseline ? "baseline's" : "median's")
                     : fmt::format("{}: {} runs, a dot per run", display_name(test), c.runs.size());
    return fleet_svg(c, panels, title, test.empty() ? title : "", notes ? *notes : ignored);
}

namespace {

const char* outcome_words(GateVerdict::Outcome outcome) {
    switch (outcome) {
        case GateVerdict::Outcome::pass: return "pass";
        case GateVerdict::Outcome::fail: return "fail";
        case GateVerdict::Outcome::no_verdict: break;
    }
    return "no verdict";
}

// The gate's verdict at the top of the page, in the sentences compare says:
// the verdict first, then what led to it.
std::string gate_section(const GateVerdict& v, const std::vector<ProgramComparison>& cs) {
    std::vector<std::string> lines = gate_lines(v, cs);
    std::string out = fmt::format(
        "<section id=\"gate\" class=\"gate {}\">\n<h2>Gate: {}</h2>\n<p><strong>{}</strong></p>\n",
        outcome_name(v.outcome), outcome_words(v.outcome), xml_escape(lines.back()));
    for (std::size_t k = 0; k + 1 < lines.size(); ++k)
        out += "<p class=\"note\">" + xml_escape(lines[k]) + "</p>\n";
    return out + "</section>\n";
}

// The chart under a banner that states the gate's verdict: the chart's own
// drawing nested below the banner's lines, the whole as wide as the chart.
std::string with_verdict(const std::string& chart, const GateVerdict& v,
                         const std::vector<ProgramComparison>& cs) {
    double width = 0, height = 0;
    std::size_t box = chart.find("viewBox=\"0 0 ");
    if (box == std::string::npos ||
        std::sscanf(chart.c_str() + box, "viewBox=\"0 0 %lf %lf\"", &width, &height) != 2)
        return chart;
    std::vector<std::string> lines = gate_lines(v, cs);
    Svg banner;
    banner.width = width;
    const char* colour = v.outcome == GateVerdict::Outcome::pass   ? "#009E73"
                         : v.outcome == GateVerdict::Outcome::fail ? "#D55E00"
                                                                    : "#555555";
    double y = text_lines(banner, 12, 22, lines.back(), width - 24, 14, 18,
                          fmt::format("font-weight=\"bold\" fill=\"{}\"", colour));
    for (std::size_t k = 0; k + 1 < lines.size(); ++k)
        y = text_lines(banner, 12, y, lines[k], width - 24, 11, 14);
    banner.rect(0, 0, 6, y - 8, colour);
    banner.height = y + height;
    // The chart keeps its own coordinates in a viewport below the banner.
    std::string nested = chart;
    const std::string scaled = "style=\"width:100%;height:auto\"";
    if (std::size_t at = nested.find(scaled); at != std::string::npos)
        nested.replace(at, scaled.size(),
                       fmt::format("x=\"0\" y=\"{:.2f}\" width=\"{:.2f}\" height=\"{:.2f}\"", y,
                                   width, height));
    banner.body += nested;
    return banner.element(lines.back());
}

}  // namespace

std::string html_report(const std::vector<const Run*>& runs,
                        const std::vector<ProgramComparison>& comparisons,
                        const ViewOptions& options) {
    std::string out = fmt::format(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>bench_report: {} run(s)</title>\n<style>\n{}</style>\n</head>\n<body>\n"
        "<h1>Benchmark report: {} run(s)</h1>\n",
        runs.size(), style, runs.size());

    bool fleet = std::any_of(comparisons.begin(), comparisons.end(), is_fleet);
    std::vector<const Run*> detailed = fleet ? detailed_runs(runs, comparisons) : runs;

    // Contents.
    std::string contents;
    for (const ProgramComparison& c : comparisons) {
        if (c.runs.size() < 2)
            continue;
        std::string id = program_id(c.program);
        contents += fmt::format("<li><a href=\"#compare-{}\">{}: {} runs compared</a>", id,
                                program_name(c.program), c.runs.size());
        if (is_fleet(c)) {
            contents += "<ul>";
            for (const TestInfo& info : catalogue(c.program))
                if (std::any_of(c.rows.begin(), c.rows.end(),
                                [&](const FigureRow& r) { return r.test == info.key; }))
                    contents += fmt::format("<li><a href=\"#fleet-{}\">{}</a></li>", info.key,
                                            xml_escape(info.name));
            contents +=
                fmt::format("<li><a href=\"#table-{}\">Table of the runs</a></li></ul>", id);
        }
        contents += "</li>\n";
    }
    // Each label with runs on two days or more, its programs together.
    HistoryAnalysis analysis = analyse_history(runs);
    const std::vector<History>& history = analysis.histories;
    std::vector<std::pair<std::string, std::vector<const History*>>> labels;
    for (const History& h : history) {
        if (labels.empty() || labels.back().first != h.label)
            labels.push_back({h.label, {}});
        labels.back().second.push_back(&h);
    }
    // A fleet's page carries the history of a dozen labels, the first given.
    std::size_t history_total = labels.size();
    if (labels.size() > fleet_detail)
        labels.resize(fleet_detail);
    for (std::size_t k = 0; k < labels.size(); ++k) {
        std::size_t days = 0;
        for (const History* h : labels[k].second)
            days = std::max(days, h->days.size());
        contents += fmt::format("<li><a href=\"#history-{}\">History of {}: {} days</a></li>\n",
                                k + 1, xml_escape(labels[k].first), days);
    }
    if (!analysis.fleet_events.empty())
        contents += fmt::format("<li><a href=\"#fleet-events\">Fleet events ({})</a></li>\n",
                                analysis.fleet_events.size());
    contents += fmt::format(
        "<li><a href=\"#runs\">{}</a></li>\n",
        detailed.size() == runs.size()
            ? fmt::format("Each run: charts and tables ({})", runs.size())
            : fmt::format("Charts and tables of {} of the {} runs", detailed.size(), runs.size()));
    if (options.gate)
        contents = fmt::format("<li><a href=\"#gate\">Gate: {}</a></li>\n",
                               outcome_words(options.gate->outcome)) +
                   contents;
    out += "<nav>\n<h2>Contents</h2>\n<ul>\n" + contents + "</ul>\n</nav>\n";
    if (options.gate)
        out += gate_section(*options.gate, comparisons);

    for (const ProgramComparison& c : comparisons) {
        if (c.runs.size() < 2)
            continue;
        std::string id = program_id(c.program);
        out += fmt::format("<h2 id=\"compare-{}\">{}: {} runs compared</h2>\n", id,
                           program_name(c.program), c.runs.size());
        ViewOptions view = options;
        if (is_fleet(c)) {
            out +=
                "<p class=\"note\">" +
                xml_escape(fmt::format(
                    "Each dot is a run, its rate divided by {}; the runs are sorted, so the "
                    "flat middle is the bulk of the fleet. Runs far from the median (outside "
                    "+/-{:g}% and {:g} robust units of the fleet's spread) are in colour and "
                    "named{}; hover a dot for its run.",
                    c.baseline ? "the baseline's (" + label_of(*c.runs[*c.baseline]) + ", in black)"
                               : std::string("the median of the runs"),
                    c.noise, outlier_score,
                    c.baseline ? "; the dotted line is the baseline" : "")) +
                "</p>\n";
            out += "<div class=\"charts fleet\">\n";
            for (const TestInfo& info : catalogue(c.program)) {
                std::string notes;
                std::string chart = fleet_chart(c, std::string(info.key), &notes);
                if (chart.empty())
                    continue;
                out += fmt::format(
                    "<section>\n<h3 id=\"fleet-{}\">{}</h3>\n<figure>\n{}</figure>\n{}</section>\n",
                    info.key, xml_escape(info.name), chart, notes);
            }
            out += "</div>\n";
            view.layout = CompareLayout::fleet;
        } else {
            out += "<figure>\n" + comparison_chart(c) + "</figure>\n";
            view.layout = CompareLayout::wide;
        }
        out += fmt::format("<h3 id=\"table-{}\">Table of the runs</h3>\n", id);
        for (const Table& t : compare_tables({c}, view))
            out += scroll_table(t);
    }

    if (!analysis.fleet_events.empty()) {
        out += "<h2 id=\"fleet-events\">Fleet events</h2>\n<p class=\"note\">" +
               xml_escape("Change points of several hosts in one direction on one day or the "
                          "next, or sharing a change of the machine within a week.") +
               "</p>\n<ul>\n";
        for (const FleetEvent& e : analysis.fleet_events) {
            std::vector<std::string> names;
            for (const std::string& l : e.labels)
                names.push_back(escape_path(l));
            out += "<li>" + xml_escape(fleet_event_text(e, analysis.labels)) + ": " +
                   xml_escape(fmt::format("{}", fmt::join(names, ", "))) + "</li>\n";
        }
        out += "</ul>\n";
    }
    for (std::size_t k = 0; k < labels.size(); ++k) {
        out += fmt::format("<h2 id=\"history-{}\">History of {}</h2>\n", k + 1,
                           xml_escape(labels[k].first));
        for (const History* h : labels[k].second) {
            std::size_t count = 0;
            for (const HistoryDay& day : h->days)
                count += day.runs.size();
            out +=
                fmt::format("<h3>{}: {} runs on {} days, {} to {}</h3>\n", program_name(h->program),
                            count, h->days.size(), h->days.front().date, h->days.back().date);
            for (const History::Change& change : h->changes) {
                std::vector<std::string> what;
                for (const ContextDifference& d : change.differences)
                    what.push_back(fmt::format("{} from {} to {}", d.field, d.first, d.second));
                out += "<p class=\"note\">" +
                       xml_escape(fmt::format("Between {} and {} the machine changed: {}.",
                                              h->days[change.index - 1].date,
                                              h->days[change.index].date, fmt::join(what, "; "))) +
                       "</p>\n";
            }
            std::vector<const ChangePoint*> marks;
            for (const ChangePoint& cp : analysis.change_points)
                if (cp.label == h->label && cp.program == h->program)
                    marks.push_back(&cp);
            for (const ChangePoint* cp : marks)
                out += "<p class=\"note\">" +
                       xml_escape(fmt::format(
                           "Change point: {} {:+.1f}% from {} (the last day before: {}), p {:.2g}; "
                           "machine changes: {}.",
                           series_name(cp->test, cp->overall), cp->change_percent, cp->date,
                           cp->last_before, cp->p, causes_text(cp->causes))) +
                       "</p>\n";
            out += "<div class=\"charts\">\n";
            for (const TestInfo& info : catalogue(h->program)) {
                std::string chart = history_chart(*h, std::string(info.key), marks);
                if (!chart.empty())
                    out += "<figure>\n" + chart + "</figure>\n";
            }
            out += "</div>\n";
        }
    }
    if (labels.size() < history_total)
        out += "<p class=\"note\">" +
               xml_escape(
                   fmt::format("The history of {} of the {} labels with runs on two days or more, "
                               "the first given; `bench_report chart` of a label's runs "
                               "alone charts its history.",
                               labels.size(), history_total)) +
               "</p>\n";

    out += "<h2 id=\"runs\">Each run</h2>\n";
    if (detailed.size() < runs.size())
        out += "<p class=\"note\">" +
               xml_escape(fmt::format("The charts and tables of {} of the {} runs: the baselines, "
                                      "the runs furthest from the median and partial runs. "
                                      "`bench_report show` prints any run.",
                                      detailed.size(), runs.size())) +
               "</p>\n";
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (std::find(detailed.begin(), detailed.end(), runs[i]) != detailed.end())
            out += run_detail(*runs[i], i + 1, !fleet);
    out += "</body>\n</html>\n";
    return out;
}

std::string svg_report(const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons, const GateVerdict* gate) {
    auto document = [&](const std::string& chart) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" +
               (gate ? with_verdict(chart, *gate, comparisons) : chart);
    };
    for (const ProgramComparison& c : comparisons)
        if (c.runs.size() > 1) {
            std::string chart =
                is_fleet(c) ? fleet_chart(c, "", nullptr) : comparison_chart(c);
            if (!chart.empty())
                return document(chart);
        }
    for (const Run* run : runs)
        for (const Test& test : run->tests) {
            std::string chart = scaling_chart(*run, test);
            if (!chart.empty())
                return document(chart);
        }
    return "";
}

}  // namespace report
