// The HTML report of `chart` as a reader sees it: generated fleets charted,
// then opened in Chromium at a desktop's width and a phone's (puppeteer-core,
// tests/report/page/measure.js). The page stays within its budget of bytes
// and elements, never scrolls sideways as a whole, no chart is wider than the
// window, and no chart text is cut at its edge, drawn over a mark, a line or
// other text, or shown below 9 pixels. The answer stands above every chart. A
// comparison's points carry what its table says: a whisker for each interval,
// a hollow point for each "same", on a log axis around the baseline's 1.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fleet.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

struct Case {
    const char* name;
    int hosts;
    bool median;       // --baseline median, else each program's first run
    bool long_labels;  // each host given on its own with a long --label
    bool extreme;      // a fleet whose runs lie 140 times above and below the median
    bool history;      // one host's repetitions on 4 days, its kernel updated in the middle
    bool unbreakable = false;  // with long_labels: each label 200 characters without a space
};

const Case cases[] = {
    {"three_hosts_long_labels", 3, false, true, false, false},
    {"fleet_of_50", 50, false, false, false, false},
    {"fleet_of_200_median", 200, true, false, false, false},
    {"extreme_ratios", 12, true, false, true, false},
    {"extreme_ratios_of_three", 3, false, false, true, false},
    {"history_of_a_host", 1, false, false, false, true},
    {"history_under_an_unbreakable_label", 1, false, true, false, true, true},
};

// "Sun Nov  1 10:00:01 2026" for day "01", repetition 1.
std::string day_stamp(const std::string& day, int n) {
    static const char* const weekdays[] = {"Sat", "Sun", "Mon", "Tue", "Wed", "Thu", "Fri"};
    int d = std::stoi(day);
    return std::string(weekdays[d % 7]) + " Nov " + (d < 10 ? " " : "") + std::to_string(d) +
           " 10:00:0" + std::to_string(n) + " 2026";
}

// Three repetitions a day of both programs on one host, as `bench_report run`
// lays them out, on 4 days over a month, the rates drifting down by 1% a day
// and a kernel update between the second and third day.
std::vector<std::string> write_history(const fs::path& dir) {
    const char* days[] = {"01", "08", "15", "29"};
    for (int d = 0; d < 4; ++d)
        for (int n = 1; n <= 3; ++n) {
            std::string stamp = day_stamp(days[d], n);
            fs::path rep = dir / "host-h" /
                           ("202611" + std::string(days[d]) + "T10000" + std::to_string(n) + "Z-" +
                            std::to_string(n));
            fs::create_directories(rep);
            for (auto program : {report::Program::memory, report::Program::processors})
                std::ofstream(
                    rep / (std::string(program == report::Program::memory ? "results_memory"
                                                                          : "results_processors") +
                           "_Linux_x86 @ UTC time " + stamp + "\n.txt"))
                    << scaled_results_file(program, 1 - 0.01 * d - 0.004 * n, 2,
                                           static_cast<unsigned>(d * 3 + n));
            std::ofstream(rep / "machine.json")
                << "{\"repetition\": {\"started\": \"2026-11-" << days[d] << "T10:00:0" << n
                << "Z\"}, \"machine\": {\"hostname\": \"host-h\", \"cpu\": {\"model_name\": "
                   "\"Intel(R) Xeon(R) Processor\", \"logical_cpus\": 2}, \"kernel\": "
                   "{\"release\": \""
                << (d < 2 ? "6.1.0-18-amd64" : "6.1.0-21-amd64") << "\"}}}";
        }
    return {"host-h"};
}

// Up to twelve hosts' processors runs, most alike, one 0.007, one 0.5 and
// one 140 times as fast as the rest.
std::vector<std::string> write_extreme_fleet(const fs::path& dir, int count) {
    std::vector<std::string> hosts;
    for (int h = 1; h <= count; ++h) {
        double factor = h == 3 ? 0.007 : h == 7 ? 140 : h == 9 ? 0.5 : 1 + 0.001 * h;
        hosts.push_back("h" + std::to_string(h));
        fs::create_directories(dir / hosts.back());
        std::ofstream(dir / hosts.back() /
                      "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:00:00 2026\n.txt")
            << scaled_results_file(report::Program::processors, factor, 2, h);
    }
    return hosts;
}

