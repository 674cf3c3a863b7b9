// chart: text from files is escaped, every SVG is well-formed XML (xmllint),
// the report is self-contained, and a real browser shows every chart and table.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <fmt/format.h>

#include "fleet.h"
#include "input/load.h"
#include "process.h"
#include "samples.h"
#include "analysis/page.h"
#include "output/compare_formats.h"
#include "output/html_report.h"
#include "output/svg.h"

namespace fs = std::filesystem;

namespace {

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(XmlEscape, MarkupControlCharactersAndBrokenUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&#39;"},
        {"name\n.txt", "name\\n.txt"},
        {std::string("x\x01y\x7f", 4), "x\\x01y\\x7f"},
        {"h\xC3\xA9te \xE2\x96\xB2", "h\xC3\xA9te \xE2\x96\xB2"},  // well-formed UTF-8 stays
        {"\xC3", "\xEF\xBF\xBD"},                                  // cut short
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // U+FFFE
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(report::xml_escape(in), out) << in;
}

// Every run of digits (with its decimal point and exponent) as "#": what is
// left is the layout of a file.
std::string layout(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) {
            while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) ||
                                       std::strchr(".e+-", text[i])))
                ++i;
            out += '#';
        } else {
            out += text[i++];
        }
    }
    return out;
}

TEST(Fleet, GeneratedFilesHaveTheProgramsLayout) {
    const std::tuple<report::Program, int, const char*> cases[] = {
        {report::Program::processors, 1, "processors_1thread"},
        {report::Program::processors, 2, "processors_2threads"},
        {report::Program::memory, 1, "memory_1thread"},
        {report::Program::memory, 2, "memory_2threads"},
    };
    for (const auto& [program, threads, name] : cases)
        EXPECT_EQ(layout(scaled_results_file(program, 0.9, threads, 7)),
                  layout(slurp(fs::path(REPORT_DATA) / (std::string(name) + ".results.txt"))))
            << name;
}

// Loaded back, a fleet raises nothing but the short-pass note, each host's
// directory names its runs, and the outliers are where the generator puts them.
TEST(Fleet, ReadsBackConsistent) {
    fs::path dir = fs::temp_directory_path() / ("fleet_test_" + std::to_string(getpid()));
    fs::remove_all(dir);
    std::vector<std::string> hosts = write_fleet(dir, 50, 3);
    ASSERT_EQ(hosts.size(), 50u);
    EXPECT_EQ(hosts[0], "host-001");
    report::Loaded loaded = report::load_runs({dir.string()}, {});
    fs::remove_all(dir);
    EXPECT_FALSE(loaded.failed) << loaded.notes.size() << " note(s)";
    ASSERT_EQ(loaded.runs.size(), 100u);
    for (const report::Run& run : loaded.runs) {
        std::string said;
        for (const report::Finding& f : run.findings)
            said += "\n" + f.message;
        ASSERT_EQ(run.findings.size(), 1u) << run.path << said;
        EXPECT_EQ(run.findings[0].check, "iterations");
        EXPECT_EQ(run.findings[0].line, 0) << run.findings[0].message;
        EXPECT_FALSE(run.partial);
        EXPECT_EQ(run.threads, 4);
        EXPECT_EQ(run.tests.size(), 4u - (run.program == report::Program::memory));
        EXPECT_EQ(run.local_time.substr(0, 11), "Tue Dec  8 ");
    }
    // Each host's two runs, memory first by name, both labelled with its directory.
    for (std::size_t i = 0; i < loaded.runs.size(); ++i) {
        EXPECT_EQ(loaded.runs[i].label, hosts[i / 2]);
        EXPECT_EQ(loaded.runs[i].program,
                  i % 2 ? report::Program::processors : report::Program::memory);
    }
    int outliers = 0;
    for (int host = 1; host <= 50; ++host) {
        double f = fleet_factor(host, 3);
        EXPECT_EQ(std::abs(f - 1) > 0.2, fleet_outlier(host)) << host;
        outliers += fleet_outlier(host);
    }
    EXPECT_EQ(outliers, 2);
}

