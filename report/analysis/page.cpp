#include "analysis/page.h"

#include <algorithm>
#include <cmath>

#include "analysis/stats.h"
#include "model/catalogue.h"

namespace report {

namespace {

// The unit test `key` is printed in, as the first of the history's runs
// that has it printed it.
std::string history_unit(const History& h, std::string_view key) {
    for (const HistoryDay& day : h.days)
        for (const Run* r : day.runs)
            for (const Test& t : r->tests)
                if (t.key == key)
                    return t.unit;
    return "";
}

HistoryTest history_test(const History& h, std::string_view key,
                         const std::vector<const ChangePoint*>& change_points,
                         const std::vector<const HistorySeries*>& series) {
    HistoryTest test{std::string(key), history_unit(h, key), {}};
    for (bool overall : {false, true}) {
        HistoryRate rate{overall, history_points(h, test.key, overall), {}};
        if (rate.points.empty())
            continue;
        for (const ChangePoint* cp : change_points)
            if (cp->test == key && cp->overall == overall)
                rate.change_points.push_back(cp);
        for (const HistorySeries* s : series)
            if (s->test == key && s->overall == overall && s->ramp)
                rate.ramp = &*s->ramp;
        test.rates.push_back(std::move(rate));
    }
    return test;
}

ProgramHistory program_history(const HistoryAnalysis& a, const History& h) {
    ProgramHistory p;
    p.history = &h;
    for (const HistoryDay& day : h.days)
        p.runs += day.runs.size();
    for (const ChangePoint& cp : a.change_points)
        if (cp.label == h.label && cp.program == h.program)
            p.change_points.push_back(&cp);
    for (const Drift& d : a.drifts)
        if (d.label == h.label && d.program == h.program)
            p.drifts.push_back(&d);
    std::vector<const HistorySeries*> series;
    for (const HistorySeries& s : a.series)
        if (s.ramp && &a.histories[s.history] == &h)
            series.push_back(&s);
    for (const TestInfo& info : catalogue(h.program)) {
        HistoryTest test = history_test(h, info.key, p.change_points, series);
        if (!test.rates.empty())
            p.tests.push_back(std::move(test));
    }
    return p;
}

}  // namespace

HistoryPage history_page(const HistoryAnalysis& analysis, std::size_t labels) {
    HistoryPage page;
    page.analysis = &analysis;
    // The histories of a label follow one another, one per program.
    const std::string* previous = nullptr;
    bool shown = false;
    for (const History& h : analysis.histories) {
        if (!previous || *previous != h.label) {
            previous = &h.label;
            ++page.labels_total;
            shown = page.labels.size() < labels;
            if (shown)
                page.labels.push_back({h.label, {}, 0});
        }
        if (!shown)
            continue;
        LabelHistory& label = page.labels.back();
        label.programs.push_back(program_history(analysis, h));
        label.days = std::max(label.days, h.days.size());
    }
    return page;
}

namespace {

void add(RepeatedRate& rate, const std::optional<Figure>& figure) {
    if (figure && std::isfinite(figure->value))
        rate.values.push_back(figure->value);
}

void close(RepeatedRate& rate) {
    rate.median = stats::median(rate.values);
}

// The thread numbered `thread`, added in order when it is new.
RepeatedThread& thread_of(std::vector<RepeatedThread>& threads, int thread) {
    auto at = std::lower_bound(threads.begin(), threads.end(), thread,
                               [](const RepeatedThread& t, int n) { return t.thread < n; });
    if (at == threads.end() || at->thread != thread)
        at = threads.insert(at, RepeatedThread{thread, {}, false});
    return *at;
}

void add_test(RepeatedScaling& s, const Test& t) {
    if (s.unit.empty())
        s.unit = t.unit;
    add(s.single, t.single_rate);
    s.single_out_of_memory = s.single_out_of_memory || t.single_out_of_memory;
    if (t.incomplete_threads == 0)
        add(s.overall, t.overall_rate);
    for (const ThreadResult& r : t.threads) {
        RepeatedThread& thread = thread_of(s.threads, r.thread);
        add(thread.rate, r.rate);
        thread.out_of_memory = thread.out_of_memory || r.out_of_memory;
    }
}

}  // namespace

std::vector<RepeatedScaling> repeated_scaling(const std::vector<const Run*>& repetitions) {
    std::vector<RepeatedScaling> out;
    if (repetitions.empty())
        return out;
    for (const TestInfo& info : catalogue(repetitions.front()->program)) {
        RepeatedScaling s;
        s.key = std::string(info.key);
        for (const Run* run : repetitions)
            for (const Test& t : run->tests)
                if (t.key == info.key)
                    add_test(s, t);
        if (s.threads.empty())
            continue;
        close(s.single);
        close(s.overall);
        for (RepeatedThread& t : s.threads)
            close(t.rate);
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace report
