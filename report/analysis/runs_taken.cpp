#include "analysis/runs_taken.h"

#include <algorithm>
#include <map>
#include <utility>

#include "analysis/change_points.h"
#include "analysis/history.h"
#include "analysis/repetitions.h"
#include "machine/record.h"
#include "model/calendar.h"

namespace report {

namespace {

constexpr long long seconds_a_day = 24 * 60 * 60;

// A run with its start, as `history` places it.
struct Dated {
    std::size_t at = 0;  // index into the runs given
    std::string start;
    long long second = 0;
};

// One label of one program: its runs, in the order given, and those whose
// start is known, earliest first.
struct Group {
    std::string label;
    Program program{};
    std::vector<std::size_t> at;
    std::vector<Dated> dated;
};

std::optional<long long> start_second(const std::string& start) {
    std::optional<long> days = calendar_days(start.substr(0, 10));
    if (!days)
        return std::nullopt;
    // A start holds its time of day after the date ("2026-12-08T10:39:33").
    int second = 0;
    if (start.size() >= 19)
        second = day_seconds(std::string_view(start).substr(11, 8)).value_or(0);
    return *days * seconds_a_day + second;
}

std::vector<Group> group_runs(const std::vector<const Run*>& runs) {
    std::vector<Group> groups;
    std::map<std::pair<Program, std::string>, std::size_t> place;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Run& run = *runs[i];
        auto [it, added] = place.try_emplace({run.program, run.label}, groups.size());
        if (added)
            groups.push_back(Group{run.label, run.program, {}, {}});
        Group& g = groups[it->second];
        g.at.push_back(i);
        std::optional<std::string> start = run_start(run);
        std::optional<long long> second = start ? start_second(*start) : std::nullopt;
        if (second)
            g.dated.push_back(Dated{i, *start, *second});
    }
    for (Group& g : groups)
        std::stable_sort(g.dated.begin(), g.dated.end(),
                         [](const Dated& a, const Dated& b) { return a.second < b.second; });
    return groups;
}

// Whether `next` is the repetition that followed `previous` in one `run`:
// the same interleaved run, or the next repetition's number. A run read from
// a store for its figures shares its machine's record with every night, so
// its record says nothing of the run that made it.
bool same_run_call(const Run& previous, const Run& next) {
    if (!previous.machine || !next.machine || previous.started || next.started)
        return false;
    const RepetitionRecord& a = previous.machine->repetition;
    const RepetitionRecord& b = next.machine->repetition;
    if (a.interleaved || b.interleaved)
        return a.interleaved == b.interleaved;
    return a.number && b.number && *b.number == *a.number + 1;
}

// How many of the latest runs the label's last `run` made.
std::size_t last_call_size(const Group& g, const std::vector<const Run*>& runs) {
    std::size_t n = g.dated.empty() ? 0 : 1;
    while (n < g.dated.size() &&
           same_run_call(*runs[g.dated[g.dated.size() - n - 1].at],
                         *runs[g.dated[g.dated.size() - n].at]))
        ++n;
    return n;
}

// A history: runs more than a day apart that no one `run` made together.
bool is_history(const Group& g, const std::vector<const Run*>& runs) {
    if (g.dated.size() < 2 || g.dated.back().second - g.dated.front().second <= seconds_a_day)
        return false;
    return last_call_size(g, runs) < g.dated.size();
}

LabelRuns describe(const Group& g, RunsRule rule) {
    LabelRuns l;
    l.label = g.label;
    l.program = g.program;
    l.rule = rule;
    l.total = g.at.size();
    if (!g.dated.empty()) {
        l.from = g.dated.front().start.substr(0, 10);
        l.to = g.dated.back().start.substr(0, 10);
    }
    return l;
}

// Keeps the label's dated runs from `from` on (the last `count`, or those
// on and after the day `day`), the rest of its runs dropped.
void keep_latest(const Group& g, std::size_t from, std::vector<char>& keep, LabelRuns& said) {
    for (std::size_t i : g.at)
        keep[i] = 0;
    for (std::size_t k = from; k < g.dated.size(); ++k)
        keep[g.dated[k].at] = 1;
    said.taken = g.dated.size() - from;
    if (said.taken != 0) {
        said.first = g.dated[from].start.substr(0, 10);
        said.last = g.dated.back().start.substr(0, 10);
    }
}

// The first of the label's dated runs on or after `day`.
std::size_t first_on(const Group& g, const std::string& day) {
    std::size_t k = 0;
    while (k < g.dated.size() && g.dated[k].start.substr(0, 10) < day)
        ++k;
    return k;
}

// A history's last change: the day its last change point begins, or its
// last drift ends, whichever is later.
struct LastChange {
    std::string day;
    bool drift = false;
};

// The last change of each history, by label and program.
std::map<std::pair<Program, std::string>, LastChange> last_changes(
    const std::vector<const Run*>& runs, const std::vector<const Group*>& searched) {
    std::vector<const Run*> of;
    for (const Group* g : searched)
        for (const Dated& d : g->dated)
            of.push_back(runs[d.at]);
    std::map<std::pair<Program, std::string>, LastChange> last;
    if (of.empty())
        return last;
    HistoryAnalysis analysis = analyse_history(of);
    for (const ChangePoint& c : analysis.change_points) {
        LastChange& l = last[{c.program, c.label}];
        if (c.date > l.day)
            l = {c.date, false};
    }
    for (const Drift& d : analysis.drifts) {
        LastChange& l = last[{d.program, d.label}];
        if (d.end >= l.day)
            l = {d.end, true};
    }
    return last;
}

// The default: the last `run` when it made enough repetitions, else the
// runs since the last change point, else the whole history as one level.
void take_recent(const std::vector<const Run*>& runs, const std::vector<Group>& groups,
                 std::vector<char>& keep, RunsTaken& taken) {
    std::vector<const Group*> histories, searched;
    for (const Group& g : groups)
        if (is_history(g, runs)) {
            histories.push_back(&g);
            if (last_call_size(g, runs) < min_repetitions_a_side)
                searched.push_back(&g);
        }
    auto changes = last_changes(runs, searched);
    for (const Group* g : histories) {
        std::size_t call = last_call_size(*g, runs);
        auto change = changes.find({g->program, g->label});
        LabelRuns said = describe(*g, call >= min_repetitions_a_side ? RunsRule::last_run
                                      : change == changes.end()   ? RunsRule::one_level
                                      : change->second.drift      ? RunsRule::drift_end
                                                                  : RunsRule::since_change);
        std::size_t from = 0;
        if (said.rule == RunsRule::last_run) {
            from = g->dated.size() - call;
        } else if (said.rule == RunsRule::since_change) {
            from = first_on(*g, said.change = change->second.day);
        } else if (said.rule == RunsRule::drift_end) {
            // The runs on and after the drift's last day, or the latest few.
            std::size_t latest = g->dated.size() - std::min(g->dated.size(), drift_end_runs);
            from = std::min(first_on(*g, said.change = change->second.day), latest);
        }
        keep_latest(*g, from, keep, said);
        taken.labels.push_back(std::move(said));
    }
}

// --since: every label's runs on and after the day; a label that loses
// runs is said, one that loses all of them is an error.
void take_since(const std::vector<Group>& groups, const std::string& day,
                std::vector<char>& keep, RunsTaken& taken) {
    for (const Group& g : groups) {
        std::size_t from = first_on(g, day);
        if (from == 0 && g.dated.size() == g.at.size())
            continue;
        LabelRuns said = describe(g, RunsRule::since_date);
        keep_latest(g, from, keep, said);
        if (said.taken == 0 && !taken.emptied)
            taken.emptied = g.label;
        taken.labels.push_back(std::move(said));
    }
}

}  // namespace