TEST(TickStep, RoundNumbersThatCoverTheRange) {
    const std::pair<double, double> cases[] = {{10, 2},     {7.3, 2},        {1.2, 0.25},
                                               {1111, 250}, {0.0028, 0.001}, {0, 1}};
    for (const auto& [max, step] : cases)
        EXPECT_DOUBLE_EQ(report::tick_step(max), step) << max;
}

// Text shortened to a width keeps whole UTF-8 characters and ends in an ellipsis.
TEST(FitText, WithinTheWidthAndWholeCharacters) {
    const std::tuple<std::string, double, bool> cases[] = {
        {"host-001", 200, false},
        {"rack-17 of the second datacentre, building West", 120, true},
        {"h\xC3\xA9t\xC3\xA9rog\xC3\xA8ne \xE6\x9D\xB1\xE4\xBA\xAC \xE6\x9D\xB1\xE4\xBA\xAC", 40,
         true},
        {"", 10, false},
    };
    for (const auto& [text, width, cut] : cases) {
        std::string fitted = report::fit_text(text, width, 11);
        EXPECT_LE(report::text_width(fitted, 11), width) << text;
        EXPECT_EQ(report::xml_escape(fitted), fitted) << "a character split: " << fitted;
        EXPECT_EQ(fitted != text, cut) << fitted;
        if (cut) {
            EXPECT_EQ(fitted.substr(fitted.size() - 3), "\xE2\x80\xA6") << fitted;
        }
    }
}

// fit_text as it was when it measured every start of the text, from the
// longest down: the one pass must cut at the very same byte.
std::string fit_by_every_start(std::string_view text, double width, double size) {
    if (report::text_width(text, size) <= width)
        return std::string(text);
    std::size_t end = text.size();
    while (end > 0) {
        do
            --end;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80);
        if (report::text_width(text.substr(0, end), size) + size <= width)
            break;
    }
    return std::string(text.substr(0, end)) + "\xE2\x80\xA6";
}

TEST(FitText, CutsWhereMeasuringEveryStartCut) {
    // Narrow, wide and capital letters, characters of two to four bytes, and
    // bytes that start no character or end one too soon.
    const std::string pieces[] = {"a",  "W",      " ",    "i",    "\xC3\xA9", "\xE6\x9D\xB1",
                                  "\x80", "\xC3", "\xED\xA0\x80", "\xF0\x9F\x98\x80"};
    std::mt19937 random(17);
    for (int k = 0; k < 3000; ++k) {
        std::string text;
        for (std::size_t n = random() % 40; n > 0; --n)
            text += pieces[random() % std::size(pieces)];
        double width = static_cast<double>(random() % 400) / 2;
        double size = 9 + static_cast<double>(random() % 7);
        ASSERT_EQ(report::fit_text(text, width, size), fit_by_every_start(text, width, size))
            << "width " << width << ", size " << size << ": " << report::escape_path(text);
    }
}

