// The answer a comparison opens with, one line per program and label, the
// label that moved furthest first: how
// much slower or faster than its baseline, with the interval (95% or, at a
// rank test's steps, more), what it is of and how it was found, or that no
// difference is shown. The text and Markdown outputs
// put it before their tables.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "analysis/answer.h"
#include "analysis/recorded.h"
#include "analysis/slowdown.h"
#include "analysis/worst_first.h"
#include "output/compare_views.h"
#include "output/gate_view.h"
#include "output/text.h"

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

// The gate's methods, each side's where they differ.
std::string gate_method_words(const Headline::GateSides& g) {
    return bounds_method_words(g.high_method, g.low_method);
}

std::string how_words(const Headline& h, const ProgramComparison& c) {
    if (h.gate && h.paired)
        return fmt::format("paired {}, {} pairs", gate_method_words(*h.gate), h.pairs);
    if (h.paired)
        return fmt::format("paired signed-rank test, {} pairs", h.pairs);
    std::string counts = fmt::format("{} against {}", c.samples[h.run].size(),
                                     c.samples[*c.baseline].size());
    if (!h.test)
        return counts + ": too few runs for an interval";
    if (h.gate)
        return fmt::format("{}, {}", gate_method_words(*h.gate), counts);
    return fmt::format("{}, {}", method_words(h.test->method), counts);
}

// "95% interval of the time over 6 pass(es), 97.5% a side": what the
// interval is of, and its real level, whole and of each bound (a rank
// test's steps put it above 95%), so that it reads beside the gate's
// bounds, which are each at 95% (or their own steps) of the same time.
std::string level_words(const Headline& h) {
    if (h.gate) {
        // The gate's own bounds: the trip test's lower one and the pass
        // test's upper one, each at its level.
        std::string low = fmt::format("{:.1f}%", h.gate->low_confidence * 100);
        std::string high = fmt::format("{:.1f}%", h.gate->high_confidence * 100);
        return fmt::format("the gate's bounds of the time over {} pass(es), {}", h.passes,
                           low == high ? low + " a side"
                                       : fmt::format("{} (lower), {} (upper)", low, high));
    }
    double level = h.test->confidence * 100;
    return fmt::format("{:.3g}% interval of the time over {} pass(es), {:.3g}% a side", level,
                       h.passes, (100 + level) / 2);
}

std::string headline_line(const Headline& h, const ProgramComparison& c) {
    std::string who = fmt::format("{}: {} against {}", program_name(c.program),
                                  run_name(*c.runs[h.run]), run_name(*c.runs[*c.baseline]));
    if (h.passes == 0)
        return who + ": no rate comparable with the baseline";
    std::string how = how_words(h, c);
    if (!h.test)
        return fmt::format("{}: {} ({})", who, change_words(h.estimate), how);
    std::string interval = fmt::format("between {} and {}", change_words(h.test->low),
                                       change_words(h.test->high));
    std::string level = level_words(h);
    if (!difference_shown(h))
        return fmt::format("{}: no difference shown ({}; {}, {})", who, interval, level, how);
    return fmt::format("{}: {} ({}; {}, {})", who, change_words(h.estimate), interval, level, how);
}

// "; disturbed: new in 3 of 3 repetitions, old in 1 of 3 (Disturbed: below)":
// the repetitions of the label and of its baseline recorded with machine
// warnings (load, a busy processor), said in the answer itself, since they
// can explain it.
std::string disturbed_words(const Headline& h, const ProgramComparison& c) {
    std::vector<std::string> parts;
    for (std::size_t column : {h.run, *c.baseline}) {
        std::size_t n = 0;
        for (const Run* rep : c.samples[column])
            n += !recorded_warnings(*rep).empty();
        if (n > 0)
            parts.push_back(fmt::format("{} in {} of {} repetition(s)", run_name(*c.runs[column]),
                                        n, c.samples[column].size()));
    }
    if (parts.empty())
        return "";
    return fmt::format("; disturbed: {} (Disturbed: below)", fmt::join(parts, ", "));
}

// The days of a span: "2024-10-04 to 2024-11-13", or the one day.
std::string days(const std::string& first, const std::string& last) {
    return first == last ? "on " + first : fmt::format("from {} to {}", first, last);
}

// Which runs of a label were compared, when its runs are a history.
std::string taken_line(const LabelRuns& l) {
    std::string who = fmt::format("{}: {}", program_name(l.program), escape_path(l.label));
    std::string of = fmt::format("of {} runs {}", l.total, days(l.from, l.to));
    switch (l.rule) {
        case RunsRule::last_run:
            return fmt::format("{}: its last run's {} repetitions compared ({}), {}", who, l.taken,
                               l.last, of);
        case RunsRule::since_change:
            return fmt::format("{}: its {} runs since its last change point ({}) compared, {}",
                               who, l.taken, l.change, of);
        case RunsRule::drift_end:
            return fmt::format("{}: its {} runs at the end of its drift ({}) compared, {}", who,
                               l.taken, l.change, of);
        case RunsRule::one_level:
            return fmt::format("{}: all {} runs compared, {}: its history holds no change "
                               "point",
                               who, l.taken, days(l.from, l.to));
        case RunsRule::since_date:
            return fmt::format("{}: {} runs compared {} (--since), {}", who, l.taken,
                               days(l.first, l.last), of);
        case RunsRule::all:
            break;
    }
    return fmt::format("{}: all {} runs {} pooled as repetitions (--all)", who, l.taken,
                       days(l.from, l.to));
}

}  // namespace

std::vector<std::string> taken_lines(const ProgramComparison& c) {
    std::vector<std::string> out;
    for (std::size_t k = 0; k < c.taken.size() && k <= headline_lines_a_program; ++k)
        out.push_back(k < headline_lines_a_program
                          ? taken_line(c.taken[k])
                          : fmt::format("{}: {} more label(s) whose runs span days",
                                        program_name(c.program), c.taken.size() - k));
    return out;
}

std::optional<std::string> taken_hint(const ProgramComparison& c) {
    for (const LabelRuns& l : c.taken)
        if (l.rule != RunsRule::since_date && l.rule != RunsRule::all)
            return "A label whose runs span days is a history, not repetitions of one moment: "
                   "its current level is compared; --since DAY or --all chooses otherwise.";
    return std::nullopt;
}

std::vector<std::string> headline_lines(const std::vector<ProgramComparison>& comparisons,
                                        const GateVerdict* gate) {
    std::vector<std::string> out;
    std::vector<std::size_t> said(comparisons.size(), 0);
    std::vector<Headline> all = answers(comparisons, gate);
    for (std::size_t k : worst_first(all)) {
        const Headline& h = all[k];
        const ProgramComparison& c = comparisons[h.comparison];
        std::size_t others = c.runs.size() - 1;
        if (said[h.comparison] < headline_lines_a_program)
            out.push_back(headline_line(h, c) + disturbed_words(h, c));
        else if (said[h.comparison] == headline_lines_a_program)
            out.push_back(fmt::format("{}: {} more label(s) in the table", program_name(c.program),
                                      others - headline_lines_a_program));
        ++said[h.comparison];
    }
    std::optional<std::string> hint;
    for (const ProgramComparison& c : comparisons) {
        for (std::string& line : taken_lines(c))
            out.push_back(std::move(line));
        if (!hint)
            hint = taken_hint(c);
    }
    if (hint)
        out.push_back(*hint);
    return out;
}

}  // namespace report

namespace report {

std::string answer_line(const Headline& h, const ProgramComparison& c) {
    return headline_line(h, c);
}

}  // namespace report
