#include "analysis/page.h"

#include <algorithm>
#include <cmath>
#include <map>

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

namespace {

// How far a label moved over its history: the largest change, either way,
// of its change points and drifts (a rate halved and one doubled are as
// far); 0 when none.
std::map<std::string, double> label_moves(const HistoryAnalysis& analysis) {
    std::map<std::string, double> moved;
    auto add = [&](const std::string& label, double percent) {
        double ratio = 1 + percent / 100;
        double d = ratio > 0 ? std::fabs(std::log(ratio)) : HUGE_VAL;
        double& m = moved[label];
        m = std::max(m, d);
    };
    for (const ChangePoint& cp : analysis.change_points)
        add(cp.label, cp.change_percent);
    for (const Drift& d : analysis.drifts)
        add(d.label, d.change_percent);
    return moved;
}

}  // namespace

HistoryPage history_page(const HistoryAnalysis& analysis, std::size_t labels,
                         const std::map<std::string, double>& against_baseline) {
    HistoryPage page;
    page.analysis = &analysis;
    // The labels in the order given, then the furthest moved first; those
    // that did not move keep the order given.
    std::vector<std::string> order;
    for (const History& h : analysis.histories)
        if (order.empty() || order.back() != h.label)
            order.push_back(h.label);
    page.labels_total = order.size();
    std::map<std::string, double> moved = label_moves(analysis);
    for (const auto& [label, d] : against_baseline)
        moved[label] = std::max(moved[label], d);
    std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return moved[a] > moved[b];
    });
    if (order.size() > labels)
        order.resize(labels);
    // The histories of a label follow one another, one per program.
    for (const std::string& label : order) {
        LabelHistory shown{label, {}, 0};
        for (const History& h : analysis.histories)
            if (h.label == label) {
                shown.programs.push_back(program_history(analysis, h));
                shown.days = std::max(shown.days, h.days.size());
            }
        page.labels.push_back(std::move(shown));
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