// Fourteen hosts, more than there are colours: a dot chart per test with a
// dot per run in each panel, the outliers named, every link of the contents
// landing on its section, and the per-run detail limited.
TEST(FleetChart, DotsNamesAndContents) {
    if (!fs::exists("/usr/bin/xmllint"))
        GTEST_SKIP() << "xmllint is not installed (Debian package libxml2-utils)";
    fs::path dir = fs::temp_directory_path() / ("fleet_chart_" + std::to_string(getpid()));
    fs::remove_all(dir);
    write_fleet(dir / "fleet", 14, 5);
    std::string run =
        "cd '" + dir.string() + "' && '" BENCH_REPORT "' chart fleet --baseline median -o ";
    ASSERT_EQ(shell(run + "fleet.html 2>err.txt"), 0) << slurp(dir / "err.txt");
    ASSERT_EQ(shell(run + "fleet.svg 2>err.txt"), 0) << slurp(dir / "err.txt");
    EXPECT_EQ(shell("xmllint --noout '" + (dir / "fleet.svg").string() + "'"), 0);
    std::string svg = slurp(dir / "fleet.svg");
    std::string html = slurp(dir / "fleet.html");
    fs::remove_all(dir);

    // The memory runs come first: three tests, a single-thread and an overall panel each.
    EXPECT_EQ(count(svg, "<circle"), 14u * 6);
    // host-013 runs at 0.6 times the others, host-038 is not in a fleet of 14.
    EXPECT_EQ(count(svg, ">host-013 x0.6"), 6u) << svg;
    EXPECT_EQ(count(svg, "<title>host-0"), 14u * 6);  // each dot names its run on hover
    EXPECT_EQ(count(svg, ">host-0") - count(svg, "<title>host-0"), 6u);  // no other run named
    EXPECT_EQ(count(html, "<circle"), 14u * (6 + 7));
    for (std::size_t at = html.find("href=\"#"); at != std::string::npos;
         at = html.find("href=\"#", at + 1)) {
        std::string id = html.substr(at + 7, html.find('"', at + 7) - at - 7);
        EXPECT_EQ(count(html, "id=\"" + id + "\""), 1u) << id;
    }
    EXPECT_LE(count(html, "<details"), 12u);
    EXPECT_GE(count(html, "<details"), 2u);  // host-013's two runs
}

// Whether a comparison is shown a row a run (the fleet layout) is one rule
// that every view reads: the text's and Markdown's tables, the page's tables
// and charts, and the .svg chart. The page has no width (its tables scroll),
// so there more runs than colours alone make a fleet.
TEST(CompareLayout, OneRuleForTablesAndCharts) {
    using report::CompareLayout;
    struct Case {
        const char* name;
        int runs;
        std::size_t label;  // characters of each label
        std::size_t width;
        CompareLayout asked;
        bool text_fleet, page_fleet;
    };
    const std::size_t file = 100000;  // compare -o FILE: no terminal's width
    const Case cases[] = {
        {"two runs", 2, 8, 80, CompareLayout::automatic, false, false},
        {"four long labels stay columns", 4, 40, 80, CompareLayout::automatic, false, false},
        {"six runs that fit", 6, 8, 200, CompareLayout::automatic, false, false},
        {"six long labels overflow", 6, 40, 80, CompareLayout::automatic, true, false},
        {"as many runs as colours", 8, 8, file, CompareLayout::automatic, false, false},
        {"one run more than colours", 9, 8, file, CompareLayout::automatic, true, true},
        {"asked wide for a fleet", 12, 8, 80, CompareLayout::wide, false, false},
        {"asked narrow for a fleet", 12, 8, 80, CompareLayout::narrow, false, false},
        {"asked fleet for two", 2, 8, 80, CompareLayout::fleet, true, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<report::Run> owned;
        for (int i = 0; i < k.runs; ++i) {
            report::LoadContext context;
            auto parsed = report::parse_results(
                scaled_results_file(report::Program::memory, 1 + 0.01 * i, 2, i), "r.txt", context);
            ASSERT_TRUE(parsed && parsed->size() == 1);
            std::string label = fmt::format("host-{:02}", i);
            parsed->front().label = label + std::string(k.label - label.size(), 'x');
            owned.push_back(parsed->front());
        }
        std::vector<const report::Run*> runs;
        for (const report::Run& r : owned)
            runs.push_back(&r);
        std::vector<report::ProgramComparison> cs = report::compare_runs(runs, {});
        ASSERT_EQ(cs.size(), 1u);
        report::ViewOptions view;
        view.width = k.width;
        view.layout = k.asked;
        EXPECT_EQ(report::fleet_layout(cs[0], view), k.text_fleet);
        // The fleet table's column, in the text and in Markdown.
        EXPECT_EQ(count(report::compare_text(cs, view), "Worst figure") > 0, k.text_fleet);
        EXPECT_EQ(count(report::compare_markdown(cs, view), "Worst figure") > 0, k.text_fleet);
        std::string page = report::html_report(runs, cs, view);
        EXPECT_EQ(count(page, "<div class=\"charts fleet\">") > 0, k.page_fleet);
        EXPECT_EQ(count(page, "Worst figure") > 0, k.page_fleet);
        if (k.asked == CompareLayout::automatic) {
            EXPECT_EQ(count(report::svg_report(runs, cs), "every run&#39;s rates") > 0,
                      k.page_fleet);
        }
    }
}

// A label's repetitions summed up thread by thread for its chart: every
// thread any repetition ran, each rate's median over the repetitions that
// have it, and the overall rate only of repetitions whose every thread
// completed.
TEST(RepeatedScaling, EachThreadsMedianOverTheRepetitionsThatHaveIt) {
    auto rep = [](double single, std::vector<double> threads, double overall, int incomplete) {
        report::Run run;
        run.program = report::Program::memory;
        report::Test t;
        t.key = "allocation";
        t.unit = "Millions Allocations/sec.";
        t.single_rate = report::Figure{"", single};
        for (std::size_t i = 0; i < threads.size(); ++i)
            t.threads.push_back({static_cast<int>(i), {}, report::Figure{"", threads[i]}, {}});
        t.overall_rate = report::Figure{"", overall};
        t.incomplete_threads = incomplete;
        run.tests.push_back(t);
        return run;
    };
    std::vector<report::Run> runs = {rep(10, {5, 6}, 11, 0), rep(12, {7, 6, 3}, 99, 1),
                                     rep(11, {6, 9}, 15, 0)};
    std::vector<const report::Run*> reps;
    for (const report::Run& r : runs)
        reps.push_back(&r);
    std::vector<report::RepeatedScaling> s = report::repeated_scaling(reps);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].unit, "Millions Allocations/sec.");
    EXPECT_EQ(s[0].single.median, 11);
    EXPECT_EQ(s[0].overall.values, (std::vector<double>{11, 15}));
    ASSERT_EQ(s[0].threads.size(), 3u);
    EXPECT_EQ(s[0].threads[0].rate.median, 6);
    EXPECT_EQ(s[0].threads[1].rate.values, (std::vector<double>{6, 6, 9}));
    EXPECT_EQ(s[0].threads[2].rate.median, 3);
}

