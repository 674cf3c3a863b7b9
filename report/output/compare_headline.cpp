// The answer a comparison opens with, one line per program and label: how
// much slower or faster than its baseline, with the 95% interval and how it
// was found, or that no difference is shown. The text and Markdown outputs
// put it before their tables.
#include <cmath>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "analysis/slowdown.h"
#include "output/compare_views.h"

namespace report {

namespace {

// At most this many lines a program; a fleet's other hosts are in its table.
constexpr std::size_t headline_lines_a_program = 10;

// "3.2% slower", "1.5% faster": a time factor as a share of the baseline's
// time.
std::string change_words(double factor) {
    if (!std::isfinite(factor))
        return "no bound";
    double percent = (factor - 1) * 100;
    return percent >= 0 ? fmt::format("{:.1f}% slower", percent)
                        : fmt::format("{:.1f}% faster", -percent);
}

std::string method_words(const Headline& h, const ProgramComparison& c) {
    if (h.paired)
        return fmt::format("paired signed-rank test, {} pairs", h.pairs);
    std::string counts = fmt::format("{} against {}", c.samples[h.run].size(),
                                     c.samples[*c.baseline].size());
    if (!h.test)
        return counts + ": too few runs for an interval";
    const char* method = h.test->method == stats::SlowdownMethod::rank_sum ? "rank-sum test"
                         : h.test->method == stats::SlowdownMethod::welch  ? "Welch's t-test"
                                                                           : "no spread";
    return fmt::format("{}, {}", method, counts);
}

std::string headline_line(const Headline& h, const ProgramComparison& c) {
    std::string who = fmt::format("{}: {} against {}", program_name(c.program),
                                  run_name(*c.runs[h.run]), run_name(*c.runs[*c.baseline]));
    if (h.passes == 0)
        return who + ": no rate comparable with the baseline";
    std::string how = method_words(h, c);
    if (!h.test)
        return fmt::format("{}: {} ({})", who, change_words(h.estimate), how);
    std::string interval = fmt::format("between {} and {}", change_words(h.test->low),
                                       change_words(h.test->high));
    if (!difference_shown(h))
        return fmt::format("{}: no difference shown ({}; 95% interval, {})", who, interval, how);
    return fmt::format("{}: {} (95% interval {}; {})", who, change_words(h.estimate), interval,
                       how);
}

}  // namespace

std::vector<std::string> headline_lines(const std::vector<ProgramComparison>& comparisons) {
    std::vector<std::string> out;
    std::vector<std::size_t> said(comparisons.size(), 0);
    for (const Headline& h : headlines(comparisons)) {
        const ProgramComparison& c = comparisons[h.comparison];
        std::size_t others = c.runs.size() - 1;
        if (said[h.comparison] < headline_lines_a_program)
            out.push_back(headline_line(h, c));
        else if (said[h.comparison] == headline_lines_a_program)
            out.push_back(fmt::format("{}: {} more label(s) in the table", program_name(c.program),
                                      others - headline_lines_a_program));
        ++said[h.comparison];
    }
    return out;
}

}  // namespace report