class Page : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("page_test_" + std::to_string(getpid()) + "_" + GetParam().name);
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_P(Page, FitsItsBudgetAndEveryScreen) {
    if (!fs::exists("/usr/bin/chromium"))
        GTEST_SKIP()
            << "Chromium is not installed (Debian package chromium): the page was not measured";
    const Case& c = GetParam();
    std::vector<std::string> hosts = c.history   ? write_history(dir / "fleet")
                                     : c.extreme ? write_extreme_fleet(dir / "fleet", c.hosts)
                                                 : write_fleet(dir / "fleet", c.hosts, 11);
    std::string args;
    if (c.long_labels) {
        for (const std::string& h : hosts)
            args += " " + quoted(dir / "fleet" / h);
        for (const std::string& h : hosts)
            args += c.unbreakable
                        ? " --label '" + std::string(200 - h.size(), 'w') + h + "'"
                        : " --label 'rack-17 of the second datacentre, building West, row C, " +
                              h + "'";
    } else {
        args = " " + quoted(dir / "fleet");
    }
    if (c.median)
        args += " --baseline median";
    fs::path html = dir / "report.html";
    ASSERT_EQ(shell("'" BENCH_REPORT "' chart" + args + " -o " + quoted(html) + " 2>" +
                    quoted(dir / "chart.err")),
              0)
        << slurp(dir / "chart.err");
    EXPECT_LE(fs::file_size(html), 1'500'000u);
    if (c.history && !c.long_labels) {
        // A chart per test of both programs, each panel naming the kernel update once.
        std::string page = slurp(html);
        auto count = [&](const std::string& what) {
            std::size_t n = 0;
            for (std::size_t at = page.find(what); at != std::string::npos;
                 at = page.find(what, at + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(count("<li><a href=\"#history-1\">History of host-h: 4 days</a>"), 1u);
        EXPECT_EQ(count("by day (bench_"), 7u);
        EXPECT_EQ(count(">kernel</text>"), 13u);
        EXPECT_EQ(count("Between 2026-11-08 and 2026-11-15 the machine changed: kernel from "
                        "6.1.0-18-amd64 to 6.1.0-21-amd64."),
                  2u);
    }

    int rc = shell("'" PAGE_CHECK "' '" PAGE_CACHE "' " + quoted(html) + " 1280 390 >" +
                   quoted(dir / "page.json") + " 2>" + quoted(dir / "page.err"));
    if (rc == 77)
        GTEST_SKIP() << "the page was not measured: " << slurp(dir / "page.err");
    ASSERT_EQ(rc, 0) << slurp(dir / "page.err");

    std::istringstream lines(slurp(dir / "page.json"));
    int widths = 0;
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json m = nlohmann::json::parse(line);
        ++widths;
        SCOPED_TRACE("window " + m["width"].dump() + " pixels wide");
        EXPECT_LE(m["elements"].get<int>(), 20000);
        EXPECT_LE(m["scrollWidth"].get<int>(), m["innerWidth"].get<int>());
        EXPECT_GT(m["charts"].get<int>(), 0);
        EXPECT_TRUE(m["wide"].empty()) << m["wide"].dump(1);
        EXPECT_TRUE(m["cut"].empty()) << m["cut"].dump(1);
        EXPECT_TRUE(m["overlaps"].empty()) << m["overlaps"].dump(1).substr(0, 4000);
        EXPECT_TRUE(m["small"].empty()) << m["small"].dump(1).substr(0, 4000);
        // A comparison's answer, in words, above every chart (one host's
        // history compares nothing; the median of a fleet is no label).
        if (!c.history && !c.median) {
            ASSERT_TRUE(m["answerTop"].is_number()) << "no answer on the page";
            EXPECT_LT(m["answerTop"].get<double>(), m["firstChartTop"].get<double>());
            EXPECT_NE(m["answerFirst"].get<std::string>().find(" against "), std::string::npos)
                << m["answerFirst"];
        }
        RecordProperty("elements", m["elements"].get<int>());
        if (m["smallestText"].is_number())
            RecordProperty("smallest_text_px_x100",
                           static_cast<int>(m["smallestText"].get<double>() * 100));
    }
    EXPECT_EQ(widths, 2) << slurp(dir / "page.err");
}

// Runs `bench_report ARGS`, then measures its page at a phone's width:
// measure.js's line, or null when the page could not be measured (skipped).
nlohmann::json measure_at_390(const fs::path& dir, const std::string& args) {
    fs::path html = dir / "report.html";
    EXPECT_EQ(shell("'" BENCH_REPORT "' " + args + " -o " + quoted(html) + " 2>" +
                    quoted(dir / "chart.err")),
              0)
        << slurp(dir / "chart.err");
    int rc = shell("'" PAGE_CHECK "' '" PAGE_CACHE "' " + quoted(html) + " 390 >" +
                   quoted(dir / "page.json") + " 2>" + quoted(dir / "page.err"));
    if (rc == 77)
        return nullptr;
    EXPECT_EQ(rc, 0) << slurp(dir / "page.err");
    return nlohmann::json::parse(slurp(dir / "page.json"));
}

// Three labels of 5 repetitions at 2% noise a pass: "old" the baseline,
// "same" as fast as it, "fast" a quarter faster. Each ratio is a point on a
// logarithmic axis whose 1 is the baseline's line, a 6% gap shown at least
// 8 pixels apart at a phone's width; every interval is a whisker through its
// point, and the hollow points ("no difference") are exactly the rates (and
// geometric means) the comparison marks "same": the page says what the table
// says.
TEST(PageRatios, PointsWithTheirIntervalsOnALogAxisAroundOne) {
    if (!fs::exists("/usr/bin/chromium"))
        GTEST_SKIP() << "Chromium is not installed (Debian package chromium)";
    fs::path dir = fs::temp_directory_path() / ("page_bars_" + std::to_string(getpid()));
    fs::remove_all(dir);
    struct Remove {
        fs::path dir;
        ~Remove() { fs::remove_all(dir); }
    } remove{dir};
    unsigned seed = 1;
    for (auto [label, speed] : {std::pair{"old", 1.0}, {"same", 1.0}, {"fast", 1.25}}) {
        fs::create_directories(dir / label);
        for (int rep = 1; rep <= 5; ++rep)
            std::ofstream(dir / label /
                          ("results_memory_Linux_x86 @ " + std::to_string(rep) + ".txt"))
                << noisy_results_file(report::Program::memory, speed, 0.02, 2, seed++);
    }
    std::string inputs = quoted(dir / "old") + " " + quoted(dir / "same") + " " +
                         quoted(dir / "fast") + " --baseline " + quoted(dir / "old");
    ASSERT_EQ(shell("'" BENCH_REPORT "' compare --format json " + inputs + " >" +
                    quoted(dir / "compare.json")),
              0);
    nlohmann::json doc = nlohmann::json::parse(slurp(dir / "compare.json"));
    std::size_t same = 0, intervals = 0, changes = 0;
    for (const nlohmann::json& program : doc["programs"]) {
        for (const nlohmann::json& row : program["figures"])
            if (row["figure"] == "single rate" || row["figure"] == "overall rate")
                for (const nlohmann::json& cell : row["cells"]) {
                    same += cell["mark"] == "same";
                    changes += cell["mark"] == "better" || cell["mark"] == "worse";
                    intervals += !cell["interval"].is_null();
                }
        for (const nlohmann::json& run : program["runs"])
            for (const char* geo : {"geomean_single_rate", "geomean_overall_rate"}) {
                same += run[geo]["mark"] == "same";
                changes += run[geo]["mark"] == "better" || run[geo]["mark"] == "worse";
            }
    }
    ASSERT_GT(same, 0u);
    ASSERT_GT(changes, 0u);
    ASSERT_GT(intervals, 0u);

    nlohmann::json m = measure_at_390(dir, "chart " + inputs);
    if (m.is_null())
        GTEST_SKIP() << "the page was not measured: " << slurp(dir / "page.err");
    std::size_t hollow = 0, filled_changes = 0;
    // Pixels per unit of log(ratio), of the first point off 1 in each panel.
    std::map<double, double> scale;
    for (const nlohmann::json& point : m["points"]) {
        bool white = point["fill"] == "rgb(255, 255, 255)";
        // The baseline's own figures are squares, neither hollow dots nor filled.
        bool square = point["tag"] == "rect";
        EXPECT_EQ(square, point["mark"] == "none") << point.dump();
        EXPECT_EQ(white, point["mark"] == "same" || square) << point.dump();
        hollow += white && !square;
        filled_changes += point["mark"] == "better" || point["mark"] == "worse";
        ASSERT_TRUE(point["baseline"].is_number()) << point.dump();
        double above = point["baseline"].get<double>() - point["cy"].get<double>();
        double log_ratio = std::log(point["ratio"].get<double>());
        if (std::abs(log_ratio) < 1e-3) {
            EXPECT_NEAR(above, 0, 0.5) << point.dump();
            continue;
        }
        auto [first, added] = scale.emplace(point["baseline"].get<double>(), above / log_ratio);
        EXPECT_GE(first->second * std::log(1.06), 8) << point.dump();
        EXPECT_NEAR(above, first->second * log_ratio, 1) << point.dump();
    }
    EXPECT_EQ(scale.size(), 2u);  // a panel a pass, each with points off 1
    EXPECT_EQ(hollow, same);
    EXPECT_EQ(filled_changes, changes);
    ASSERT_EQ(m["whiskers"].size(), intervals);
    for (const nlohmann::json& w : m["whiskers"]) {
        // The point it passes through, its estimate, lies within it.
        auto through = std::find_if(m["points"].begin(), m["points"].end(),
                                    [&](const nlohmann::json& p) {
                                        return std::abs(p["cx"].get<double>() -
                                                        w["cx"].get<double>()) < 0.5 &&
                                               p["cy"] >= w["top"] && p["cy"] <= w["bottom"];
                                    });
        EXPECT_TRUE(through != m["points"].end()) << w.dump();
    }
    EXPECT_TRUE(m["small"].empty()) << m["small"].dump(1);
    EXPECT_TRUE(m["cut"].empty()) << m["cut"].dump(1);
    EXPECT_TRUE(m["overlaps"].empty()) << m["overlaps"].dump(1).substr(0, 4000);
}

// A sweep of run --scaling on a 2-core machine with SMT: points of 1, 2 and
// 4 threads (the last sharing cores), three repetitions each. The page draws
// each test's curve with its ideal line, readable at a phone's width.
TEST(PageSweep, EachTestsCurveAgainstItsIdealLine) {
    if (!fs::exists("/usr/bin/chromium"))
        GTEST_SKIP() << "Chromium is not installed (Debian package chromium)";
    fs::path dir = fs::temp_directory_path() / ("page_sweep_" + std::to_string(getpid()));
    fs::remove_all(dir);
    struct Remove {
        fs::path dir;
        ~Remove() { fs::remove_all(dir); }
    } remove{dir};
    unsigned seed = 7;
    const char* sets[][4] = {{"0", "[0]", "1", "null"},
                             {"0-1", "[0,1]", "2", "null"},
                             {"0-3", "[0,1,2,3]", "2", "\"0-3\""}};
    int n = 0;
    for (int point = 0; point < 3; ++point)
        for (int rep = 1; rep <= 3; ++rep) {
            fs::path d = dir / "host" / std::to_string(++n);
            fs::create_directories(d);
            int threads = 1 << point;
            std::ofstream(d / "results_memory_Linux_x86 @ 1.txt")
                << noisy_results_file(report::Program::memory, 1.0, 0.03, threads, seed++);
            std::ofstream(d / "machine.json")
                << "{\"schema_version\": 3, \"repetition\": {\"program\": \"bench_memory\", "
                   "\"outcome\": \"completed\"}, \"scaling\": {\"cpus\": \""
                << sets[point][0] << "\", \"places\": " << sets[point][1]
                << ", \"cores\": " << sets[point][2] << ", \"siblings\": " << sets[point][3]
                << ", \"nodes\": \"0\", \"binding\": \"close\", \"allowed\": \"0-3\", "
                   "\"sweep\": \"S\"}}\n";
        }
    nlohmann::json m = measure_at_390(dir, "chart " + quoted(dir / "host"));
    std::string page = slurp(dir / "report.html");
    EXPECT_NE(page.find("<h2 id=\"sweep-1\">Scaling sweep S of "),
              std::string::npos);
    // A curve per test, each point with its efficiency, the SMT one marked.
    std::size_t curves = 0;
    for (std::size_t at = 0; (at = page.find(": overall rate against threads", at)) !=
                             std::string::npos;
         ++at)
        ++curves;
    EXPECT_EQ(curves, 3u);
    EXPECT_NE(page.find(">SMT</text>"), std::string::npos);
    if (m.is_null())
        GTEST_SKIP() << "the page was not measured: " << slurp(dir / "page.err");
    EXPECT_LE(m["scrollWidth"].get<int>(), m["innerWidth"].get<int>());
    EXPECT_TRUE(m["small"].empty()) << m["small"].dump(1);
    EXPECT_TRUE(m["cut"].empty()) << m["cut"].dump(1);
    EXPECT_TRUE(m["overlaps"].empty()) << m["overlaps"].dump(1).substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(Report, Page, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name;
                         });

}  // namespace
