// The columns of a comparison, a label each, and which of them is the baseline.
#include "analysis/columns.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "analysis/history.h"
#include "model/natural_order.h"

namespace report {

namespace {

// The column holding one of the baseline runs named, if any.
std::optional<std::size_t> named_column(const ProgramComparison& c,
                                        const std::vector<const Run*>& baselines) {
    auto named = [&](const std::vector<const Run*>& reps) {
        return std::any_of(reps.begin(), reps.end(), [&](const Run* r) {
            return std::find(baselines.begin(), baselines.end(), r) != baselines.end();
        });
    };
    auto it = std::find_if(c.samples.begin(), c.samples.end(), named);
    if (it == c.samples.end())
        return std::nullopt;
    return static_cast<std::size_t>(it - c.samples.begin());
}

// The columns that may be the baseline when none is named: those of the
// input named first that holds the program, when the runs come from several
// inputs (`compare OLD NEW`), else every column.
std::vector<std::size_t> first_input_columns(const ProgramComparison& c) {
    std::size_t first = static_cast<std::size_t>(-1);
    bool several = false;
    for (const auto& reps : c.samples)
        for (const Run* r : reps) {
            several = several || (first != static_cast<std::size_t>(-1) && r->input != first);
            first = std::min(first, r->input);
        }
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        if (!several || std::any_of(c.samples[i].begin(), c.samples[i].end(),
                                    [&](const Run* r) { return r->input == first; }))
            out.push_back(i);
    return out;
}

// Of the columns that may be the baseline, the one that ran first (its
// earliest repetition), when any start is known; else the first of them.
void earliest_column(ProgramComparison& c) {
    std::vector<std::size_t> candidates = first_input_columns(c);
    bool narrowed = candidates.size() < c.samples.size();
    c.baseline = candidates.front();
    c.baseline_reason = narrowed ? BaselineReason::first_input : BaselineReason::first_in_order;
    if (narrowed && candidates.size() == 1)
        return;
    for (std::size_t i : candidates)
        for (const Run* r : c.samples[i]) {
            std::optional<std::string> start = run_start(*r);
            // ISO 8601 to the second: the text orders as the time does.
            if (start && (!c.baseline_started ||
                          start->substr(0, 19) < c.baseline_started->substr(0, 19))) {
                c.baseline_started = start;
                c.baseline = i;
                c.baseline_reason = BaselineReason::ran_first;
            }
        }
}

// The baseline's column first, the others in their order.
void baseline_first(ProgramComparison& c) {
    if (!c.baseline || *c.baseline == 0)
        return;
    auto b = static_cast<std::ptrdiff_t>(*c.baseline);
    std::rotate(c.samples.begin(), c.samples.begin() + b, c.samples.begin() + b + 1);
    std::rotate(c.runs.begin(), c.runs.begin() + b, c.runs.begin() + b + 1);
    c.baseline = 0;
}

}  // namespace

// Columns by label, in the natural order of the labels (release-1.9 before
// release-1.10), a label's repetitions in the order given. A fleet has a
// label per host: each is looked up, not searched for.
void gather_columns(ProgramComparison& c, const std::vector<const Run*>& runs) {
    std::unordered_map<std::string_view, std::size_t> column_of;
    for (const Run* r : runs) {
        auto [same, fresh] = column_of.emplace(r->label, c.runs.size());
        if (fresh) {
            c.runs.push_back(r);
            c.samples.push_back({r});
        } else {
            c.samples[same->second].push_back(r);
        }
    }
    std::stable_sort(c.samples.begin(), c.samples.end(), [](const auto& x, const auto& y) {
        return natural_less(x.front()->label, y.front()->label);
    });
    for (std::size_t i = 0; i < c.samples.size(); ++i)
        c.runs[i] = c.samples[i].front();
}

// The label holding the baseline run named, else of the input named first
// the label that ran first, else the first label in order; none with the
// median. Its column comes first.
void choose_baseline(ProgramComparison& c, const CompareSettings& s) {
    c.reference = 0;
    if (s.median)
        return;
    if (std::optional<std::size_t> named = named_column(c, s.baselines)) {
        c.baseline = *named;
        c.baseline_reason = BaselineReason::named;
    } else {
        earliest_column(c);
    }
    baseline_first(c);
    c.reference = *c.baseline;
}

void pair_with_baseline(ProgramComparison& c) {
    c.pairings.resize(c.runs.size());
    if (c.baseline)
        for (std::size_t i = 0; i < c.runs.size(); ++i)
            if (i != *c.baseline)
                c.pairings[i] = pair_rounds(c.samples[*c.baseline], c.samples[i]);
}

}  // namespace report
