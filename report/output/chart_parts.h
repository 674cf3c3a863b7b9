// What the charts share: their colours and sizes of text, the box a line of
// text takes, and the pieces drawn in more than one chart (wrapped text, a
// vertical axis, a bar's value label).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/comparison.h"
#include "model/run.h"
#include "output/svg.h"

namespace report {

inline constexpr const char* ink = "#222222";
inline constexpr const char* grid_colour = "#dddddd";
inline constexpr const char* bar_colour = palette[0];        // blue
inline constexpr const char* reference_colour = palette[3];  // vermillion
inline constexpr const char* outlier_colour = palette[3];
inline constexpr const char* change_colour = palette[1];  // orange
inline constexpr const char* key_grey = "#777777";
inline const std::string grid_class = "class=\"grid\"";

// Every chart is drawn this many units wide, about as many CSS pixels as a
// phone gives it (348 of a 390-pixel window), so that no text drawn at
// `small` or larger shows below 9 pixels there; a wider window shows it
// larger.
inline constexpr double chart_width = 400;
// Sizes of text: the least any chart uses, what a sentence is written in,
// a panel's title and a chart's.
inline constexpr double small = 11, body_size = 12, panel_title = 13, chart_title = 14;
// Bold text is this much wider than the widths text_width estimates.
inline constexpr double bold = 1.1;

// The box a browser gives a line of text: the font's ascent above the
// baseline and its descent below, a little generously.
struct Box {
    double left = 0, top = 0, right = 0, bottom = 0;
    bool meets(const Box& o) const {
        return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
    }
};

std::string label_of_run(const Run& run);

std::string short_number(double v);

// "transform" turning text at (x, y) to read upwards.
std::string upwards_at(double x, double y);

// The words of `text` in lines of at most `width` pixels.
std::vector<std::string> wrap_text(std::string_view text, double width, double size);

// Writes wrapped text from `y` down, a line every `leading` pixels; returns the
// baseline below the last line.
double text_lines(Svg& svg, double x, double y, std::string_view text, double width, double size,
                  double leading, const std::string& extra = "");

// A vertical axis from 0 to `top` with grid lines, tick labels and a title.
void y_axis(Svg& svg, double left, double right, double top_y, double bottom_y, double top,
            double step, const std::string& title, bool ratio);

// Rounds the top of an axis up to a whole number of ticks.
double axis_top(double max, double& step);

// A value label above a bar: moved up clear of the reference line when it
// would sit on it. `rotated` labels read upwards, for narrow bars.
void bar_label(Svg& svg, double cx, double bar_top, const std::string& text, double size,
               bool rotated, std::optional<double> line_y);

std::string bar_outline();

// The figures a comparison's charts draw: each test's single-thread and
// overall rate, told apart by their pass.
bool charted_rate(const FigureRow& row);

// A panel's title for the rate of `pass`.
const char* rate_title(Pass pass);

}  // namespace report