// Two labels of four repetitions each: one chart per test and label, a dot
// per repetition on each thread's bar, instead of a chart per repetition.
TEST(RepetitionChart, ADotPerRepetitionInOneChartPerTest) {
    fs::path dir = fs::temp_directory_path() / ("repetition_chart_" + std::to_string(getpid()));
    fs::remove_all(dir);
    for (const char* label : {"old", "new"}) {
        fs::create_directories(dir / label);
        for (unsigned rep = 1; rep <= 4; ++rep)
            std::ofstream(dir / label / fmt::format("results_memory_Linux_x86 @ {}.txt", rep))
                << noisy_results_file(report::Program::memory, 1, 0.02, 2, rep);
    }
    ASSERT_EQ(shell("cd '" + dir.string() + "' && '" BENCH_REPORT
                    "' chart old new -o r.html 2>err.txt"),
              0)
        << slurp(dir / "err.txt");
    std::string html = slurp(dir / "r.html");
    fs::remove_all(dir);
    for (const char* label : {"old", "new"}) {
        std::string title = fmt::format("rate per thread, 4 repetitions of {}</title>", label);
        EXPECT_EQ(count(html, title), 3u) << label;
        std::size_t at = html.find(title);
        ASSERT_NE(at, std::string::npos);
        // Two threads, four repetitions: eight dots.
        EXPECT_EQ(count(html.substr(at, html.find("</svg>", at) - at), "<circle"), 8u);
    }
    EXPECT_EQ(count(html, "rate per thread, old</title>"), 0u);
}

