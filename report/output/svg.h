// A small writer of SVG drawings, for the charts of `chart`. Every piece of
// text goes through xml_escape, so labels and paths read from files can hold
// anything.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "output/text.h"

namespace report {

// The Okabe-Ito palette, told apart by colour-blind readers; black last.
inline constexpr const char* palette[] = {"#0072B2", "#E69F00", "#009E73", "#D55E00",
                                          "#CC79A7", "#56B4E9", "#F0E442", "#000000"};
// Runs told apart by colour: as many as the palette has.
inline constexpr std::size_t colours = std::size(palette);

struct Svg {
    double width = 0;
    double height = 0;
    std::string body;

    void rect(double x, double y, double w, double h, const std::string& fill,
              const std::string& extra = "");
    void line(double x1, double y1, double x2, double y2, const std::string& stroke,
              double stroke_width = 1, const std::string& dash = "", const std::string& extra = "");
    // A dot; `tooltip`, when given, is shown on hover (an SVG <title>).
    void circle(double cx, double cy, double r, const std::string& fill,
                const std::string& extra = "", std::string_view tooltip = "");
    // A path of outline `d` ("M x y H x ..."), not filled.
    void path(const std::string& d, const std::string& stroke, double stroke_width = 1,
              const std::string& extra = "");
    // anchor: "start", "middle" or "end"; `extra` is added to the attributes verbatim.
    void text(double x, double y, std::string_view content, const std::string& anchor = "start",
              double size = 12, const std::string& extra = "");

    // The drawing as an <svg> element that scales to its container's width.
    // `title` names it for screen readers and as a tooltip.
    std::string element(std::string_view title) const;
    // The drawing as an <svg> element placed `y` units down another drawing,
    // at its own size.
    std::string nested(std::string_view title, double y) const;
    // The drawing as a standalone SVG file.
    std::string document(std::string_view title) const;

private:
    // The <svg> element, `placement` its attributes of size and position.
    std::string svg_element(std::string_view title, std::string_view placement) const;
};

// A chart as drawn: its drawing (size and markup) and the title that names
// it. A page places it as it is; a banner nests it below its own lines.
struct Chart {
    Svg drawing;
    std::string title;

    // Nothing was drawn: nothing to chart.
    bool empty() const { return drawing.body.empty(); }
    std::string element() const { return drawing.element(title); }
};

// Round numbers for an axis from 0 to at least `max`: the step between ticks,
// positive and finite whatever `max` (0, subnormal, infinite).
double tick_step(double max, int ticks = 5);

// The multiples of `step` from the first at or above `from` to the last at or
// below `to`, at most `limit` of them: an axis stays a few ticks whatever the
// figures (a step too small to move the values, a range past the largest
// double, a subnormal span).
std::vector<double> ticks_between(double from, double to, double step, int limit = 50);

// The width a sans-serif font of `size` pixels gives the text, estimated on the
// wide side (digits and lower case about 0.6 em, capitals 0.72, a wide
// character 1 em), so that what is laid out by it does not touch in a browser.
double text_width(std::string_view text, double size);

// The text, shortened with an ellipsis at the end to at most `width` pixels.
std::string fit_text(std::string_view text, double width, double size);

// Implementation.

namespace svg_detail {

inline std::string number(double v) {
    return fmt::format("{:.2f}", v);
}

}  // namespace svg_detail

inline void Svg::rect(double x, double y, double w, double h, const std::string& fill,
                      const std::string& extra) {
    body += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\"{}{}/>\n",
                        svg_detail::number(x), svg_detail::number(y),
                        svg_detail::number(std::max(w, 0.0)), svg_detail::number(std::max(h, 0.0)),
                        fill, extra.empty() ? "" : " ", extra);
}

inline void Svg::line(double x1, double y1, double x2, double y2, const std::string& stroke,
                      double stroke_width, const std::string& dash, const std::string& extra) {
    body += fmt::format(
        "<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"{}\"{}{}{}/>\n",
        svg_detail::number(x1), svg_detail::number(y1), svg_detail::number(x2),
        svg_detail::number(y2), stroke, svg_detail::number(stroke_width),
        dash.empty() ? "" : fmt::format(" stroke-dasharray=\"{}\"", dash), extra.empty() ? "" : " ",
        extra);
}

inline void Svg::circle(double cx, double cy, double r, const std::string& fill,
                        const std::string& extra, std::string_view tooltip) {
    body += fmt::format(
        "<circle cx=\"{}\" cy=\"{}\" r=\"{}\"{}{}{}{}", svg_detail::number(cx),
        svg_detail::number(cy), svg_detail::number(r), fill.empty() ? "" : " fill=\"" + fill + "\"",
        extra.empty() ? "" : " ", extra,
        tooltip.empty() ? "/>\n" : "><title>" + xml_escape(tooltip) + "</title></circle>\n");
}

