// A label's history: each rate by day on a time axis.
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
#include "output/history_views.h"

namespace report {

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

}  // namespace report