RunsTaken take_runs(const std::vector<const Run*>& runs, const RunsChoice& choice) {
    std::vector<Group> groups = group_runs(runs);
    std::vector<char> keep(runs.size(), 1);
    RunsTaken taken;
    if (choice.since) {
        take_since(groups, *choice.since, keep, taken);
    } else if (choice.all) {
        for (const Group& g : groups)
            if (is_history(g, runs)) {
                LabelRuns said = describe(g, RunsRule::all);
                said.taken = g.at.size();
                said.first = said.from;
                said.last = said.to;
                taken.labels.push_back(std::move(said));
            }
    } else {
        take_recent(runs, groups, keep, taken);
    }
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (keep[i])
            taken.runs.push_back(runs[i]);
    return taken;
}

}  // namespace report

namespace report {

std::vector<const Run*> take_last_runs(const std::vector<const Run*>& runs) {
    std::vector<char> keep(runs.size(), 1);
    for (const Group& g : group_runs(runs)) {
        if (!is_history(g, runs))
            continue;
        for (std::size_t i : g.at)
            keep[i] = 0;
        std::size_t n = last_call_size(g, runs);
        for (std::size_t k = g.dated.size() - n; k < g.dated.size(); ++k)
            keep[g.dated[k].at] = 1;
    }
    std::vector<const Run*> out;
    for (std::size_t i = 0; i < runs.size(); ++i)
        if (keep[i])
            out.push_back(runs[i]);
    return out;
}

}  // namespace report
