// The views of a history analysis: text, Markdown and JSON state the same
// change points, fleet events and gate verdict, and text read from files
// (labels, the machine's values) reaches a terminal or a page escaped.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "analysis/page.h"
#include "output/charts.h"
#include "output/history_views.h"
#include "output/text.h"

using namespace report;

namespace {

// One host slower from 2026-12-03 after a kernel change its machine.json
// recorded with an escape sequence in it, a second host faster the same day
// with no machine change, one event, and a quiet microcode change.
HistoryAnalysis analysis() {
    HistoryAnalysis a;
    a.labels = 3;
    ChangePoint slow;
    slow.label = "host-\x1b[31mred";
    slow.program = Program::memory;
    slow.test = "geomean";
    slow.date = "2026-12-03";
    slow.last_before = "2026-12-02";
    slow.before = 1000;
    slow.after = 950;
    slow.change_percent = -5;
    slow.p = 0.001;
    slow.causes = {{"kernel", "6.1.0-27", "6.1.0-28\x1b]0;owned\x07"}};
    ChangePoint fast = slow;
    fast.label = "host-b";
    fast.change_percent = 3;
    fast.after = 1030;
    fast.causes.clear();
    a.change_points = {slow, fast};
    FleetEvent e;
    e.date = e.last_date = "2026-12-03";
    e.worse = true;
    e.labels = {slow.label};
    e.change_points = {0};
    e.causes = {{slow.causes[0], 1}};
    a.fleet_events = {e};
    a.quiet_machine_changes = {{"host-c", Program::memory, "2026-12-05", "2026-12-04",
                                {{"microcode", "0x10", "0x11"}}}};
    return a;
}

std::size_t count_of(const std::string& s, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        ++n;
    return n;
}

bool raw_control(const std::string& s) {
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\n') || c == 0x7f)
            return true;
    return false;
}

}  // namespace

TEST(HistoryViews, EveryFormatStatesTheSameFindingsAndVerdict) {
    HistoryAnalysis a = analysis();
    HistorySelection all{{0, 1}, {0}, {0}, {}};
    struct Case {
        HistoryGate::Verdict verdict;
        const char* words;  // text and Markdown
        const char* json;
    };
    for (const Case& c : {Case{HistoryGate::fail, "Gate: fail: 1 change point(s) for the worse", "fail"},
                          Case{HistoryGate::pass, "Gate: pass: no change point for the worse", "pass"},
                          Case{HistoryGate::too_little, "Gate: no verdict:", "no_verdict"}}) {
        // Every change point's row, on a terminal wide enough for each line whole.
        HistoryViewOptions o;
        o.rows = true;
        o.width = 400;
        o.gate_since = "2026-12-01";
        o.gate = HistoryGate{c.verdict, c.verdict == HistoryGate::fail
                                            ? std::vector<std::size_t>{0}
                                            : std::vector<std::size_t>{},
                             {}, {}};
        std::string text = history_text(a, all, o);
        std::string md = history_markdown(a, all, o);
        nlohmann::json j = nlohmann::json::parse(history_json(a, all, o));
        EXPECT_NE(text.find(c.words), std::string::npos) << text;
        EXPECT_NE(md.find(c.words), std::string::npos) << md;
        EXPECT_EQ(j["gate"]["verdict"], c.json);
        // The same two change points everywhere, with their change in percent.
        ASSERT_EQ(j["change_points"].size(), 2u);
        EXPECT_EQ(j["change_points"][0]["change_percent"], -5.0);
        EXPECT_EQ(j["change_points"][1]["causes"].size(), 0u);
        EXPECT_EQ(j["change_points"][0]["causes"][0]["field"], "kernel");
        for (const std::string* view : {&text, &md}) {
            EXPECT_NE(view->find("-5.0%"), std::string::npos) << *view;
            EXPECT_NE(view->find("+3.0%"), std::string::npos) << *view;
            EXPECT_NE(view->find("none known"), std::string::npos) << *view;
            EXPECT_NE(view->find("microcode 0x10 -> 0x11"), std::string::npos) << *view;
        }
        EXPECT_NE(text.find("Fleet event: 1 of 3 hosts, 2026-12-03, slower, kernel 6.1.0-27 -> "),
                  std::string::npos)
            << text;
        EXPECT_EQ(j["fleet_events"][0]["labels"].size(), 1u);
        EXPECT_EQ(j["quiet_machine_changes"][0]["changes"][0]["after"], "0x11");
    }
    // The method's parameters, both passes, as the search used them.
    HistoryViewOptions none;
    nlohmann::json method = nlohmann::json::parse(history_json(a, all, none))["method"];
    const ChangePointSettings used;
    EXPECT_EQ(method["significance"], used.significance);
    EXPECT_EQ(method["window_days"], used.windows);
    EXPECT_EQ(method["window_significance"], used.window_significance);
    HistoryViewOptions rows;
    rows.rows = true;
    rows.width = 400;
    EXPECT_NE(history_text(a, all, rows).find("then windows of 12, 24, 48 days at p at most 0.0002"),
              std::string::npos);

    // Without a gate no output says one.
    EXPECT_EQ(history_text(a, all, none).find("Gate:"), std::string::npos);
    EXPECT_TRUE(nlohmann::json::parse(history_json(a, all, none))["gate"].is_null());
}