inline void Svg::path(const std::string& d, const std::string& stroke, double stroke_width,
                      const std::string& extra) {
    body += fmt::format("<path d=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"{}\"{}{}/>\n", d,
                        stroke, svg_detail::number(stroke_width), extra.empty() ? "" : " ", extra);
}

inline void Svg::text(double x, double y, std::string_view content, const std::string& anchor,
                      double size, const std::string& extra) {
    body +=
        fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"{}\" font-size=\"{}\"{}{}>{}</text>\n",
                    svg_detail::number(x), svg_detail::number(y), anchor, svg_detail::number(size),
                    extra.empty() ? "" : " ", extra, xml_escape(content));
}

inline std::string Svg::svg_element(std::string_view title, std::string_view placement) const {
    return fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 {} {}\" "
        "{} role=\"img\" font-family=\"sans-serif\">\n"
        "<title>{}</title>\n<rect class=\"bg\" width=\"100%\" height=\"100%\" "
        "fill=\"#ffffff\"/>\n{}</svg>\n",
        svg_detail::number(width), svg_detail::number(height), placement, xml_escape(title),
        body);
}

inline std::string Svg::element(std::string_view title) const {
    return svg_element(title, "style=\"width:100%;height:auto\"");
}

inline std::string Svg::nested(std::string_view title, double y) const {
    return svg_element(title, fmt::format("x=\"0\" y=\"{}\" width=\"{}\" height=\"{}\"",
                                          svg_detail::number(y), svg_detail::number(width),
                                          svg_detail::number(height)));
}

inline std::string Svg::document(std::string_view title) const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + element(title);
}

inline double tick_step(double max, int ticks) {
    if (!(max > 0) || !std::isfinite(max))
        return 1;
    double raw = max / ticks;
    // A span so small that its ticks would be subnormal has one step.
    if (!(raw >= std::numeric_limits<double>::min()))
        return max;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (m * magnitude >= raw && std::isfinite(m * magnitude))
            return m * magnitude;
    return max;
}

inline std::vector<double> ticks_between(double from, double to, double step, int limit) {
    std::vector<double> ticks;
    if (!(step > 0) || !std::isfinite(step) || !std::isfinite(from) || !std::isfinite(to))
        return ticks;
    double first = std::ceil(from / step - 1e-9);
    for (int k = 0; k < limit; ++k) {
        double t = (first + k) * step;
        if (!std::isfinite(t) || t > to + std::fabs(step) * 1e-9)
            break;
        // A step too small to move a value this large ends the axis.
        if (!ticks.empty() && !(t > ticks.back()))
            break;
        ticks.push_back(t);
    }
    return ticks;
}

namespace svg_detail {

// The width of an ASCII character, in em.
inline double ascii_em(char c) {
    constexpr std::string_view narrow = " .,:;'|ilj!", wide = "mwMW@%";
    if (narrow.find(c) != std::string_view::npos)
        return 0.36;
    if (wide.find(c) != std::string_view::npos)
        return 0.95;
    return c >= 'A' && c <= 'Z' ? 0.74 : 0.64;
}

}  // namespace svg_detail

inline double text_width(std::string_view text, double size) {
    double em = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) {
            // A character past ASCII (or a byte that starts none) is wide.
            std::size_t n = utf8_length(text, i);
            em += 1;
            i += n ? n : 1;
            continue;
        }
        em += svg_detail::ascii_em(text[i]);
        ++i;
    }
    return em * size;
}

inline std::string fit_text(std::string_view text, double width, double size) {
    if (text_width(text, size) <= width)
        return std::string(text);
    // The longest start of the text, cut before a character, that leaves
    // room for the ellipsis. A start only widens as characters are added, so
    // one pass from the front finds it, measuring each character once.
    std::size_t end = 0;
    double em = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (i == 0 || (c & 0xC0) != 0x80) {
            if (!(em * size + size <= width))
                break;
            end = i;
        }
        if (c < 0x80) {
            em += svg_detail::ascii_em(text[i]);
            ++i;
        } else {
            // As text_width counts it: one em, however many bytes.
            std::size_t n = utf8_length(text, i);
            em += 1;
            i += n ? n : 1;
        }
    }
    return std::string(text.substr(0, end)) + "\xE2\x80\xA6";
}

}  // namespace report