// Fifteen hosts' memory runs as `bench_report run` lays them out, fourteen on
// two days and one on a single day: a history section for the first dozen of
// the fourteen, none for the host of one day, each chart well-formed and each
// link of the contents landing on its section.
TEST(HistoryChart, SectionsForLabelsOnTwoDays) {
    if (!fs::exists("/usr/bin/xmllint"))
        GTEST_SKIP() << "xmllint is not installed (Debian package libxml2-utils)";
    fs::path dir = fs::temp_directory_path() / ("history_chart_" + std::to_string(getpid()));
    fs::remove_all(dir);
    for (int h = 1; h <= 15; ++h)
        for (int day : {1, 8}) {
            if (h == 15 && day == 8)
                continue;
            fs::path rep = dir / "runs" / fmt::format("host-{:03}", h) /
                           fmt::format("202611{:02}T100000Z-1", day);
            fs::create_directories(rep);
            std::ofstream(
                rep /
                fmt::format("results_memory_Linux_x86 @ UTC time Sun Nov {:2} 10:00:00 2026\n.txt",
                            day))
                << scaled_results_file(report::Program::memory, 1 - 0.01 * day, 2,
                                       static_cast<unsigned>(h * day));
        }
    ASSERT_EQ(
        shell("cd '" + dir.string() + "' && '" BENCH_REPORT "' chart runs -o r.html 2>err.txt"), 0)
        << slurp(dir / "err.txt");
    std::string html = slurp(dir / "r.html");
    EXPECT_EQ(count(html, "<h2 id=\"history-"), 12u);
    EXPECT_EQ(count(html, "by day (bench_memory)</title>"), 12u * 3);
    EXPECT_EQ(count(html, "History of host-015"), 0u);
    EXPECT_EQ(count(html, "The history of 12 of the 14 labels"), 1u);
    EXPECT_EQ(count(html, "stroke-dasharray=\"3 3\""), 0u);  // no machine.json: no change marked
    for (std::size_t at = html.find("href=\"#"); at != std::string::npos;
         at = html.find("href=\"#", at + 1)) {
        std::string id = html.substr(at + 7, html.find('"', at + 7) - at - 7);
        EXPECT_EQ(count(html, "id=\"" + id + "\""), 1u) << id;
    }
    std::size_t at = html.find("<svg", html.find("<h2 id=\"history-1\""));
    std::ofstream(dir / "history.svg") << html.substr(at, html.find("</svg>", at) + 6 - at);
    EXPECT_EQ(shell("xmllint --noout '" + (dir / "history.svg").string() + "'"), 0);
    fs::remove_all(dir);
}

// Two runs in directories whose names are markup, one with the newline in
// its name, charted as HTML and as SVG.
class ChartCommand : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("chart_test_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "<b>&amp;\"x\"");
        fs::create_directories(dir / "host 'b'");
        std::ofstream(dir / "<b>&amp;\"x\"" /
                      "results_processors_Linux_x86 @ UTC time Tue Dec  8 05:24:39 2026\n.txt")
            << two_threads;
        std::ofstream(dir / "host 'b'" / "one.txt") << one_thread;
    }
    void TearDown() override { fs::remove_all(dir); }

    int chart(const std::string& args) {
        return shell("cd '" + dir.string() + "' && '" BENCH_REPORT "' chart " + args +
                     " 2>err.txt");
    }
    bool well_formed(const fs::path& file) {
        return shell("xmllint --noout '" + file.string() + "' 2>>'" +
                     (dir / "xmllint.txt").string() + "'") == 0;
    }
    fs::path dir;
};

