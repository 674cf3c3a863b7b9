#include "analysis/history_page.h"

#include <algorithm>

#include "model/catalogue.h"

namespace report {

namespace {

// The unit test `key` is printed in, as the first of the history's runs
// that has it printed it.
std::string unit_of(const History& h, std::string_view key) {
    for (const HistoryDay& day : h.days)
        for (const Run* r : day.runs)
            for (const Test& t : r->tests)
                if (t.key == key)
                    return t.unit;
    return "";
}

HistoryTest history_test(const History& h, std::string_view key,
                         const std::vector<const ChangePoint*>& change_points) {
    HistoryTest test{std::string(key), unit_of(h, key), {}};
    for (bool overall : {false, true}) {
        HistoryRate rate{overall, history_points(h, test.key, overall), {}};
        if (rate.points.empty())
            continue;
        for (const ChangePoint* cp : change_points)
            if (cp->test == key && cp->overall == overall)
                rate.change_points.push_back(cp);
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
    for (const TestInfo& info : catalogue(h.program)) {
        HistoryTest test = history_test(h, info.key, p.change_points);
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

}  // namespace report
