// A fleet's dots: a dot per run, on a logarithmic ratio axis.
#include "output/charts.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "analysis/run_standing.h"
#include "analysis/stats.h"
#include "analysis/summary.h"
#include "model/catalogue.h"
#include "output/chart_parts.h"
#include "output/compare_views.h"

namespace report {

namespace {

// Outliers named on each side of a fleet panel; the table lists them all.
constexpr std::size_t fleet_labels = 6;

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
        // A log axis draws a finite ratio above 0; the others are noted.
        std::vector<std::optional<double>> drawn;
        for (std::size_t i = 0; i < row.cells.size(); ++i) {
            const std::optional<double>& r = row.cells[i].ratio;
            if (r && std::isfinite(*r) && *r > 0) {
                drawn.push_back(r);
            } else {
                drawn.push_back(std::nullopt);
                notes_.missing.push_back(label_of_run(*c_.runs[i]));
            }
        }
        for (std::size_t i : slowest_first(drawn))
            if (drawn[i])
                dots_.push_back({*drawn[i], i});
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

}  // namespace report