TEST_F(ChartCommand, EverySvgIsWellFormedXml) {
    if (!fs::exists("/usr/bin/xmllint"))
        GTEST_SKIP() << "xmllint is not installed (Debian package libxml2-utils)";
    const std::string runs = "'<b>&amp;\"x\"' \"host 'b'/one.txt\"";
    ASSERT_EQ(chart(runs + " --label '<i>\"&' --label 'b\x01' -o both.svg"), 0)
        << slurp(dir / "err.txt");
    ASSERT_EQ(chart(runs + " -o report.html"), 0) << slurp(dir / "err.txt");
    ASSERT_EQ(chart("'<b>&amp;\"x\"' -o one.svg"), 0) << slurp(dir / "err.txt");
    EXPECT_TRUE(well_formed(dir / "both.svg")) << slurp(dir / "xmllint.txt");
    EXPECT_TRUE(well_formed(dir / "one.svg")) << slurp(dir / "xmllint.txt");
    EXPECT_NE(slurp(dir / "both.svg").find("&lt;i&gt;&quot;&amp;"), std::string::npos);

    // Each chart inside the HTML report, on its own.
    std::string html = slurp(dir / "report.html");
    int charts = 0;
    for (std::size_t at = html.find("<svg"); at != std::string::npos;
         at = html.find("<svg", at + 1)) {
        std::size_t end = html.find("</svg>", at);
        ASSERT_NE(end, std::string::npos);
        fs::path file = dir / ("chart" + std::to_string(charts++) + ".svg");
        std::ofstream(file) << html.substr(at, end + 6 - at);
        EXPECT_TRUE(well_formed(file)) << slurp(dir / "xmllint.txt");
    }
    // The comparison, three scaling charts of the two-thread run, one of the other.
    EXPECT_EQ(charts, 5);
    // Self-contained: no script, nothing fetched; links and fills (the
    // hatching of a bar) only within the page.
    for (const char* outside : {"<script", "src=", "@import"})
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    for (std::size_t at = html.find("href="); at != std::string::npos;
         at = html.find("href=", at + 1))
        EXPECT_EQ(html.compare(at, 7, "href=\"#"), 0) << html.substr(at, 40);
    for (std::size_t at = html.find("url("); at != std::string::npos;
         at = html.find("url(", at + 1))
        EXPECT_EQ(html.compare(at, 5, "url(#"), 0) << html.substr(at, 40);
}

TEST_F(ChartCommand, BadInputAndUnwritableOutput) {
    std::ofstream(dir / "bad.txt") << "no results here\n";
    EXPECT_EQ(chart("\"host 'b'/one.txt\" bad.txt -o partial.html"), 2);
    EXPECT_TRUE(fs::exists(dir / "partial.html"));  // what could be read is still charted
    EXPECT_EQ(chart("\"host 'b'/one.txt\" -o no/such/dir/r.html"), 1);
    EXPECT_NE(slurp(dir / "err.txt").find("cannot write"), std::string::npos);
}

TEST_F(ChartCommand, ReportOpensInARealBrowser) {
    const char* chromium = "/usr/bin/chromium";
    if (!fs::exists(chromium))
        GTEST_SKIP() << "Chromium is not installed (Debian package chromium): the browser check "
                        "did not run";
    ASSERT_EQ(chart("'<b>&amp;\"x\"' \"host 'b'/one.txt\" -o report.html"), 0);
    std::string html = slurp(dir / "report.html");
    fs::create_directories(dir / "profile");
    std::string cmd = std::string("timeout 120 ") + chromium +
                      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                      " --disable-background-networking --disable-component-update --disable-sync"
                      " --user-data-dir='" +
                      (dir / "profile").string() + "' --dump-dom 'file://" +
                      (dir / "report.html").string() + "' >'" + (dir / "dom.html").string() +
                      "' 2>/dev/null";
    ASSERT_EQ(shell(cmd), 0);
    std::string dom = slurp(dir / "dom.html");
    EXPECT_EQ(count(dom, "<svg"), count(html, "<svg"));
    EXPECT_EQ(count(dom, "<table"), count(html, "<table"));
    EXPECT_EQ(count(dom, "<svg"), 5u);
    EXPECT_GE(count(dom, "<table"), 3u);  // compare, and show for each run
    // The labels (directory names) as text, not markup.
    EXPECT_NE(dom.find("host 'b'"), std::string::npos);
    EXPECT_NE(dom.find("&lt;b&gt;&amp;amp;\"x\""), std::string::npos);
}

}  // namespace
