#include "analysis/history.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

#include "analysis/machine_differences.h"
#include "analysis/stats.h"
#include "model/run.h"

namespace report {

namespace {

// "2026-12-08T10:39:33" from "Tue Dec  8 10:39:33 2026".
std::optional<std::string> local_start(const std::string& local_time) {
    char month[4] = {};
    int day = 0, hour = 0, minute = 0, second = 0, year = 0;
    if (std::sscanf(local_time.c_str(), "%*3s %3s %d %d:%d:%d %d", month, &day, &hour, &minute,
                    &second, &year) != 6)
        return std::nullopt;
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m)
        if (std::strcmp(month, months[m]) == 0 && day >= 1 && day <= 31 && year >= 1970 &&
            year <= 9999) {
            std::string start = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", year, m + 1, day,
                                            hour, minute, second);
            // A date that is not in the calendar ("Feb 30") has no place on a time axis.
            if (!calendar_days(start.substr(0, 10)))
                return std::nullopt;
            return start;
        }
    return std::nullopt;
}

}  // namespace

namespace {

// A run's start as run_start gives it: a view of the run's own text when it
// keeps one, so that a fleet-year's starts are not copied; one worked out
// from the local time is kept in `made`, whose texts stay put.
std::optional<std::string_view> start_of(const Run& run, std::deque<std::string>& made) {
    const std::optional<std::string>* started = &run.started;
    if (!*started && run.machine)
        started = &run.machine->repetition.started;
    if (*started && calendar_days((*started)->substr(0, 10)))
        return std::string_view(**started);
    std::optional<std::string> local = local_start(run.local_time);
    if (!local)
        return std::nullopt;
    return std::string_view(made.emplace_back(std::move(*local)));
}

}  // namespace

std::optional<std::string> run_start(const Run& run) {
    std::deque<std::string> made;
    std::optional<std::string_view> start = start_of(run, made);
    return start ? std::optional<std::string>(*start) : std::nullopt;
}

namespace {

// One label and program's runs with their starts, in the order given.
struct RunGroup {
    std::pair<std::string, Program> key;
    std::vector<std::pair<std::string_view, const Run*>> runs;
};

// The runs by label and program, in the order they first appear; labels are
// looked up as views of the runs' own, which outlive this. `label_place`
// gets each label's place of first appearance; `made` keeps the starts
// worked out from local times.
std::vector<RunGroup> group_runs(const std::vector<const Run*>& runs,
                                 std::unordered_map<std::string_view, std::size_t>& label_place,
                                 std::deque<std::string>& made) {
    std::vector<RunGroup> order;
    std::unordered_map<std::string_view, std::size_t> group_of[2];
    for (const Run* run : runs) {
        std::optional<std::string_view> start = start_of(*run, made);
        if (!start)
            continue;
        auto [at, fresh] =
            group_of[run->program == Program::memory].try_emplace(run->label, order.size());
        if (fresh)
            order.push_back({{run->label, run->program}, {}});
        label_place.try_emplace(run->label, label_place.size());
        order[at->second].runs.emplace_back(*start, run);
    }
    return order;
}

// The group's runs by day, earliest first.
std::vector<HistoryDay> days_of(RunGroup& g) {
    std::stable_sort(g.runs.begin(), g.runs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<HistoryDay> days;
    for (const auto& [start, run] : g.runs) {
        std::string_view date = start.substr(0, 10);
        if (days.empty() || days.back().date != date) {
            std::string day(date);
            long number = *calendar_days(day);
            days.push_back({std::move(day), number, {}});
        }
        days.back().runs.push_back(run);
    }
    return days;
}

// Where the machine changed: the last record before each day against the
// day's first.
std::vector<History::Change> machine_changes(const std::vector<HistoryDay>& days) {
    std::vector<History::Change> changes;
    const MachineRecord* before = nullptr;
    for (std::size_t i = 0; i < days.size(); ++i) {
        const MachineRecord* first = nullptr;
        const MachineRecord* last = nullptr;
        for (const Run* r : days[i].runs)
            if (r->machine) {
                first = first ? first : r->machine.get();
                last = r->machine.get();
            }
        // One record (a store's nights of one machine share theirs) has
        // nothing to tell apart.
        if (before && first && before != first) {
            std::vector<ContextDifference> d = context_differences(*before, *first);
            if (!d.empty())
                changes.push_back({i, std::move(d)});
        }
        if (last)
            before = last;
    }
    return changes;
}

}  // namespace

std::vector<History> histories(const std::vector<const Run*>& runs) {
    std::vector<History> out;
    std::deque<std::string> made;  // starts worked out from local times
    std::unordered_map<std::string_view, std::size_t> label_place;  // first appearance
    for (RunGroup& g : group_runs(runs, label_place, made)) {
        History h;
        h.label = g.key.first;
        h.program = g.key.second;
        h.days = days_of(g);
        if (h.days.size() < 2)
            continue;
        h.changes = machine_changes(h.days);
        out.push_back(std::move(h));
    }
    // Labels in the order they first appear, each label's programs together.
    std::stable_sort(out.begin(), out.end(), [&](const History& a, const History& b) {
        return label_place.at(a.label) < label_place.at(b.label);
    });
    return out;
}

std::vector<HistoryPoint> history_points(const History& history, const std::string& key,
                                         bool overall) {
    std::vector<HistoryPoint> out;
    for (std::size_t i = 0; i < history.days.size(); ++i) {
        std::vector<double> values;
        for (const Run* run : history.days[i].runs)
            for (const Test& t : run->tests) {
                const std::optional<Figure>& f = overall ? t.overall_rate : t.single_rate;
                // An overall rate summed over fewer threads than ran is no rate of the machine.
                if (t.key == key && f && std::isfinite(f->value) &&
                    (!overall || t.incomplete_threads == 0))
                    values.push_back(f->value);
            }
        std::optional<stats::Range> r = stats::range(values);
        if (r)
            out.push_back({i, r->min, *stats::median(values), r->max, values.size()});
    }
    return out;
}

}  // namespace report
