// The cells of a comparison's tables: names, headers, ratios with intervals and marks.
#include "output/compare_views.h"
#include "output/compare_parts.h"
#include "output/text.h"

#include <cmath>

#include <fmt/format.h>

#include "model/catalogue.h"

namespace report {

// The word a JSON or CSV cell gives a mark: "better", "worse", "same", "none".
const char* mark_name(Mark m) {
    switch (m) {
        case Mark::better: return "better";
        case Mark::worse: return "worse";
        case Mark::same: return "same";
        case Mark::none: break;
    }
    return "none";
}

std::string mark_symbol(Mark m) {
    switch (m) {
        case Mark::better: return "+";
        case Mark::worse: return "-";
        case Mark::same: return "=";
        case Mark::none: break;
    }
    return "";
}

bool flagged(const Run& run) {
    return run.partial || !run.findings.empty();
}

std::string column_header(const Run& run, bool is_baseline, std::size_t repetitions) {
    std::string h = run_name(run);
    if (repetitions > 1)
        h += fmt::format(" (n={})", repetitions);
    if (flagged(run))
        h += " *";
    if (is_baseline)
        h += " (baseline)";
    return h;
}

std::string percent(double p) {
    return fmt::format("{:g}%", p);
}

// The interval of a ratio and its real level: "[0.931-0.990, 95%]"; an end
// the level does not reach is "-" (below) or "inf" (above).
std::string ratio_interval_text(const stats::RatioInterval& i) {
    std::string low = i.low > 0 ? fmt::format("{:.3f}", i.low) : std::string("0");
    std::string high = std::isfinite(i.high) ? fmt::format("{:.3f}", i.high) : std::string("inf");
    return fmt::format("[{}-{}, {}%]", low, high, std::floor(i.confidence * 1000 + 1e-6) / 10);
}

// A figure with its spread over repetitions, its ratio (with repetitions
// tested, the estimate of the same test), its interval, and the mark.
TableCell ratio_cell(const Cell& cell, bool is_baseline) {
    std::string text = cell_text(cell);
    if (cell.samples.size() > 1 && cell.cv)
        text += fmt::format(" ±{:.1f}%", *cell.cv * 100);
    if (!cell.ratio || is_baseline)
        return number_cell(text);
    text += " " + format_ratio(*cell.ratio) + (cell.medians_ratio ? "~" : "");
    if (cell.interval) {
        std::string interval = ratio_interval_text(*cell.interval);
        // Paired: the pairs of rounds the interval is over, inside its brackets.
        if (cell.pairs)
            interval.insert(interval.size() - 1, fmt::format(", {} pairs", *cell.pairs));
        text += " " + interval;
    }
    return number_cell(text + " " + mark_symbol(cell.mark), cell.mark);
}

// The ratio, its interval and the mark alone, as the narrow layout shows
// them: "x1.052 [1.049-1.055, 95%] +".
TableCell ratio_only_cell(const Cell& cell) {
    if (!cell.ratio)
        return number_cell(cell.value ? "" : cell_text(cell));
    std::string text = format_ratio(*cell.ratio) + (cell.medians_ratio ? "~" : "");
    if (cell.interval)
        text += " " + ratio_interval_text(*cell.interval);
    return number_cell(text + " " + mark_symbol(cell.mark), cell.mark);
}

namespace {

std::string geo_text(const GeoMean& g, bool is_baseline) {
    if (!g.ratio)
        return fmt::format("n/a (0/{})", g.total);
    std::string s = format_ratio(*g.ratio);
    if (!is_baseline)
        s += " " + mark_symbol(g.mark);
    return fmt::format("{} ({}/{})", s, g.used, g.total);
}

}  // namespace

TableCell geo_cell(const GeoMean& g, bool is_baseline) {
    return number_cell(geo_text(g, is_baseline), is_baseline ? Mark::none : g.mark);
}

std::string baseline_title(const ProgramComparison& c) {
    std::string program = program_name(c.program);
    std::size_t runs = 0;
    for (const auto& reps : c.samples)
        runs += reps.size();
    std::string labels = runs == c.runs.size() ? "" : fmt::format(" of {} label(s)", c.runs.size());
    std::string why;
    if (c.baseline && c.baseline_reason == BaselineReason::ran_first)
        why = fmt::format(", the label that ran first ({})", escape_path(*c.baseline_started));
    else if (c.baseline && c.baseline_reason == BaselineReason::first_input)
        why = ", the input named first";
    else if (c.baseline && c.baseline_reason == BaselineReason::first_in_order)
        why = ", the first label (no start time known)";
    return c.baseline ? fmt::format("{}: {} run(s){}, baseline {}{}", program, runs, labels,
                                    column_header(*c.runs[*c.baseline], false,
                                                  c.samples[*c.baseline].size()),
                                    why)
                      : fmt::format("{}: {} run(s){}, baseline the median of the {}", program, runs,
                                    labels, labels.empty() ? "runs" : "labels");
}

std::string row_figure_name(const FigureRow& row) {
    return row.test_title + " " + row.figure;
}

std::string run_name(const Run& run) {
    return run.label.empty() ? escape_path(run.path) : escape_path(run.label);
}

std::string format_ratio(double ratio) {
    return ratio >= 0.001 || ratio == 0 ? fmt::format("x{:.3f}", ratio)
                                        : fmt::format("x{:.1e}", ratio);
}

std::string cell_text(const Cell& cell) {
    if (!cell.printed.empty() && cell.missing != Missing::incomplete)
        return cell.printed;
    switch (cell.missing) {
        case Missing::incomplete: return "incomplete";
        case Missing::absent: return "n/a";
        case Missing::not_finite: return cell.printed;
        case Missing::none: break;
    }
    return fmt::format("{:.6g}", *cell.value);
}

}  // namespace report