TEST(HistoryViews, TextFromFilesReachesTheTerminalEscapedAndTheJsonWhole) {
    HistoryAnalysis a = analysis();
    HistorySelection all{{0, 1}, {0}, {0}, {}};
    std::string text = history_text(a, all, {});
    std::string md = history_markdown(a, all, {});
    EXPECT_FALSE(raw_control(text)) << text;
    EXPECT_FALSE(raw_control(md)) << md;
    EXPECT_NE(text.find("host-\\x1b[31mred"), std::string::npos) << text;
    // JSON keeps the values as they were recorded, in JSON's own escapes.
    nlohmann::json j = nlohmann::json::parse(history_json(a, all, {}));
    EXPECT_EQ(j["change_points"][0]["label"], "host-\x1b[31mred");
    EXPECT_EQ(j["change_points"][0]["causes"][0]["after"], "6.1.0-28\x1b]0;owned\x07");
    // Nothing selected: said in words, in every format.
    HistorySelection nothing;
    HistoryViewOptions since;
    since.since = "2026-12-10";
    EXPECT_NE(history_text(a, nothing, since).find("No change point on or after 2026-12-10"),
              std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(history_json(a, nothing, since))["change_points"].size(), 0u);
}

TEST(HistoryViews, FleetEventSaysWhichCausesAllItsHostsShare) {
    FleetEvent e;
    e.date = "2026-12-03";
    e.last_date = "2026-12-04";
    e.worse = true;
    for (int i = 0; i < 17; ++i)
        e.labels.push_back("host-" + std::to_string(i));
    e.causes = {{{"kernel", "6.1.0-27", "6.1.0-28"}, 17}, {{"microcode", "0x10", "0x11"}, 3}};
    EXPECT_EQ(fleet_event_text(e, 200),
              "17 of 200 hosts, 2026-12-03 to 2026-12-04, slower, kernel 6.1.0-27 -> 6.1.0-28 "
              "on all 17, microcode 0x10 -> 0x11 on 3 of 17");
    e.causes.clear();
    e.worse = false;
    e.last_date = e.date;
    EXPECT_EQ(fleet_event_text(e, 200),
              "17 of 200 hosts, 2026-12-03, faster, no machine change in common");
}

