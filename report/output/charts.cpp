// What the charts share (output/chart_parts.h).
#include "output/charts.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "model/catalogue.h"
#include "output/chart_parts.h"
#include "output/compare_views.h"

namespace report {

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

// Writes wrapped text from `y` down, a line every `leading` pixels; returns the
// baseline below the last line.
double text_lines(Svg& svg, double x, double y, std::string_view text, double width, double size,
                  double leading, const std::string& extra) {
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

// The figures a comparison's charts draw: each test's single-thread and
// overall rate, told apart by their pass.
bool charted_rate(const FigureRow& row) {
    return row.figure == "single rate" || row.figure == "overall rate";
}

const char* rate_title(Pass pass) {
    return pass == Pass::single ? "Single-thread rate" : "Overall rate (all threads)";
}

std::string bar_outline() {
    return fmt::format("stroke=\"{}\" stroke-width=\"0.5\"", ink);
}

}  // namespace report
