#include "chart.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "load.h"
#include "summary.h"

namespace report {

namespace {

const char* const ink = "#222222";
const char* const grid = "#dddddd";
const char* const bar_colour = palette[0];       // blue
const char* const reference_colour = palette[3]; // vermillion
// Value labels stay readable where they cross a line or a bar.
const char* const halo = "paint-order=\"stroke\" stroke=\"#ffffff\" stroke-width=\"3\"";

std::string label_of(const Run& run) { return run.label.empty() ? escape_path(run.path) : run.label; }

std::string short_number(double v) { return fmt::format("{:.4g}", v); }

// A vertical axis from 0 to `top` with grid lines, tick labels and a title.
void y_axis(Svg& svg, double left, double right, double top_y, double bottom_y, double top,
            double step, const std::string& title, bool ratio)
{
    for (int k = 0;; ++k) {
        double v = k * step;
        if (v > top * (1 + 1e-9))
            break;
        double y = bottom_y - (bottom_y - top_y) * v / top;
        svg.line(left, y, right, y, grid);
        svg.text(left - 6, y + 4, ratio ? fmt::format("{:g}", v) : short_number(v), "end", 11);
    }
    svg.line(left, top_y, left, bottom_y, ink);
    svg.line(left, bottom_y, right, bottom_y, ink);
    double mid = (top_y + bottom_y) / 2;
    svg.text(16, mid, title, "middle", 12, fmt::format("transform=\"rotate(-90 16 {:.2f})\"", mid));
}

// Rounds the top of an axis up to a whole number of ticks.
double axis_top(double max, double& step)
{
    step = tick_step(max);
    return std::ceil(max / step - 1e-9) * step;
}

std::vector<const ThreadResult*> threads_in_order(const Test& test)
{
    std::vector<const ThreadResult*> out;
    for (const ThreadResult& t : test.threads)
        out.push_back(&t);
    std::stable_sort(out.begin(), out.end(),
                     [](const ThreadResult* a, const ThreadResult* b) { return a->thread < b->thread; });
    return out;
}

std::string html_cell_class(const std::string& cell)
{
    std::string cls;
    if (!cell.empty() && (std::isdigit(static_cast<unsigned char>(cell[0])) || cell[0] == 'x' ||
                          cell == "n/a" || cell.rfind("n/a ", 0) == 0 || cell == "incomplete"))
        cls = "num";
    auto ends = [&](const char* tail) {
        std::size_t n = std::strlen(tail);
        return cell.size() >= n && cell.compare(cell.size() - n, n, tail) == 0;
    };
    // The marks of compare: "... x0.951 -" or a geometric mean "x0.951 - (3/3)".
    bool better = ends(" +") || cell.find(" + (") != std::string::npos;
    bool worse = ends(" -") || cell.find(" - (") != std::string::npos;
    if (better)
        cls += " better";
    else if (worse)
        cls += " worse";
    return cls.empty() ? "" : fmt::format(" class=\"{}\"", cls.front() == ' ' ? cls.substr(1) : cls);
}

const char* style = R"(body{font-family:sans-serif;color:#111;margin:16px auto;max-width:1400px;padding:0 16px}
h1{font-size:24px}h2{font-size:20px;margin-top:32px;border-bottom:1px solid #ccc}
.meta{font-size:13px;color:#333;margin:4px 0}
.charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(520px,1fr));gap:16px}
.wide{max-width:1300px}
figure{margin:0;border:1px solid #ccc;padding:4px}
.scroll{overflow-x:auto}
table{border-collapse:collapse;margin:16px 0 4px;font-size:13px}
caption{text-align:left;font-weight:bold;padding:4px 0}
th,td{border:1px solid #bbb;padding:2px 6px;white-space:nowrap;text-align:left}
th{background:#f0f0f0}
td.num{text-align:right;font-variant-numeric:tabular-nums}
td.better{background:#dcefe6}td.worse{background:#fbe0d0}
.note{font-size:12px;margin:2px 0;color:#333}
)";

}  // namespace

std::string scaling_chart(const Run& run, const Test& test)
{
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
    svg.height = 410;
    const double left = 76, right = 620, top_y = 62, bottom_y = 300;
    double step = 1;
    double top = axis_top(max > 0 ? max * 1.08 : 1, step);

    svg.text(left, 20, fmt::format("{} ({})", test.title, label_of(run)), "start", 15,
             "font-weight=\"bold\"");
    TestSummary s = summarize(run, test);
    std::string sub;
    if (s.overall_rate && s.improvement && s.threads > 0)
        sub = fmt::format("{} thread(s); overall {} = {} x the single-thread rate (ideal x{}, "
                          "efficiency {:.0f}%)",
                          s.threads, short_number(*s.overall_rate), short_number(*s.improvement),
                          s.threads, *s.improvement / s.threads * 100);
    else if (s.threads > 0)
        sub = fmt::format("{} thread(s); no overall comparison (a pass ran out of memory or the "
                          "run was cut short)",
                          s.threads);
    svg.text(left, 40, sub, "start", 12);

    y_axis(svg, left, right, top_y, bottom_y, top, step,
           fmt::format("rate per thread ({})", test.unit), false);

    double slot = (right - left) / static_cast<double>(threads.size());
    double width = std::max(slot * 0.7, 0.5);
    std::size_t every = std::max<std::size_t>(1, threads.size() / 32 + 1);
    Svg labels;   // drawn over the reference line
    for (std::size_t i = 0; i < threads.size(); ++i) {
        const ThreadResult& t = *threads[i];
        double x = left + slot * static_cast<double>(i) + (slot - width) / 2;
        double cx = x + width / 2;
        if (t.rate && std::isfinite(t.rate->value)) {
            double h = (bottom_y - top_y) * t.rate->value / top;
            svg.rect(x, bottom_y - h, width, h, bar_colour,
                     fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
            if (threads.size() <= 16)
                labels.text(cx, bottom_y - h - 4, t.rate->text, "middle", 10, halo);
        } else {
            svg.text(cx, bottom_y - 6, t.out_of_memory ? "out of memory" : "n/a", "middle", 9);
        }
        if (i % every == 0)
            svg.text(cx, bottom_y + 15, std::to_string(t.thread), "middle", 11);
    }
    svg.text((left + right) / 2, bottom_y + 34, "thread number (multi-thread pass)", "middle", 12);

    if (has_single) {
        double y = bottom_y - (bottom_y - top_y) * single / top;
        svg.line(left, y, right, y, reference_colour, 2.5, "8 5");
        svg.text(right, y - 5, fmt::format("single-thread rate {}", test.single_rate->text), "end",
                 11, fmt::format("fill=\"{}\" {}", reference_colour, halo));
    }
    svg.body += labels.body;

    // Legend: a filled bar and a dashed line, so it reads without colour.
    double ly = 362;
    svg.rect(left, ly - 10, 14, 12, bar_colour, fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
    svg.text(left + 20, ly, "bar: rate of each thread in the multi-thread pass", "start", 11);
    svg.line(left, ly + 16, left + 14, ly + 16, reference_colour, 2.5, "5 3");
    svg.text(left + 20, ly + 20,
             has_single ? "dashed line: single-thread rate, which is also ideal scaling per thread:"
             : test.single_out_of_memory
                 ? "the single-thread pass ran out of memory: no reference or ideal-scaling line"
                 : "no single-thread rate in this run: no reference or ideal-scaling line",
             "start", 11);
    if (has_single)
        svg.text(left + 20, ly + 34, "a thread that scales perfectly reaches it", "start", 11);
    return svg.element(fmt::format("{}: rate per thread, {}", test.title, label_of(run)));
}

std::string comparison_chart(const ProgramComparison& c)
{
    const double width = 1200, left = 76, right = 1180, panel_height = 250, plot_top = 30,
                 plot_height = 170;
    std::size_t n = c.runs.size();
    std::size_t legend_rows = (n + 2) / 3;
    Svg svg;
    svg.width = width;
    svg.height = 60 + 2 * panel_height + 22.0 * static_cast<double>(legend_rows) + 10;

    std::string base = c.baseline ? label_of(*c.runs[*c.baseline])
                                  : fmt::format("the median of the {} runs", n);
    svg.text(left, 22, fmt::format("{}: each run's rates divided by the baseline's ({})",
                                   program_name(c.program), base),
             "start", 15, "font-weight=\"bold\"");
    svg.text(left, 42, "1.0 = baseline; higher is better. The number under each bar is the run's "
                       "number in the legend.",
             "start", 12);

    struct Panel {
        const char* title;
        const char* figure;
        const std::vector<GeoMean>* geo;
    };
    const Panel panels[] = {{"Single-thread rate", "single rate", &c.geo_single},
                            {"Overall rate (all threads)", "overall rate", &c.geo_overall}};
    for (int p = 0; p < 2; ++p) {
        const Panel& panel = panels[p];
        double y0 = 60 + panel_height * p;
        double top_y = y0 + plot_top, bottom_y = top_y + plot_height;
        // One group per test that has the figure, then the geometric mean.
        std::vector<std::pair<std::string, std::vector<Cell>>> groups;
        for (const FigureRow& row : c.rows)
            if (row.figure == panel.figure)
                groups.emplace_back(row.test_title, row.cells);
        std::vector<Cell> geo;
        for (const GeoMean& g : *panel.geo)
            geo.push_back({g.ratio, "n/a", g.ratio, g.mark});
        groups.emplace_back("Geometric mean", std::move(geo));

        double max = 1.2;
        for (const auto& g : groups)
            for (const Cell& cell : g.second)
                if (cell.ratio && std::isfinite(*cell.ratio))
                    max = std::max(max, *cell.ratio * 1.1);
        double step = 1;
        double top = axis_top(max, step);
        svg.text(left, y0 + 18, panel.title, "start", 13, "font-weight=\"bold\"");
        y_axis(svg, left, right, top_y, bottom_y, top, step, "ratio to baseline", true);

        double slot = (right - left) / static_cast<double>(groups.size());
        double bar = slot * 0.8 / static_cast<double>(n);
        Svg labels;   // drawn over the 1.0 line
        for (std::size_t g = 0; g < groups.size(); ++g) {
            double gx = left + slot * static_cast<double>(g) + slot * 0.1;
            for (std::size_t i = 0; i < n; ++i) {
                double x = gx + bar * static_cast<double>(i);
                const Cell& cell = groups[g].second[i];
                const std::optional<double>& r = cell.ratio;
                if (r && std::isfinite(*r)) {
                    double h = plot_height * std::min(*r, top) / top;
                    svg.rect(x + bar * 0.05, bottom_y - h, bar * 0.9, h, palette[i % 8],
                             fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
                    if (bar >= 28)
                        labels.text(x + bar / 2, bottom_y - h - 4, fmt::format("{:.3f}", *r), "middle",
                                    10, halo);
                } else if (bar >= 14) {
                    // "incomplete" where it fits, else "n/a" as for any figure not compared.
                    bool wide = cell.text == "incomplete" && bar >= 50;
                    svg.text(x + bar / 2, bottom_y - 4, wide ? "incomplete" : "n/a", "middle", 9);
                }
                if (bar >= 10)
                    svg.text(x + bar / 2, bottom_y + 13, std::to_string(i + 1), "middle", 10);
            }
            svg.text(gx + slot * 0.4, bottom_y + 30, groups[g].first, "middle", 12);
        }
        double one = bottom_y - plot_height / top;
        svg.line(left, one, right, one, ink, 1.5, "6 4");
        svg.body += labels.body;
    }

    double ly = 60 + 2 * panel_height;
    for (std::size_t i = 0; i < n; ++i) {
        double x = left + 370 * static_cast<double>(i % 3);
        double y = ly + 22 * static_cast<double>(i / 3);
        svg.rect(x, y - 11, 14, 14, palette[i % 8], fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink));
        std::string name = label_of(*c.runs[i]);
        if (name.size() > 44)
            name = name.substr(0, 41) + "...";
        svg.text(x + 20, y, fmt::format("{}  {}{}", i + 1, name, c.baseline == i ? " (baseline)" : ""),
                 "start", 12);
    }
    return svg.element(fmt::format("{}: rates relative to the baseline", program_name(c.program)));
}

std::string render_html(const Table& table)
{
    std::string out = "<div class=\"scroll\"><table>\n";
    if (!table.title.empty())
        out += "<caption>" + xml_escape(table.title) + "</caption>\n";
    out += "<thead><tr>";
    for (const std::string& h : table.header)
        out += "<th>" + xml_escape(h) + "</th>";
    out += "</tr></thead>\n<tbody>\n";
    for (const auto& row : table.rows) {
        out += "<tr>";
        for (const std::string& cell : row)
            out += "<td" + html_cell_class(cell) + ">" + xml_escape(cell) + "</td>";
        out += "</tr>\n";
    }
    out += "</tbody></table></div>\n";
    for (const std::string& note : table.notes)
        out += "<p class=\"note\">" + xml_escape(note) + "</p>\n";
    return out;
}

std::string html_report(const std::vector<const Run*>& runs,
                        const std::vector<ProgramComparison>& comparisons, double noise)
{
    std::string out = fmt::format(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>bench_report: {} run(s)</title>\n<style>\n{}</style>\n</head>\n<body>\n"
        "<h1>Benchmark report: {} run(s)</h1>\n",
        runs.size(), style, runs.size());

    bool several = std::any_of(comparisons.begin(), comparisons.end(),
                               [](const ProgramComparison& c) { return c.runs.size() > 1; });
    if (several) {
        out += "<h2>Comparison</h2>\n";
        for (const ProgramComparison& c : comparisons)
            if (c.runs.size() > 1)
                out += "<figure class=\"wide\">\n" + comparison_chart(c) + "</figure>\n";
        for (const Table& t : compare_tables(comparisons, noise))
            out += render_html(t);
    }

    for (const Run* run : runs) {
        out += fmt::format("<h2>{}: {}</h2>\n", xml_escape(label_of(*run)), program_name(run->program));
        std::string meta = fmt::format("{} {}", run->source == Source::transcript ? "Console transcript" : "Results file",
                                       escape_path(run->path));
        if (run->threads)
            meta += fmt::format("; {} thread(s)", *run->threads);
        if (!run->local_time.empty())
            meta += fmt::format("; started {} {}", run->local_time, run->zone);
        if (run->partial)
            meta += "; partial: the file ends before the end of the run";
        if (!run->findings.empty())
            meta += fmt::format("; {} consistency finding(s), listed under its table", run->findings.size());
        out += "<p class=\"meta\">" + xml_escape(meta) + "</p>\n<div class=\"charts\">\n";
        std::string without;
        for (const Test& test : run->tests) {
            std::string chart = scaling_chart(*run, test);
            if (chart.empty())
                without += (without.empty() ? "" : ", ") + test.title;
            else
                out += "<figure>\n" + chart + "</figure>\n";
        }
        out += "</div>\n";
        if (!without.empty())
            out += "<p class=\"note\">No per-thread rates to chart for " + xml_escape(without) +
                   " (see the table).</p>\n";
        for (const Table& t : show_tables(*run))
            out += render_html(t);
    }
    out += "</body>\n</html>\n";
    return out;
}

std::string svg_report(const std::vector<const Run*>& runs,
                       const std::vector<ProgramComparison>& comparisons)
{
    for (const ProgramComparison& c : comparisons)
        if (c.runs.size() > 1) {
            std::string chart = comparison_chart(c);
            return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + chart;
        }
    for (const Run* run : runs)
        for (const Test& test : run->tests) {
            std::string chart = scaling_chart(*run, test);
            if (!chart.empty())
                return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + chart;
        }
    return "";
}

void add_chart_command(CLI::App& app, int& status)
{
    struct Options {
        std::vector<std::string> paths;
        std::vector<std::string> labels;
        std::string output;
        std::string baseline;
        double noise = 2;
    };
    auto opt = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "chart", "Write a self-contained HTML report with charts and tables (or, with an .svg "
                 "output, a single chart).");
    cmd->add_option("paths", opt->paths, "Results files, transcripts or directories")->required();
    cmd->add_option("-o,--output", opt->output,
                    "The HTML file to write; a name ending in .svg writes one SVG chart: the "
                    "comparison of several runs, else the first test's scaling")
        ->required();
    cmd->add_option("--label", opt->labels, "A run's label, repeatable, in the order of the files")
        ->allow_extra_args(false);
    cmd->add_option("--baseline", opt->baseline,
                    "Baseline of the comparison: one of the files (or another file), or "
                    "\"median\" (default: the first file)");
    cmd->add_option("--noise", opt->noise, "Noise band of the comparison tables, in percent")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();

    cmd->callback([opt, &status] {
        Loaded loaded = load_runs(opt->paths, opt->labels, std::cerr);
        Loaded extra;
        BaselineChoice choice = choose_baseline(loaded.runs, opt->baseline, extra, std::cerr);
        if (choice.failed || choice.runs.empty()) {
            if (choice.runs.empty() && !loaded.failed)
                std::cerr << "bench_report: no results file found\n";
            status = 2;
            return;
        }
        std::vector<ProgramComparison> comparisons =
            compare_runs(choice.runs, choice.baseline, choice.median, opt->noise);

        std::string ext = opt->output.size() >= 4 ? opt->output.substr(opt->output.size() - 4) : "";
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        std::string text = ext == ".svg" ? svg_report(choice.runs, comparisons)
                                         : html_report(choice.runs, comparisons, opt->noise);
        if (text.empty()) {
            std::cerr << "bench_report: nothing to chart: no test has per-thread rates\n";
            status = 2;
            return;
        }
        std::ofstream file(opt->output, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            std::cerr << "bench_report: cannot write " << escape_path(opt->output) << ": "
                      << std::strerror(errno) << "\n";
            status = 2;
            return;
        }
        status = loaded.failed ? 2 : 0;
    });
}

}  // namespace report