// A drift in words: whose, how many figures, how far with its interval and
// over which days, the same in every format; the gate states it apart.
TEST(HistoryViews, ADriftIsSaidAsOneInEveryFormat) {
    HistoryAnalysis a = analysis();
    Drift d;
    d.label = "host-\x1b[31mred";
    d.program = Program::memory;
    d.test = "geomean";
    d.start = "2026-01-03";
    d.end = "2026-12-30";
    d.ongoing = true;
    d.change_percent = -10;
    d.low_percent = -11.96;
    d.high_percent = -8.04;
    d.figures = d.figures_total = 8;
    a.drifts = {d};
    HistorySelection s{{}, {}, {}, {0}};
    HistoryViewOptions o;
    o.width = 400;
    o.gate_since = "2026-12-01";
    o.gate = HistoryGate{HistoryGate::fail, {}, {0}, {}};
    const std::string owner = "host-\\x1b[31mred: bench_memory: 8 of 8 figures, still going on";
    const std::string words =
        "drifting slower by 10.0% [8.0-12.0%] from 2026-01-03 to 2026-12-30";
    EXPECT_EQ(drift_owner_text(d), owner);
    EXPECT_EQ(drift_text(d), words);
    std::string text = history_text(a, s, o);
    EXPECT_NE(text.find("Drifts (1)\n" + owner + "\n  " + words + "\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Gate: fail: 0 change point(s) for the worse on or after 2026-12-01, 1 "
                        "drift(s) for the worse going on then."),
              std::string::npos)
        << text;
    for (const std::string& line : {owner, "  " + words})
        EXPECT_LE(line.size(), 80u);
    EXPECT_NE(history_markdown(a, s, o).find("- " + markdown_escape(owner + ": " + words)),
              std::string::npos);
    nlohmann::json j = nlohmann::json::parse(history_json(a, s, o));
    ASSERT_EQ(j["drifts"].size(), 1u);
    EXPECT_EQ(j["drifts"][0]["direction"], "slower");
    EXPECT_EQ(j["drifts"][0]["low_percent"], -11.96);
    EXPECT_EQ(j["drifts"][0]["high_percent"], -8.04);
    EXPECT_EQ(j["drifts"][0]["ongoing"], true);
    EXPECT_EQ(j["drifts"][0]["figures"], 8);
    EXPECT_EQ(j["gate"]["worse_drifts"], 1);
    // Not selected: not shown.
    EXPECT_EQ(history_text(a, {}, {}).find("Drifts"), std::string::npos);
}

// The history chart draws a drift as a sloped line from its first day to its
// last with dashed lines to either end of its interval, says so under its
// title, and gives its size on hover; a rate that does not drift has none.
TEST(HistoryViews, TheChartDrawsADriftWithItsInterval) {
    History h;
    h.label = "host-a";
    h.program = Program::memory;
    for (long d = 0; d < 40; ++d)
        h.days.push_back({d < 30 ? fmt::format("2026-11-{:02}", d + 1)
                                 : fmt::format("2026-12-{:02}", d - 29),
                          20758 + d, {}});
    HistoryRate drifting{false, {}, {}}, steady{true, {}, {}};
    for (std::size_t d = 0; d < 40; ++d) {
        double v = 100 - 0.25 * static_cast<double>(d);
        drifting.points.push_back({d, v - 1, v, v + 1, 1});
        steady.points.push_back({d, 99, 100, 101, 1});
    }
    HistorySeries::Ramp ramp{0, 39, 100, 90, 88, 92};
    drifting.ramp = &ramp;
    ProgramHistory p;
    p.history = &h;
    HistoryTest test{"allocation", "MB/s", {drifting, steady}};
    std::string svg = history_chart(p, test).element();
    EXPECT_EQ(count_of(svg, "stroke-width=\"3.00\""), 1u) << svg;
    EXPECT_EQ(count_of(svg, "stroke-dasharray=\"4 3\""), 2u);
    EXPECT_NE(svg.find("a sloped orange line is a drift"), std::string::npos);
    EXPECT_NE(svg.find("Drift: -10.0% [-12.0% to -8.0%] from 2026-11-01 to 2026-12-10"),
              std::string::npos)
        << svg;
    test.rates = {steady};
    EXPECT_EQ(history_chart(p, test).element().find("drift"), std::string::npos);
}
